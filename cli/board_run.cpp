// The boards of one boot, program or erase run: each board's own job and communication object,
// its progress, its outcome as the result page shows it and its JSON record, and the summary
// table when several boards ran.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/console.h"
#include "cli/link_run.h"
#include "cli/progress_report.h"
#include "cli/record_outlet.h"
#include "kernels/sha256.h"
#include "link/port_address.h"
#include "link/port_list.h"
#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill::cli {

// One board of a run: its own copy of the job and its own communication object.
struct Board {
  std::string port;
  std::string prefix;  // "PORT: " before each of its lines when several boards run
  Job state;
  // What its communication object told of the operation; declared before comm, so the worker
  // has stopped before it goes.
  std::unique_ptr<LatestProgress> seen;
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
    // The kernel's hash and source come with each board's outcome: what its boot sent.
    shared.kernelId = job.m_pClockRange->kernelId;
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
    std::string result = ResultName(r);
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
  if (!settings_.texts) return;
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
  PortAddress address;
  if (ParsePortAddress(port, &address, nullptr) && !address.IsNetwork()) {
    b.record.latencyMs = AdapterLatencyMs(address.Path());
    const std::string warning = LatencyWarning(port, b.record.latencyMs);
    if (!warning.empty()) Write(Stream::Err, "", "quill-cli: warning: " + warning);
  }
  b.begin = std::chrono::steady_clock::now();
  // Every step wakes the run's loop once the board's value of it is kept.
  b.seen = std::make_unique<LatestProgress>(&notifier_);
  b.comm = std::make_unique<CCommThread>();
  b.comm->SetBoardValue(settings_.value);
  if (settings_.trace) {
    b.tracer = std::make_unique<StderrTrace>(b.prefix);
    b.comm->SetTraceSink(b.tracer.get());
  }
  bool started = false;
  switch (op_) {
    case LinkOp::Boot: started = b.comm->StartBoot(b.seen.get(), b.state); break;
    case LinkOp::Program:
      started = b.comm->StartProgram(b.seen.get(), b.state, settings_.erase);
      break;
    case LinkOp::Erase: started = b.comm->StartErase(b.seen.get(), b.state); break;
  }
  if (started) {
    b.running = true;
    b.progress = std::make_unique<ProgressReport>(op_, settings_.style, b.prefix);
    return;
  }
  b.comm->DetachNotifier(b.seen.get());
  Refused(b);
}

// A board whose operation did not start: the file, the port or the kernel said no.
void BoardRun::Refused(Board& b) {
  const Outcome outcome = b.comm->GetOutcome();
  if (!outcome.fileError.empty()) {
    b.record.message = outcome.fileError;
    Write(Stream::Err, b.prefix, outcome.fileError);
    return Done(b, Outcome{}, kExitCannotOpen);
  }
  Ended(b, outcome);
}

// What went wrong with the port (it did not open, or a network port's connection was lost) and
// what to do, then the result's text; the exit status is the result's, or 78 for a boot refused
// for want of a kernel: nothing was sent.
void BoardRun::Ended(Board& b, const Outcome& outcome) {
  const auto [kind, detail] = outcome.result;
  std::string problem;
  if (kind == ErrorInternal && !outcome.linkProblem.empty()) {
    problem = outcome.linkProblem;
  } else if (kind == ErrorInternal && detail == InternalError::PortOpen) {
    problem = PortProblem(b.port, outcome.portOpenError);
  }
  if (!problem.empty()) {
    b.record.portProblem = problem;
    Write(Stream::Err, "", b.port + ": " + problem);
    b.record.message = FormatErrorMessage(kind, detail);
    Write(Stream::Err, b.prefix, b.record.message);
  }
  Done(b, outcome, IsKernelRefusal(kind) ? kExitNoKernel : kind);
}

void BoardRun::Done(Board& board, const Outcome& outcome, int status) {
  const auto [kind, detail] = outcome.result;
  BoardRecord& r = board.record;
  if (outcome.kernel) {
    r.kernelSha256 = outcome.kernel->sha256;
    r.kernelSource = outcome.kernel->source;
  }
  r.time = UtcTimestamp();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - board.begin).count();
  r.kind = kind;
  r.detail = detail;
  r.exitStatus = status;
  r.value = outcome.value;  // a board that failed keeps the value it took
  if (!outcome.valueProblem.empty()) {
    r.exitStatus = kExitUnavailable;
    r.message = "no value for this board: " + outcome.valueProblem + "; nothing was sent";
    Write(Stream::Err, board.prefix, r.message);
  }
  if (kind == ErrorNone && status == kExitSuccess) {
    r.bytesInside = outcome.counts.programmed;
    r.bytesOutside = outcome.counts.skipped;
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
  if (settings_.records != nullptr) settings_.records->Send(record, r);
  finished_.push_back(&board);
}

bool BoardRun::Follow() {
  if (settings_.records != nullptr) {
    if (std::optional<std::string> notice = settings_.records->TakeNotice()) Write(Stream::Err, "", *notice);
  }
  bool anyRunning = false;
  for (auto& board : boards_) {
    Board& b = *board;
    if (!b.running) continue;
    const ProgressSeen seen = b.seen->Seen();
    if (!seen.Ended()) {
      b.progress->Update(seen.progress.phase, seen.progress.position, seen.progress.range);
      anyRunning = true;
      continue;
    }
    b.running = false;
    b.comm->DetachNotifier(b.seen.get());
    const Outcome& outcome = *seen.outcome;
    if (settings_.beforeText) settings_.beforeText();
    b.progress->Finish(outcome.result.kind == ErrorNone);
    Ended(b, outcome);
  }
  return anyRunning;
}

void BoardRun::AbortAll() {
  // Every board at once: each abort waits for its worker to stop.
  std::vector<std::thread> stops;
  for (auto& board : boards_) {
    // A board whose outcome has been told keeps it: an abort now would turn it into an abort.
    if (board->running && !board->seen->Seen().Ended()) {
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
    const auto [phase, pos, range] = board->seen->Seen().progress;
    Status status;
    status.port = board->port;
    const uint32_t id = StatusTextId(CommandOf(op_), phase);
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

}  // namespace quill::cli
