#include "progfile/load_file.h"

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

}  // namespace

CFileException::CFileException(Cause cause, std::string path, int error)
    : std::runtime_error(FileErrorText(cause, path, error)),
      cause_(cause),
      path_(std::move(path)),
      errno_(error) {}

void CLoadFile::Open(const std::string& path) {
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

int CLoadFile::ReadRecord(uint32_t& address, uint8_t* data, int capacity) {
  for (;;) {
    if (!ReadString(line_)) return -1;
    ++m_nLines;
    const int lineNo = m_nLines;
    if (line_.empty() || line_[0] != 'S') {
      throw CUserException(CUserException::FormatError,
                           "line " + std::to_string(lineNo) + " does not begin with 'S'", lineNo);
    }
    int addressLength = 0;
    const char type = line_.size() > 1 ? line_[1] : '\0';
    if (type == '1' || type == '2' || type == '3') {
      addressLength = type - '0' + 1;
    } else if (type == '0' || (type >= '4' && type <= '9')) {
      continue;  // header, count and termination records carry nothing to program
    } else {
      throw CUserException(CUserException::FormatError,
                           "line " + std::to_string(lineNo) + " has no valid record type", lineNo);
    }

    std::size_t pos = 2;
    auto nextByte = [&]() -> unsigned {
      const int hi = pos < line_.size() ? HexDigit(line_[pos]) : -1;
      const int lo = pos + 1 < line_.size() ? HexDigit(line_[pos + 1]) : -1;
      if (hi < 0 || lo < 0) {
        const std::size_t at = hi < 0 ? pos : pos + 1;
        throw CUserException(CUserException::FormatError,
                             "line " + std::to_string(lineNo) + ", column " +
                                 std::to_string(at + 1) +
                                 (at < line_.size() ? ": not a hexadecimal digit"
                                                    : ": the line ends where a digit is expected"),
                             lineNo);
      }
      pos += 2;
      return static_cast<unsigned>(hi * 16 + lo);
    };

    unsigned sum = 1;
    const unsigned count = nextByte();
    sum += count;
    uint32_t value = 0;
    for (int i = 0; i < addressLength; ++i) {
      const unsigned b = nextByte();
      value = (value << 8) | b;
      sum += b;
    }
    const int dataCount = std::max(0, static_cast<int>(count) - addressLength - 1);
    if (dataCount > std::max(capacity, 0)) {
      throw CUserException(CUserException::RecordTooLong,
                           "line " + std::to_string(lineNo) + " holds " +
                               std::to_string(dataCount) + " data bytes, more than " +
                               std::to_string(capacity),
                           lineNo);
    }
    for (int i = 0; i < dataCount; ++i) {
      const unsigned b = nextByte();
      data[i] = static_cast<uint8_t>(b);
      sum += b;
    }
    sum += nextByte();  // checksum
    if ((sum & 0xFF) != 0) {
      ++m_nChecksumErrors;
      m_nLastChecksumErrorLine = lineNo;
    }
    address = value;
    return dataCount;
  }
}

}  // namespace quill
