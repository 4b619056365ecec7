// A run's program files read as one: every file in order, each in its own format and at its own
// base address, one record at a time. The check and the programming pass both read through it,
// so a set of several files is checked together and programmed in one pass.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "progfile/load_file.h"
#include "progfile/program_file.h"

namespace quill {

// One data record of the set.
struct ProgramRecord {
  uint32_t address = 0;  // as the file gives it (a binary file's base added), before the offset
  bool pastTop = false;  // the bytes lie beyond 0xFFFFFFFF: no address, never programmed
  int file = 0;          // index of its file in the set
};

class CProgramFileSet {
 public:
  // Opens every file of the set now, so one that cannot be opened is known before anything is
  // read or sent. Throws CFileException naming the path.
  void Open(const std::vector<ProgramFile>& files);
  void Close();
  bool IsOpen() const { return !readers_.empty(); }

  // The next data record of the set: its number of data bytes (data as CLoadFile::ReadRecord
  // gives it), or -1 after the last file's end. Throws what CLoadFile::ReadRecord throws, and
  // CUserException Changed for a binary file whose length is not the checked one.
  int ReadRecord(ProgramRecord& record, uint8_t* data, int capacity);

  // One more piece after the last file's data: bytes (at most kMaxRecordData) at address, read
  // as one record of file index FileCount(). A board's own value goes in so, beside files that
  // are never held whole. Close drops it.
  void AddPiece(uint32_t address, std::vector<uint8_t> bytes);

  // The lengths of all files together, as they were when opened, and the position in them.
  uint64_t GetLength() const { return length_; }
  uint64_t GetPosition() const;

  std::size_t FileCount() const { return files_.size(); }
  // The file being read (the last one after the end), and its entry with the format and the
  // length at opening filled in.
  int CurrentFile() const { return static_cast<int>(current_); }
  ProgramFile Resolved(int index) const;
  // The current file's lines read, and its counters.
  const CLoadFile& Current() const { return *readers_[current_]; }

 private:
  std::vector<ProgramFile> files_;
  std::vector<std::unique_ptr<CLoadFile>> readers_;
  std::vector<uint64_t> lengths_;
  uint64_t length_ = 0;
  uint64_t before_ = 0;  // lengths of the files before the current one
  std::size_t current_ = 0;
  bool started_ = false;  // whether the current file has been looked at
  std::vector<uint8_t> piece_;
  uint32_t pieceAddress_ = 0;
  bool pieceDue_ = false;
};

// The addresses one file writes, as merged runs: memory grows with the number of separate runs,
// never with the file's size.
class AddressRuns {
 public:
  // Adds first..last (inclusive).
  void Add(uint32_t first, uint32_t last);
  // The lowest address both hold.
  static std::optional<uint32_t> FirstShared(const AddressRuns& a, const AddressRuns& b);
  std::size_t RunCount() const { return runs_.size(); }

 private:
  std::map<uint32_t, uint32_t> runs_;  // start -> last, disjoint and not adjacent
};

}  // namespace quill
