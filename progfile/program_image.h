// The program image as the flash will see it: the address rule that maps a record through the
// offset and the lowest/highest window, the blocks an address range touches, and the
// program-file check that the file pages and the command line run before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "progfile/job.h"
#include "device/catalogue.h"
#include "progfile/program_file.h"

namespace quill {

// The part of one data record that falls inside the window.
struct ClippedRecord {
  uint32_t insideCount = 0;   // 0 when no byte is inside
  uint32_t outsideCount = 0;  // the record's other bytes
  uint32_t first = 0;         // address of the first inside byte (when insideCount > 0)
  uint32_t last = 0;          // address of the last inside byte
  int dataIndex = 0;          // index of the first inside byte in the record's data
};

// A record of count data bytes at address: it starts at address + offset (modulo 2^32) and runs
// for count bytes without wrapping; bytes past 0xFFFFFFFF, below lowest or above highest are
// outside.
ClippedRecord ClipRecord(uint32_t address, int count, uint32_t offset, uint32_t lowest,
                         uint32_t highest);

struct ProgramRecord;
// ClipRecord for a record of a file set; a record past the top of the address space is outside.
ClippedRecord ClipRecord(const ProgramRecord& record, int count, uint32_t offset, uint32_t lowest,
                         uint32_t highest);

// Appends to list, in map order and each once, the names of the blocks of the mode that
// first..last touches. True when the range lies within the block map; names appended before
// the walk ran out stay in the list.
bool CollectTouchedBlocks(uint32_t first, uint32_t last, const DeviceType& device, int mode,
                          std::vector<std::string>& list);

// Where the flash a run writes besides the files (the job's reserved range: a board's own value)
// lies. everyBlock: the run programs every block (a boot erases the whole flash), so the range's
// blocks are added to sheet.m_astrSelectedBlocks; otherwise they must be selected already.
struct ReservedPlace {
  enum Outcome { Inside, OutsideWindow, OutsideFlash, BlockNotProgrammed } outcome = Inside;
  std::string block;  // BlockNotProgrammed: the first block the run does not program
};
ReservedPlace CheckReservedPlace(Job& sheet, bool everyBlock);
// Why the reserved range cannot go there, to follow "the value's N bytes at ADDRESS" ("do not lie
// inside the window H'0 to H'7FFF"); empty for Inside.
std::string ReservedPlaceProblem(const ReservedPlace& place, const Job& sheet);

// How the check tells the user what it found. The wizard shows message boxes; the command line
// prints; tests record.
class CheckReporter {
 public:
  virtual ~CheckReporter() = default;
  // A message with an OK button.
  virtual void ShowMessage(uint32_t id, const std::string& text) = 0;
  // A question with Yes and No buttons; true for Yes.
  virtual bool AskYesNo(uint32_t id, const std::string& text) = 0;
  // A file that could not be opened or read; text names the path and the reason.
  virtual void ReportFileError(const std::string& text) = 0;
  virtual void BeginWaitCursor() {}
  virtual void EndWaitCursor() {}
};

// Shows the reporter's wait cursor for as long as it lives.
class WaitCursorGuard {
 public:
  explicit WaitCursorGuard(CheckReporter& reporter) : reporter_(reporter) {
    reporter_.BeginWaitCursor();
  }
  ~WaitCursorGuard() { reporter_.EndWaitCursor(); }
  WaitCursorGuard(const WaitCursorGuard&) = delete;
  WaitCursorGuard& operator=(const WaitCursorGuard&) = delete;

 private:
  CheckReporter& reporter_;
};

// What a check found, beyond its yes or no.
struct CheckSummary {
  enum Outcome {
    Passed,            // something to program, all of it inside the flash
    PassedEmpty,       // nothing to program, and the user said that is what he wants
    DeclinedEmpty,     // nothing to program, and the user said No
    FileError,         // cannot be opened or read
    FormatError,       // not a valid file of its format (message 136 for S-record)
    ChecksumMismatch,  // a data record whose checksum does not match
    OutsideFlash,      // bytes inside the window but outside the block map (message 137)
    UnknownFormat,     // neither S-record nor Intel HEX
    Overlap,           // two files of the set write the same address
    ReservedOverlap,   // a file writes where the board's own value goes (address)
  };
  Outcome outcome = Passed;
  uint64_t insideBytes = 0;   // data bytes inside the window, over the records read
  uint64_t outsideBytes = 0;  // all other data bytes
  int line = 0;               // the offending line for FormatError and ChecksumMismatch
  int file = 0;               // the offending file's index in the set
  FileFormat format = FileFormat::Detect;  // FormatError: the format it was read in
  int otherFile = 0;          // Overlap: the later of the two files
  uint32_t address = 0;       // Overlap: the lowest address both write
};

// The check of the set of one file (format recognised from the content) that the wizard's file
// pages run: reads the file at path once, record by record, with the device, mode, offset and window of
// sheet; fills sheet.m_astrSelectedBlocks with the blocks that will receive data, in order of
// first touch. True when the wizard may go on. Every problem is told through reporter; summary,
// when given, receives the outcome and the byte counts.
bool CheckProgramFile(Job& sheet, const std::string& path, CheckReporter& reporter,
                      CheckSummary* summary = nullptr);

// The check of a set of files read as one image: the blocks are the union, the counts the sums,
// and two files that write (inside the window) the same address are refused. On success
// sheet.m_aProgramFiles holds the set with each file's format and length as the check found
// them, which the programming pass then reads; on failure it is emptied.
bool CheckProgramFiles(Job& sheet, const std::vector<ProgramFile>& files,
                       CheckReporter& reporter, CheckSummary* summary = nullptr);

}  // namespace quill
