// quill-cli's console on Windows: events woken by the worker and by the console's Ctrl-C
// handler (SetConsoleCtrlHandler), the console's mode and width, and the port-open explanation
// from the system's error code.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>

#include "cli/console.h"
#include "link/serial_port.h"

namespace quill::cli {
namespace {

// The event the Ctrl-C handler sets; the handler runs on a thread of its own.
std::atomic<HANDLE> g_interruptEvent{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  const HANDLE event = g_interruptEvent.load();
  if (event == nullptr) return FALSE;
  ::SetEvent(event);
  return TRUE;  // handled: the process goes on and aborts the operation
}

class EventNotifier : public ProgressNotifier {
 public:
  explicit EventNotifier(HANDLE event) : event_(event) {}
  void Notify(const Progress&) override { ::SetEvent(event_); }

 private:
  HANDLE event_;
};

// The system's text for an error code, without its trailing line end and full stop.
std::string SystemMessage(DWORD error) {
  char* buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length ? std::string(buffer, length) : "error " + std::to_string(error);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' ||
                           text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

HANDLE StderrHandle() { return ::GetStdHandle(STD_ERROR_HANDLE); }

}  // namespace

struct OperationWaiter::State {
  // Auto-reset: one wake-up per Wait, as the pipe is drained on POSIX.
  HANDLE notifyEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE interruptEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EventNotifier notifier{notifyEvent};
  DWORD error = ::GetLastError();
};

OperationWaiter::OperationWaiter() : state_(std::make_unique<State>()) {
  if (!Ok()) return;
  g_interruptEvent.store(state_->interruptEvent);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

OperationWaiter::~OperationWaiter() {
  if (Ok()) {
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_interruptEvent.store(nullptr);
  }
  for (HANDLE event : {state_->notifyEvent, state_->interruptEvent}) {
    if (event) ::CloseHandle(event);
  }
}

bool OperationWaiter::Ok() const {
  return state_->notifyEvent != nullptr && state_->interruptEvent != nullptr;
}

std::string OperationWaiter::Error() const {
  return "cannot create an event: " + SystemMessage(state_->error);
}

ProgressNotifier& OperationWaiter::Notifier() { return state_->notifier; }

bool OperationWaiter::Wait() {
  const HANDLE events[2] = {state_->notifyEvent, state_->interruptEvent};
  const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
  // Both may be set; the notification is consumed either way.
  ::ResetEvent(state_->notifyEvent);
  return woken == WAIT_OBJECT_0 + 1 || ::WaitForSingleObject(state_->interruptEvent, 0) == WAIT_OBJECT_0;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  const HANDLE handle = StderrHandle();
  if (!::GetConsoleMode(handle, &mode)) return false;
  // The progress line moves the cursor back with a carriage return and clears the rest of the
  // line with ESC [ K, which a console shows only with virtual-terminal processing on.
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      !::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return false;  // an old console would print the sequence as text
  }
  return true;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(StderrHandle(), &info)) return 80;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : 80;
}

void WriteStderr(const std::string& text) {
  // Through the C library, so a line end is written as the console and files expect it.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string PortProblem(const std::string& port, int systemError) {
  (void)port;
  const DWORD error = static_cast<DWORD>(systemError);
  switch (error) {
    case 0:
      return "the port opened, but could not be set up";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: {
      std::string present;
      for (const std::string& name : ListCandidatePorts()) present += (present.empty() ? "" : ", ") + name;
      return "no such port; the serial ports present: " + (present.empty() ? std::string("none") : present);
    }
    // Windows refuses a port that another program holds with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return SystemMessage(error) + "; in use by another program";
    default:
      return SystemMessage(error);
  }
}

}  // namespace quill::cli
