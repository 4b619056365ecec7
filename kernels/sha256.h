// SHA-256 of images and files, so a production line can tell which kernel and which program
// file went to a board. The digest comes from one unit per platform: OpenSSL's libcrypto
// (sha256.cpp) or Windows' BCrypt (sha256_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace quill {

// A running SHA-256: feed bytes with Update, then read the digest once with HexDigest.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::span<const uint8_t> bytes);
  // The 64 lower-case hexadecimal digits of the digest of everything fed so far.
  std::string HexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Bytes as lower-case hexadecimal digits, two a byte.
std::string HexOf(std::span<const uint8_t> bytes);

// The SHA-256 of bytes, as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const uint8_t> bytes);

// The SHA-256 of the file at path, read in pieces; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace quill
