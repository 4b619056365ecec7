// The serial ports of this machine with what is known of each: the stable by-id name, the USB
// identity of an adapter, what a simulated board simulates, and whether the port is free. Listing
// never opens a port: an open raises DTR and RTS, which reset many boards. Plain data, the same on
// every platform; the Linux unit reads /dev, sysfs, the lock folders and /proc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quill {

enum class PortAccess {
  Free,          // no one is known to use it and this user may open it
  Busy,          // another program holds it (reason: "in use by PID (name)" where that is known)
  NoPermission,  // this user may not open it (usually: not in the dialout group)
  Missing,       // no such device
  Unavailable,   // not usable for another reason (reason holds the system's text)
  Unknown,       // not judged: the system tells it only by opening the port
};

struct SerialPortInfo {
  std::string path;  // what is opened: /dev/ttyUSB0, or a simulated board's announced link
  std::string byId;  // the stable name under /dev/serial/by-id, or empty
  bool usb = false;  // the fields below are known
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string manufacturer, product, serial;
  // The adapter's latency timer in milliseconds (how long its chip holds bytes from the board
  // before passing them on), -1 where the driver has none: a built-in UART, a CDC-ACM device.
  int latencyMs = -1;
  bool simulated = false;  // an announced simulated board; the sim fields below are known
  std::string simDevice, simMode, simClock;
  PortAccess access = PortAccess::Unknown;
  std::string reason;  // Busy: who holds it; Missing, Unavailable: the system's reason
};

// Where to look; tests hand in a fake tree.
struct PortListRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
  std::string byId = "/dev/serial/by-id";
  std::string announce;  // empty: PortAnnounceDirectory(), once its folders are trusted
  // The UUCP lock folders (LCK..NAME files holding the locker's PID); /var/lock usually leads
  // to /run/lock, and a folder reached twice is read once.
  std::vector<std::string> locks = {"/run/lock", "/var/lock"};
  std::string proc = "/proc";  // whose PID/fd links tell which processes hold a port
  bool judgeAccess = true;     // permission and use; false leaves access Unknown
};

struct PortListing {
  std::vector<SerialPortInfo> ports;  // system devices by kind and number, then announced ones
  std::vector<std::string> warnings;  // an announcement folder that is not trusted
};

PortListing ListSerialPorts(const PortListRoots& roots = {});

// What a failed open's system error number means for the user (reason: the system's text for
// Missing and Unavailable, else empty).
PortAccess ClassifyOpenError(int error, std::string* reason);

// One line of what is known beside the path: "by-id ..., USB 0403:6001 FTDI FT232R, serial X,
// free", "simulated TX-A10 Mode 2, >= 16 MHz, free"; withAccess false leaves the last part out.
std::string DescribePort(const SerialPortInfo& port, bool withAccess = true);
std::string AccessText(PortAccess access, const std::string& reason);

// The latency timer of the USB serial adapter behind a device path (links followed), read from
// sysfs without opening the port; -1 where there is none.
int AdapterLatencyMs(const std::string& path, const std::string& sysRoot = "/sys");

// A timer above this holds every reply of the protocol back noticeably.
constexpr int kLatencyWarnAboveMs = 2;

// The warning for an operation that starts on a port whose adapter's timer is above
// kLatencyWarnAboveMs: the port, the timer and what to do; empty for a timer at or below it.
std::string LatencyWarning(const std::string& port, int latencyMs);

// The file beside a simulated board's announcement link that tells what it simulates.
std::string BoardInfoPath(const std::string& announcePath);

// Resolves a --port selector: a path (taken as it is), usb:VID:PID[:SERIAL] (hexadecimal ids),
// serial:SERIAL, or auto (the one USB adapter present). One path, or empty with *error naming
// what was found.
std::string SelectPort(const std::string& selector, const std::vector<SerialPortInfo>& ports,
                       std::string* error);

}  // namespace quill
