// The platform-neutral part of the port list: how a port is described, and the --port selectors.
#include "link/port_list.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace quill {
namespace {

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// "/dev/ttyUSB0 (USB 0403:6001, serial A5)" for an error message that lists candidates.
std::string Candidate(const SerialPortInfo& port) {
  std::string text = port.path;
  if (port.usb) {
    text += " (USB " + Hex4(port.vendorId) + ":" + Hex4(port.productId);
    if (!port.serial.empty()) text += ", serial " + port.serial;
    text += ")";
  }
  return text;
}

std::string CandidateList(const std::vector<const SerialPortInfo*>& ports, const char* none) {
  if (ports.empty()) return none;
  std::string list;
  for (const SerialPortInfo* port : ports) list += (list.empty() ? "" : ", ") + Candidate(*port);
  return list;
}

bool ParseHexId(const std::string& text, uint16_t& value) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  value = static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

}  // namespace

std::string AccessText(PortAccess access, const std::string& reason) {
  switch (access) {
    case PortAccess::Free:
      return "free";
    case PortAccess::Busy:
      return "busy: " + (reason.empty() ? std::string("in use by another program") : reason);
    case PortAccess::NoPermission:
      return "no permission: serial devices belong to a group (usually dialout): "
             "sudo usermod -aG dialout $USER, then log in again";
    case PortAccess::Missing:
      return "no such device";
    case PortAccess::Unknown:
      return "not known whether free (the system tells only when the port is opened)";
    case PortAccess::Unavailable:
      break;
  }
  return "does not open: " + reason;
}

std::string DescribePort(const SerialPortInfo& port, bool withAccess) {
  std::string text;
  auto add = [&text](const std::string& part) {
    if (!part.empty()) text += (text.empty() ? "" : ", ") + part;
  };
  if (!port.byId.empty()) add("by-id " + port.byId.substr(port.byId.find_last_of('/') + 1));
  if (port.usb) {
    std::string usb = "USB " + Hex4(port.vendorId) + ":" + Hex4(port.productId);
    if (!port.manufacturer.empty()) usb += " " + port.manufacturer;
    if (!port.product.empty()) usb += " " + port.product;
    add(usb);
    if (!port.serial.empty()) add("serial " + port.serial);
  }
  if (port.latencyMs >= 0) add("latency " + std::to_string(port.latencyMs) + " ms");
  if (port.simulated) {
    std::string board = "simulated";
    for (const std::string* part : {&port.simDevice, &port.simMode}) {
      if (!part->empty()) board += " " + *part;
    }
    add(board);
    add(port.simClock);
  }
  if (withAccess) add(AccessText(port.access, port.reason));
  return text;
}

std::string LatencyWarning(const std::string& port, int latencyMs) {
  if (latencyMs <= kLatencyWarnAboveMs) return {};
#ifdef _WIN32
  const std::string remedy =
      "set it to 1 ms: Device Manager, the port's Properties, Port Settings, Advanced, Latency "
      "Timer";
#else
  const std::string remedy =
      "set it to 1 ms: install the udev rule that comes with QUILL (README, \"Attaching a real "
      "board\"), or as root: echo 1 > /sys/bus/usb-serial/devices/" +
      port.substr(port.find_last_of('/') + 1) + "/latency_timer";
#endif
  return port + ": the adapter's latency timer is " + std::to_string(latencyMs) +
         " ms, and every reply from the board waits for it (a boot takes several times as long); " +
         remedy;
}

std::string SelectPort(const std::string& selector, const std::vector<SerialPortInfo>& ports,
                       std::string* error) {
  std::vector<const SerialPortInfo*> usb, matches;
  for (const SerialPortInfo& port : ports) {
    if (port.usb) usb.push_back(&port);
  }
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return std::string();
  };
  if (selector == "auto") {
    if (usb.size() == 1) return usb.front()->path;
    if (usb.empty()) {
      return fail("--port auto: no USB serial adapter found; 'quill-cli ports' lists the serial ports");
    }
    return fail("--port auto: several USB serial adapters: " + CandidateList(usb, "") +
                "; choose one with usb:VID:PID:SERIAL or serial:SERIAL");
  }
  if (selector.rfind("usb:", 0) == 0) {
    std::vector<std::string> parts;
    std::size_t from = 4;
    for (;;) {
      const auto colon = selector.find(':', from);
      parts.push_back(selector.substr(from, colon == std::string::npos ? colon : colon - from));
      if (colon == std::string::npos) break;
      from = colon + 1;
    }
    uint16_t vendor = 0, product = 0;
    if (parts.size() < 2 || parts.size() > 3 || !ParseHexId(parts[0], vendor) ||
        !ParseHexId(parts[1], product) || (parts.size() == 3 && parts[2].empty())) {
      return fail("--port '" + selector +
                  "': accepted: usb:VID:PID or usb:VID:PID:SERIAL with hexadecimal ids");
    }
    for (const SerialPortInfo* port : usb) {
      if (port->vendorId == vendor && port->productId == product &&
          (parts.size() == 2 || port->serial == parts[2]))
        matches.push_back(port);
    }
  } else if (selector.rfind("serial:", 0) == 0) {
    const std::string serial = selector.substr(7);
    if (serial.empty()) return fail("--port 'serial:': accepted: serial:SERIAL");
    for (const SerialPortInfo* port : usb) {
      if (port->serial == serial) matches.push_back(port);
    }
  } else {
    return selector;
  }
  if (matches.size() == 1) return matches.front()->path;
  if (matches.empty()) {
    return fail("--port '" + selector + "' matches no port; USB serial adapters: " +
                CandidateList(usb, "none"));
  }
  return fail("--port '" + selector + "' matches several ports: " + CandidateList(matches, "") +
              "; add the serial number");
}

}  // namespace quill
