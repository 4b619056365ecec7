// quill-cli boot, program and erase: the operations of the wizard's progress pages, run through
// the same communication object, with a progress line, Ctrl-C abort and a byte trace.
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/json_output.h"
#include "cli/link_run.h"
#include "cli/job_file.h"
#include "device/catalogue.h"
#include "link/comm_thread.h"
#include "kernels/kernel_store.h"
#include "link/net_port.h"
#include "link/port_list.h"
#include "link/results.h"
#include "kernels/sha256.h"
#include "resources/fpcode.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill::cli {
namespace {

// The communication object's command for an operation.
ThreadCommand Command(LinkOp op) {
  switch (op) {
    case LinkOp::Boot: return CmdBoot;
    case LinkOp::Program: return CmdProgram;
    case LinkOp::Erase: return CmdErase;
  }
  return CmdNone;
}

}  // namespace

// The messages have several lines; each gets the prefix.
void WriteLines(Stream stream, const std::string& prefix, const std::string& text) {
  std::string out;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = text.find('\n', from);
    out += prefix + text.substr(from, end == std::string::npos ? std::string::npos : end - from) + '\n';
    if (end == std::string::npos || end + 1 == text.size()) break;
    from = end + 1;
  }
  if (stream == Stream::Err) return WriteStderr(out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

namespace {

// One line per transfer on standard error: milliseconds since the start, the direction, the
// bytes in hexadecimal; with several boards after the board's port.
class StderrTrace : public SerialTrace {
 public:
  explicit StderrTrace(std::string prefix = {}) : prefix_(std::move(prefix)) {}
  void Trace(TraceKind kind, const uint8_t* data, std::size_t length) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    char head[32];
    const bool out = kind == TraceKind::Written || kind == TraceKind::WriteFailed;
    std::snprintf(head, sizeof head, "%8lld ms %c", static_cast<long long>(ms), out ? '>' : '<');
    std::string line = prefix_ + head;
    char hex[4];
    for (std::size_t i = 0; i < length; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      line += hex;
    }
    if (kind == TraceKind::WriteFailed) line += " (write failed)";
    if (kind == TraceKind::ReadTimeout) line += " (read timeout, 1000 ms)";
    if (kind == TraceKind::ReadFailed) line += " (read failed)";
    line += '\n';
    // One write a line, so the lines of boards traced at once never mix.
    WriteStderr(line);
  }

 private:
  std::string prefix_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class ProgressReport {
 public:
  ProgressReport(LinkOp op, ProgressStyle style, std::string prefix)
      : op_(op), style_(style), prefix_(std::move(prefix)) {}
  ~ProgressReport() { Finish(); }

  void Update(int32_t phase, int32_t pos, int32_t range) {
    if (style_ == ProgressStyle::Off) return;
    const int percent =
        range > 0 ? static_cast<int>(std::clamp<int64_t>(int64_t{pos} * 100 / range, 0, 100)) : 0;
    const bool newPhase = phase != lastPhase_;
    if (newPhase) {
      lastPhase_ = phase;
      phaseStart_ = Clock::now();
      phaseStartPos_ = pos;
      const uint32_t id = StatusTextId(Command(op_), phase);
      status_ = id ? LoadString(id) : std::string();
    }
    if (status_.empty()) return;  // a phase the pages show no text for
    if (style_ == ProgressStyle::Lines) {
      if (!newPhase && percent / 10 <= lastDecile_) return;
      lastDecile_ = percent / 10;
      WriteLines(Stream::Err, prefix_, status_ + " " + std::to_string(percent) + "%");
      return;
    }
    const std::string left = TimeLeft(pos, range);
    if (drawn_ && !newPhase && percent == lastPercent_ && left == lastLeft_) return;
    lastPercent_ = percent;
    lastLeft_ = left;
    DrawBar(percent, left);
  }

  // completed: the operation succeeded, so its last phase ran to its end, though the phase's
  // last step may have been overtaken by the idle phase before it was read.
  void Finish(bool completed = false) {
    if (completed && !status_.empty()) {
      if (style_ == ProgressStyle::Lines && lastDecile_ < 10) {
        lastDecile_ = 10;
        WriteLines(Stream::Err, prefix_, status_ + " 100%");
      } else if (style_ == ProgressStyle::Bar && lastPercent_ < 100) {
        DrawBar(100, std::string());
      }
    }
    if (drawn_) WriteStderr("\n");
    drawn_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // "  1:05 left" once the phase has run a second and moved; empty before.
  std::string TimeLeft(int32_t pos, int32_t range) const {
    const double elapsed = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
    if (elapsed < 1.0 || pos <= phaseStartPos_ || range <= pos) return {};
    const double rate = (pos - phaseStartPos_) / elapsed;
    const long seconds = std::lround((range - pos) / rate);
    char text[32];
    std::snprintf(text, sizeof text, " %ld:%02ld left", seconds / 60, seconds % 60);
    return text;
  }

  void DrawBar(int percent, const std::string& left) {
    constexpr int kBar = 20;
    std::string bar(kBar, '-');
    for (int i = 0; i < percent * kBar / 100; ++i) bar[i] = '#';
    char tail[64];
    std::snprintf(tail, sizeof tail, " [%s] %3d%%%s", bar.c_str(), percent, left.c_str());
    const int width = TerminalColumns();
    std::string text = status_;
    const std::size_t room = width > 50 ? static_cast<std::size_t>(width) - 1 - std::strlen(tail) : 0;
    if (text.size() > room) text = room > 3 ? text.substr(0, room - 3) + "..." : std::string();
    const std::string line = "\r" + text + tail + "\033[K";
    WriteStderr(line);
    drawn_ = true;
  }

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
std::vector<std::string> ParseBlocks(const std::string& text, const Job& state) {
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

// The kernel a boot sends and the SHA-256 of its image, for the boot record.
struct KernelIdentity {
  uint32_t id;
  std::string sha256;  // empty when no kernel would be sent
  std::string source;  // the installed file, or the stand-in
};
// The kernel a boot sends, as the communication object will find it in the kernel store.
KernelIdentity BootKernelIdentity(const ClockRange& range) {
  const KernelImage image = FindKernel(range.kernelId);
  if (image.bytes.empty()) return {range.kernelId, {}, {}};
  const std::string source =
      image.origin == KernelOrigin::Installed ? image.path.string() : "built-in stand-in";
  return {range.kernelId, Sha256Hex(image.bytes), source};
}

// The ports of a run, resolved from the --port selectors, each with its adapter's serial number.
struct PortPlan {
  std::vector<std::string> paths;
  std::vector<std::string> serials;
};

std::string RealPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
  return ec ? path : resolved.string();
}

PortPlan PreparePorts(const Options& options) {
  if (options.ports.empty()) {
    throw UsageError("--port is required: the serial device to open (a path, usb:VID:PID[:SERIAL], "
                     "serial:SERIAL or auto)");
  }
  PortListRoots roots;
  roots.judgeAccess = false;  // only the identities are needed; the open tells the rest
  const PortListing listing = ListSerialPorts(roots);
  PortPlan plan;
  std::set<std::string> seen;
  for (const std::string& selector : options.ports) {
    std::string error;
    if (IsNetworkPortName(selector)) {
      // Taken as given: the JSON records and the summary name it so.
      if (!ParseNetworkPort(selector, nullptr, &error)) throw UsageError("--port " + error);
      if (!seen.insert(selector).second) {
        throw UsageError("--port: " + selector + " is given more than once");
      }
      plan.paths.push_back(selector);
      plan.serials.emplace_back();
      continue;
    }
    const std::string path = SelectPort(selector, listing.ports, &error);
    if (path.empty()) throw UsageError(error);
    const std::string real = RealPath(path);
    // The same board twice would be refused as busy by the second opener at best.
    if (!seen.insert(real).second) throw UsageError("--port: " + path + " is given more than once");
    std::string serial;
    for (const SerialPortInfo& port : listing.ports) {
      if (port.usb && RealPath(port.path) == real) serial = port.serial;
    }
    plan.paths.push_back(path);
    plan.serials.push_back(serial);
  }
  return plan;
}

// --log: opened before anything is sent, so a station never programs a board it cannot record.
int OpenLog(const Options& options, JsonLog& log) {
  const std::string* path = options.Value("--log");
  if (path == nullptr) return 0;
  std::string error;
  if (log.Open(*path, &error)) return 0;
  std::cerr << "quill-cli: the log '" << *path << "' cannot be written: " << error << '\n';
  return kExitCannotWrite;
}

}  // namespace

// One board of a run: its own copy of the job and its own communication object.
struct Board {
  std::string port;
  std::string prefix;  // "PORT: " before each of its lines when several boards run
  Job state;
  std::unique_ptr<CCommThread> comm;
  std::unique_ptr<StderrTrace> tracer;
  std::unique_ptr<ProgressReport> progress;
  bool running = false;
  std::chrono::steady_clock::time_point begin;
  BoardRecord record;
};

const char* OperationName(LinkOp op) {
  return op == LinkOp::Boot ? "boot" : op == LinkOp::Program ? "program" : "erase";
}

BoardRecord SharedRecord(LinkOp op, const Job& job, const JobOrigin* origin) {
  BoardRecord shared;
  shared.operation = OperationName(op);
  shared.device = job.m_strMCUType;
  if (job.m_pDevice->modeCount > 1) shared.mode = LoadString(job.Mode().nameId);
  shared.rate = op == LinkOp::Boot ? job.m_nComBootRate : job.m_nComUserRate;
  if (op != LinkOp::Erase) {
    shared.file = job.m_strFile;
    shared.fileSha256 = Sha256OfFile(job.m_strFile);
    for (const ProgramFile& file : job.m_aProgramFiles) {
      BoardRecord::File f{file.path, Sha256OfFile(file.path), std::nullopt};
      if (file.format == FileFormat::Binary) f.binaryBase = file.base;
      shared.files.push_back(f);
    }
  }
  if (op == LinkOp::Boot) {
    shared.clockRange = LoadString(job.m_pClockRange->textId);
    const KernelIdentity kernel = BootKernelIdentity(*job.m_pClockRange);
    shared.kernelId = kernel.id;
    shared.kernelSha256 = kernel.sha256;
    shared.kernelSource = kernel.source;
  }
  shared.blocks = job.m_astrSelectedBlocks;
  if (origin != nullptr) {
    shared.job = origin->path;
    shared.jobSha256 = origin->sha256;
  }
  return shared;
}

namespace {

// The summary table of a run on several boards: port, result, bytes programmed, seconds.
std::string SummaryTable(const std::vector<std::unique_ptr<Board>>& boards) {
  std::vector<std::array<std::string, 4>> rows = {{"port", "result", "bytes", "seconds"}};
  for (const auto& board : boards) {
    const BoardRecord& r = board->record;
    std::string result = ResultName(r.kind);
    if (r.exitStatus != kExitSuccess) result = "failed (" + std::to_string(r.exitStatus) + "): " + result;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    rows.push_back({r.port, result, HexValue(r.bytesInside), seconds});
  }
  std::array<std::size_t, 4> width{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  std::string table;
  for (const auto& row : rows) {
    if (!table.empty()) table += '\n';
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      table += c < 2 ? row[c] + pad + "  " : pad + row[c] + (c < 3 ? "  " : "");
    }
  }
  return table;
}

}  // namespace

BoardRun::BoardRun(LinkOp op, Settings settings, JsonLog& log, ProgressNotifier& notifier)
    : op_(op), settings_(std::move(settings)), log_(log), notifier_(notifier),
      texts_(settings_.json ? Stream::Err : Stream::Out) {}

BoardRun::~BoardRun() = default;

BoardRun::Settings BoardRun::SettingsFor(const Options& options, bool several) {
  Settings settings;
  settings.several = several;
  settings.json = options.Has("--json");
  settings.trace = options.Has("--trace");
  // The trace lines and a redrawn progress line would garble each other on one stream.
  if (!options.Has("--quiet") && !options.Has("--trace")) {
    settings.style = StderrIsTerminal() && !several ? ProgressStyle::Bar : ProgressStyle::Lines;
  }
  return settings;
}

void BoardRun::Write(Stream stream, const std::string& prefix, const std::string& text) {
  if (settings_.beforeText) settings_.beforeText();
  WriteLines(stream, prefix, text);
}

void BoardRun::Start(const Job& job, const std::string& port, const std::string& serial,
                     const BoardRecord& shared) {
  boards_.push_back(std::make_unique<Board>());
  Board& b = *boards_.back();
  b.port = port;
  b.prefix = settings_.several ? b.port + ": " : std::string();
  b.state = job;
  b.state.m_strComPort = b.port;
  b.record = shared;
  b.record.port = b.port;
  b.record.adapterSerial = serial;
  b.begin = std::chrono::steady_clock::now();
  b.comm = std::make_unique<CCommThread>();
  if (settings_.trace) {
    b.tracer = std::make_unique<StderrTrace>(b.prefix);
    b.comm->SetTraceSink(b.tracer.get());
  }
  std::string fileError;
  bool started = false;
  switch (op_) {
    case LinkOp::Boot: started = b.comm->StartBoot(&notifier_, b.state, &fileError); break;
    case LinkOp::Program:
      started = b.comm->StartProgram(&notifier_, b.state, settings_.erase, &fileError);
      break;
    case LinkOp::Erase: started = b.comm->StartErase(&notifier_, b.state); break;
  }
  if (started) {
    b.running = true;
    b.progress = std::make_unique<ProgressReport>(op_, settings_.style, b.prefix);
    return;
  }
  b.comm->DetachNotifier(&notifier_);
  Refused(b, fileError);
}

// A board whose operation did not start: the file, the port or the kernel said no.
void BoardRun::Refused(Board& b, const std::string& fileError) {
  if (!fileError.empty()) {
    b.record.message = fileError;
    Write(Stream::Err, b.prefix, fileError);
    return Done(b, ErrorNone, 0, kExitCannotOpen);
  }
  uint32_t detail = 0;
  const int32_t kind = b.comm->GetResult(detail);
  const std::string linkProblem = b.comm->GetLinkProblem();
  if (kind == ErrorInternal && !linkProblem.empty()) {
    // A network port: the host, the port and what went wrong, then the result's text.
    b.record.portProblem = linkProblem;
    WriteLines(Stream::Err, "", b.port + ": " + linkProblem);
    b.record.message = FormatErrorMessage(kind, detail);
    WriteLines(Stream::Err, b.prefix, b.record.message);
  } else if (kind == ErrorInternal && detail == InternalError::PortOpen) {
    // What went wrong and what to do first; the result's text after it.
    b.record.portProblem = PortProblem(b.port, b.comm->GetPortOpenError());
    Write(Stream::Err, "", b.port + ": " + b.record.portProblem);
    b.record.message = FormatErrorMessage(kind, detail);
    Write(Stream::Err, b.prefix, b.record.message);
  }
  // A boot refused for want of a kernel has its own status: nothing was sent.
  Done(b, kind, detail, IsKernelRefusal(kind) ? kExitNoKernel : kind);
}

void BoardRun::Done(Board& board, int32_t kind, uint32_t detail, int status) {
  BoardRecord& r = board.record;
  r.time = UtcTimestamp();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - board.begin).count();
  r.kind = kind;
  r.detail = detail;
  r.exitStatus = status;
  if (kind == ErrorNone && status == kExitSuccess) {
    r.bytesInside = board.comm->GetProgrammed();
    r.bytesOutside = board.comm->GetSkipped();
    const uint32_t done = op_ == LinkOp::Boot      ? StrId::BootDone
                          : op_ == LinkOp::Program ? StrId::ProgramDone
                                                   : StrId::EraseDone;
    r.message = LoadString(done);
    std::string text = r.message;
    if (op_ != LinkOp::Erase) text += "\n" + FormatString(StrId::Counts, {r.bytesInside, r.bytesOutside});
    if (settings_.successTexts) Write(texts_, board.prefix, text);
  } else if (r.message.empty()) {
    r.message = FormatErrorMessage(kind, detail);
    Write(Stream::Err, board.prefix, r.message);
  }
  const nlohmann::json record = ToJson(r);
  if (settings_.json) {
    std::string line = JsonLine(record);
    line.pop_back();
    Write(Stream::Out, "", line);
  }
  if (log_.IsOpen() && !log_.Append(record)) logFailed_ = true;
  finished_.push_back(&board);
}

bool BoardRun::Follow() {
  bool anyRunning = false;
  for (auto& board : boards_) {
    Board& b = *board;
    if (!b.running) continue;
    int32_t pos = 0, range = 0;
    const int32_t phase = b.comm->GetProgress(pos, range);
    if (phase != PhaseIdle) {
      b.progress->Update(phase, pos, range);
      anyRunning = true;
      continue;
    }
    b.running = false;
    b.comm->DetachNotifier(&notifier_);
    uint32_t detail = 0;
    const int32_t kind = b.comm->GetResult(detail);
    if (settings_.beforeText) settings_.beforeText();
    b.progress->Finish(kind == ErrorNone);
    if (kind == ErrorInternal && detail == InternalError::ConnectionLost) {
      b.record.portProblem = b.comm->GetLinkProblem();
      WriteLines(Stream::Err, "", b.port + ": " + b.record.portProblem);
    }
    Done(b, kind, detail, kind);
  }
  return anyRunning;
}

void BoardRun::AbortAll() {
  // Every board at once: each abort waits for its worker to stop.
  std::vector<std::thread> stops;
  for (auto& board : boards_) {
    int32_t pos = 0, range = 0;
    if (board->running && board->comm->GetProgress(pos, range) != PhaseIdle) {
      stops.emplace_back([comm = board->comm.get()] { comm->Abort(); });
    }
  }
  for (std::thread& stop : stops) stop.join();
}

int BoardRun::Finish() {
  if (settings_.several) Write(texts_, "", SummaryTable(boards_));
  for (const auto& board : boards_) {
    if (board->record.exitStatus != kExitSuccess) return board->record.exitStatus;
  }
  return logFailed_ ? kExitCannotWrite : kExitSuccess;
}

std::vector<BoardRun::Status> BoardRun::Running() const {
  std::vector<Status> running;
  for (const auto& board : boards_) {
    if (!board->running) continue;
    int32_t pos = 0, range = 0;
    const int32_t phase = board->comm->GetProgress(pos, range);
    Status status;
    status.port = board->port;
    const uint32_t id = StatusTextId(Command(op_), phase);
    if (id != 0) status.state = LoadString(id);
    if (range > 0) status.percent = static_cast<int>(std::clamp<int64_t>(int64_t{pos} * 100 / range, 0, 100));
    running.push_back(std::move(status));
  }
  return running;
}

std::vector<BoardRecord> BoardRun::TakeFinished() {
  std::vector<BoardRecord> records;
  for (Board* board : finished_) records.push_back(board->record);
  std::erase_if(boards_, [this](const std::unique_ptr<Board>& board) {
    return std::find(finished_.begin(), finished_.end(), board.get()) != finished_.end();
  });
  finished_.clear();
  return records;
}

namespace {

// Runs the operation on every port at once and waits for all of them. Returns the exit status.
int RunOperation(LinkOp op, const LinkJob& job, const Options& options, const PortPlan& plan,
                 JsonLog& log, const BoardRecord& shared) {
  // One waiter for every board: each board's worker notifies it at every step, and Ctrl-C wakes it.
  OperationWaiter waiter;
  if (!waiter.Ok()) {
    std::cerr << "quill-cli: " << waiter.Error() << '\n';
    return ErrorInternal;
  }
  BoardRun::Settings settings = BoardRun::SettingsFor(options, plan.paths.size() > 1);
  settings.erase = job.erase;
  BoardRun run(op, std::move(settings), log, waiter.Notifier());
  for (std::size_t i = 0; i < plan.paths.size(); ++i) {
    run.Start(job.state, plan.paths[i], plan.serials[i], shared);
  }
  bool aborted = false;
  while (run.Follow()) {
    if (waiter.Wait() && !aborted) {
      aborted = true;
      run.AbortAll();
    }
  }
  return run.Finish();
}

const std::vector<OptionSpec> kCommonSpecs = {
    {"--port", true},   {"--device", true},  {"--mode", true}, {"--baud", true},
    {"--quiet", false}, {"--trace", false}, {"--json", false}, {"--log", true},
    {"--save-job", true}};

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

std::vector<OptionSpec> LinkOptionSpecs(LinkOp op) {
  switch (op) {
    case LinkOp::Boot:
      return With({{"--clock", true}, {"--offset", true}, {"--lowest", true}, {"--highest", true},
                   kBinaryOption});
    case LinkOp::Program:
      return With({{"--no-erase", false}, {"--blocks", true}, {"--offset", true},
                   {"--lowest", true}, {"--highest", true}, kBinaryOption});
    case LinkOp::Erase: return With({{"--blocks", true}});
  }
  return {};
}

int PrepareLinkJob(LinkOp op, const Options& options, JsonLog* log, LinkJob& job) {
  job.op = op;
  Job& state = job.state;
  ApplyDeviceOptions(options, state);
  if (op == LinkOp::Boot) {
    const std::string* clock = options.Value("--clock");
    if (clock == nullptr) {
      throw UsageError("--clock is required: the clock-range index 0 to " +
                       std::to_string(state.m_pDevice->GetClockRangeCount(state.ModeIndex()) - 1) +
                       ", or the target's clock frequency with its unit (16MHz)");
    }
    state.m_nClockSpeed = ParseClockOption(*clock, state);
    state.DeriveCatalogueRefs();
    const ClockRange& range = *state.m_pClockRange;
    const std::vector<uint32_t> rates(range.bootRates, range.bootRates + range.bootRateCount);
    state.m_nComBootRate = ParseRate(options, rates, rates.back(),
                                     "a boot rate of clock range " + LoadString(range.textId));
  } else {
    state.m_nComUserRate = ParseRate(options, UserRates(), kDefaultUserRate, "a user-mode rate");
  }
  std::vector<std::string> blocks;
  if (op == LinkOp::Erase) {
    if (!options.positional.empty()) {
      throw UsageError("unexpected argument '" + options.positional.front() +
                       "': erase takes no FILE");
    }
    const std::string* list = options.Value("--blocks");
    if (list == nullptr) throw UsageError("--blocks is required: the blocks to erase, or all");
    state.m_astrSelectedBlocks = ParseBlocks(*list, state);
    job.blocksGiven = true;
  } else {
    ApplyAddressOptions(options, state);
    job.files = ParseFileOperands(options);
    // The block names are checked before the files, so a usage error comes first.
    if (const std::string* list = options.Value("--blocks")) {
      blocks = ParseBlocks(*list, state);
      job.blocksGiven = true;
    }
    job.erase = !options.Has("--no-erase");
  }
  if (log != nullptr) {
    if (const int status = OpenLog(options, *log)) return status;
  }
  if (op == LinkOp::Erase) return kExitSuccess;
  CheckSummary summary;
  if (const int status = CheckFiles(state, job.files, summary)) return status;
  // Without --blocks the blocks the file touches are programmed, as the blocks page preselects.
  if (job.blocksGiven) state.m_astrSelectedBlocks = blocks;
  return kExitSuccess;
}

int RunLinkCommand(LinkOp op, const Options& options, const JobOrigin* origin) {
  if (const std::string* jobFile = options.Value("--save-job")) {
    // The ports are neither opened nor kept: a job names what to do, the station where.
    LinkJob job;
    if (const int status = PrepareLinkJob(op, options, nullptr, job)) return status;
    std::string error;
    if (!SaveJobFile(*jobFile, job, &error)) {
      std::cerr << "quill-cli: the job '" << *jobFile << "' cannot be written: " << error << '\n';
      return kExitCannotWrite;
    }
    return kExitSuccess;
  }
  const PortPlan ports = PreparePorts(options);
  LinkJob job;
  JsonLog log;
  int status = kExitSuccess;
  try {
    status = PrepareLinkJob(op, options, &log, job);
  } catch (const UsageError& e) {
    // A setting the job file holds, not one the user typed.
    if (origin == nullptr) throw;
    throw UsageError("the job '" + origin->path + "': " + e.what());
  }
  if (status != kExitSuccess) return status;
  return RunOperation(op, job, options, ports, log, SharedRecord(op, job.state, origin));
}

int RunBoot(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Boot, ParseOptions("boot", args, LinkOptionSpecs(LinkOp::Boot)),
                        nullptr);
}

int RunProgram(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Program,
                        ParseOptions("program", args, LinkOptionSpecs(LinkOp::Program)), nullptr);
}

int RunErase(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Erase, ParseOptions("erase", args, LinkOptionSpecs(LinkOp::Erase)),
                        nullptr);
}

}  // namespace quill::cli
