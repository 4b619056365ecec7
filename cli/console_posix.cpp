// quill-cli's console on POSIX: a self-pipe woken by the worker and by the SIGINT handler,
// isatty and TIOCGWINSZ, and the port-open explanation from errno and flock.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include "cli/console.h"
#include "link/port_list.h"

namespace quill::cli {
namespace {

// The write end of the pipe the SIGINT handler wakes the main thread through.
volatile sig_atomic_t g_interruptFd = -1;

extern "C" void OnInterrupt(int) {
  const int saved = errno;
  if (g_interruptFd >= 0) {
    const char c = 'i';
    (void)!::write(g_interruptFd, &c, 1);
  }
  errno = saved;
}

// A pipe whose ends never block the writer.
struct WakePipe {
  int fds[2] = {-1, -1};
  WakePipe() {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
  }
  ~WakePipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  void Drain() const {
    char buffer[64];
    while (::read(fds[0], buffer, sizeof buffer) > 0) {
    }
  }
};

class PipeNotifier : public ProgressNotifier {
 public:
  explicit PipeNotifier(int fd) : fd_(fd) {}
  void Notify(const Progress&) override {
    const char c = 'n';
    (void)!::write(fd_, &c, 1);  // a full pipe already holds a wake-up
  }

 private:
  int fd_;
};

}  // namespace

struct OperationWaiter::State {
  WakePipe notifyPipe, interruptPipe;
  PipeNotifier notifier{notifyPipe.fds[1]};
  int error = 0;
  struct sigaction oldAction {};
};

OperationWaiter::OperationWaiter() : state_(std::make_unique<State>()) {
  if (state_->notifyPipe.fds[0] < 0 || state_->interruptPipe.fds[0] < 0) {
    state_->error = errno;
    return;
  }
  g_interruptFd = state_->interruptPipe.fds[1];
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &state_->oldAction);
}

OperationWaiter::~OperationWaiter() {
  if (!Ok()) return;
  ::sigaction(SIGINT, &state_->oldAction, nullptr);
  g_interruptFd = -1;
}

bool OperationWaiter::Ok() const { return state_->error == 0; }

std::string OperationWaiter::Error() const {
  return std::string("cannot create a pipe: ") + std::strerror(state_->error);
}

ProgressNotifier& OperationWaiter::Notifier() { return state_->notifier; }

bool OperationWaiter::Wait() {
  pollfd fds[2] = {{state_->notifyPipe.fds[0], POLLIN, 0},
                   {state_->interruptPipe.fds[0], POLLIN, 0}};
  if (::poll(fds, 2, -1) < 0) return false;  // EINTR: the caller looks at the progress again
  state_->notifyPipe.Drain();
  if ((fds[1].revents & POLLIN) == 0) return false;
  state_->interruptPipe.Drain();
  return true;
}

bool OperationWaiter::Wait(const std::vector<int>& fds, int timeoutMs, std::vector<bool>& ready) {
  std::vector<pollfd> polled = {{state_->notifyPipe.fds[0], POLLIN, 0},
                                {state_->interruptPipe.fds[0], POLLIN, 0}};
  for (int fd : fds) polled.push_back({fd, POLLIN, 0});
  ready.assign(fds.size(), false);
  if (::poll(polled.data(), polled.size(), timeoutMs) < 0) return false;
  for (std::size_t i = 0; i < fds.size(); ++i) ready[i] = (polled[i + 2].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  state_->notifyPipe.Drain();
  if ((polled[1].revents & POLLIN) == 0) return false;
  state_->interruptPipe.Drain();
  return true;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

int TerminalColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void WriteStderr(const std::string& text) {
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

// The internal-error text of a port that did not open says nothing of why; the reason is
// usually the user's to mend (a missing group membership, another program on the port).
std::string PortProblem(const std::string& /*port*/, int systemError) {
  std::string reason;
  switch (ClassifyOpenError(systemError, &reason)) {
    case PortAccess::NoPermission:
      return "permission denied; serial devices belong to a group (usually dialout): "
             "sudo usermod -aG dialout $USER, then log in again";
    case PortAccess::Busy:
      return "in use by another program; end it, or choose another port ('quill-cli ports' lists them)";
    case PortAccess::Missing:
      return "no such device; 'quill-cli ports' lists the serial ports";
    case PortAccess::Unavailable:
    case PortAccess::Unknown:
    case PortAccess::Free:
      break;
  }
  return reason + "; 'quill-cli ports' lists the serial ports";
}

}  // namespace quill::cli
