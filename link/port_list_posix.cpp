// The port list on Linux: /dev, sysfs, /dev/serial/by-id and the announced simulated boards, each
// judged free, busy or forbidden from the lock folders, /proc and the node's mode, never by opening it.
#include "link/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <utility>

#include "link/port_names.h"

namespace quill {
namespace {

// Kinds of serial device, in the order they are listed.
constexpr const char* kKinds[] = {"ttyS",   "ttyUSB", "ttyACM", "ttyAMA", "ttyXRUSB",
                                  "ttymxc", "ttySAC", "ttyO",   "rfcomm"};

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  return names;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The first line of a small sysfs file, without its line end; empty when there is none.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The USB device a tty hangs off: the nearest folder above its device that has idVendor.
void ReadUsbIdentity(const std::string& sysRoot, const std::string& name, SerialPortInfo& port) {
  const std::string root = RealPath(sysRoot);
  std::string folder = RealPath(sysRoot + "/class/tty/" + name + "/device");
  while (!root.empty() && folder.size() > root.size() && folder.compare(0, root.size(), root) == 0) {
    if (Exists(folder + "/idVendor")) {
      port.usb = true;
      port.vendorId = static_cast<uint16_t>(std::strtoul(FirstLine(folder + "/idVendor").c_str(), nullptr, 16));
      port.productId = static_cast<uint16_t>(std::strtoul(FirstLine(folder + "/idProduct").c_str(), nullptr, 16));
      port.manufacturer = FirstLine(folder + "/manufacturer");
      port.product = FirstLine(folder + "/product");
      port.serial = FirstLine(folder + "/serial");
      return;
    }
    folder.erase(folder.find_last_of('/'));
  }
}

// FTDI's driver (and a few others) publish their chip's latency timer on the usb-serial port
// device, which is the tty's device folder.
int ReadLatencyTimer(const std::string& sysRoot, const std::string& name) {
  const std::string text = FirstLine(sysRoot + "/class/tty/" + name + "/device/latency_timer");
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// "PID:FD": the board's own descriptor of its pseudo-terminal, which is no user of the port.
void ParseHolder(const std::string& value, std::pair<long, long>& holder) {
  char* end = nullptr;
  const long pid = std::strtol(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != ':') return;
  const char* fdText = end + 1;
  const long fd = std::strtol(fdText, &end, 10);
  if (end != fdText && *end == '\0') holder = {pid, fd};
}

void ReadBoardInfo(const std::string& link, SerialPortInfo& port, std::pair<long, long>& holder) {
  std::ifstream in(BoardInfoPath(link));
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "device") port.simDevice = value;
    if (key == "mode") port.simMode = value;
    if (key == "clock") port.simClock = value;
    if (key == "holder") ParseHolder(value, holder);
  }
}

}  // namespace

PortAccess ClassifyOpenError(int error, std::string* reason) {
  if (reason) reason->clear();
  if (error == EACCES || error == EPERM) return PortAccess::NoPermission;
  // A port another program opened for exclusive use refuses everyone else with EBUSY.
  if (error == EBUSY) return PortAccess::Busy;
  if (reason) *reason = std::strerror(error);
  return error == ENOENT || error == ENXIO || error == ENODEV ? PortAccess::Missing
                                                              : PortAccess::Unavailable;
}

std::string BoardInfoPath(const std::string& announcePath) {
  const auto slash = announcePath.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : announcePath.substr(0, slash);
  const std::string name = slash == std::string::npos ? announcePath : announcePath.substr(slash + 1);
  return folder + "/." + name + ".board";
}

namespace {

struct Found {
  int kind;
  unsigned long number;
  std::string name;
};

// The serial devices of the dev folder, grouped by kind and in numeric order within a kind.
std::vector<Found> SerialDevices(const std::string& dev) {
  std::vector<Found> devices;
  for (const std::string& name : FolderEntries(dev)) {
    for (int kind = 0; kind < static_cast<int>(std::size(kKinds)); ++kind) {
      const std::size_t prefix = std::strlen(kKinds[kind]);
      if (name.size() <= prefix || name.compare(0, prefix, kKinds[kind]) != 0) continue;
      const std::string digits = name.substr(prefix);
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      devices.push_back({kind, std::strtoul(digits.c_str(), nullptr, 10), name});
      break;
    }
  }
  std::sort(devices.begin(), devices.end(), [](const Found& a, const Found& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  return devices;
}

// What is known of a port while the list is made, for judging it.
struct Candidate {
  std::size_t index;                    // into the listing's ports
  std::vector<std::string> lockNames;   // the NAME of LCK..NAME a program using it would write
  std::pair<long, long> boardHolder{-1, -1};  // PID:FD of a simulated board's own descriptor
};

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The kernel makes ttyS0..ttyS31 whether or not a UART is there; sysfs tells the type of UART
// behind each, 0 for none, without opening the device.
bool IsPhantomUart(const std::string& sysRoot, const std::string& name) {
  return FirstLine(sysRoot + "/class/tty/" + name + "/type") == "0";
}

// The lock-file name of a device under /dev: its path there with '/' as '_' (pts_3).
std::string LockNameOf(const std::string& devicePath) {
  if (devicePath.rfind("/dev/", 0) != 0) return {};
  std::string name = devicePath.substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

// The PID a UUCP lock file names: as text ("%10d\n") or, from old programs, as a binary int.
// -1 for no lock or a stale one (its process has ended), 0 for a lock that names no PID.
long LockHolder(const std::string& file) {
  // Anyone may write in the lock folder: a link planted there must not lead this open to a port,
  // nor a pipe hold the list up. Only a regular file is a lock.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  char bytes[32] = {};
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, bytes, sizeof bytes - 1);
  ::close(fd);
  if (n < 0) return -1;
  long pid = 0;
  const bool text = std::all_of(bytes, bytes + n, [](char c) {
    return (c >= '0' && c <= '9') || c == ' ' || c == '\n' || c == '\t';
  });
  if (text) {
    pid = std::strtol(bytes, nullptr, 10);
  } else if (n == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, bytes, sizeof binary);
    pid = binary;
  }
  if (pid <= 0) return 0;
  // EPERM: the process lives, under another user.
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return -1;
  return pid;
}

// Which device a node is. Pseudo-terminal slaves of different devpts instances (a container's,
// a chroot's own) share device numbers, so for them the instance counts as well; any other
// device is the same device whatever node or mount reaches it.
using DeviceKey = std::pair<dev_t, dev_t>;
DeviceKey KeyOf(const struct stat& st) {
  const unsigned major = ::major(st.st_rdev);
  const bool ptySlave = major >= 136 && major <= 143;
  return {st.st_rdev, ptySlave ? st.st_dev : 0};
}

// The number of a pseudo-terminal slave (3 for /dev/pts/3), -1 for any other device.
long PtyIndex(const DeviceKey& key) {
  const unsigned major = ::major(key.first);
  if (major < 136 || major > 143) return -1;
  return static_cast<long>((major - 136) * 256 + ::minor(key.first));
}

// A holder of a port: the process and its descriptor.
using Holder = std::pair<long, long>;

// Who holds the devices: every process with a descriptor of one, and for each process the
// pseudo-terminals whose master side it holds (the tty-index of its ptmx descriptors).
struct Holders {
  std::map<DeviceKey, std::vector<Holder>> ofDevice;
  std::map<long, std::set<long>> mastersOf;
};

// The pseudo-terminal a ptmx descriptor is the master of, from its fdinfo; -1 when not told.
long MasterIndex(const std::string& fdinfo) {
  std::ifstream in(fdinfo);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("tty-index:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10);
  }
  return -1;
}

// Every process that holds one of the devices open, found as fuser finds them: the descriptor
// links under proc/PID/fd. Only links into /dev are followed, so a descriptor on a network file
// system that does not answer cannot hold the list up. Processes this user may not look into
// (other users', unless this is root) are passed over.
Holders DeviceHolders(const std::string& proc, const std::set<DeviceKey>& devices) {
  Holders holders;
  if (devices.empty()) return holders;
  for (const std::string& process : FolderEntries(proc)) {
    if (!AllDigits(process)) continue;
    const long pid = std::strtol(process.c_str(), nullptr, 10);
    const std::string fds = proc + "/" + process + "/fd";
    for (const std::string& fd : FolderEntries(fds)) {
      const std::string link = fds + "/" + fd;
      char target[PATH_MAX];
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n < 5 || std::strncmp(target, "/dev/", 5) != 0) continue;
      target[n] = '\0';
      if (std::strcmp(target, "/dev/ptmx") == 0 || std::strcmp(target, "/dev/pts/ptmx") == 0) {
        const long index = MasterIndex(proc + "/" + process + "/fdinfo/" + fd);
        if (index >= 0) holders.mastersOf[pid].insert(index);
        continue;
      }
      struct stat st;
      if (::stat(link.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || !devices.count(KeyOf(st)))
        continue;
      holders.ofDevice[KeyOf(st)].emplace_back(pid, std::strtol(fd.c_str(), nullptr, 10));
    }
  }
  return holders;
}

std::string InUseBy(const std::string& proc, std::vector<long> pids) {
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  std::string text = "in use by ";
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(pids[i]);
    const std::string name = FirstLine(proc + "/" + std::to_string(pids[i]) + "/comm");
    if (!name.empty()) text += " (" + name + ")";
  }
  return text;
}

// Whether this user may open each port, from the node's mode and this user's groups; the device
// of each port that may be opened, for judging its use.
std::map<std::size_t, DeviceKey> JudgePermission(const std::vector<Candidate>& candidates,
                                                 std::vector<SerialPortInfo>& ports) {
  std::map<std::size_t, DeviceKey> deviceOf;
  for (const Candidate& candidate : candidates) {
    SerialPortInfo& port = ports[candidate.index];
    struct stat st;
    if (::stat(port.path.c_str(), &st) != 0) {
      port.access = ClassifyOpenError(errno, &port.reason);
      continue;
    }
    if (!S_ISCHR(st.st_mode)) {
      port.access = PortAccess::Unavailable;
      port.reason = "not a character device";
      continue;
    }
    if (::access(port.path.c_str(), R_OK | W_OK) != 0) {
      port.access = ClassifyOpenError(errno, &port.reason);
      continue;
    }
    port.access = PortAccess::Free;
    deviceOf[candidate.index] = KeyOf(st);
  }
  return deviceOf;
}

// The processes that use a port: its lock files' and its holders', less the port's own far end.
// A simulated board names its own descriptor; and a process that holds a pseudo-terminal's
// master as well as its slave (a simulator, a socat bridge) is the other end of the line, not a
// second user of the port.
std::vector<long> Users(const Candidate& candidate, const DeviceKey& device,
                        const Holders& holders, const std::set<std::string>& lockFolders,
                        std::string* unnamedLock) {
  std::vector<long> pids;
  for (const std::string& folder : lockFolders) {
    for (const std::string& name : candidate.lockNames) {
      const std::string file = folder + "/LCK.." + name;
      const long pid = LockHolder(file);
      if (pid > 0) pids.push_back(pid);
      if (pid == 0 && unnamedLock->empty()) *unnamedLock = file;
    }
  }
  const auto held = holders.ofDevice.find(device);
  if (held == holders.ofDevice.end()) return pids;
  const long ptyIndex = PtyIndex(device);
  for (const auto& [pid, fd] : held->second) {
    if (std::make_pair(pid, fd) == candidate.boardHolder) continue;
    const auto masters = holders.mastersOf.find(pid);
    if (ptyIndex >= 0 && masters != holders.mastersOf.end() && masters->second.count(ptyIndex)) continue;
    pids.push_back(pid);
  }
  return pids;
}

// Whether each port is free, learned without opening it: permission from the node's mode and
// this user's groups, use from the lock files and from the descriptors of the processes.
void JudgeAccess(const PortListRoots& roots, const std::vector<Candidate>& candidates,
                 std::vector<SerialPortInfo>& ports) {
  std::set<std::string> lockFolders;
  for (const std::string& folder : roots.locks) {
    const std::string real = RealPath(folder);
    if (!real.empty()) lockFolders.insert(real);
  }
  const std::map<std::size_t, DeviceKey> deviceOf = JudgePermission(candidates, ports);
  std::set<DeviceKey> devices;
  for (const auto& [index, device] : deviceOf) devices.insert(device);
  const Holders holders = DeviceHolders(roots.proc, devices);
  for (const Candidate& candidate : candidates) {
    const auto device = deviceOf.find(candidate.index);
    if (device == deviceOf.end()) continue;
    SerialPortInfo& port = ports[candidate.index];
    std::string unnamedLock;
    const std::vector<long> pids = Users(candidate, device->second, holders, lockFolders, &unnamedLock);
    if (!pids.empty()) {
      port.access = PortAccess::Busy;
      port.reason = InUseBy(roots.proc, pids);
    } else if (!unnamedLock.empty()) {
      // A lock that does not say whose it is may still be meant: the port is left alone.
      port.access = PortAccess::Busy;
      port.reason = "locked by " + unnamedLock;
    }
  }
}

}  // namespace

int AdapterLatencyMs(const std::string& path, const std::string& sysRoot) {
  // The name as given (/dev/ttyUSB0), else the device a link such as a by-id name leads to.
  for (const std::string& candidate : {path, RealPath(path)}) {
    const std::string name = candidate.substr(candidate.find_last_of('/') + 1);
    if (name.empty()) continue;
    const int latency = ReadLatencyTimer(sysRoot, name);
    if (latency >= 0) return latency;
  }
  return -1;
}

PortListing ListSerialPorts(const PortListRoots& roots) {
  PortListing listing;
  std::vector<Candidate> candidates;
  const std::vector<Found> devices = SerialDevices(roots.dev);

  std::map<std::string, std::string> byId;  // the device a stable name leads to -> that name
  for (const std::string& name : FolderEntries(roots.byId)) {
    const std::string link = roots.byId + "/" + name;
    const std::string target = RealPath(link);
    if (!target.empty()) byId.emplace(target, link);
  }

  for (const Found& device : devices) {
    if (device.kind == 0 && IsPhantomUart(roots.sys, device.name)) continue;
    SerialPortInfo port;
    port.path = roots.dev + "/" + device.name;
    const std::string real = RealPath(port.path);
    const auto id = byId.find(real);
    if (id != byId.end()) port.byId = id->second;
    ReadUsbIdentity(roots.sys, device.name, port);
    port.latencyMs = ReadLatencyTimer(roots.sys, device.name);
    Candidate candidate{listing.ports.size(), {device.name}};
    const std::string lockName = LockNameOf(real);
    if (!lockName.empty() && lockName != device.name) candidate.lockNames.push_back(lockName);
    candidates.push_back(std::move(candidate));
    listing.ports.push_back(std::move(port));
  }

  std::string folder = roots.announce;
  if (folder.empty()) {
    std::string problem;
    if (TrustAnnounceDirectory(false, &problem)) {
      folder = PortAnnounceDirectory();
    } else if (!problem.empty()) {
      listing.warnings.push_back("simulated boards' ports are not listed: " + problem);
    }
  }
  std::vector<std::string> names = folder.empty() ? std::vector<std::string>() : FolderEntries(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    SerialPortInfo port;
    port.path = folder + "/" + name;
    struct stat target;
    // stat follows the link: a board that ended without removing it leaves it dangling.
    if (::stat(port.path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) continue;
    port.simulated = true;
    Candidate candidate{listing.ports.size(), {}};
    ReadBoardInfo(port.path, port, candidate.boardHolder);
    const std::string lockName = LockNameOf(RealPath(port.path));
    if (!lockName.empty()) candidate.lockNames.push_back(lockName);
    candidates.push_back(std::move(candidate));
    listing.ports.push_back(std::move(port));
  }
  if (roots.judgeAccess) JudgeAccess(roots, candidates, listing.ports);
  return listing;
}

}  // namespace quill
