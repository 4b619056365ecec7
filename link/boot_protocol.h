// Boot mode over a byte link: baud-rate synchronisation with the on-chip boot ROM, the kernel
// download with its byte-by-byte echo check, the wait for the kernel's erase-all report, and then
// the programming of the files through the kernel just started.
#pragma once

#include <cstdint>
#include <vector>

#include "link/kernel_protocol.h"

namespace quill {

class CBootSession : public CLinkSession {
 public:
  CBootSession(ByteLink& link, const Job& job, ProgressCallback progress,
               std::chrono::milliseconds readTimeout = kReadTimeout)
      : CLinkSession(link, progress, readTimeout), m_kernel(link, job, progress, readTimeout) {}

  // Downloads kernel (the image itself, at most kKernelCapacity bytes) and programs files (open).
  Result BootProgram(const std::vector<uint8_t>& kernel, CProgramFileSet& files);

  const ProgramCounts& Counts() const { return m_kernel.Counts(); }

 private:
  Result Download(const std::vector<uint8_t>& kernel);

  CKernelSession m_kernel;
};

}  // namespace quill
