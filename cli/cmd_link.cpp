// quill-cli boot, program and erase: the operations of the wizard's progress pages, run through
// the same communication object, with a progress line, Ctrl-C abort and a byte trace.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "cli/cli.h"
#include "cli/console.h"
#include "link/comm_thread.h"
#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill::cli {
namespace {

enum class LinkOp { Boot, Program, Erase };

// Success texts of the result pages, and the counts message.
constexpr uint32_t kBootDone = 115;
constexpr uint32_t kProgramDone = 120;
constexpr uint32_t kEraseDone = 142;
constexpr uint32_t kCounts = 167;

// The status line of each progress page for a phase; 0 where the page shows none.
uint32_t StatusText(LinkOp op, int32_t phase) {
  switch (op) {
    case LinkOp::Boot:
      switch (phase) {
        case PhaseSync: return 106;
        case PhaseBootErase: return 113;
        case PhaseKernelLoad: return 114;
        case PhaseProgram: return 108;
        default: return 0;
      }
    case LinkOp::Program:
      return phase == PhaseBlockErase ? 107 : phase == PhaseProgram ? 108 : 0;
    case LinkOp::Erase:
      return phase == PhaseBlockErase ? 141 : 0;
  }
  return 0;
}

// One line per transfer on standard error: milliseconds since the start, the direction, the
// bytes in hexadecimal.
class StderrTrace : public SerialTrace {
 public:
  void Trace(TraceKind kind, const uint8_t* data, std::size_t length) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    char head[32];
    const bool out = kind == TraceKind::Written || kind == TraceKind::WriteFailed;
    std::snprintf(head, sizeof head, "%8lld ms %c", static_cast<long long>(ms), out ? '>' : '<');
    std::string line = head;
    char hex[4];
    for (std::size_t i = 0; i < length; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      line += hex;
    }
    if (kind == TraceKind::WriteFailed) line += " (write failed)";
    if (kind == TraceKind::ReadTimeout) line += " (read timeout, 1000 ms)";
    if (kind == TraceKind::ReadFailed) line += " (read failed)";
    line += '\n';
    WriteStderr(line);
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The progress line: the status text of the phase and a bar with the percentage, redrawn in
// place on a terminal.
class ProgressLine {
 public:
  ProgressLine(LinkOp op, bool enabled) : op_(op), enabled_(enabled) {}
  ~ProgressLine() { Finish(); }

  void Update(int32_t phase, int32_t pos, int32_t range) {
    if (!enabled_) return;
    if (phase != lastPhase_) {
      lastPhase_ = phase;
      if (const uint32_t id = StatusText(op_, phase)) status_ = LoadString(id);
    }
    const int percent =
        range > 0 ? static_cast<int>(std::clamp<int64_t>(int64_t{pos} * 100 / range, 0, 100)) : 0;
    if (drawn_ && percent == lastPercent_ && phase == lastDrawnPhase_) return;
    lastPercent_ = percent;
    lastDrawnPhase_ = phase;

    constexpr int kBar = 20;
    std::string bar(kBar, '-');
    for (int i = 0; i < percent * kBar / 100; ++i) bar[i] = '#';
    char tail[48];
    std::snprintf(tail, sizeof tail, " [%s] %3d%%", bar.c_str(), percent);
    const int width = TerminalColumns();
    std::string text = status_;
    const std::size_t room = width > 40 ? static_cast<std::size_t>(width) - 1 - std::strlen(tail) : 0;
    if (text.size() > room) text = room > 3 ? text.substr(0, room - 3) + "..." : std::string();
    const std::string line = "\r" + text + tail + "\033[K";
    WriteStderr(line);
    drawn_ = true;
  }

  void Finish() {
    if (drawn_) WriteStderr("\n");
    drawn_ = false;
  }

 private:
  LinkOp op_;
  bool enabled_;
  int32_t lastPhase_ = -1;
  int32_t lastDrawnPhase_ = -1;
  int lastPercent_ = -1;
  bool drawn_ = false;
  std::string status_;
};

int ParseIndex(const std::string& option, const std::string& text, int count) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value >= count) {
    throw UsageError(option + " '" + text + "' is not accepted; accepted: 0 to " +
                     std::to_string(count - 1));
  }
  return static_cast<int>(value);
}

// --baud: one of the listed rates, or the default when absent.
int32_t ParseRate(const Options& options, const std::vector<uint32_t>& rates, uint32_t fallback,
                  const std::string& what) {
  const std::string* text = options.Value("--baud");
  if (text == nullptr) return static_cast<int32_t>(fallback);
  std::string accepted;
  for (uint32_t rate : rates) accepted += (accepted.empty() ? "" : ", ") + std::to_string(rate);
  for (uint32_t rate : rates) {
    if (*text == std::to_string(rate)) return static_cast<int32_t>(rate);
  }
  throw UsageError("--baud '" + *text + "' is not " + what + "; accepted: " + accepted);
}

// --blocks: "all", or names of the mode's map separated by commas, matched exactly.
std::vector<std::string> ParseBlocks(const std::string& text, const WizardState& state) {
  const DeviceMode& mode = state.Mode();
  std::vector<std::string> names;
  std::string accepted = "all";
  for (int i = 0; i < mode.blockCount; ++i) accepted += std::string(", ") + mode.blocks[i].name;
  if (text == "all") {
    for (int i = 0; i < mode.blockCount; ++i) names.push_back(mode.blocks[i].name);
    return names;
  }
  std::stringstream stream(text);
  std::string name;
  while (std::getline(stream, name, ',')) {
    bool known = false;
    for (int i = 0; i < mode.blockCount; ++i) known = known || name == mode.blocks[i].name;
    if (!known) {
      throw UsageError("--blocks: '" + name + "' is not a block of " + state.m_strMCUType +
                       "; accepted: " + accepted);
    }
    if (FindBlockName(names, name) < 0) names.push_back(name);
  }
  if (names.empty()) throw UsageError("--blocks needs at least one block; accepted: " + accepted);
  return names;
}

const std::string& RequiredValue(const Options& options, const std::string& name,
                                 const std::string& what) {
  const std::string* value = options.Value(name);
  if (value == nullptr) throw UsageError(name + " is required: " + what);
  return *value;
}

// Runs the operation to its end: follows the progress, turns Ctrl-C into an abort, and prints
// the outcome as the result page shows it. Returns the exit status.
int RunOperation(LinkOp op, WizardState& state, const Options& options) {
  const bool trace = options.Has("--trace");
  // The trace lines and a redrawn progress line would garble each other on one stream.
  const bool showProgress = !options.Has("--quiet") && !trace && StderrIsTerminal();

  CCommThread comm;
  StderrTrace tracer;
  if (trace) comm.SetTraceSink(&tracer);
  OperationWaiter waiter;
  if (!waiter.Ok()) {
    std::cerr << "quill-cli: " << waiter.Error() << '\n';
    return ErrorInternal;
  }
  ProgressNotifier& notifier = waiter.Notifier();

  std::string fileError;
  bool started = false;
  switch (op) {
    case LinkOp::Boot: started = comm.StartBoot(&notifier, &state, &fileError); break;
    case LinkOp::Program:
      started = comm.StartProgram(&notifier, &state, !options.Has("--no-erase"), &fileError);
      break;
    case LinkOp::Erase: started = comm.StartErase(&notifier, &state); break;
  }
  uint32_t detail = 0;
  if (!started) {
    comm.DetachNotifier(&notifier);
    if (!fileError.empty()) {
      std::cerr << fileError << '\n';
      return kExitCannotOpen;
    }
    const int32_t kind = comm.GetResult(detail);
    std::cerr << FormatErrorMessage(kind, detail) << '\n';
    if (kind == ErrorInternal && detail == InternalError::PortOpen) ExplainPortOpen(state.m_strComPort);
    return IsKernelRefusal(kind) ? kExitNoKernel : kind;
  }

  ProgressLine progress(op, showProgress);
  bool aborted = false;
  for (;;) {
    int32_t pos = 0, range = 0;
    const int32_t phase = comm.GetProgress(pos, range);
    if (phase == PhaseIdle) break;
    progress.Update(phase, pos, range);
    if (waiter.Wait() && !aborted) {
      aborted = true;
      comm.Abort();
    }
  }
  comm.DetachNotifier(&notifier);
  progress.Finish();

  const int32_t kind = comm.GetResult(detail);
  if (kind != ErrorNone) {
    std::cerr << FormatErrorMessage(kind, detail) << '\n';
    return kind;
  }
  const uint32_t done = op == LinkOp::Boot ? kBootDone : op == LinkOp::Program ? kProgramDone
                                                                              : kEraseDone;
  std::cout << LoadString(done) << '\n';
  if (op != LinkOp::Erase) {
    std::cout << FormatString(kCounts, {comm.GetProgrammed(), comm.GetSkipped()}) << '\n';
  }
  return kExitSuccess;
}

const std::vector<OptionSpec> kCommonSpecs = {{"--port", true},  {"--device", true},
                                              {"--mode", true},  {"--baud", true},
                                              {"--quiet", false}, {"--trace", false}};

std::vector<OptionSpec> With(std::vector<OptionSpec> more) {
  more.insert(more.begin(), kCommonSpecs.begin(), kCommonSpecs.end());
  return more;
}

std::vector<uint32_t> UserRates() {
  std::vector<uint32_t> rates;
  for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
  return rates;
}

constexpr uint32_t kDefaultUserRate = 9600;

}  // namespace

int RunBoot(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "boot", args,
      With({{"--clock", true}, {"--offset", true}, {"--lowest", true}, {"--highest", true},
            kBinaryOption}));
  WizardState state;
  state.m_strComPort = RequiredValue(options, "--port", "the serial device to open");
  ApplyDeviceOptions(options, state);
  const std::string& clock = RequiredValue(
      options, "--clock",
      "the clock-range index 0 to " +
          std::to_string(state.m_pDevice->GetClockRangeCount(state.ModeIndex()) - 1));
  state.m_nClockSpeed =
      ParseIndex("--clock", clock, state.m_pDevice->GetClockRangeCount(state.ModeIndex()));
  state.DeriveCatalogueRefs();
  const ClockRange& range = *state.m_pClockRange;
  const std::vector<uint32_t> rates(range.bootRates, range.bootRates + range.bootRateCount);
  state.m_nComBootRate =
      ParseRate(options, rates, rates.back(), "a boot rate of clock range " + clock);
  ApplyAddressOptions(options, state);
  const std::vector<ProgramFile> files = ParseFileOperands(options);
  CheckSummary summary;
  if (const int status = CheckFiles(state, files, summary)) return status;
  return RunOperation(LinkOp::Boot, state, options);
}

int RunProgram(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "program", args,
      With({{"--no-erase", false}, {"--blocks", true}, {"--offset", true}, {"--lowest", true},
            {"--highest", true}, kBinaryOption}));
  WizardState state;
  state.m_strComPort = RequiredValue(options, "--port", "the serial device to open");
  ApplyDeviceOptions(options, state);
  state.m_nComUserRate = ParseRate(options, UserRates(), kDefaultUserRate, "a user-mode rate");
  ApplyAddressOptions(options, state);
  const std::vector<ProgramFile> files = ParseFileOperands(options);
  // The block names are checked before the files, so a usage error comes first.
  std::vector<std::string> blocks;
  if (const std::string* list = options.Value("--blocks")) blocks = ParseBlocks(*list, state);
  CheckSummary summary;
  if (const int status = CheckFiles(state, files, summary)) return status;
  // Without --blocks the blocks the file touches are programmed, as the blocks page preselects.
  if (options.Value("--blocks")) state.m_astrSelectedBlocks = blocks;
  return RunOperation(LinkOp::Program, state, options);
}

int RunErase(const std::vector<std::string>& args) {
  const Options options = ParseOptions("erase", args, With({{"--blocks", true}}));
  WizardState state;
  state.m_strComPort = RequiredValue(options, "--port", "the serial device to open");
  ApplyDeviceOptions(options, state);
  state.m_nComUserRate = ParseRate(options, UserRates(), kDefaultUserRate, "a user-mode rate");
  if (!options.positional.empty()) {
    throw UsageError("unexpected argument '" + options.positional.front() +
                     "': erase takes no FILE");
  }
  state.m_astrSelectedBlocks = ParseBlocks(
      RequiredValue(options, "--blocks", "the blocks to erase, or all"), state);
  return RunOperation(LinkOp::Erase, state, options);
}

}  // namespace quill::cli
