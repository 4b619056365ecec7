// The port list on Linux: /dev, sysfs, /dev/serial/by-id and the announced simulated boards.
#include "link/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

struct Probe {
  PortAccess access;
  std::string reason;
  bool phantom;  // a legacy ttyS entry without a UART behind it
};

Probe ProbePort(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    std::string reason;
    const PortAccess access = ClassifyOpenError(error, &reason);
    return {access, reason, error == EIO || error == ENXIO || error == ENODEV};
  }
  Probe probe{PortAccess::Free, "", false};
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) probe.phantom = true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) probe.access = PortAccess::Busy;
  ::close(fd);
  return probe;
}

void ReadBoardInfo(const std::string& link, SerialPortInfo& port) {
  std::ifstream in(BoardInfoPath(link));
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "device") port.simDevice = value;
    if (key == "mode") port.simMode = value;
    if (key == "clock") port.simClock = value;
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

PortAccess ProbePortAccess(const std::string& path, std::string* reason) {
  const Probe probe = ProbePort(path);
  if (reason) *reason = probe.reason;
  return probe.access;
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

}  // namespace

PortListing ListSerialPorts(const PortListRoots& roots) {
  PortListing listing;
  const std::vector<Found> devices = SerialDevices(roots.dev);

  std::map<std::string, std::string> byId;  // the device a stable name leads to -> that name
  for (const std::string& name : FolderEntries(roots.byId)) {
    const std::string link = roots.byId + "/" + name;
    const std::string target = RealPath(link);
    if (!target.empty()) byId.emplace(target, link);
  }

  for (const Found& device : devices) {
    SerialPortInfo port;
    port.path = roots.dev + "/" + device.name;
    const Probe probe = roots.probe ? ProbePort(port.path) : Probe{PortAccess::Unavailable, "", false};
    // The kernel makes ttyS0..ttyS31 whether or not a UART is there; those without one are no
    // ports to offer.
    if (device.kind == 0 && probe.phantom) continue;
    port.access = probe.access;
    port.reason = probe.reason;
    const auto id = byId.find(RealPath(port.path));
    if (id != byId.end()) port.byId = id->second;
    ReadUsbIdentity(roots.sys, device.name, port);
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
    ReadBoardInfo(port.path, port);
    const Probe probe = roots.probe ? ProbePort(port.path) : Probe{PortAccess::Unavailable, "", false};
    port.access = probe.access;
    port.reason = probe.reason;
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

}  // namespace quill
