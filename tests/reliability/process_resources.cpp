#include "tests/reliability/process_resources.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace quill::test {
namespace {

std::size_t CountEntries(const char* folder) {
  std::size_t n = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
  }
  return n;
}

}  // namespace

std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    out[fd] = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string("?");
  }
  ::closedir(dir);
  return out;
}

int DescriptorsOn(const std::string& path) {
  int n = 0;
  for (const auto& [fd, target] : OpenDescriptors()) {
    if (target == path) ++n;
  }
  return n;
}

std::size_t ThreadCount() { return CountEntries("/proc/self/task"); }

std::size_t ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

}  // namespace quill::test
