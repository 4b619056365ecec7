// The communication object: owns the serial link to the target board and a worker thread that
// carries out one operation at a time (boot-mode programming, user-mode programming, user-mode
// block erase). The caller starts an operation, is notified at every progress step, reads the
// progress, may abort, and finally reads the result.
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

#include "app/wizard_state.h"
#include "link/serial_port.h"

namespace quill {

class CProgramFileSet;
struct FlashBlock;

// The phase reported with each progress notification; PhaseIdle means no operation runs.
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

// The command handed to the worker.
enum ThreadCommand : int32_t { CmdNone = 0, CmdBoot, CmdProgram, CmdErase, CmdQuit };

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
  void Reset();
  // True when the event was set; consumes the signal. Never blocks for long.
  bool TryWait();
  void Wait();
  // Whether the event is set, without consuming the signal.
  bool IsSet();

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

  // StartBoot first finds the kernel for the clock range (link/kernel_store.h): an installed one
  // goes to any port, the built-in stand-in only to a pseudo-terminal. Otherwise it returns false
  // before the port is opened, and GetResult gives ErrorNoKernel or ErrorKernelUnusable with the
  // kernel id.
  // Each start opens the port named by sheet->m_strComPort (at m_nComBootRate for a boot, else at
  // m_nComUserRate) and hands the command to the worker; true when the worker has it. The sheet
  // must outlive the operation and stay unchanged while it runs. false: an operation is still
  // running (nothing changes), or the port could not be set up (GetResult gives ErrorInternal
  // with the InternalErrorNumber; nothing is notified), or - for the two that program - a
  // program file could not be opened: then *fileError (when given) holds a message with the path
  // and the system's reason and the stored result is unchanged. The two that program read the
  // sheet's ProgramFileSet(): every file in order, as one image, after one erase.
  bool StartBoot(ProgressNotifier* notifier, WizardState* sheet, std::string* fileError);
  bool StartProgram(ProgressNotifier* notifier, WizardState* sheet, bool eraseFirst,
                    std::string* fileError);
  bool StartErase(ProgressNotifier* notifier, WizardState* sheet);

  // Requests the running operation to stop and waits up to 10 seconds for it to go idle. Sets the
  // result to ErrorUserAbort, also when nothing runs (then it returns at once). Always true.
  bool Abort();

  // The current phase; pos and range belong to it.
  int32_t GetProgress(int32_t& pos, int32_t& range) const;
  // The ErrorKind of the last operation and its detail.
  int32_t GetResult(uint32_t& detail) const;
  // Bytes programmed and skipped by the last programming step.
  uint32_t GetProgrammed() const { return m_dwProgrammed.load(); }
  uint32_t GetSkipped() const { return m_dwSkipped.load(); }

  // Receives every byte written to and read from the line; set it while no operation runs.
  void SetTraceSink(SerialTrace* trace);

  // Makes sure the worker no longer calls notifier: waits for a notification to it in progress
  // to return and stops later ones. A receiver calls it before it is destroyed, since the idle
  // notification may still be running when the receiver has already seen the idle phase.
  void DetachNotifier(ProgressNotifier* notifier);

  // For tests and fuzzing only: shortens how long one read attempt waits for its byte
  // (CSerialPort::kReadTimeout unless set), so that a silent board costs milliseconds instead of
  // seconds. Set it while no operation runs. Every attempt count stays as it is.
  void SetReadTimeoutForTesting(std::chrono::milliseconds timeout) {
    m_readTimeoutMs.store(static_cast<int32_t>(timeout.count()));
  }
  // For tests and fuzzing only: whether an abort request is waiting to be noticed. After
  // Abort has returned it never is, so no later operation can be cut short by it.
  bool IsAbortPendingForTesting() { return m_evAbort.IsSet(); }

 private:
  bool StartCommand(ThreadCommand command, ProgressNotifier* notifier, WizardState* sheet,
                    bool eraseFirst);
  bool OpenProgramFile(const WizardState* sheet, std::string* fileError);
  bool TakeKernel(const WizardState& sheet);
  void ThreadProc();
  ThreadCommand WaitForCommand();
  bool IsAbortRequested();
  void ThrowIfAbortRequested();
  void SetProgress(int32_t phase, int32_t pos, int32_t range);
  void SetResult(int32_t kind, uint32_t detail);
  bool WaitIdle(std::chrono::milliseconds timeout);
  int ReadByte(int attempts);
  bool WriteByte(uint8_t byte);
  bool WriteBytes(const uint8_t* data, std::size_t length);

  // Boot mode
  void BootProgram();
  // Kernel commands
  bool EraseBlocks();
  void ProgramFile();
  bool SendChunk(uint32_t address, const uint8_t* data, uint32_t count);
  bool FindUnselectedBlock(uint32_t address, uint32_t& start, uint32_t& end) const;

  std::thread m_worker;
  std::atomic<ProgressNotifier*> m_pNotify{nullptr};
  WizardState* m_pSheet = nullptr;  // written before the hand-over, read by the worker after it
  std::atomic<bool> m_bEraseFirst{false};
  CSerialPort m_port;
  // The kernel image of a boot, taken before the port is opened; whether it is a stand-in.
  std::vector<uint8_t> m_kernel;
  bool m_bStandInKernel = false;
  std::unique_ptr<CProgramFileSet> m_files;
  AutoResetEvent m_evStart;
  AutoResetEvent m_evAbort;
  std::atomic<int32_t> m_nCommand{CmdNone};

  // Phase, position and range change together under m_stateMutex, so a reader never sees the
  // position of one phase with the range of another; m_idleCv is told when the phase goes idle.
  mutable std::mutex m_stateMutex;
  std::condition_variable m_idleCv;
  int32_t m_nPhase = PhaseIdle;
  int32_t m_nPos = 0;
  int32_t m_nRange = 1;
  // Held across every notification, so that once the idle phase has been seen and this mutex
  // taken, the worker has finished with the notifier.
  std::mutex m_notifyMutex;

  std::atomic<int32_t> m_nResult{0};
  std::atomic<uint32_t> m_dwDetail{0};
  std::atomic<uint32_t> m_dwProgrammed{0};
  std::atomic<uint32_t> m_dwSkipped{0};
  std::atomic<SerialTrace*> m_pTrace{nullptr};
  std::atomic<int32_t> m_readTimeoutMs{
      static_cast<int32_t>(CSerialPort::kReadTimeout.count())};
};

}  // namespace quill
