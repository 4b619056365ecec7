// The communication object: owns the serial port to the target board and a worker thread that
// runs one protocol session at a time (boot-mode programming, user-mode programming, user-mode
// block erase) on a copy of the caller's job. The caller starts an operation, is notified at
// every progress step, reads the progress, may abort, and finally reads the result; the worker
// publishes both, and the result is written in one place.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_session.h"
#include "link/net_port.h"
#include "link/serial_port.h"
#include "progfile/job.h"

namespace quill {

class CProgramFileSet;

// Told of every progress step, from the worker thread, without data: the receiver calls
// GetProgress (and after PhaseIdle GetResult). Notify must return promptly and must not call
// Start*, Abort or the destructor of the communication object.
class ProgressNotifier {
 public:
  virtual ~ProgressNotifier() = default;
  virtual void Notify() = 0;
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

  // Each start copies job, opens the port it names (at m_nComBootRate for a boot, else at
  // m_nComUserRate) and hands the operation to the worker; true when the worker has it. The
  // caller's job may change at once. false: an operation is still running (nothing changes), or
  // the port could not be set up (GetResult gives ErrorInternal with the InternalErrorNumber,
  // GetPortOpenError the system's reason; nothing is notified), or - for the two that program -
  // a program file could not be opened: then *fileError (when given) holds a message with the
  // path and the system's reason and the stored result is unchanged. The two that program read
  // the job's ProgramFileSet(): every file in order, as one image, after one erase.
  // StartBoot first finds the kernel for the clock range (kernels/kernel_store.h): an installed one
  // goes to any port, the built-in stand-in only to a pseudo-terminal. Otherwise it returns false
  // before the port is opened, and GetResult gives ErrorNoKernel or ErrorKernelUnusable with the
  // kernel id.
  bool StartBoot(ProgressNotifier* notifier, const Job& job, std::string* fileError);
  bool StartProgram(ProgressNotifier* notifier, const Job& job, bool eraseFirst,
                    std::string* fileError);
  bool StartErase(ProgressNotifier* notifier, const Job& job);

  // Requests the running operation to stop and waits up to 10 seconds for it to go idle. Sets the
  // result to ErrorUserAbort, also when nothing runs (then it returns at once). Always true.
  bool Abort();

  // The current phase; pos and range belong to it.
  int32_t GetProgress(int32_t& pos, int32_t& range) const;
  // The ErrorKind of the last operation and its detail.
  int32_t GetResult(uint32_t& detail) const;
  // Bytes programmed and skipped by the last programming step.
  uint32_t GetProgrammed() const;
  uint32_t GetSkipped() const;
  // The system's error number of the last start whose port did not open (0 when it opened).
  int GetPortOpenError() const;
  // For a network port, what went wrong with the connection in the last operation, naming
  // HOST:PORT: why it did not open, or that it was lost during the run (ErrorInternal with
  // InternalError::ConnectionLost); empty otherwise.
  std::string GetLinkProblem() const;

  // Receives every byte written to and read from the line; set it while no operation runs.
  void SetTraceSink(SerialTrace* trace);

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

 private:
  // An operation as the worker runs it: what to do, on a copy of the caller's job.
  struct Operation {
    ThreadCommand command = CmdNone;
    Job job;
    bool eraseFirst = false;
    std::vector<uint8_t> kernel;  // a boot's kernel image, taken before the port is opened
    bool standInKernel = false;
  };

  bool IsIdle();
  bool StartCommand(Operation operation, ProgressNotifier* notifier);
  bool OpenProgramFile(const Job& job, std::string* fileError);
  bool TakeKernel(Operation& operation);
  void ThreadProc();
  Result Run(const Operation& operation, ProgramCounts& counts);
  // Publishes a progress step and notifies; the worker's last step (idle) brings the result.
  void SetProgress(const Progress& progress, const Result* result = nullptr,
                   const ProgramCounts* counts = nullptr);
  // The one writer of the result (m_stateMutex held): a refused start, an abort while idle, or
  // the worker's finish. StoreResult takes the mutex.
  void StoreResultLocked(const Result& result, const ProgramCounts& counts);
  void StoreResult(const Result& result, const ProgramCounts& counts);
  bool WaitIdle(std::chrono::milliseconds timeout);

  // Opens the job's port, local or on the network, and makes it the line of the operation.
  bool OpenLink(const std::string& name, uint32_t rate);

  std::thread m_worker;
  std::atomic<ProgressNotifier*> m_pNotify{nullptr};
  CSerialPort m_port;
  CNetPort m_netPort;
  ByteLink* m_pLink = &m_port;  // the one of the two the running operation uses
  std::unique_ptr<CProgramFileSet> m_files;
  // Written before the start event is set, read by the worker after it has taken the event.
  Operation m_operation;
  AutoResetEvent m_evStart;
  // Set by Abort until the worker is idle again; the sessions ask it through the port.
  std::atomic<bool> m_bAbort{false};

  // Phase, position, range and the result change under m_stateMutex, so a reader never sees the
  // position of one phase with the range of another; m_idleCv is told when the phase goes idle.
  mutable std::mutex m_stateMutex;
  std::condition_variable m_idleCv;
  Progress m_progress;
  Result m_result;
  ProgramCounts m_counts;
  int m_nPortOpenError = 0;
  std::string m_strLinkProblem;
  // Held across every notification, so that once the idle phase has been seen and this mutex
  // taken, the worker has finished with the notifier.
  std::mutex m_notifyMutex;

  std::atomic<SerialTrace*> m_pTrace{nullptr};
  std::atomic<int32_t> m_readTimeoutMs{
      static_cast<int32_t>(CLinkSession::kReadTimeout.count())};
};

}  // namespace quill
