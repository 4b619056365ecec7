// What the text formats share: a record line read two hexadecimal digits at a time with a
// running sum, and the errors a record line can raise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "progfile/user_exception.h"

namespace quill {

[[noreturn]] inline void ThrowFormatError(int lineNo, const std::string& what) {
  throw CUserException(CUserException::FormatError, "line " + std::to_string(lineNo) + what,
                       lineNo);
}

inline void CheckCapacity(int dataCount, int capacity, int lineNo) {
  if (dataCount > std::max(capacity, 0)) {
    throw CUserException(CUserException::RecordTooLong,
                         "line " + std::to_string(lineNo) + " holds " + std::to_string(dataCount) +
                             " data bytes, more than " + std::to_string(capacity),
                         lineNo);
  }
}

// Reads a record line byte after byte (two hexadecimal digits each) from column pos on, keeping
// the running sum of the bytes read.
struct HexCursor {
  const std::string& line;
  int lineNo;
  std::size_t pos;
  unsigned sum = 0;

  static int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }

  unsigned Next() {
    const int hi = pos < line.size() ? Digit(line[pos]) : -1;
    const int lo = pos + 1 < line.size() ? Digit(line[pos + 1]) : -1;
    if (hi < 0 || lo < 0) {
      const std::size_t at = hi < 0 ? pos : pos + 1;
      ThrowFormatError(lineNo, ", column " + std::to_string(at + 1) +
                                   (at < line.size() ? ": not a hexadecimal digit"
                                                     : ": the line ends where a digit is expected"));
    }
    pos += 2;
    const unsigned value = static_cast<unsigned>(hi * 16 + lo);
    sum += value;
    return value;
  }
};

}  // namespace quill
