// CLoadFile: reads a program file one line and one data record at a time: Motorola S-record or
// Intel HEX text, or raw binary placed at a base address. The file is never held whole: the
// reader keeps one read buffer, one line of bounded length and the caller's record buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "progfile/program_file.h"
#include "progfile/record_reader.h"

namespace quill {

// Data bytes of the largest valid record: count byte 0xFF less a 2-byte address and the checksum
// leaves 252 for S1. Every buffer that receives records is this size, so no valid record is
// refused.
constexpr int kMaxRecordData = 256;

// A file that cannot be opened or read. Carries the path and the system's reason.
class CFileException : public std::runtime_error {
 public:
  enum Cause { OpenFailed, ReadFailed };

  CFileException(Cause cause, std::string path, int error);

  Cause GetCause() const { return cause_; }
  const std::string& GetPath() const { return path_; }
  int GetErrno() const { return errno_; }
  // The text shown to the user: names the path and the system's reason.
  std::string Message() const { return what(); }

 private:
  Cause cause_;
  std::string path_;
  int errno_;
};

// The open file is the RecordInput its format's reader (progfile/record_reader.h) reads from.
class CLoadFile final : private RecordInput {
 public:
  // Characters of a line that are kept. A record ends at most 2 + 2 + 2 * 255 characters into
  // its line; anything further is text after the checksum, read and dropped in pieces.
  static constexpr std::size_t kMaxLineKept = 1024;

  CLoadFile() = default;
  // Opens path for reading; throws CFileException.
  explicit CLoadFile(const std::string& path, FileFormat format = FileFormat::Detect) {
    Open(path, format);
  }
  ~CLoadFile() override { Close(); }
  CLoadFile(const CLoadFile&) = delete;
  CLoadFile& operator=(const CLoadFile&) = delete;

  // Opens path for reading, other readers allowed; where the system offers it a shared lock keeps
  // writers that lock out while the file is open (opening never fails for want of the lock).
  // Closes any file open before. Position and counters start at zero. Detect looks at the first
  // non-blank line: 'S' is S-record, ':' Intel HEX, anything else Unknown (and ReadRecord then
  // refuses the file); a file without any non-blank line reads as S-record. base places the
  // first byte of a Binary file. Throws CFileException.
  void Open(const std::string& path, FileFormat format = FileFormat::Detect, uint32_t base = 0);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& GetFilePath() const { return path_; }
  // The format the file is read in (never Detect once open).
  FileFormat GetFormat() const { return format_; }

  // The file's length in bytes now, and the byte position of the next unread line.
  uint64_t GetLength() const;
  uint64_t GetPosition() const { return position_; }

  // Reads the next line without its terminator (LF, or CR LF), keeping at most kMaxLineKept
  // characters of it. False at the end of the file. Throws CFileException on a read error.
  bool ReadString(std::string& line);

  // Reads up to the next data record and returns its number of data bytes, with its address and
  // its data in data[0..n), or -1 at the end of the file. S-record: S1, S2, S3, skipping S0 and
  // S4..S9 lines; the address as written. Intel HEX: data records, with the address the latest
  // extended segment or linear address record gives them; a record whose offset runs past the
  // end of its 64 KB segment comes as two, the second at the segment's start. Binary: pieces of
  // at most capacity bytes at base + their position. A checksum mismatch is counted and the
  // record returned as usual. Throws CUserException (FormatError; UnknownFormat; RecordTooLong
  // when the record has more than capacity data bytes: nothing is written past
  // data[capacity - 1]) and CFileException.
  int ReadRecord(uint32_t& address, uint8_t* data, int capacity);
  // Whether the bytes of the last record lie beyond address 0xFFFFFFFF (a binary file placed
  // near the top): they belong to no address and are never programmed.
  bool IsPastTop() const { return reader_ != nullptr && reader_->PastTop(); }

  void ResetCounters() {
    m_nLines = 0;
    m_nChecksumErrors = 0;
    m_nLastChecksumErrorLine = 0;
  }

  int m_nLines = 0;                  // lines read since the counters were reset
  int m_nChecksumErrors = 0;         // data records whose checksum did not match
  int m_nLastChecksumErrorLine = 0;  // line of the latest such record, 0 when none

 private:
  static constexpr std::size_t kBufferSize = 16384;

  bool Refill();
  FileFormat DetectFormat();
  // RecordInput, for the format's reader.
  bool NextLine(std::string& line) override;
  int LineNumber() const override { return m_nLines; }
  std::size_t ReadBytes(uint8_t* data, std::size_t want) override;
  uint64_t Position() const override { return position_; }
  void ChecksumMismatch(int lineNo) override {
    ++m_nChecksumErrors;
    m_nLastChecksumErrorLine = lineNo;
  }

  std::FILE* file_ = nullptr;
  std::string path_;
  FileFormat format_ = FileFormat::SRecord;
  std::unique_ptr<RecordReader> reader_;  // none for Unknown
  char buffer_[kBufferSize];
  std::size_t bufferPos_ = 0;
  std::size_t bufferLen_ = 0;
  uint64_t position_ = 0;
};

}  // namespace quill
