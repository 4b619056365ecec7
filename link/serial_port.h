// The serial port: the one unit of the target link that talks to the operating system's serial
// devices (POSIX termios in serial_port.cpp, the Win32 communications API in
// serial_port_win.cpp). The protocol code reaches the line only through the ByteLink it
// implements.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/byte_link.h"

namespace quill {

// What a trace line reports.
enum class TraceKind {
  Written,      // bytes handed to the line by a write that succeeded
  WriteFailed,  // the bytes of a write that failed or did not finish in time
  Read,         // one byte read from the line
  ReadTimeout,  // a read attempt that ended without a byte
  ReadFailed,   // a read that failed (line hung up, device gone)
};

// Receives every transfer on an open port, on the thread that made it (the worker). Used by
// `quill-cli --trace`; must not call back into the port or the communication object.
class SerialTrace {
 public:
  virtual ~SerialTrace() = default;
  virtual void Trace(TraceKind kind, const uint8_t* data, std::size_t length) = 0;
};

// The outcome of opening a port: the InternalErrorNumber of the step that failed (0 for none)
// and the system's error number of that step (errno; GetLastError() on Windows), so a caller can
// tell why without opening again.
struct PortOpenResult {
  uint32_t failure = 0;
  int systemError = 0;
  bool ok() const { return failure == 0; }
};

class CSerialPort final : public ByteLink {
 public:
  // How long one read attempt waits for its first byte.
  static constexpr std::chrono::milliseconds kReadTimeout{1000};

  CSerialPort();
  ~CSerialPort() override;
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // Opens the named device for exclusive use and sets it up: raw 8N1 at baud bits per second,
  // no hardware or software flow control, DTR and RTS cleared, the driver's low-latency mode on
  // where it has one, both queues flushed, reads that wait for their first byte at most
  // kReadTimeout. Returns 0, or on failure the
  // InternalErrorNumber of the failing step (254 open or in use, 265 reading the settings,
  // 273 building them, 308 applying them or the rate refused, 317 flushing, 329/341 reading and
  // setting the read mode); a failed open leaves the port closed. An open port is closed first.
  uint32_t Open(const std::string& name, uint32_t baud) { return OpenPort(name, baud).failure; }
  // Open with the system's error of the failed step.
  PortOpenResult OpenPort(const std::string& name, uint32_t baud);
  // Puts the line settings back as the open found them, then closes the device.
  void Close();
#ifdef _WIN32
  bool IsOpen() const { return m_hPort != nullptr; }
#else
  bool IsOpen() const { return m_fd >= 0; }
#endif
  uint32_t Baud() const { return m_baud; }

  // Reads one byte, waiting at most timeout for it. Failed when the line hung up or the device
  // reported an error; Timeout when no byte came in time.
  ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds timeout = kReadTimeout) override;

  // Writes all length bytes. Fails when the device reports an error or when the bytes cannot be
  // handed over within one second plus twice their time on the line at the set rate, so a line
  // that never drains cannot hold the caller.
  bool Write(const uint8_t* data, std::size_t length) override;

  // The flag whose setting asks the running operation to stop; nullptr for none.
  void SetAbortFlag(const std::atomic<bool>* flag) { m_pAbort = flag; }
  bool AbortRequested() const override { return m_pAbort != nullptr && m_pAbort->load(); }

  // Whether the open device is the slave side of a pseudo-terminal.
  bool IsOnPseudoTerminal() const;

  // Asserts or releases DTR (dtr true) or RTS; 0, or the system's error where the device has no
  // such line (a pseudo-terminal refuses the call).
  int SetModemLine(bool dtr, bool asserted);
  // For ports whose modem lines drive a board's switches: the lines drop when the port is closed
  // (also by the system, should the program die), and the port is left at rate 0, so that its
  // next open raises neither line.
  void DropLinesOnClose();

  // Trace sink for every transfer on this port; nullptr for none.
  void SetTrace(SerialTrace* trace) { m_trace = trace; }

 private:
#ifdef _WIN32
  bool SetReadTimeout(std::chrono::milliseconds timeout);
  void* m_hPort = nullptr;  // the HANDLE of the open port
  bool m_bDropLines = false;  // DropLinesOnClose was asked for
  std::chrono::milliseconds m_readTimeout{0};  // the read timeout the driver has now
#else
  int m_fd = -1;
  bool m_bLowLatencySet = false;  // this port turned the driver's low-latency mode on
  bool m_bDropLines = false;      // DropLinesOnClose was asked for
#endif
  uint32_t m_baud = 0;
  SerialTrace* m_trace = nullptr;
  const std::atomic<bool>* m_pAbort = nullptr;
  // The line settings as the open found them (termios2; the DCB on Windows), put back by Close.
  struct SavedSettings;
  std::unique_ptr<SavedSettings> m_saved;
};

// The paths of ListSerialPorts() (link/port_list.h): the system's serial devices (/dev/ttyS* with
// a UART behind them, /dev/ttyUSB*, /dev/ttyACM*, ...), grouped by kind and in numeric order within
// a kind, then the ports that running simulated boards announce in a trusted
// PortAnnounceDirectory(), as the full paths of their links in name order; links whose target is
// gone are left out. On Windows: the COM ports of the registry's list of serial devices
// (HARDWARE\DEVICEMAP\SERIALCOMM), "COM1", "COM2", ... in numeric order.
std::vector<std::string> ListCandidatePorts();

// True when path, after its links are followed, is the slave side of a pseudo-terminal: the kind
// of port a simulated board serves, and never a real board's. Nothing is opened. A Windows
// program cannot tell a simulated board's port from a real one: there it is always false.
bool IsPseudoTerminal(const std::string& path);

}  // namespace quill
