#include "link/results.h"

#include <iterator>

#include "kernels/kernel_store.h"
#include "link/link_session.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill {
namespace {

struct MessageEntry {
  int32_t kind;
  uint32_t stringId;
};

// Searched in this order.
constexpr MessageEntry kMessages[] = {
    {ErrorNone, StrId::NoError},
    {ErrorUserAbort, StrId::UserAbort},
    {ErrorBootSyncTimeout, StrId::BootSyncTimeout},
    {ErrorBootEraseTimeout, StrId::BootEraseTimeout},
    {ErrorBootEraseFailed, StrId::BootEraseFailed},
    {ErrorBootLoadEcho, StrId::BootLoadEcho},
    {ErrorBootLoadTimeout, StrId::BootLoadTimeout},
    {ErrorFlashWriteChecksum, StrId::FlashWriteChecksum},
    {ErrorRamEmulationTimeout, StrId::RamEmulationTimeout},
    // The kernel's erase reply names no block, so text 160 with its location is not used.
    {ErrorBlockEraseFailed, StrId::BlockEraseFailed},
    {ErrorBlockEraseTimeout, StrId::BlockEraseTimeout},
    {ErrorFlashWriteFailed, StrId::FlashWriteFailed},
    {ErrorFlashWriteTimeout, StrId::FlashWriteTimeout},
    {ErrorInternal, StrId::InternalErrorText},
    {ErrorFileChanged, StrId::FileChanged},
    {ErrorNoKernel, StrId::NoKernel},
    {ErrorKernelUnusable, StrId::KernelUnusable},
};


}  // namespace

uint32_t ErrorMessageId(int32_t kind) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.kind == kind) return entry.stringId;
  }
  return 0;
}

std::string FormatErrorMessage(int32_t kind, uint32_t detail) {
  const uint32_t id = ErrorMessageId(kind);
  if (id == 0) return FormatString(StrId::UnrecognizedError, {kind, detail});
  if (kind == ErrorNoKernel) {
    const std::string store = KernelStoreDirs::Default().user.string();
    return FormatString(id, {DescribeKernelUse(detail), detail, store});
  }
  if (kind == ErrorKernelUnusable) {
    const KernelImage image = FindKernel(detail);
    const std::string problem = image.origin == KernelOrigin::Unusable
                                    ? image.path.string() + ": " + image.problem
                                    : std::string("it changed since the boot was refused");
    return FormatString(id, {DescribeKernelUse(detail), detail, problem});
  }
  // A raw binary file has no lines: its change is told without one.
  if (kind == ErrorFileChanged && detail == 0) return LoadString(StrId::FileChangedLength);
  return FormatString(id, {detail});
}

uint32_t StatusTextId(ThreadCommand command, int32_t phase) {
  switch (command) {
    case CmdBoot:
      switch (phase) {
        case PhaseSync: return StrId::StatusSync;
        case PhaseBootErase: return StrId::StatusBootErase;
        case PhaseKernelLoad: return StrId::StatusKernelLoad;
        case PhaseProgram: return StrId::StatusProgram;
        default: return 0;
      }
    case CmdProgram:
      if (phase == PhaseBlockErase) return StrId::StatusBlockErase;
      return phase == PhaseProgram ? StrId::StatusProgram : 0;
    case CmdErase:
      return phase == PhaseBlockErase ? StrId::StatusEraseBlocks : 0;
    default:
      return 0;
  }
}

std::string ResultName(int32_t kind, uint32_t detail) {
  static const char* const kNames[] = {
      "success",          "user_abort",          "boot_sync_timeout",    "boot_erase_timeout",
      "boot_erase_failed", "boot_load_echo_error", "boot_load_timeout",   "flash_write_checksum_error",
      "ram_emulation_timeout", "block_erase_failed", "block_erase_timeout", "flash_write_failed",
      "flash_write_timeout", "internal_error",      "file_changed"};
  if (kind == ErrorInternal && detail == InternalError::BoardValue) return "value_unavailable";
  if (kind >= 0 && kind < static_cast<int32_t>(std::size(kNames))) return kNames[kind];
  return "error_" + std::to_string(kind);
}

}  // namespace quill
