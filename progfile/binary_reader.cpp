// Raw binary: the file's bytes as they are, the first at the base address, in pieces of at most
// one record's size. Only ever chosen explicitly, since any content reads as raw binary.
#include <algorithm>

#include "progfile/load_file.h"
#include "progfile/record_reader.h"

namespace quill {

namespace {

class BinaryReader final : public RecordReader {
 public:
  explicit BinaryReader(uint32_t base) : base_(base) {}

  int Next(RecordInput& input, uint32_t& address, uint8_t* data, int capacity) override {
    constexpr uint64_t kTop = uint64_t{1} << 32;
    const uint64_t at = uint64_t{base_} + input.Position();
    uint64_t want = static_cast<uint64_t>(std::clamp(capacity, 0, kMaxRecordData));
    // A piece never straddles the top of the address space.
    if (at < kTop) want = std::min(want, kTop - at);
    std::size_t count = 0;
    while (count < want) {
      const std::size_t got = input.ReadBytes(data + count, want - count);
      if (got == 0) break;
      count += got;
    }
    pastTop_ = false;
    if (count == 0) return -1;
    pastTop_ = at >= kTop;
    address = static_cast<uint32_t>(at);
    return static_cast<int>(count);
  }

  bool PastTop() const override { return pastTop_; }

 private:
  uint32_t base_;
  bool pastTop_ = false;
};

}  // namespace

std::unique_ptr<RecordReader> MakeBinaryReader(uint32_t base) {
  return std::make_unique<BinaryReader>(base);
}

}  // namespace quill
