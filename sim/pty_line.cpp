#include "sim/pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/line_settings.h"

namespace quill::sim {

bool PtyLine::Open(uint32_t rate, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    Close();
    return false;
  };
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return fail("posix_openpt");
  if (::grantpt(master) != 0) return fail("grantpt");
  if (::unlockpt(master) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(master, name, sizeof name) != 0) return fail("ptsname");
  path = name;
  slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("open " + path);
  if (!MakeRaw(slave, rate)) return fail("set up " + path);
  int flags = ::fcntl(master, F_GETFL);
  if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  closes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (closes < 0 || ::inotify_add_watch(closes, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    return fail("inotify " + path);
  return true;
}

void PtyLine::Close() {
  if (master >= 0) ::close(master);
  if (slave >= 0) ::close(slave);
  if (closes >= 0) ::close(closes);
  master = slave = closes = -1;
}

}  // namespace quill::sim
