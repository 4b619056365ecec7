// Shared pieces of the link tests: a notifier that records every progress step, S-record files
// written to a temporary folder, a simulated board on a real pseudo-terminal, and the sheet an
// operation runs on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/wizard_state.h"
#include "link/comm_thread.h"
#include "sim/sim_board.h"

namespace quill::test {

using namespace std::chrono_literals;

struct ProgressRecord {
  int32_t phase;
  int32_t pos;
  int32_t range;
  bool operator==(const ProgressRecord&) const = default;
};

// Records the progress of every notification and each outcome. The hook, when set, runs on the
// worker thread after the record is stored.
class RecordingNotifier : public ProgressNotifier {
 public:
  explicit RecordingNotifier(CCommThread& comm) : comm_(&comm) {}
  // Detaches from the communication object, so no notification outlives the recorder.
  ~RecordingNotifier() override;
  // For a recorder that outlives its communication object: nothing left to detach from.
  void Release() { comm_ = nullptr; }
  void Notify(const Progress& progress) override;
  void Finished(const Outcome& outcome) override;

  // Waits until the idle phase has been notified count times in all.
  bool WaitIdle(std::chrono::milliseconds timeout = 30s, int count = 1);
  // Waits until a notification of the phase has arrived.
  bool WaitForPhase(int32_t phase, std::chrono::milliseconds timeout = 30s);
  std::vector<ProgressRecord> Records() const;
  std::vector<ProgressRecord> RecordsOf(int32_t phase) const;
  int IdleCount() const;
  // The outcomes told, each with the number of progress records that came before it.
  std::vector<std::pair<Outcome, std::size_t>> Outcomes() const;
  void Clear();

  std::function<void(const ProgressRecord&)> hook;

 private:
  CCommThread* comm_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<ProgressRecord> records_;
  std::vector<std::pair<Outcome, std::size_t>> outcomes_;
  int idle_ = 0;
};

// One S-record line of the type (1, 2 or 3) with a correct checksum unless bad is set.
std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data,
                    bool badChecksum = false);

// Writes the lines (each ended by a line feed) to a new file in the test's temporary folder.
std::string WriteProgramFile(const std::vector<std::string>& lines);

// n bytes of a recognisable pattern that starts at seed.
std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed);

// The catalogue index of a device name.
int DeviceIndex(const std::string& name);

// The sheet for an operation on port: device, mode and clock, the highest boot rate of the
// clock range, user rate 9600, offset 0 and the mode's whole flash as the window.
WizardState MakeSheet(const std::string& device, int mode, int clock, const std::string& port);

// Starts a board; fails the test when it cannot.
std::unique_ptr<sim::SimBoard> StartBoard(sim::BoardOptions options);
sim::BoardOptions BoardFor(const WizardState& sheet, sim::BoardState state);

// What the flash of the sheet's mode holds after programming records (address, data) into an
// erased flash through the sheet's offset, window and selected blocks.
struct Record {
  uint32_t address;
  std::vector<uint8_t> data;
};
std::vector<uint8_t> ExpectedFlash(const WizardState& sheet, const std::vector<Record>& records);

// The bytes of a programming chunk exchange as the host sends them.
std::vector<uint8_t> ChunkBytes(uint32_t address, const std::vector<uint8_t>& data);

// A program run as a child process, its standard output and error going to files (so neither is
// a terminal). A fileSizeLimit other than 0 is the largest file the child may write: a write
// beyond it kills the child with SIGXFSZ, as a crash in the middle of a write would.
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> args, uint64_t fileSizeLimit = 0);
  // The exit status, or -signal.
  int Wait();
  void Signal(int sig);
  std::string Out() const;
  std::string Err() const;

 private:
  int pid_ = -1;
  std::string out_, err_;
};

// quill-cli of this build as a child process, its standard output and error to files (so neither
// is a terminal).
class CliProcess : public ChildProcess {
 public:
  explicit CliProcess(std::vector<std::string> args) : ChildProcess(WithCli(std::move(args))) {}

 private:
  static std::vector<std::string> WithCli(std::vector<std::string> args) {
    args.insert(args.begin(), std::string(QUILL_BINARY_DIR) + "/cli/quill-cli");
    return args;
  }
};

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The lines of a program's output, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A real port server (Debian's ser2net) in front of pseudo-terminals, one TCP port of 127.0.0.1
// for each, as a rack's port server serves its adapters. Its configuration goes to a temporary
// folder; the ports are free ones. The server is killed when the object goes.
class PortServer {
 public:
  struct Line {
    // The pseudo-terminal (a simulated board's port), or the rfc2217://127.0.0.1:PORT of a board
    // that serves itself (the server then is its RFC 2217 client).
    std::string device;
    uint32_t rate = 9600;   // the server's own setting of the line
    bool rfc2217 = true;    // telnet(rfc2217) accepter, else raw tcp
  };
  explicit PortServer(std::vector<Line> lines);
  ~PortServer();
  PortServer(const PortServer&) = delete;
  PortServer& operator=(const PortServer&) = delete;

  // Starts ser2net and waits until every port listens; false with *error when it does not.
  bool Start(std::string* error);
  // rfc2217://127.0.0.1:P or tcp://127.0.0.1:P of line i.
  std::string Url(std::size_t i) const;
  uint16_t Port(std::size_t i) const { return ports_.at(i); }
  // Ends the server at once (SIGKILL), as a crash or a pulled cable would, and reaps it.
  void Kill();

 private:
  std::vector<Line> lines_;
  std::vector<uint16_t> ports_;
  std::string dir_;
  int pid_ = -1;
};

// A real PostgreSQL server of Debian's packages, made by initdb in a temporary folder and
// listening on 127.0.0.1 and a free port only (trust authentication, the user quill); as root
// it runs as the user nobody, since PostgreSQL refuses root. Stopped and removed when the object
// goes.
class PgServer {
 public:
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Empty when PostgreSQL is installed; else why the tests that need it are skipped.
  const std::string& Missing() const { return missing_; }
  // initdb once, then the server started (again) on the same port and data; false with *error.
  bool Start(std::string* error);
  // A fast shutdown: connections are closed and new ones refused until Start.
  void Stop();
  // postgresql://quill@127.0.0.1:PORT/postgres
  std::string Url() const;

 private:
  int Run(std::vector<std::string> args, std::string* output);
  std::string bin_, dir_, missing_;
  uint16_t port_ = 0;
  bool made_ = false, running_ = false;
};

// A TCP port of 127.0.0.1 that nothing listens on now.
uint16_t FreeTcpPort();

// The whole content of a file; empty when it cannot be read.
std::string ReadAll(const std::string& path);

// A child process that holds path open (without a lock, as a terminal program may) under the
// process name name, until the object ends.
class PortHolder {
 public:
  PortHolder(const std::string& path, const char* name);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  int Pid() const { return pid_; }

 private:
  int pid_ = -1;
  int release_ = -1;  // the child ends when this closes
};

// Counts every open, close and change of attributes of a file (a port's device node) by any
// process, from its start. The kernel queues the events within the call that causes them, so
// they can be counted as soon as that call has returned.
class NodeWatch {
 public:
  explicit NodeWatch(const std::string& path);
  ~NodeWatch();
  NodeWatch(const NodeWatch&) = delete;
  NodeWatch& operator=(const NodeWatch&) = delete;
  int Opens();   // opens so far
  int Events();  // events of every kind so far

 private:
  void Drain();
  int fd_ = -1;
  int opens_ = 0;
  int events_ = 0;
};

// Whether the port can be taken for exclusive use now: it is opened, locked and closed again, as
// no port list may do but a test that a port was given back can.
bool OpensForExclusiveUse(const std::string& path);

// Whether a board of the default line map saw QUILL switch it off: VPP (DTR) released, then,
// after at least settle, Mode (RTS) released. A closing connection releases its lines at once.
inline bool SwitchedOffThenModeReleased(const sim::SimBoard& board, std::chrono::milliseconds settle) {
  const std::vector<sim::LineChange> c = board.LineChanges();
  const std::size_t n = c.size();
  return n >= 2 && c[n - 2].line == ControlLine::Dtr && !c[n - 2].asserted &&
         c[n - 1].line == ControlLine::Rts && !c[n - 1].asserted && c[n - 1].at - c[n - 2].at >= settle;
}

// Concatenation.
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b);

}  // namespace quill::test
