// The line of one operation as the communication object's worker sees it: made from the port's
// address by MakePortLink (a local serial port or a port server on the network), opened, used by
// the protocols through its ByteLink face, closed. Opening happens on the worker, so a port
// server that does not answer holds up no caller, and an abort cuts the wait short.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "link/byte_link.h"
#include "link/port_address.h"

namespace quill {

class SerialTrace;

// Why a line did not open: the InternalErrorNumber of the failed step, the system's error number
// of a local port's step, and for a network port what went wrong, naming HOST:PORT.
struct LinkOpenError {
  uint32_t failure = 0;
  int systemError = 0;
  std::string problem;
};

class PortLink : public ByteLink {
 public:
  // Opens the line at baud bits per second as the operation needs it (raw 8N1, no flow control,
  // DTR and RTS off). false with *error filled in; the link is then closed.
  virtual bool Open(uint32_t baud, LinkOpenError* error) = 0;
  virtual void Close() = 0;
  // The flag whose setting asks the running operation (and an open in progress) to stop.
  virtual void SetAbortFlag(const std::atomic<bool>* flag) = 0;
  virtual void SetTrace(SerialTrace* trace) = 0;
  // Whether the open line is the slave side of a pseudo-terminal: a simulated board's port.
  virtual bool IsOnPseudoTerminal() const { return false; }
  // Once the line went away during the run (a network port's connection): what happened,
  // naming HOST:PORT; empty while it holds.
  virtual std::string LostProblem() const { return {}; }
  // Asserts or releases DTR (dtr true) or RTS, as the port's owner confirms it; empty on
  // success, else why the port cannot drive that line.
  virtual std::string SetModemLine(bool dtr, bool asserted) = 0;
  // The lines drive a board's switches: they must drop when the port closes, however it closes.
  virtual void DropLinesOnClose() {}
};

// The link for address; nothing is opened yet.
std::unique_ptr<PortLink> MakePortLink(const PortAddress& address);

}  // namespace quill
