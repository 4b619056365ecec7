#include "resources/fpcode.h"

#include <cstring>

namespace quill {

std::span<const unsigned char> FindResource(const char* type, uint32_t id) {
  if (type == nullptr || std::strcmp(type, "FPCODE") != 0) return {};
  for (int i = 0; i < kFpcodeImageCount; ++i) {
    if (kFpcodeImages[i].id == id) return {kFpcodeImages[i].data, kFpcodeImages[i].size};
  }
  return {};
}

bool LoadResourceData(const char* type, uint32_t id, unsigned char* dest, std::size_t& length) {
  const auto image = FindResource(type, id);
  if (image.empty() || image.size() > length) return false;
  std::memcpy(dest, image.data(), image.size());
  length = image.size();
  return true;
}

}  // namespace quill
