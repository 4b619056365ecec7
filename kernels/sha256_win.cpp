// SHA-256 on Windows' own cryptography (BCrypt): the same API as the libcrypto unit.
#include <windows.h>
// bcrypt.h needs windows.h first.
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "kernels/sha256.h"

namespace quill {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                    nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          ::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    if (state_->algorithm) ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() {
  ::BCryptDestroyHash(state_->hash);
  ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  // BCryptHashData takes at most 4 GB at a time.
  while (!bytes.empty()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
    ::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(piece), 0);
    bytes = bytes.subspan(piece);
  }
}

std::string Sha256::HexDigest() {
  std::array<unsigned char, 32> digest{};
  ::BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  return HexOf(digest);
}

}  // namespace quill
