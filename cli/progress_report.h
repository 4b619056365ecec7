// How quill-cli shows a board's run as it goes: the progress line (a bar redrawn in place, or a
// plain line at each phase and every 10 %) and the byte trace of --trace.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/link_run.h"
#include "link/serial_port.h"

namespace quill::cli {

// The communication object's command for an operation.
ThreadCommand CommandOf(LinkOp op);

// One line per transfer on standard error: milliseconds since the start, the direction, the
// bytes in hexadecimal; with several boards after the board's port.
class StderrTrace : public SerialTrace {
 public:
  explicit StderrTrace(std::string prefix = {}) : prefix_(std::move(prefix)) {}
  void Trace(TraceKind kind, const uint8_t* data, std::size_t length) override;

 private:
  std::string prefix_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class ProgressReport {
 public:
  ProgressReport(LinkOp op, ProgressStyle style, std::string prefix)
      : op_(op), style_(style), prefix_(std::move(prefix)) {}
  ~ProgressReport() { Finish(); }

  void Update(int32_t phase, int32_t pos, int32_t range);
  // completed: the operation succeeded, so its last phase ran to its end, though the phase's
  // last step may have been overtaken by the idle phase before it was read.
  void Finish(bool completed = false);

 private:
  using Clock = std::chrono::steady_clock;

  // "  1:05 left" once the phase has run a second and moved; empty before.
  std::string TimeLeft(int32_t pos, int32_t range) const;
  void DrawBar(int percent, const std::string& left);

  LinkOp op_;
  ProgressStyle style_;
  std::string prefix_;
  int32_t lastPhase_ = -1;
  int lastPercent_ = -1;
  int lastDecile_ = -1;
  std::string lastLeft_;
  Clock::time_point phaseStart_;
  int32_t phaseStartPos_ = 0;
  bool drawn_ = false;
  std::string status_;
};

}  // namespace quill::cli
