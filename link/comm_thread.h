// The communication object: a worker thread that opens the board's port and carries out one
// operation's plan at a time (boot-mode programming, user-mode programming,
// user-mode block erase; link/operation_plan.h). The caller starts an operation, is told every
// progress step and then the outcome as values, and may abort; the outcome is written in one
// place, and the last one can be read again (a refused start is told to no observer).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/link_session.h"
#include "link/operation_plan.h"
#include "link/port_link.h"
#include "link/serial_port.h"
#include "progfile/job.h"

namespace quill {

// How the last operation ended, as one value: the result, the bytes the programming step sent
// and left out, why the port did not open (the system's error number; for a network port what
// went wrong with the connection, naming HOST:PORT, also when it was lost during the run), why a
// program file could not be opened, and the kernel a boot took down the line (none for a
// boot refused or cancelled before its worker began).
struct Outcome {
  Result result;
  ProgramCounts counts;
  int portOpenError = 0;
  std::string linkProblem;
  std::string fileError;
  std::optional<SentKernel> kernel;
  std::string value;         // the board's own value as taken, empty without one
  std::string valueProblem;  // why no value could be taken (the board was refused)
};

// Told of every progress step with its value, from the worker thread, and once more with the
// outcome right after the last step (the idle phase) of an operation the worker ran: the idle
// step always comes with an outcome. Neither may block for long, nor call Start*, Abort or the
// destructor of the communication object.
class ProgressNotifier {
 public:
  virtual ~ProgressNotifier() = default;
  virtual void Notify(const Progress& progress) = 0;
  virtual void Finished(const Outcome&) {}
};

// What an observer has been told of one operation: its latest step (started, until the worker
// tells one) and, once it has ended, its outcome.
struct ProgressSeen {
  Progress progress{PhaseStarted, 0, 1};
  std::optional<Outcome> outcome;
  bool Ended() const { return outcome.has_value(); }
};

// An observer that keeps the values it is told for a reader on another thread, which looks at
// the latest whenever it likes: each step replaces the one before, and the outcome ends the
// operation. wake (when given) is told every step once it is kept, and the idle step only once
// the outcome is kept, so that a reader woken by the idle step finds the operation ended.
class LatestProgress final : public ProgressNotifier {
 public:
  explicit LatestProgress(ProgressNotifier* wake = nullptr) : m_pWake(wake) {}
  void Notify(const Progress& progress) override;
  void Finished(const Outcome& outcome) override;
  ProgressSeen Seen() const;
  // Forgets the last operation; before the next one starts.
  void Reset();

 private:
  mutable std::mutex m_mutex;
  ProgressSeen m_seen;
  ProgressNotifier* const m_pWake;
};

// An auto-reset event: Set wakes one waiter (or the next one to come), which resets it.
class AutoResetEvent {
 public:
  void Set();
  void Wait();

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSignalled = false;
};

class CCommThread {
 public:
  // Starts the worker, which waits for the first command.
  CCommThread();
  // Aborts a running operation, ends the worker and waits for it to end; it never returns while
  // the worker still runs.
  ~CCommThread();
  CCommThread(const CCommThread&) = delete;
  CCommThread& operator=(const CCommThread&) = delete;

  // Each start copies job and hands the operation to the worker, which opens the port the job
  // names (at m_nComBootRate for a boot, else at m_nComUserRate) and carries it out; true when
  // the worker has it, at once, whatever the port will do. A port that cannot be set up ends the
  // operation: its outcome's result is ErrorInternal with the InternalErrorNumber, its
  // portOpenError or linkProblem the reason, and nothing is sent. The caller's job may change at
  // once. false: an operation is still running (nothing changes), or the job's port is no port
  // at all (ErrorInternal, PortOpen, linkProblem saying why; nothing is notified), or - for the
  // two that program - a program file could not be opened: then the outcome's fileError holds a
  // message with the path and the system's reason (the result stays as it was). The two that
  // program read the job's ProgramFileSet(): every file in order, as one image, after one erase.
  // StartBoot first finds the kernel for the clock range (kernels/kernel_store.h): an installed one
  // goes to any port, the built-in stand-in only to a pseudo-terminal. Otherwise it returns false
  // before the port is opened, and GetResult gives ErrorNoKernel or ErrorKernelUnusable with the
  // kernel id.
  bool StartBoot(ProgressNotifier* notifier, const Job& job);
  bool StartProgram(ProgressNotifier* notifier, const Job& job, bool eraseFirst);
  bool StartErase(ProgressNotifier* notifier, const Job& job);

  // Requests the running operation to stop (a port still being opened included) and waits up to
  // 10 seconds for it to go idle. Sets the result to ErrorUserAbort, also when nothing runs (then
  // it returns at once). Always true.
  bool Abort();

  // How the last operation (or the last refused start) ended; complete once the idle phase is seen.
  Outcome GetOutcome() const;
  // The ErrorKind of the last operation and its detail: the outcome's result.
  int32_t GetResult(uint32_t& detail) const;

  // Receives every byte written to and read from the line; set it while no operation runs.
  void SetTraceSink(SerialTrace* trace);
  // The source of each board's own value for the boot and program runs started from now on
  // (null: none); set it while no operation runs.
  void SetBoardValue(std::shared_ptr<BoardValueSource> source) { m_boardValue = std::move(source); }

  // Makes sure the worker no longer calls notifier: waits for a notification to it in progress
  // to return and stops later ones. A receiver calls it before it is destroyed, since the idle
  // notification may still be running when the receiver has already seen the idle phase.
  void DetachNotifier(ProgressNotifier* notifier);

  // For tests and fuzzing only: shortens how long one read attempt waits for its byte
  // (CLinkSession::kReadTimeout unless set), so that a silent board costs milliseconds instead of
  // seconds. Set it while no operation runs. Every attempt count stays as it is.
  void SetReadTimeoutForTesting(std::chrono::milliseconds timeout) {
    m_readTimeoutMs.store(static_cast<int32_t>(timeout.count()));
  }
  // For tests and fuzzing only: whether an abort request is waiting to be noticed. After
  // Abort has returned it never is, so no later operation can be cut short by it.
  bool IsAbortPendingForTesting() const { return m_bAbort.load(); }
  // For tests and fuzzing only: the step the worker published last (idle once it has finished),
  // to hold against what its observer was told. Callers follow an operation through the values
  // their observer is given.
  Progress GetProgressForTesting() const;

 private:
  bool IsIdle();
  // A new plan for command on job; the previous operation's program files are closed.
  OperationPlan NewPlan(ThreadCommand command, const Job& job, bool eraseFirst = false);
  bool StartCommand(OperationPlan plan, ProgressNotifier* notifier);
  bool OpenFiles(OperationPlan& plan);
  void ThreadProc();
  // The worker's part of one operation: the port opened, the plan carried out, the port closed.
  Outcome Carry(OperationPlan& plan);
  Result Run(const OperationPlan& plan, ByteLink& link, ProgramCounts& counts);
  // Automatic Mode: the board's switches set through the port's control lines before the
  // operation (VPP off, Mode, VPP on, each followed by the settling time); empty, or what the
  // port could not do; *moved once a line has been set. SwitchOff after it, whatever happened:
  // VPP off, then Mode released.
  std::string SwitchOn(const OperationPlan& plan, PortLink& link, bool* moved);
  void SwitchOff(const OperationPlan& plan, PortLink& link);
  // Takes the board's value into the plan's image; false with the refusal in finished.
  bool TakeBoardValue(OperationPlan& plan, Outcome& finished);
  // Publishes a progress step and notifies; the worker's last step (idle) brings the result.
  void SetProgress(const Progress& progress, const Outcome* outcome = nullptr);
  // The one writer of the result (m_stateMutex held): a refused start, an abort while idle, or
  // the worker's finish. StoreResult takes the mutex.
  void StoreResultLocked(const Result& result, const ProgramCounts& counts);
  void StoreResult(const Result& result, const ProgramCounts& counts);
  bool WaitIdle(std::chrono::milliseconds timeout);

  std::thread m_worker;
  std::atomic<ProgressNotifier*> m_pNotify{nullptr};
  // Written before the start event is set, read by the worker after it has taken the event. Its
  // program files stay open after a failure until the next start closes them.
  OperationPlan m_plan;
  AutoResetEvent m_evStart;
  // Set by Abort until the worker is idle again; the sessions ask it through the port.
  std::atomic<bool> m_bAbort{false};

  // Phase, position, range and the result change under m_stateMutex, so a reader never sees the
  // position of one phase with the range of another; m_idleCv is told when the phase goes idle.
  mutable std::mutex m_stateMutex;
  std::condition_variable m_idleCv;
  Progress m_progress;
  Outcome m_outcome;
  // Held across every notification, so that once the idle phase has been seen and this mutex
  // taken, the worker has finished with the notifier.
  std::mutex m_notifyMutex;

  std::atomic<SerialTrace*> m_pTrace{nullptr};
  std::shared_ptr<BoardValueSource> m_boardValue;
  std::atomic<int32_t> m_readTimeoutMs{
      static_cast<int32_t>(CLinkSession::kReadTimeout.count())};
};

}  // namespace quill
