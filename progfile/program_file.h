// One program file of a run: where it is, how its content is read, and what the check found.
// A run programs a set of them (the wizard's single file is a set of one).
#pragma once

#include <cstdint>
#include <string>

namespace quill {

enum class FileFormat : int32_t {
  Detect,    // recognised from the content: the first non-blank line starts with 'S' or ':'
  SRecord,   // Motorola S-record: S1, S2, S3 data records
  IntelHex,  // Intel HEX: data, end-of-file, extended segment and linear address records
  Binary,    // raw bytes, the first at the file's base address; only ever chosen explicitly
  Unknown,   // detection found neither text format
};

struct ProgramFile {
  std::string path;
  FileFormat format = FileFormat::Detect;
  uint32_t base = 0;  // address of the first byte of a Binary file
  // The file's length when the check read it (-1 before). The programming pass refuses a raw
  // binary file of any other length, since any content at all reads as valid raw binary.
  int64_t checkedLength = -1;
};

}  // namespace quill
