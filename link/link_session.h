// What the boot and kernel protocol sessions share: the phase and progress they report, the one
// result every operation returns, and the reply waits, writes and abort check over a byte link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "link/byte_link.h"
#include "link/results.h"

namespace quill {

// The phase reported with each progress step; PhaseIdle means no operation runs.
enum ProgressPhase : int32_t {
  PhaseIdle = 0,
  PhaseStarted,
  PhaseSync,
  PhaseBootErase,
  PhaseKernelLoad,
  PhaseRamEmulation,  // reserved; no operation reports it
  PhaseBlockErase,
  PhaseProgram,
};

// One progress step: the phase, and the position within its range.
struct Progress {
  int32_t phase = PhaseIdle;
  int32_t position = 0;
  int32_t range = 1;
};

// Told of every progress step, on the thread that runs the session.
using ProgressCallback = std::function<void(const Progress&)>;

// How an operation ended: its ErrorKind and the detail that goes with it.
struct Result {
  int32_t kind = ErrorNone;
  uint32_t detail = 0;
  bool ok() const { return kind == ErrorNone; }
  friend bool operator==(const Result&, const Result&) = default;
};

// Bytes the programming step sent and left out (outside the window or the selected blocks).
struct ProgramCounts {
  uint32_t programmed = 0;
  uint32_t skipped = 0;
};

class CLinkSession {
 public:
  // How long one read attempt waits for its byte when no other timeout is given.
  static constexpr std::chrono::milliseconds kReadTimeout{1000};

 protected:
  // readTimeout is the wait of one read attempt; the attempt counts of the protocols multiply it.
  CLinkSession(ByteLink& link, ProgressCallback progress, std::chrono::milliseconds readTimeout)
      : m_link(link), m_progress(std::move(progress)), m_readTimeout(readTimeout) {}

  // Runs body; an abort noticed anywhere in it ends the operation with ErrorUserAbort.
  static Result Guarded(const std::function<Result()>& body);

  // A reply byte within the given number of read attempts, or -1 when none came or the line
  // failed. An abort requested before an attempt, or during the last one, unwinds to Guarded.
  int ReadByte(int attempts);
  bool WriteByte(uint8_t byte) { return m_link.Write(&byte, 1); }
  bool WriteBytes(const uint8_t* data, std::size_t length) { return m_link.Write(data, length); }
  void ThrowIfAbortRequested();
  void Report(int32_t phase, int32_t position, int32_t range) {
    if (m_progress) m_progress(Progress{phase, position, range});
  }

  ByteLink& m_link;
  ProgressCallback m_progress;

 private:
  std::chrono::milliseconds m_readTimeout;
};

}  // namespace quill
