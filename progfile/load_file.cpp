#include "progfile/load_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "progfile/record_reader.h"
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
  format_ = format == FileFormat::Detect ? DetectFormat() : format;
  const FormatEntry* entry = FindFormat(format_);
  reader_ = entry != nullptr ? entry->make(base) : nullptr;
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
      found = FileFormat::Unknown;
      for (const FormatEntry& entry : FormatTable()) {
        if (column == 0 && entry.firstCharacter != '\0' && c == entry.firstCharacter)
          found = entry.format;
      }
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

bool CLoadFile::NextLine(std::string& line) {
  if (!ReadString(line)) return false;
  ++m_nLines;
  return true;
}

std::size_t CLoadFile::ReadBytes(uint8_t* data, std::size_t want) {
  if (file_ == nullptr || (bufferPos_ == bufferLen_ && !Refill())) return 0;
  const std::size_t n = std::min(bufferLen_ - bufferPos_, want);
  std::memcpy(data, buffer_ + bufferPos_, n);
  bufferPos_ += n;
  position_ += n;
  return n;
}

int CLoadFile::ReadRecord(uint32_t& address, uint8_t* data, int capacity) {
  if (file_ != nullptr && format_ == FileFormat::Unknown) {
    throw CUserException(CUserException::UnknownFormat,
                         "the content is neither S-record nor Intel HEX", 1);
  }
  if (reader_ == nullptr) return -1;
  return reader_->Next(*this, address, data, capacity);
}

}  // namespace quill
