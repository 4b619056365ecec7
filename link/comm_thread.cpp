#include "link/comm_thread.h"

#include <chrono>

#include "link/kernel_store.h"
#include "link/results.h"
#include "progfile/file_set.h"
#include "progfile/user_exception.h"

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

void AutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bSignalled = false;
}

bool AutoResetEvent::TryWait() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const bool was = m_bSignalled;
  m_bSignalled = false;
  return was;
}

bool AutoResetEvent::IsSet() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bSignalled;
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cv.wait(lock, [this] { return m_bSignalled; });
  m_bSignalled = false;
}

CCommThread::CCommThread() : m_files(std::make_unique<CProgramFileSet>()) {
  m_worker = std::thread([this] { ThreadProc(); });
}

CCommThread::~CCommThread() {
  Abort();
  // Every read attempt lasts at most a second and every write is bounded, so a worker that is
  // still busy after the abort wait ends soon; keep asking rather than destroy it while it runs.
  while (!WaitIdle(std::chrono::milliseconds(1000))) m_evAbort.Set();
  StartCommand(CmdQuit, nullptr, nullptr, false);
  if (m_worker.joinable()) m_worker.join();
  m_port.Close();
}

bool CCommThread::OpenProgramFile(const WizardState* sheet, std::string* fileError) {
  m_files->Close();
  try {
    m_files->Open(sheet->ProgramFileSet());
  } catch (const CFileException& e) {
    if (fileError) *fileError = e.Message();
    return false;
  }
  return true;
}

bool CCommThread::TakeKernel(const WizardState& sheet) {
  const ClockRange* clock = sheet.m_pClockRange;
  if (clock == nullptr) {
    SetResult(ErrorInternal, InternalError::KernelLoad);
    return false;
  }
  KernelImage kernel = FindKernel(clock->kernelId);
  const bool standInAllowed =
      kernel.origin == KernelOrigin::StandIn && IsPseudoTerminal(sheet.m_strComPort);
  if (kernel.origin != KernelOrigin::Installed && !standInAllowed) {
    SetResult(kernel.origin == KernelOrigin::Unusable ? ErrorKernelUnusable : ErrorNoKernel,
              clock->kernelId);
    return false;
  }
  m_kernel = std::move(kernel.bytes);
  m_bStandInKernel = kernel.origin == KernelOrigin::StandIn;
  return true;
}

bool CCommThread::StartBoot(ProgressNotifier* notifier, WizardState* sheet,
                            std::string* fileError) {
  // The busy test comes before the file is touched: the worker of a running operation reads it.
  if (sheet == nullptr || !WaitIdle(std::chrono::milliseconds(0))) return false;
  // Decided before anything is opened, so a refused boot writes not a single byte.
  if (!TakeKernel(*sheet)) return false;
  if (!OpenProgramFile(sheet, fileError)) return false;
  if (!StartCommand(CmdBoot, notifier, sheet, false)) {
    m_files->Close();
    return false;
  }
  return true;
}

bool CCommThread::StartProgram(ProgressNotifier* notifier, WizardState* sheet, bool eraseFirst,
                               std::string* fileError) {
  if (sheet == nullptr || !WaitIdle(std::chrono::milliseconds(0))) return false;
  if (!OpenProgramFile(sheet, fileError)) return false;
  if (!StartCommand(CmdProgram, notifier, sheet, eraseFirst)) {
    m_files->Close();
    return false;
  }
  return true;
}

bool CCommThread::StartErase(ProgressNotifier* notifier, WizardState* sheet) {
  if (sheet == nullptr) return false;
  return StartCommand(CmdErase, notifier, sheet, true);
}

bool CCommThread::StartCommand(ThreadCommand command, ProgressNotifier* notifier,
                               WizardState* sheet, bool eraseFirst) {
  if (!WaitIdle(std::chrono::milliseconds(0))) return false;
  SetResult(ErrorNone, 0);

  // Marks the worker busy from the hand-over on, so that a second start before the worker has
  // taken this command is refused instead of replacing it.
  auto handOver = [this](ThreadCommand cmd) {
    m_nCommand.store(cmd);
    {
      std::lock_guard<std::mutex> lock(m_stateMutex);
      m_nPhase = PhaseStarted;
    }
    m_evStart.Set();
  };

  if (command == CmdQuit) {
    handOver(CmdQuit);
    return true;
  }

  {
    // Waits until the worker has finished notifying the previous operation's receiver.
    std::lock_guard<std::mutex> lock(m_notifyMutex);
    m_pNotify.store(notifier);
  }
  m_pSheet = sheet;
  m_bEraseFirst.store(eraseFirst);

  const int32_t rate = command == CmdBoot ? sheet->m_nComBootRate : sheet->m_nComUserRate;
  const uint32_t failure = m_port.Open(sheet->m_strComPort, static_cast<uint32_t>(rate));
  if (failure != 0) {
    SetResult(ErrorInternal, failure);
    return false;
  }
  // The path was a pseudo-terminal when the kernel was chosen; a link changed since then must
  // not carry a stand-in to a real board.
  if (command == CmdBoot && m_bStandInKernel && !m_port.IsOnPseudoTerminal()) {
    m_port.Close();
    SetResult(ErrorNoKernel, sheet->m_pClockRange->kernelId);
    return false;
  }
  m_port.SetTrace(m_pTrace.load());
  handOver(command);
  return true;
}

void CCommThread::ThreadProc() {
  for (;;) {
    const ThreadCommand command = WaitForCommand();
    if (command == CmdQuit) return;
    try {
      switch (command) {
        case CmdBoot:
          BootProgram();
          break;
        case CmdProgram:
          // EraseBlocks runs inside ProgramFile when m_bEraseFirst is set.
          ProgramFile();
          break;
        case CmdErase:
          EraseBlocks();
          break;
        default:
          break;
      }
    } catch (const CUserException&) {
      // An abort: the result was set by Abort.
    }
    m_port.Close();
    SetProgress(PhaseIdle, 0, 1);
  }
}

ThreadCommand CCommThread::WaitForCommand() {
  m_evStart.Wait();
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_nPhase = PhaseStarted;
  }
  return static_cast<ThreadCommand>(m_nCommand.load());
}

bool CCommThread::IsAbortRequested() { return m_evAbort.TryWait(); }

void CCommThread::ThrowIfAbortRequested() {
  if (IsAbortRequested()) throw CUserException(CUserException::Abort, "operation aborted");
}

void CCommThread::SetProgress(int32_t phase, int32_t pos, int32_t range) {
  std::lock_guard<std::mutex> notifyLock(m_notifyMutex);
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_nPhase = phase;
    m_nPos = pos;
    m_nRange = range;
  }
  if (phase == PhaseIdle) m_idleCv.notify_all();
  if (ProgressNotifier* notifier = m_pNotify.load()) notifier->Notify();
}

void CCommThread::SetResult(int32_t kind, uint32_t detail) {
  m_dwDetail.store(detail);
  m_nResult.store(kind);
}

bool CCommThread::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_stateMutex);
  return m_idleCv.wait_for(lock, timeout, [this] { return m_nPhase == PhaseIdle; });
}

int32_t CCommThread::GetProgress(int32_t& pos, int32_t& range) const {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  pos = m_nPos;
  range = m_nRange;
  return m_nPhase;
}

int32_t CCommThread::GetResult(uint32_t& detail) const {
  detail = m_dwDetail.load();
  return m_nResult.load();
}

void CCommThread::SetTraceSink(SerialTrace* trace) { m_pTrace.store(trace); }

void CCommThread::DetachNotifier(ProgressNotifier* notifier) {
  std::lock_guard<std::mutex> lock(m_notifyMutex);
  ProgressNotifier* expected = notifier;
  m_pNotify.compare_exchange_strong(expected, nullptr);
}

bool CCommThread::Abort() {
  m_nCommand.store(CmdNone);
  m_nResult.store(ErrorUserAbort);
  m_evAbort.Set();
  const bool idle = WaitIdle(kAbortWait);
  m_evAbort.Reset();
  if (idle) {
    // The idle notification may still be running on the worker: let it finish, so the caller
    // may destroy its receiver once Abort has returned.
    std::lock_guard<std::mutex> lock(m_notifyMutex);
  }
  return true;
}

int CCommThread::ReadByte(int attempts) {
  if (attempts <= 0) return -1;
  for (; attempts > 0; --attempts) {
    ThrowIfAbortRequested();
    uint8_t byte = 0;
    switch (m_port.ReadOne(byte, std::chrono::milliseconds(m_readTimeoutMs.load()))) {
      case CSerialPort::ReadResult::Byte:
        return byte;
      case CSerialPort::ReadResult::Failed:
        return -1;
      case CSerialPort::ReadResult::Timeout:
        break;
    }
  }
  // An abort that came during the last attempt ends the operation as the user's abort rather
  // than as the timeout of the wait it cut short.
  ThrowIfAbortRequested();
  return -1;
}

bool CCommThread::WriteByte(uint8_t byte) { return m_port.Write(&byte, 1); }

bool CCommThread::WriteBytes(const uint8_t* data, std::size_t length) {
  return m_port.Write(data, length);
}

}  // namespace quill
