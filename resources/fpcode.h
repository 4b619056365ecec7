// Kernel images (resource type "FPCODE"), embedded at build time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quill {

struct FpcodeImage {
  uint32_t id;
  const unsigned char* data;
  std::size_t size;
};

extern const FpcodeImage kFpcodeImages[];
extern const int kFpcodeImageCount;

// The image of the given resource type and id; empty when the program carries no such resource.
std::span<const unsigned char> FindResource(const char* type, uint32_t id);

// Copies a resource of the program into dest. On entry length is dest's capacity; on success it
// becomes the resource's size. A missing resource, or one larger than the capacity, leaves dest
// and length unchanged and returns false.
bool LoadResourceData(const char* type, uint32_t id, unsigned char* dest, std::size_t& length);

}  // namespace quill
