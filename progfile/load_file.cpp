#include "progfile/load_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "progfile/user_exception.h"
#include "resources/format.h"
#include "resources/strings.h"

#if !defined(_WIN32) && __has_include(<sys/file.h>) && __has_include(<sys/stat.h>)
#include <sys/file.h>
#include <sys/stat.h>
#define QUILL_HAVE_POSIX_FILE 1
#endif
#ifdef _WIN32
#include <share.h>
#endif

namespace quill {

namespace {

std::string FileErrorText(CFileException::Cause cause, const std::string& path, int error) {
  const uint32_t id = cause == CFileException::OpenFailed ? StrId::FileOpenError
                                                         : StrId::FileReadError;
  return FormatString(id, {path, std::strerror(error)});
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

[[noreturn]] void ThrowFormatError(int lineNo, const std::string& what) {
  throw CUserException(CUserException::FormatError, "line " + std::to_string(lineNo) + what,
                       lineNo);
}

// Reads a record line byte after byte (two hexadecimal digits each) from column pos on, keeping
// the running sum of the bytes read.
struct HexCursor {
  const std::string& line;
  int lineNo;
  std::size_t pos;
  unsigned sum = 0;

  unsigned Next() {
    const int hi = pos < line.size() ? HexDigit(line[pos]) : -1;
    const int lo = pos + 1 < line.size() ? HexDigit(line[pos + 1]) : -1;
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

void CheckCapacity(int dataCount, int capacity, int lineNo) {
  if (dataCount > std::max(capacity, 0)) {
    throw CUserException(CUserException::RecordTooLong,
                         "line " + std::to_string(lineNo) + " holds " + std::to_string(dataCount) +
                             " data bytes, more than " + std::to_string(capacity),
                         lineNo);
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

CFileException::CFileException(Cause cause, std::string path, int error)
    : std::runtime_error(FileErrorText(cause, path, error)),
      cause_(cause),
      path_(std::move(path)),
      errno_(error) {}

void CLoadFile::Open(const std::string& path, FileFormat format, uint32_t base) {
  Close();
#ifdef _WIN32
  // Deny-write sharing: no other program may write the file while it is being programmed.
  std::FILE* file = _fsopen(path.c_str(), "rb", _SH_DENYWR);
#else
  std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
  if (file == nullptr) {
    // Windows refuses to open a folder as "permission denied"; the user is better told what it is.
    const int reason = errno;
    std::error_code ec;
    const int error = std::filesystem::is_directory(path, ec) ? EISDIR : reason;
    throw CFileException(CFileException::OpenFailed, path, error);
  }
#ifdef QUILL_HAVE_POSIX_FILE
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    throw CFileException(CFileException::OpenFailed, path, EISDIR);
  }
  // Advisory only: writers that take the lock wait until we are done; a file system without
  // locks still lets us read.
  (void)flock(fileno(file), LOCK_SH | LOCK_NB);
#endif
  file_ = file;
  path_ = path;
  bufferPos_ = bufferLen_ = 0;
  position_ = 0;
  ResetCounters();
  line_.reserve(kMaxLineKept);
  base_ = base;
  hexBase_ = 0;
  hexSegment_ = false;
  pendingCount_ = 0;
  pastTop_ = false;
  format_ = format == FileFormat::Detect ? DetectFormat() : format;
}

FileFormat CLoadFile::DetectFormat() {
  FileFormat found = FileFormat::SRecord;  // nothing but blank lines: nothing to read
  std::size_t column = 0;                  // characters before this one in its line
  for (bool decided = false; !decided;) {
    if (bufferPos_ == bufferLen_ && !Refill()) break;
    const char c = buffer_[bufferPos_++];
    if (c == '\n') {
      column = 0;
    } else if (IsBlank(c)) {
      ++column;
    } else {
      // A line that starts with blanks is in neither format.
      found = column > 0 ? FileFormat::Unknown
              : c == 'S' ? FileFormat::SRecord
              : c == ':' ? FileFormat::IntelHex
                         : FileFormat::Unknown;
      decided = true;
    }
  }
  // Back to the start: the lines looked at are read again as records.
  std::clearerr(file_);
  if (std::fseek(file_, 0, SEEK_SET) != 0) {
    throw CFileException(CFileException::ReadFailed, path_, errno != 0 ? errno : EIO);
  }
  bufferPos_ = bufferLen_ = 0;
  return found;
}

void CLoadFile::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);  // also releases the lock
    file_ = nullptr;
  }
  bufferPos_ = bufferLen_ = 0;
}

uint64_t CLoadFile::GetLength() const {
  if (file_ == nullptr) return 0;
#ifdef QUILL_HAVE_POSIX_FILE
  struct stat info {};
  if (fstat(fileno(file_), &info) == 0) return static_cast<uint64_t>(info.st_size);
#endif
  std::error_code ec;
  const auto size = std::filesystem::file_size(path_, ec);
  return ec ? position_ : static_cast<uint64_t>(size);
}

bool CLoadFile::Refill() {
  bufferPos_ = 0;
  errno = 0;
  bufferLen_ = std::fread(buffer_, 1, kBufferSize, file_);
  if (bufferLen_ == 0 && std::ferror(file_)) {
    const int error = errno != 0 ? errno : EIO;
    throw CFileException(CFileException::ReadFailed, path_, error);
  }
  return bufferLen_ != 0;
}

bool CLoadFile::ReadString(std::string& line) {
  line.clear();
  if (file_ == nullptr) return false;
  bool consumed = false;  // a last line without terminator is still a line
  bool truncated = false;
  for (;;) {
    if (bufferPos_ == bufferLen_ && !Refill()) break;
    const char* begin = buffer_ + bufferPos_;
    const std::size_t available = bufferLen_ - bufferPos_;
    const void* newline = std::memchr(begin, '\n', available);
    const std::size_t piece =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - begin) : available;
    const std::size_t room = kMaxLineKept - line.size();
    line.append(begin, std::min(piece, room));
    truncated = truncated || piece > room;
    consumed = true;
    const std::size_t used = newline ? piece + 1 : piece;
    bufferPos_ += used;
    position_ += used;
    if (newline) break;
  }
  if (!consumed) return false;
  if (!truncated && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool CLoadFile::NextLine() {
  if (!ReadString(line_)) return false;
  ++m_nLines;
  return true;
}

int CLoadFile::ReadRecord(uint32_t& address, uint8_t* data, int capacity) {
  pastTop_ = false;
  switch (format_) {
    case FileFormat::IntelHex:
      return ReadIntelHex(address, data, capacity);
    case FileFormat::Binary:
      return ReadBinary(address, data, capacity);
    case FileFormat::Unknown:
      throw CUserException(CUserException::UnknownFormat,
                           "the content is neither S-record nor Intel HEX", 1);
    case FileFormat::Detect:
    case FileFormat::SRecord:
      break;
  }
  return ReadSRecord(address, data, capacity);
}

int CLoadFile::ReadSRecord(uint32_t& address, uint8_t* data, int capacity) {
  for (;;) {
    if (!NextLine()) return -1;
    const int lineNo = m_nLines;
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
    if (((cursor.sum + 1) & 0xFF) != 0) {
      ++m_nChecksumErrors;
      m_nLastChecksumErrorLine = lineNo;
    }
    address = value;
    return dataCount;
  }
}

int CLoadFile::ReadIntelHex(uint32_t& address, uint8_t* data, int capacity) {
  if (pendingCount_ > 0) {
    std::memcpy(data, pending_, static_cast<std::size_t>(pendingCount_));
    address = pendingAddress_;
    const int count = pendingCount_;
    pendingCount_ = 0;
    return count;
  }
  for (;;) {
    if (!NextLine()) return -1;
    const int lineNo = m_nLines;
    if (line_.empty() || line_[0] != ':') ThrowFormatError(lineNo, " does not begin with ':'");
    HexCursor cursor{line_, lineNo, 1};
    const int count = static_cast<int>(cursor.Next());
    const uint32_t offsetHigh = cursor.Next();
    const uint32_t offset = offsetHigh << 8 | cursor.Next();
    const unsigned type = cursor.Next();
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
    if (type == 0) CheckCapacity(count, capacity, lineNo);
    uint8_t value[4] = {};
    uint8_t* into = type == 0 ? data : value;
    for (int i = 0; i < count; ++i) into[i] = static_cast<uint8_t>(cursor.Next());
    cursor.Next();  // checksum: the sum of all the record's bytes is 0 modulo 256
    if ((cursor.sum & 0xFF) != 0) {
      ++m_nChecksumErrors;
      m_nLastChecksumErrorLine = lineNo;
    }
    switch (type) {
      case 0:
        break;
      case 2:  // extended segment address: offsets wrap within the 64 KB at base
        hexBase_ = (uint32_t{value[0]} << 8 | value[1]) << 4;
        hexSegment_ = true;
        continue;
      case 4:  // extended linear address: the upper 16 bits
        hexBase_ = (uint32_t{value[0]} << 8 | value[1]) << 16;
        hexSegment_ = false;
        continue;
      default:  // end of file, start addresses: nothing to program
        continue;
    }
    address = hexBase_ + offset;
    if (hexSegment_ && offset + static_cast<uint32_t>(count) > 0x10000) {
      const int first = static_cast<int>(0x10000 - offset);
      pendingCount_ = count - first;
      pendingAddress_ = hexBase_;
      std::memcpy(pending_, data + first, static_cast<std::size_t>(pendingCount_));
      return first;
    }
    return count;
  }
}

int CLoadFile::ReadBinary(uint32_t& address, uint8_t* data, int capacity) {
  constexpr uint64_t kTop = uint64_t{1} << 32;
  const uint64_t at = uint64_t{base_} + position_;
  uint64_t want = static_cast<uint64_t>(std::clamp(capacity, 0, kMaxRecordData));
  // A piece never straddles the top of the address space.
  if (at < kTop) want = std::min(want, kTop - at);
  int count = 0;
  while (static_cast<uint64_t>(count) < want) {
    if (bufferPos_ == bufferLen_ && !Refill()) break;
    const std::size_t n = std::min<std::size_t>(bufferLen_ - bufferPos_, want - count);
    std::memcpy(data + count, buffer_ + bufferPos_, n);
    bufferPos_ += n;
    count += static_cast<int>(n);
  }
  if (count == 0) return -1;
  position_ += static_cast<uint64_t>(count);
  pastTop_ = at >= kTop;
  address = static_cast<uint32_t>(at);
  return count;
}

}  // namespace quill
