// The port list on Windows: the COM ports of the registry's list of serial devices, with the
// latency timer of FTDI adapters. USB identities and simulated boards are not known here.
#include "link/port_list.h"

#include <windows.h>

#include <map>

#include "link/serial_port.h"

namespace quill {

PortAccess ClassifyOpenError(int systemError, std::string* reason) {
  if (reason) reason->clear();
  const DWORD error = static_cast<DWORD>(systemError);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PortAccess::Missing;
    // Windows refuses a port that another program holds with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortAccess::Busy;
    default:
      if (reason) *reason = "system error " + std::to_string(error);
      return PortAccess::Unavailable;
  }
}

namespace {

// The names of a registry key's subkeys.
std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (::RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

// FTDI's driver keeps each adapter's settings under Enum\FTDIBUS\<ids+serial>\<instance>\Device
// Parameters: the COM port it was given (PortName) and its chip's LatencyTimer in milliseconds.
std::map<std::string, int> FtdiLatencyTimers() {
  std::map<std::string, int> timers;
  HKEY bus = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ,
                      &bus) != ERROR_SUCCESS) {
    return timers;
  }
  for (const std::string& device : SubKeys(bus)) {
    HKEY deviceKey = nullptr;
    if (::RegOpenKeyExA(bus, device.c_str(), 0, KEY_READ, &deviceKey) != ERROR_SUCCESS) continue;
    for (const std::string& instance : SubKeys(deviceKey)) {
      HKEY parameters = nullptr;
      const std::string path = instance + "\\Device Parameters";
      if (::RegOpenKeyExA(deviceKey, path.c_str(), 0, KEY_READ, &parameters) != ERROR_SUCCESS)
        continue;
      char portName[64] = {};
      DWORD nameLength = sizeof portName - 1;
      DWORD timer = 0, timerLength = sizeof timer, type = 0;
      if (::RegQueryValueExA(parameters, "PortName", nullptr, &type,
                             reinterpret_cast<BYTE*>(portName), &nameLength) == ERROR_SUCCESS &&
          type == REG_SZ &&
          ::RegQueryValueExA(parameters, "LatencyTimer", nullptr, &type,
                             reinterpret_cast<BYTE*>(&timer), &timerLength) == ERROR_SUCCESS &&
          type == REG_DWORD) {
        timers[portName] = static_cast<int>(timer);
      }
      ::RegCloseKey(parameters);
    }
    ::RegCloseKey(deviceKey);
  }
  ::RegCloseKey(bus);
  return timers;
}

}  // namespace

int AdapterLatencyMs(const std::string& path, const std::string& /*sysRoot*/) {
  const std::map<std::string, int> timers = FtdiLatencyTimers();
  const auto found = timers.find(path);
  return found == timers.end() ? -1 : found->second;
}

std::string BoardInfoPath(const std::string& announcePath) { return announcePath + ".board"; }

// Windows tells whether a COM port is in use only by opening it, and its drivers raise DTR and
// RTS on that open, which resets many boards: the list leaves each port's access Unknown, and the
// open at the start of an operation is the one that finds a port busy.
PortListing ListSerialPorts(const PortListRoots& /*roots*/) {
  PortListing listing;
  const std::map<std::string, int> timers = FtdiLatencyTimers();
  for (const std::string& name : ListCandidatePorts()) {
    SerialPortInfo port;
    port.path = name;
    port.access = PortAccess::Unknown;
    if (const auto timer = timers.find(name); timer != timers.end()) port.latencyMs = timer->second;
    listing.ports.push_back(port);
  }
  return listing;
}

}  // namespace quill
