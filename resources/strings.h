// The string table: every user-visible text of the program, addressed by its id.
#pragma once

#include <cstdint>
#include <string>

namespace quill {

struct StringEntry {
  uint32_t id;
  const char* text;
};

// The table itself, in ascending id order (a test keeps it so).
extern const StringEntry kStringTable[];
extern const int kStringTableSize;

// The text of a string id, or nullptr when the table has no such entry.
const char* FindString(uint32_t id);

// The text of a string id; empty when the table has no such entry.
std::string LoadString(uint32_t id);

// Ids of texts added to the table beyond the original set.
namespace StrId {
constexpr uint32_t ChecksumError = 400;  // a data record whose checksum does not match
constexpr uint32_t FileOpenError = 401;  // a program file that cannot be opened
constexpr uint32_t FileReadError = 402;  // a program file that cannot be read
constexpr uint32_t FileChanged = 410;    // the program file turned invalid while programming
constexpr uint32_t BlockEraseFailed = 411;  // the kernel reported a failed block erase
constexpr uint32_t NoKernel = 430;        // boot refused: no kernel installed for a real board
constexpr uint32_t KernelUnusable = 431;  // boot refused: the installed kernel file is unusable
constexpr uint32_t KernelReal = 432;      // configuration page: an installed kernel
constexpr uint32_t KernelStandIn = 433;   // configuration page: only the stand-in
constexpr uint32_t KernelNone = 434;      // configuration page: no kernel at all
constexpr uint32_t KernelBad = 435;       // configuration page: an unusable installed kernel
constexpr uint32_t KernelsImported = 436;     // kernel import: what the store now holds
constexpr uint32_t KernelsNotImported = 437;  // kernel import: refused, store unchanged
constexpr uint32_t KernelReplaceAsk = 438;    // kernel import: replace a different installed one?
constexpr uint32_t UnknownFileFormat = 450;    // a program file in neither text format
constexpr uint32_t IntelHexFormatError = 451;  // a damaged Intel HEX file
constexpr uint32_t FilesOverlap = 452;         // two program files write the same address
constexpr uint32_t FileChangedLength = 453;    // a raw binary file's length changed
constexpr uint32_t ProgramFileFilter = 454;    // the file dialog's filter of both text formats
}

}  // namespace quill
