#include "sim/announce.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "link/port_list.h"
#include "link/port_names.h"

namespace quill::sim {
namespace {

std::atomic<int> g_announceCounter{0};

}  // namespace

bool PortAnnouncement::Make(std::string name, const std::string& portPath,
                            const std::string& description, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  if (name.empty())
    name = "sim-" + std::to_string(::getpid()) + "-" + std::to_string(g_announceCounter++);
  if (name.find('/') != std::string::npos || name == "." || name == "..") {
    errno = EINVAL;
    return fail("announcement name " + name);
  }
  std::string folderError;
  if (!TrustAnnounceDirectory(true, &folderError)) {
    if (error) *error = "cannot announce the port: " + folderError;
    return false;
  }
  const std::string path = PortAnnounceDirectory() + "/" + name;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(path.c_str());
  // Written before the link, so a port list never finds the link without it.
  const std::string info = BoardInfoPath(path);
  {
    std::ofstream out(info + ".new", std::ios::trunc);
    out << description;
  }
  if (::rename((info + ".new").c_str(), info.c_str()) != 0) return fail("write " + info);
  if (::symlink(portPath.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(info.c_str());
    errno = saved;
    return fail("symlink " + path);
  }
  path_ = path;
  portPath_ = portPath;
  return true;
}

void PortAnnouncement::Remove() {
  if (path_.empty()) return;
  char target[256];
  const ssize_t n = ::readlink(path_.c_str(), target, sizeof target - 1);
  if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == portPath_) {
    ::unlink(path_.c_str());
    ::unlink(BoardInfoPath(path_).c_str());
  }
}

}  // namespace quill::sim
