// Intel HEX: data records (00) at the offset the latest extended segment (02) or extended linear
// (04) address record places them; end-of-file (01) and start address records (03, 05) carry
// nothing to program.
#include <cstring>

#include "progfile/load_file.h"
#include "progfile/record_reader.h"
#include "progfile/record_text.h"

namespace quill {

namespace {

class IntelHexReader final : public RecordReader {
 public:
  int Next(RecordInput& input, uint32_t& address, uint8_t* data, int capacity) override {
    if (pendingCount_ > 0) {
      std::memcpy(data, pending_, static_cast<std::size_t>(pendingCount_));
      address = pendingAddress_;
      const int count = pendingCount_;
      pendingCount_ = 0;
      return count;
    }
    for (;;) {
      if (!input.NextLine(line_)) return -1;
      const int lineNo = input.LineNumber();
      if (line_.empty() || line_[0] != ':') ThrowFormatError(lineNo, " does not begin with ':'");
      HexCursor cursor{line_, lineNo, 1};
      const int count = static_cast<int>(cursor.Next());
      const uint32_t offsetHigh = cursor.Next();
      const uint32_t offset = offsetHigh << 8 | cursor.Next();
      const unsigned type = cursor.Next();
      CheckType(type, count, lineNo);
      if (type == 0) CheckCapacity(count, capacity, lineNo);
      uint8_t value[4] = {};
      uint8_t* into = type == 0 ? data : value;
      for (int i = 0; i < count; ++i) into[i] = static_cast<uint8_t>(cursor.Next());
      cursor.Next();  // checksum: the sum of all the record's bytes is 0 modulo 256
      if ((cursor.sum & 0xFF) != 0) input.ChecksumMismatch(lineNo);
      if (type == 2) {  // extended segment address: offsets wrap within the 64 KB at base
        base_ = (uint32_t{value[0]} << 8 | value[1]) << 4;
        segment_ = true;
      } else if (type == 4) {  // extended linear address: the upper 16 bits
        base_ = (uint32_t{value[0]} << 8 | value[1]) << 16;
        segment_ = false;
      }
      if (type != 0) continue;
      address = base_ + offset;
      if (segment_ && offset + static_cast<uint32_t>(count) > 0x10000) {
        // The part past the segment's end wraps to its start and comes as the next record.
        const int first = static_cast<int>(0x10000 - offset);
        pendingCount_ = count - first;
        pendingAddress_ = base_;
        std::memcpy(pending_, data + first, static_cast<std::size_t>(pendingCount_));
        return first;
      }
      return count;
    }
  }

 private:
  static void CheckType(unsigned type, int count, int lineNo) {
    // The length each kind of record must have; data records take any.
    static constexpr int kFixedLength[] = {-1, 0, 2, 4, 2, 4};
    if (type > 5) {
      ThrowFormatError(lineNo, ": record type " + std::to_string(type) +
                                   " is not an Intel HEX record type (00 to 05)");
    }
    if (kFixedLength[type] >= 0 && count != kFixedLength[type]) {
      ThrowFormatError(lineNo, ": a record of type 0" + std::to_string(type) + " holds " +
                                   std::to_string(kFixedLength[type]) + " bytes, not " +
                                   std::to_string(count));
    }
  }

  std::string line_;
  // The base the latest extended address record set, and whether it was a segment (offsets
  // then wrap within 64 KB) or a linear one (offsets run on).
  uint32_t base_ = 0;
  bool segment_ = false;
  // The part of a record beyond the end of its segment, delivered next.
  uint8_t pending_[kMaxRecordData];
  int pendingCount_ = 0;
  uint32_t pendingAddress_ = 0;
};

}  // namespace

std::unique_ptr<RecordReader> MakeIntelHexReader(uint32_t) {
  return std::make_unique<IntelHexReader>();
}

}  // namespace quill
