#include "link/comm_thread.h"

#include <chrono>

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
  m_port.SetAbortFlag(&m_bAbort);
  m_netPort.SetAbortFlag(&m_bAbort);
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
  m_port.Close();
  m_netPort.Close();
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
  const ThreadCommand command = plan.command;
  if (command != CmdQuit) {
    StoreResult({}, {});
    {
      // Waits until the worker has finished notifying the previous operation's receiver.
      std::lock_guard<std::mutex> lock(m_notifyMutex);
      m_pNotify.store(notifier);
    }
    if (!OpenLink(plan.job.m_strComPort, plan.Rate())) return false;
    // The path was a pseudo-terminal when the kernel was chosen; a link changed since then must
    // not carry a stand-in to a real board.
    if (command == CmdBoot && plan.standInKernel &&
        (m_pLink != &m_port || !m_port.IsOnPseudoTerminal())) {
      m_port.Close();
      m_netPort.Close();
      StoreResult({ErrorNoKernel, plan.job.m_pClockRange->kernelId}, {});
      return false;
    }
    m_port.SetTrace(m_pTrace.load());
    m_netPort.SetTrace(m_pTrace.load());
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
    // An abort that came before the worker took the operation cancels it: nothing is sent.
    const bool aborted = m_bAbort.load();
    Outcome finished;
    if (aborted) finished.result = Result{ErrorUserAbort, 0};
    else if (!m_plan.value || TakeBoardValue(m_plan, finished)) finished.result = Run(m_plan, finished.counts);
    if (m_plan.command == CmdBoot && !aborted) finished.kernel = m_plan.kernelIdentity;
    Result& result = finished.result;
    // A step that failed because the server went away failed for that reason, whatever the
    // step would have called its own failure; an operation whose every reply came succeeded.
    if (m_pLink == &m_netPort && m_netPort.ConnectionLost() && !result.ok() &&
        result.kind != ErrorUserAbort) {
      result = {ErrorInternal, InternalError::ConnectionLost};
      finished.linkProblem = "the connection to " + m_netPort.Address().HostPort() + " was lost";
    }
    // The program files stay open after a failure until the next start closes them.
    m_port.Close();
    m_netPort.Close();
    // The result and the idle phase together: whoever sees idle sees the result.
    SetProgress(Progress{PhaseIdle, 0, 1}, &finished);
  }
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

Result CCommThread::Run(const OperationPlan& plan, ProgramCounts& counts) {
  const auto report = [this](const Progress& progress) { SetProgress(progress); };
  const std::chrono::milliseconds readTimeout(m_readTimeoutMs.load());
  switch (plan.command) {
    case CmdBoot: {
      CBootSession session(*m_pLink, plan.job, report, readTimeout);
      const Result result = session.BootProgram(plan.kernel, *plan.files);
      counts = session.Counts();
      return result;
    }
    case CmdProgram: {
      CKernelSession session(*m_pLink, plan.job, report, readTimeout);
      const Result result = session.ProgramFile(*plan.files, plan.eraseFirst);
      counts = session.Counts();
      return result;
    }
    case CmdErase:
      return CKernelSession(*m_pLink, plan.job, report, readTimeout).EraseBlocks();
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
      if (!finished->linkProblem.empty()) m_outcome.linkProblem = finished->linkProblem;
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

int32_t CCommThread::GetProgress(int32_t& pos, int32_t& range) const {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  pos = m_progress.position;
  range = m_progress.range;
  return m_progress.phase;
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

bool CCommThread::OpenLink(const std::string& name, uint32_t rate) {
  std::string problem;
  int systemError = 0;
  uint32_t failure = 0;
  if (IsNetworkPortName(name)) {
    m_pLink = &m_netPort;
    NetPortAddress address;
    std::string reason;
    if (!ParseNetworkPort(name, &address, &problem)) {
      failure = InternalError::PortOpen;
    } else if (!m_netPort.Open(address, rate, &reason)) {
      failure = InternalError::PortOpen;
      problem = "cannot open " + address.HostPort() + ": " + reason;
    }
  } else {
    m_pLink = &m_port;
    const PortOpenResult opened = m_port.OpenPort(name, rate);
    failure = opened.failure;
    systemError = opened.systemError;
  }
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_outcome.portOpenError = systemError;
    m_outcome.linkProblem = problem;
  }
  if (failure != 0) StoreResult({ErrorInternal, failure}, {});
  return failure == 0;
}

void CCommThread::SetTraceSink(SerialTrace* trace) { m_pTrace.store(trace); }

void CCommThread::DetachNotifier(ProgressNotifier* notifier) {
  std::lock_guard<std::mutex> lock(m_notifyMutex);
  ProgressNotifier* expected = notifier;
  m_pNotify.compare_exchange_strong(expected, nullptr);
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
