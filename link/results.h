// Operation results: the status line of every phase, the ErrorKind of every outcome, the InternalErrorNumber of every fixed
// failure site of the target link, and the message shown for a result.
#pragma once

#include <cstdint>
#include <string>

namespace quill {

enum ErrorKind : int32_t {
  ErrorNone = 0,
  ErrorUserAbort = 1,
  ErrorBootSyncTimeout = 2,
  ErrorBootEraseTimeout = 3,
  ErrorBootEraseFailed = 4,
  ErrorBootLoadEcho = 5,
  ErrorBootLoadTimeout = 6,
  ErrorFlashWriteChecksum = 7,
  ErrorRamEmulationTimeout = 8,  // produced by no operation; kept for its message
  ErrorBlockEraseFailed = 9,
  ErrorBlockEraseTimeout = 10,
  ErrorFlashWriteFailed = 11,  // produced by no operation; kept for its message
  ErrorFlashWriteTimeout = 12,
  ErrorInternal = 13,
  // The program file no longer reads as it did when it was checked (a format error or a
  // checksum mismatch met while programming); the detail is the line number.
  ErrorFileChanged = 14,
  // Boot refused before the port was opened: no kernel is installed for the clock range, and the
  // built-in stand-in goes only to a simulated board. The detail is the kernel id.
  ErrorNoKernel = 15,
  // Boot refused before the port was opened: the installed kernel file cannot be used (unreadable,
  // empty or too large). The detail is the kernel id.
  ErrorKernelUnusable = 16,
};

// Whether a result is a boot refused before anything was sent, for want of a usable kernel.
constexpr bool IsKernelRefusal(int32_t kind) {
  return kind == ErrorNoKernel || kind == ErrorKernelUnusable;
}

// The detail of ErrorInternal: one number per failure site, growing along each operation.
namespace InternalError {
// Port set-up
constexpr uint32_t PortOpen = 254;
constexpr uint32_t GetCommState = 265;
constexpr uint32_t BuildCommDcb = 273;
constexpr uint32_t SetCommState = 308;
constexpr uint32_t PurgeComm = 317;
constexpr uint32_t GetCommTimeouts = 329;
constexpr uint32_t SetCommTimeouts = 341;
// Boot mode
constexpr uint32_t SyncWrite = 606;
constexpr uint32_t KernelLoad = 642;
constexpr uint32_t DownloadWrite = 666;
// Programming chunk
constexpr uint32_t ChunkCommandWrite = 881;
constexpr uint32_t ChunkCommandReply = 893;
constexpr uint32_t ChunkAddressWrite = 910;
constexpr uint32_t ChunkAddressReply = 922;
constexpr uint32_t ChunkFirstAckWrite = 931;
constexpr uint32_t ChunkDataWrite = 940;
constexpr uint32_t ChunkDataReply = 952;
constexpr uint32_t ChunkSecondAckWrite = 961;
constexpr uint32_t ChunkChecksumWrite = 970;
constexpr uint32_t ChunkFinalReply = 984;
// Block erase
constexpr uint32_t EraseCommandWrite = 1124;
constexpr uint32_t EraseCountWrite = 1133;
constexpr uint32_t EraseListWrite = 1142;
constexpr uint32_t EraseTrailerWrite = 1191;
// A network port's connection ended while an operation ran.
constexpr uint32_t ConnectionLost = 1210;
// No value could be taken for the board (its outcome says why); nothing was sent.
constexpr uint32_t BoardValue = 1230;
// Automatic Mode: the port could not drive the control lines that set the board's switches
// (its outcome says which and why); nothing was sent.
constexpr uint32_t ControlLines = 1240;
}  // namespace InternalError

// The command handed to the communication object's worker: the operation a result is of.
enum ThreadCommand : int32_t { CmdNone = 0, CmdBoot, CmdProgram, CmdErase, CmdQuit };

// The string id of the status line the wizard and the command line show for a phase of an
// operation (CmdBoot, CmdProgram, CmdErase); 0 where the operation shows none.
uint32_t StatusTextId(ThreadCommand command, int32_t phase);

// The string id of an ErrorKind's message, or 0 when the kind has none (string 117 is used then).
uint32_t ErrorMessageId(int32_t kind);

// The message for a result: the kind's text with the detail as its insert, or text 117 with the
// kind and the detail for a kind the table does not know.
std::string FormatErrorMessage(int32_t kind, uint32_t detail);

// The short name of an ErrorKind ("success" for none) as board records carry it; a board refused
// for want of its own value (ErrorInternal, BoardValue) is value_unavailable.
std::string ResultName(int32_t kind, uint32_t detail = 0);

}  // namespace quill
