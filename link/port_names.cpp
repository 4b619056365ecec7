#include "link/port_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quill {
namespace {

std::string AnnounceBase() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return (runtime && *runtime) ? std::string(runtime) : "/tmp/quill-" + std::to_string(::getuid());
}

}  // namespace

std::string PortAnnounceDirectory() { return AnnounceBase() + "/quill/ports"; }

bool TrustAnnounceDirectory(bool create, std::string* problem) {
  const std::string base = AnnounceBase();
  const std::vector<std::string> chain = {base, base + "/quill", base + "/quill/ports"};
  for (const std::string& folder : chain) {
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      if (problem) *problem = "cannot create " + folder + ": " + std::strerror(errno);
      return false;
    }
    struct stat st;
    // lstat: a link planted in /tmp by someone else must not lead the folder elsewhere.
    if (::lstat(folder.c_str(), &st) != 0) {
      if (errno == ENOENT && !create) return false;
      if (problem) *problem = folder + ": " + std::strerror(errno);
      return false;
    }
    const char* why = nullptr;
    if (!S_ISDIR(st.st_mode)) {
      why = "is not a folder";
    } else if (st.st_uid != ::geteuid()) {
      why = "belongs to another user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      why = "may be written by others";
    }
    if (why != nullptr) {
      if (problem) *problem = folder + " " + why;
      return false;
    }
  }
  return true;
}

}  // namespace quill
