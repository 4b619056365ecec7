// A program-file format: how the data records of a file are read from its lines or its raw
// bytes. S-record, Intel HEX and raw binary each implement RecordReader in a file of their own
// (progfile/*_reader.cpp) and have one row in FormatTable() (progfile/record_reader.cpp); a new
// format is one such file, its row, and its name in the build's source list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "progfile/program_file.h"

namespace quill {

// What a reader reads from: the open program file (CLoadFile), a line or a piece at a time.
class RecordInput {
 public:
  virtual ~RecordInput() = default;
  // The next line without its terminator, counted; false at the end of the file.
  virtual bool NextLine(std::string& line) = 0;
  // The number of the line NextLine gave last (1 for the first).
  virtual int LineNumber() const = 0;
  // Up to want raw bytes into data; 0 at the end of the file.
  virtual std::size_t ReadBytes(uint8_t* data, std::size_t want) = 0;
  // The bytes of the file consumed so far.
  virtual uint64_t Position() const = 0;
  // The record on line lineNo has a checksum that does not match: counted, and read as usual.
  virtual void ChecksumMismatch(int lineNo) = 0;
};

class RecordReader {
 public:
  virtual ~RecordReader() = default;
  // Reads up to the next data record and returns its number of data bytes, with its address and
  // its data in data[0..n), or -1 at the end of the file. Never writes past data[capacity - 1]:
  // a longer record throws CUserException (RecordTooLong), a malformed one FormatError.
  virtual int Next(RecordInput& input, uint32_t& address, uint8_t* data, int capacity) = 0;
  // Whether the bytes of the last record lie beyond address 0xFFFFFFFF: they belong to no
  // address and are never programmed.
  virtual bool PastTop() const { return false; }
};

struct FormatEntry {
  FileFormat format;
  // The character the first non-blank line of a text format starts with, which detection goes
  // by; 0 for a format that is only ever chosen explicitly.
  char firstCharacter;
  // A reader for one file; base is the address of a raw binary file's first byte.
  std::unique_ptr<RecordReader> (*make)(uint32_t base);
};

// Every format the reader knows, in the order detection tries them.
std::span<const FormatEntry> FormatTable();
// The table's row of format; nullptr for Detect and Unknown.
const FormatEntry* FindFormat(FileFormat format);

std::unique_ptr<RecordReader> MakeSRecordReader(uint32_t base);
std::unique_ptr<RecordReader> MakeIntelHexReader(uint32_t base);
std::unique_ptr<RecordReader> MakeBinaryReader(uint32_t base);

}  // namespace quill
