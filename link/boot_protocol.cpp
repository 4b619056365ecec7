#include "link/boot_protocol.h"

#include <algorithm>

#include "kernels/kernel_store.h"

namespace quill {
namespace {

constexpr uint8_t kStartByte = 0x55;
constexpr uint8_t kStartEcho = 0xAA;
constexpr uint8_t kEraseFailed = 0xFF;
constexpr int kSyncAttempts = 5;
constexpr int kEchoAttempts = 3;
constexpr int kEraseReportAttempts = 20;

}  // namespace

Result CBootSession::BootProgram(const std::vector<uint8_t>& kernel, CProgramFileSet& files) {
  const Result boot = Guarded([&] { return Download(kernel); });
  if (!boot.ok()) return boot;
  // No pre-erase: the kernel has just erased everything.
  return m_kernel.ProgramFile(files, false);
}

Result CBootSession::Download(const std::vector<uint8_t>& kernel) {
  Report(PhaseSync, 0, 100);
  const uint8_t sync[10] = {};
  if (!WriteBytes(sync, sizeof sync)) return {ErrorInternal, InternalError::SyncWrite};
  // Any byte at all tells that the boot ROM has found the rate.
  if (ReadByte(kSyncAttempts) < 0) return {ErrorBootSyncTimeout, 0};
  Report(PhaseSync, 100, 100);

  const std::size_t length = kernel.size();
  if (length == 0 || length > kKernelCapacity) return {ErrorInternal, InternalError::KernelLoad};
  std::vector<uint8_t> stream(3 + length);
  std::copy(kernel.begin(), kernel.end(), stream.begin() + 3);
  const int32_t imageLength = static_cast<int32_t>(length);
  Report(PhaseKernelLoad, 0, imageLength);
  stream[0] = kStartByte;
  stream[1] = static_cast<uint8_t>(length >> 8);
  stream[2] = static_cast<uint8_t>(length & 0xFF);
  const int32_t total = imageLength + 3;

  for (int32_t i = 0; i < total; ++i) {
    if (!WriteByte(stream[i])) return {ErrorInternal, InternalError::DownloadWrite};
    const int echo = ReadByte(kEchoAttempts);
    if (echo < 0) return {ErrorBootLoadTimeout, static_cast<uint32_t>(i)};
    const int expected = i == 0 ? kStartEcho : stream[i];
    if (echo != expected) return {ErrorBootLoadEcho, static_cast<uint32_t>(i)};
    Report(PhaseKernelLoad, i, total);
  }
  Report(PhaseKernelLoad, total, total);

  int report = -1;
  for (int attempt = 0; attempt < kEraseReportAttempts && report < 0; ++attempt) {
    Report(PhaseBootErase, attempt, kEraseReportAttempts);
    report = ReadByte(1);
  }
  if (report < 0) return {ErrorBootEraseTimeout, 0};
  if (report == kEraseFailed) return {ErrorBootEraseFailed, 0};
  Report(PhaseBootErase, kEraseReportAttempts, kEraseReportAttempts);
  return {};
}

}  // namespace quill
