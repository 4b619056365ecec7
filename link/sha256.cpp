#include "link/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <stdexcept>

namespace quill {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->context);
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::Update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(state_->context, bytes.data(), bytes.size());
}

std::string Sha256::HexDigest() {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest.data(), &length);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
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
