// The kernel's 0x57 command over a byte link: the erase form for the selected blocks, and the
// programming form that carries one chunk of a data record, confirmed by a checksum.
#pragma once

#include <cstdint>

#include "link/link_session.h"
#include "progfile/job.h"

namespace quill {

class CProgramFileSet;

class CKernelSession : public CLinkSession {
 public:
  // job (its device, mode, window, offset and selected blocks) must outlive the session.
  CKernelSession(ByteLink& link, const Job& job, ProgressCallback progress,
                 std::chrono::milliseconds readTimeout = kReadTimeout)
      : CLinkSession(link, std::move(progress), readTimeout), m_job(job) {}

  // Erases the job's selected blocks that the mode's map names, in map order, with one command;
  // sends nothing when none is named.
  Result EraseBlocks();

  // Programs every data record of files (open) chunk by chunk inside the window and the selected
  // blocks, after erasing the selected blocks when eraseFirst is set. Counts() tells what was
  // sent and left out, also after a failure.
  Result ProgramFile(CProgramFileSet& files, bool eraseFirst);

  const ProgramCounts& Counts() const { return m_counts; }

 private:
  Result Erase();
  Result Program(CProgramFileSet& files, bool eraseFirst);
  // The chunks of one data record of count bytes at address (before the offset).
  Result SendRecord(uint32_t address, const uint8_t* data, int count);
  Result SendChunk(uint32_t address, const uint8_t* data, uint32_t count);

  const Job& m_job;
  ProgramCounts m_counts;
};

}  // namespace quill
