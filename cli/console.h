// What quill-cli needs of the console and the process beyond standard C++: waking the main
// thread for a progress notification or Ctrl-C, whether standard error is a terminal and how
// wide, raw writes to it, and why a port did not open. console_posix.cpp and console_win.cpp
// implement it; the commands stay the same on both.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/comm_thread.h"

namespace quill::cli {

// Wakes the main thread while an operation runs: its notifier is told of every progress step
// (from the worker), and Ctrl-C is caught for as long as the waiter lives, instead of ending
// the process.
class OperationWaiter {
 public:
  OperationWaiter();
  ~OperationWaiter();
  OperationWaiter(const OperationWaiter&) = delete;
  OperationWaiter& operator=(const OperationWaiter&) = delete;

  // False when the waiter could not be set up (the reason is in Error()).
  bool Ok() const;
  std::string Error() const;
  ProgressNotifier& Notifier();
  // Blocks until a progress step has been notified or Ctrl-C pressed since the last call;
  // true when Ctrl-C was pressed.
  bool Wait();
#ifndef _WIN32
  // As Wait, and woken as well when one of fds has something to read (ready[i] says which) or
  // after timeoutMs (negative: no limit), for a loop that also waits for hot-plug events.
  bool Wait(const std::vector<int>& fds, int timeoutMs, std::vector<bool>& ready);
#endif

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether standard error is a terminal (a console window on Windows) that can show a progress
// line redrawn in place.
bool StderrIsTerminal();
// The terminal's width in columns; 80 when it cannot be told.
int TerminalColumns();
// Writes text to standard error at once, unbuffered, in one piece where the system allows.
void WriteStderr(const std::string& text);

// Why the port did not open, and what the user can do about it (no such port, access denied,
// in use by another program), for the line that leads a failed open's message. systemError is
// the error of the failed step as the open got it (errno; GetLastError() on Windows), so the port
// is not opened again to find out.
std::string PortProblem(const std::string& port, int systemError);

}  // namespace quill::cli
