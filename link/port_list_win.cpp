// The port list on Windows: the COM ports of the registry's list of serial devices. USB
// identities and simulated boards are not known here.
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

std::string BoardInfoPath(const std::string& announcePath) { return announcePath + ".board"; }

// Windows tells whether a COM port is in use only by opening it, and its drivers raise DTR and
// RTS on that open, which resets many boards: the list leaves each port's access Unknown, and the
// open at the start of an operation is the one that finds a port busy.
PortListing ListSerialPorts(const PortListRoots& /*roots*/) {
  PortListing listing;
  for (const std::string& name : ListCandidatePorts()) {
    SerialPortInfo port;
    port.path = name;
    port.access = PortAccess::Unknown;
    listing.ports.push_back(port);
  }
  return listing;
}

}  // namespace quill
