// Motorola S-record: S1, S2 and S3 data records with 2-, 3- and 4-byte addresses; S0 and S4..S9
// carry nothing to program and are passed over.
#include <algorithm>

#include "progfile/record_reader.h"
#include "progfile/record_text.h"

namespace quill {

namespace {

class SRecordReader final : public RecordReader {
 public:
  int Next(RecordInput& input, uint32_t& address, uint8_t* data, int capacity) override {
    for (;;) {
      if (!input.NextLine(line_)) return -1;
      const int lineNo = input.LineNumber();
      if (line_.empty() || line_[0] != 'S') ThrowFormatError(lineNo, " does not begin with 'S'");
      int addressLength = 0;
      const char type = line_.size() > 1 ? line_[1] : '\0';
      if (type == '1' || type == '2' || type == '3') {
        addressLength = type - '0' + 1;
      } else if (type == '0' || (type >= '4' && type <= '9')) {
        continue;  // header, count and termination records carry nothing to program
      } else {
        ThrowFormatError(lineNo, " has no valid record type");
      }

      HexCursor cursor{line_, lineNo, 2};
      const unsigned count = cursor.Next();
      uint32_t value = 0;
      for (int i = 0; i < addressLength; ++i) value = (value << 8) | cursor.Next();
      const int dataCount = std::max(0, static_cast<int>(count) - addressLength - 1);
      CheckCapacity(dataCount, capacity, lineNo);
      for (int i = 0; i < dataCount; ++i) data[i] = static_cast<uint8_t>(cursor.Next());
      cursor.Next();  // checksum: the ones' complement of the sum before it
      if (((cursor.sum + 1) & 0xFF) != 0) input.ChecksumMismatch(lineNo);
      address = value;
      return dataCount;
    }
  }

 private:
  std::string line_;
};

}  // namespace

std::unique_ptr<RecordReader> MakeSRecordReader(uint32_t) {
  return std::make_unique<SRecordReader>();
}

}  // namespace quill
