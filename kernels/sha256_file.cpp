// The parts of SHA-256 that are the same on every platform: hexadecimal, whole buffers, files.
#include <array>
#include <fstream>

#include "kernels/sha256.h"

namespace quill {

std::string HexOf(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.HexDigest();
}

std::string Sha256OfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  Sha256 hash;
  std::array<char, 65536> buffer;
  while (file) {
    file.read(buffer.data(), buffer.size());
    const auto got = static_cast<std::size_t>(file.gcount());
    hash.Update({reinterpret_cast<const uint8_t*>(buffer.data()), got});
  }
  if (file.bad()) return {};
  return hash.HexDigest();
}

}  // namespace quill
