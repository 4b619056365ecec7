// Boot mode: baud-rate synchronisation with the on-chip boot ROM, the kernel download with its
// byte-by-byte echo check, and the wait for the kernel's erase-all report.
#include <algorithm>
#include <vector>

#include "link/comm_thread.h"
#include "link/results.h"
#include "link/kernel_store.h"

namespace quill {
namespace {

constexpr uint8_t kStartByte = 0x55;
constexpr uint8_t kStartEcho = 0xAA;
constexpr uint8_t kEraseFailed = 0xFF;
constexpr int kSyncAttempts = 5;
constexpr int kEchoAttempts = 3;
constexpr int kEraseReportAttempts = 20;

}  // namespace

void CCommThread::BootProgram() {
  SetProgress(PhaseSync, 0, 100);
  const uint8_t sync[10] = {};
  if (!WriteBytes(sync, sizeof sync)) return SetResult(ErrorInternal, InternalError::SyncWrite);
  // Any byte at all tells that the boot ROM has found the rate.
  if (ReadByte(kSyncAttempts) < 0) return SetResult(ErrorBootSyncTimeout, 0);
  SetProgress(PhaseSync, 100, 100);

  // StartBoot took the image and checked its size.
  const std::size_t length = m_kernel.size();
  if (length == 0 || length > kKernelCapacity) {
    return SetResult(ErrorInternal, InternalError::KernelLoad);
  }
  std::vector<uint8_t> stream(3 + length);
  std::copy(m_kernel.begin(), m_kernel.end(), stream.begin() + 3);
  const int32_t imageLength = static_cast<int32_t>(length);
  SetProgress(PhaseKernelLoad, 0, imageLength);
  stream[0] = kStartByte;
  stream[1] = static_cast<uint8_t>(length >> 8);
  stream[2] = static_cast<uint8_t>(length & 0xFF);
  const int32_t total = imageLength + 3;

  for (int32_t i = 0; i < total; ++i) {
    if (!WriteByte(stream[i])) return SetResult(ErrorInternal, InternalError::DownloadWrite);
    const int echo = ReadByte(kEchoAttempts);
    if (echo < 0) return SetResult(ErrorBootLoadTimeout, static_cast<uint32_t>(i));
    const int expected = i == 0 ? kStartEcho : stream[i];
    if (echo != expected) return SetResult(ErrorBootLoadEcho, static_cast<uint32_t>(i));
    SetProgress(PhaseKernelLoad, i, total);
  }
  SetProgress(PhaseKernelLoad, total, total);

  int report = -1;
  for (int attempt = 0; attempt < kEraseReportAttempts && report < 0; ++attempt) {
    SetProgress(PhaseBootErase, attempt, kEraseReportAttempts);
    report = ReadByte(1);
  }
  if (report < 0) return SetResult(ErrorBootEraseTimeout, 0);
  if (report == kEraseFailed) return SetResult(ErrorBootEraseFailed, 0);
  SetProgress(PhaseBootErase, kEraseReportAttempts, kEraseReportAttempts);

  // m_bEraseFirst is false for a boot: the kernel has just erased everything.
  ProgramFile();
}

}  // namespace quill
