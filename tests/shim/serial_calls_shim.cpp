// Preloaded into quill-cli by the tests (LD_PRELOAD): writes every serial-line ioctl the program
// makes to the file named by QUILL_SHIM_LOG, one line each, and passes the call on. With
// QUILL_SHIM_SERIAL=accept the driver settings and modem line calls (TIOCGSERIAL, TIOCSSERIAL,
// TIOCMBIS, TIOCMBIC), which a pseudo-terminal refuses, are answered as a USB adapter's driver
// answers them.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_mutex;
int g_flags = 0;  // the accepted driver flags

void Log(const char* text) {
  const char* path = std::getenv("QUILL_SHIM_LOG");
  if (path == nullptr) return;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!::write(fd, text, std::strlen(text));
  ::close(fd);
}

bool Accepting() {
  const char* mode = std::getenv("QUILL_SHIM_SERIAL");
  return mode != nullptr && std::strcmp(mode, "accept") == 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  using Real = int (*)(int, unsigned long, void*);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "ioctl"));
  char line[96];
  std::lock_guard<std::mutex> lock(g_mutex);
  switch (request) {
    case TIOCGSERIAL:
      Log("TIOCGSERIAL\n");
      if (Accepting()) {
        auto* serial = static_cast<serial_struct*>(arg);
        std::memset(serial, 0, sizeof *serial);
        serial->flags = g_flags;
        return 0;
      }
      break;
    case TIOCSSERIAL:
      std::snprintf(line, sizeof line, "TIOCSSERIAL low_latency=%d\n",
                    (static_cast<serial_struct*>(arg)->flags & ASYNC_LOW_LATENCY) ? 1 : 0);
      Log(line);
      if (Accepting()) {
        g_flags = static_cast<serial_struct*>(arg)->flags;
        return 0;
      }
      break;
    case TIOCMBIS:
    case TIOCMBIC:
      std::snprintf(line, sizeof line, "%s dtr=%d rts=%d\n", request == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC",
                    (*static_cast<int*>(arg) & TIOCM_DTR) ? 1 : 0,
                    (*static_cast<int*>(arg) & TIOCM_RTS) ? 1 : 0);
      Log(line);
      if (Accepting()) return 0;
      break;
    case TCSETS2:
      std::snprintf(line, sizeof line, "TCSETS2 hupcl=%d rate=%u\n",
                    (static_cast<termios2*>(arg)->c_cflag & HUPCL) ? 1 : 0,
                    static_cast<termios2*>(arg)->c_ospeed);
      Log(line);
      break;
    default:
      break;
  }
  return real(fd, request, arg);
}
