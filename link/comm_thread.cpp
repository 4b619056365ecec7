#include "link/comm_thread.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/boot_protocol.h"
#include "link/kernel_protocol.h"
#include "link/results.h"

namespace quill {
namespace {

// Abort waits this long for the worker to go idle.
constexpr std::chrono::milliseconds kAbortWait{10000};

}  // namespace

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSignalled = true;
  }
  m_cv.notify_one();
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bSignalled; });
  m_bSignalled = false;
}

CCommThread::CCommThread() {
  m_worker = std::thread([this] { ThreadProc(); });
}

CCommThread::~CCommThread() {
  Abort();
  // Every read attempt lasts at most a second and every write is bounded, so a worker that is
  // still busy after the abort wait ends soon; keep asking rather than destroy it while it runs.
  while (!WaitIdle(std::chrono::milliseconds(1000))) m_bAbort.store(true);
  m_bAbort.store(false);
  OperationPlan quit;
  quit.command = CmdQuit;
  StartCommand(std::move(quit), nullptr);
  if (m_worker.joinable()) m_worker.join();
}

bool CCommThread::IsIdle() { return WaitIdle(std::chrono::milliseconds(0)); }

OperationPlan CCommThread::NewPlan(ThreadCommand command, const Job& job, bool eraseFirst) {
  m_plan.files->Close();
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_outcome.fileError.clear();
    m_outcome.kernel.reset();
    m_outcome.value.clear();
    m_outcome.valueProblem.clear();
  }
  OperationPlan plan;
  plan.command = command;
  plan.job = job;
  plan.eraseFirst = eraseFirst;
  plan.portValid = ParsePortAddress(job.m_strComPort, &plan.port, &plan.portProblem);
  if (plan.portValid && job.m_bAutomatic) {
    LineMap map;
    plan.portValid = ParseLineMap(job.m_strLineMap, &map, &plan.portProblem);
    if (plan.portValid) plan.lines = map;
    plan.lineDelay = std::chrono::milliseconds(std::clamp(job.m_nLineDelayMs, 0, 5000));
  }
  if (command == CmdBoot || command == CmdProgram) plan.value = m_boardValue;
  return plan;
}

bool CCommThread::OpenFiles(OperationPlan& plan) {
  std::string error;
  if (OpenPlanFiles(plan, &error)) return true;
  std::lock_guard<std::mutex> lock(m_stateMutex);
  m_outcome.fileError = error;
  return false;
}

bool CCommThread::StartBoot(ProgressNotifier* notifier, const Job& job) {
  // The busy test comes before the files are touched: the worker of a running operation reads them.
  if (!IsIdle()) return false;
  OperationPlan plan = NewPlan(CmdBoot, job);
  // Decided before anything is opened, so a refused boot writes not a single byte.
  if (const std::optional<Result> refusal = ChooseKernel(plan)) {
    StoreResult(*refusal, {});
    return false;
  }
  if (!OpenFiles(plan)) return false;
  return StartCommand(std::move(plan), notifier);
}

bool CCommThread::StartProgram(ProgressNotifier* notifier, const Job& job, bool eraseFirst) {
  if (!IsIdle()) return false;
  OperationPlan plan = NewPlan(CmdProgram, job, eraseFirst);
  if (!OpenFiles(plan)) return false;
  return StartCommand(std::move(plan), notifier);
}

bool CCommThread::StartErase(ProgressNotifier* notifier, const Job& job) {
  if (!IsIdle()) return false;
  return StartCommand(NewPlan(CmdErase, job, true), notifier);
}

bool CCommThread::StartCommand(OperationPlan plan, ProgressNotifier* notifier) {
  if (!IsIdle()) return false;
  if (plan.command != CmdQuit) {
    StoreResult({}, {});
    {
      std::lock_guard<std::mutex> lock(m_stateMutex);
      m_outcome.portOpenError = 0;
      m_outcome.linkProblem = plan.portValid ? std::string() : plan.portProblem;
    }
    if (!plan.portValid) {
      StoreResult({ErrorInternal, InternalError::PortOpen}, {});
      return false;
    }
    // Waits until the worker has finished notifying the previous operation's receiver.
    std::lock_guard<std::mutex> lock(m_notifyMutex);
    m_pNotify.store(notifier);
  }
  m_plan = std::move(plan);
  {
    // Busy from the hand-over on, so that a second start before the worker has taken this
    // operation is refused instead of replacing it.
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_progress = Progress{PhaseStarted, 0, 1};
  }
  m_evStart.Set();
  return true;
}

void CCommThread::ThreadProc() {
  for (;;) {
    m_evStart.Wait();
    if (m_plan.command == CmdQuit) return;
    const Outcome finished = Carry(m_plan);
    // The result and the idle phase together: whoever sees idle sees the result. The program
    // files stay open after a failure until the next start closes them.
    SetProgress(Progress{PhaseIdle, 0, 1}, &finished);
  }
}

Outcome CCommThread::Carry(OperationPlan& plan) {
  Outcome finished;
  // An abort that came before the worker took the operation cancels it: nothing is opened.
  if (m_bAbort.load()) {
    finished.result = {ErrorUserAbort, 0};
    return finished;
  }
  const std::unique_ptr<PortLink> link = MakePortLink(plan.port);
  link->SetAbortFlag(&m_bAbort);
  LinkOpenError error;
  if (!link->Open(plan.Rate(), &error)) {
    if (m_bAbort.load()) {
      finished.result = {ErrorUserAbort, 0};
    } else {
      finished.result = {ErrorInternal, error.failure};
      finished.portOpenError = error.systemError;
      finished.linkProblem = error.problem;
    }
    return finished;
  }
  // The path was a pseudo-terminal when the kernel was chosen; a port changed since then must
  // not carry a stand-in to a real board.
  if (plan.command == CmdBoot && plan.standInKernel && !link->IsOnPseudoTerminal()) {
    finished.result = {ErrorNoKernel, plan.job.m_pClockRange->kernelId};
    return finished;
  }
  // The board's value is taken once its port is open, before its first byte: a port that
  // cannot be opened takes none, and a refused value sends nothing.
  if (plan.value && !TakeBoardValue(plan, finished)) return finished;
  if (plan.lines) {
    link->DropLinesOnClose();
    bool moved = false;
    const std::string problem = SwitchOn(plan, *link, &moved);
    if (!problem.empty()) {
      if (moved) SwitchOff(plan, *link);
      if (m_bAbort.load()) {
        finished.result = {ErrorUserAbort, 0};
      } else {
        finished.result = {ErrorInternal, InternalError::ControlLines};
        finished.linkProblem = problem;
      }
      return finished;
    }
  }
  link->SetTrace(m_pTrace.load());
  finished.result = Run(plan, *link, finished.counts);
  // On every outcome, failure and abort included: VPP goes off before anything else happens.
  if (plan.lines) SwitchOff(plan, *link);
  if (plan.command == CmdBoot) finished.kernel = plan.kernelIdentity;
  // A step that failed because the server went away failed for that reason, whatever the
  // step would have called its own failure; an operation whose every reply came succeeded.
  const std::string lost = link->LostProblem();
  if (!lost.empty() && !finished.result.ok() && finished.result.kind != ErrorUserAbort) {
    finished.result = {ErrorInternal, InternalError::ConnectionLost};
    finished.linkProblem = lost;
  }
  link->Close();
  return finished;
}

namespace {

// The settling time after a switch's change; an abort cuts it short only where stop is set.
void Settle(std::chrono::milliseconds delay, const std::atomic<bool>* stop) {
  const auto end = std::chrono::steady_clock::now() + delay;
  while (std::chrono::steady_clock::now() < end && !(stop && stop->load())) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        end - std::chrono::steady_clock::now(), std::chrono::milliseconds(10)));
  }
}

}  // namespace

std::string CCommThread::SwitchOn(const OperationPlan& plan, PortLink& link, bool* moved) {
  const LineMap& map = *plan.lines;
  const bool vppIsDtr = map.vpp == ControlLine::Dtr, modeIsDtr = map.mode == ControlLine::Dtr;
  // Boot for a boot, User for the operations of the running kernel.
  const bool modeAsserted = map.BootWhen(true) == (plan.command == CmdBoot);
  const struct {
    bool dtr, asserted;
    const char* what;
  } steps[] = {{vppIsDtr, false, "switch VPP off"},
               {modeIsDtr, modeAsserted, "set the Mode switch"},
               {vppIsDtr, true, "switch VPP on"}};
  for (const auto& step : steps) {
    const std::string problem = link.SetModemLine(step.dtr, step.asserted);
    if (!problem.empty()) {
      return plan.port.text + " " + problem + ", so Automatic Mode cannot " + step.what;
    }
    *moved = true;
    Settle(plan.lineDelay, &m_bAbort);
    if (m_bAbort.load()) return "cancelled";
  }
  return {};
}

void CCommThread::SwitchOff(const OperationPlan& plan, PortLink& link) {
  const LineMap& map = *plan.lines;
  // A port that no longer takes the request (its server went away) cannot take the next either.
  if (!link.SetModemLine(map.vpp == ControlLine::Dtr, false).empty()) return;
  // VPP is off before the Mode line moves, however the operation ended.
  Settle(plan.lineDelay, nullptr);
  (void)link.SetModemLine(map.mode == ControlLine::Dtr, false);
}

bool CCommThread::TakeBoardValue(OperationPlan& plan, Outcome& finished) {
  std::vector<uint8_t> bytes;
  if (!plan.value->Take(finished.value, bytes, &finished.valueProblem)) {
    finished.result = {ErrorInternal, InternalError::BoardValue};
    return false;
  }
  // The session adds the offset to every record's address; the value's address is the flash's.
  plan.files->AddPiece(plan.value->Address() - plan.job.m_dwOffset, std::move(bytes));
  return true;
}

Result CCommThread::Run(const OperationPlan& plan, ByteLink& link, ProgramCounts& counts) {
  const auto report = [this](const Progress& progress) { SetProgress(progress); };
  const std::chrono::milliseconds readTimeout(m_readTimeoutMs.load());
  switch (plan.command) {
    case CmdBoot: {
      CBootSession session(link, plan.job, report, readTimeout);
      const Result result = session.BootProgram(plan.kernel, *plan.files);
      counts = session.Counts();
      return result;
    }
    case CmdProgram: {
      CKernelSession session(link, plan.job, report, readTimeout);
      const Result result = session.ProgramFile(*plan.files, plan.eraseFirst);
      counts = session.Counts();
      return result;
    }
    case CmdErase:
      return CKernelSession(link, plan.job, report, readTimeout).EraseBlocks();
    default:
      return {};
  }
}

void CCommThread::SetProgress(const Progress& progress, const Outcome* finished) {
  std::lock_guard<std::mutex> notifyLock(m_notifyMutex);
  std::optional<Outcome> outcome;  // only the last step's: every other step is just the value
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (finished != nullptr) {
      StoreResultLocked(finished->result, finished->counts);
      m_outcome.kernel = finished->kernel;
      m_outcome.portOpenError = finished->portOpenError;
      m_outcome.linkProblem = finished->linkProblem;
      m_outcome.value = finished->value;
      m_outcome.valueProblem = finished->valueProblem;
      outcome = m_outcome;
    }
    m_progress = progress;
  }
  if (progress.phase == PhaseIdle) m_idleCv.notify_all();
  if (ProgressNotifier* notifier = m_pNotify.load()) {
    notifier->Notify(progress);
    if (outcome) notifier->Finished(*outcome);
  }
}

void CCommThread::StoreResult(const Result& result, const ProgramCounts& counts) {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  StoreResultLocked(result, counts);
}

void CCommThread::StoreResultLocked(const Result& result, const ProgramCounts& counts) {
  m_outcome.result = result;
  // The user asked to stop: an operation that ended well before it noticed still counts as
  // aborted, one that failed keeps its failure.
  if (m_bAbort.load() && result.ok()) m_outcome.result.kind = ErrorUserAbort;
  m_outcome.counts = counts;
}

bool CCommThread::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_stateMutex);
  return m_idleCv.wait_for(lock, timeout, [this] { return m_progress.phase == PhaseIdle; });
}

Progress CCommThread::GetProgressForTesting() const {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  return m_progress;
}

Outcome CCommThread::GetOutcome() const {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  return m_outcome;
}

int32_t CCommThread::GetResult(uint32_t& detail) const {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  detail = m_outcome.result.detail;
  return m_outcome.result.kind;
}

void CCommThread::SetTraceSink(SerialTrace* trace) { m_pTrace.store(trace); }

void CCommThread::DetachNotifier(ProgressNotifier* notifier) {
  std::lock_guard<std::mutex> lock(m_notifyMutex);
  ProgressNotifier* expected = notifier;
  m_pNotify.compare_exchange_strong(expected, nullptr);
}

void LatestProgress::Notify(const Progress& progress) {
  // The idle step is told with the outcome, which ends the operation.
  if (progress.phase == PhaseIdle) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_seen.progress = progress;
  }
  if (m_pWake) m_pWake->Notify(progress);
}

void LatestProgress::Finished(const Outcome& outcome) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_seen.outcome = outcome;
  }
  if (m_pWake) {
    m_pWake->Notify(Progress{PhaseIdle, 0, 1});
    m_pWake->Finished(outcome);
  }
}

ProgressSeen LatestProgress::Seen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_seen;
}

void LatestProgress::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_seen = ProgressSeen{};
}

bool CCommThread::Abort() {
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_bAbort.store(true);
    // Nothing runs: the abort is the result at once, its detail kept. Otherwise the worker
    // stores it when it finishes.
    if (m_progress.phase == PhaseIdle) {
      StoreResultLocked({ErrorUserAbort, m_outcome.result.detail}, m_outcome.counts);
    }
  }
  const bool idle = WaitIdle(kAbortWait);
  m_bAbort.store(false);
  if (idle) {
    // The idle notification may still be running on the worker: let it finish, so the caller
    // may destroy its receiver once Abort has returned.
    std::lock_guard<std::mutex> lock(m_notifyMutex);
  }
  return true;
}

}  // namespace quill
