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

// Every string id the program uses, by one name each. The table is the only other place an id
// is written.
namespace StrId {
constexpr uint32_t ExitButton = 105;          // the sheet's "&Exit"
constexpr uint32_t StatusSync = 106;          // progress: synchronising the rate
constexpr uint32_t StatusBlockErase = 107;    // progress: erasing the selected blocks (program)
constexpr uint32_t StatusProgram = 108;       // progress: programming
constexpr uint32_t Caption = 109;             // the sheet's title
constexpr uint32_t AboutButton = 112;         // the sheet's "&About..."
constexpr uint32_t StatusBootErase = 113;     // progress: the kernel erases everything
constexpr uint32_t StatusKernelLoad = 114;    // progress: downloading the kernel
constexpr uint32_t BootDone = 115;            // boot result: success
constexpr uint32_t InstructionsUser = 116;    // switch page of the user operations
constexpr uint32_t UnrecognizedError = 117;   // result of a kind the message table lacks
constexpr uint32_t InternalErrorText = 118;   // ErrorInternal with its InternalErrorNumber
constexpr uint32_t BootLoadEcho = 119;        // ErrorBootLoadEcho
constexpr uint32_t ProgramDone = 120;         // user program result: success
constexpr uint32_t InstructionsBoot = 121;    // switch page of the boot
constexpr uint32_t SRecordFileFilter = 129;   // the file dialog's original filter
constexpr uint32_t OpenFileTitle = 130;       // the file dialog's title
constexpr uint32_t InvalidNumber = 132;       // an address field that is no number
constexpr uint32_t ColumnName = 133;          // block list columns
constexpr uint32_t ColumnStarts = 134;
constexpr uint32_t ColumnEnds = 135;
constexpr uint32_t InvalidFormat = 136;       // a file that is not valid S-record
constexpr uint32_t OutsideFlash = 137;        // data inside the window but outside the flash
constexpr uint32_t EnterPath = 138;           // the file field is empty
constexpr uint32_t NothingToProgram = 140;    // the window leaves nothing to program
constexpr uint32_t StatusEraseBlocks = 141;   // progress: the erase operation
constexpr uint32_t EraseDone = 142;           // erase result: success
constexpr uint32_t NoError = 144;             // the result messages, by ErrorKind
constexpr uint32_t UserAbort = 145;
constexpr uint32_t BootSyncTimeout = 146;
constexpr uint32_t BootEraseTimeout = 155;
constexpr uint32_t BootEraseFailed = 156;
constexpr uint32_t BootLoadTimeout = 157;
constexpr uint32_t FlashWriteChecksum = 158;
constexpr uint32_t RamEmulationTimeout = 159;
constexpr uint32_t BlockEraseFailedAt = 160;  // with a location the kernel never reports
constexpr uint32_t BlockEraseTimeout = 161;
constexpr uint32_t FlashWriteFailed = 162;
constexpr uint32_t FlashWriteTimeout = 163;
constexpr uint32_t PathTooLong = 164;         // the file path is too long
constexpr uint32_t AddressRange = 165;        // an address outside its permitted range
constexpr uint32_t Counts = 167;              // bytes programmed inside and left outside
constexpr uint32_t SelectABlock = 177;        // the erase block list is empty
constexpr uint32_t SelectPortAndRate = 180;   // configuration page: no port or rate chosen
constexpr uint32_t NoPorts = 181;             // configuration page: no serial port at all
constexpr uint32_t DeviceTxA10 = 110;         // the catalogue's device names
constexpr uint32_t DeviceTxC30 = 127;
constexpr uint32_t DeviceTxC31 = 128;
constexpr uint32_t ClockLabelsA = 168;        // the first of nine clock-range labels (168-176)
constexpr uint32_t ClockLabelsB = 218;        // 218-226
constexpr uint32_t ClockLabelsC = 227;        // 227-235
constexpr uint32_t ModeName2 = 236;           // the TX-C31's mode names
constexpr uint32_t ModeName3 = 237;
// Texts added to the table beyond the original set.
constexpr uint32_t NotStartedFile = 420;      // an operation not started: its file does not open
constexpr uint32_t NotStartedBusy = 421;      // an operation not started: the last one still runs
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
constexpr uint32_t NetworkPortInvalid = 460;   // configuration page: a typed port that is no URL
constexpr uint32_t LineMapInvalid = 461;       // configuration page: Automatic Mode's line map
}

}  // namespace quill
