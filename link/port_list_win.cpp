// The port list on Windows: the COM ports of the registry's list of serial devices, each tried
// for exclusive use. USB identities and simulated boards are not known here.
#include "link/port_list.h"

#include <windows.h>

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

PortAccess ProbePortAccess(const std::string& path, std::string* reason) {
  const std::string device = path.rfind("\\\\.\\", 0) == 0 ? path : "\\\\.\\" + path;
  const HANDLE handle = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(handle);
    if (reason) reason->clear();
    return PortAccess::Free;
  }
  return ClassifyOpenError(static_cast<int>(::GetLastError()), reason);
}

std::string BoardInfoPath(const std::string& announcePath) { return announcePath + ".board"; }

PortListing ListSerialPorts(const PortListRoots& roots) {
  PortListing listing;
  for (const std::string& name : ListCandidatePorts()) {
    SerialPortInfo port;
    port.path = name;
    if (roots.probe) port.access = ProbePortAccess(name, &port.reason);
    listing.ports.push_back(port);
  }
  return listing;
}

}  // namespace quill
