#include "link/port_link.h"

#include "link/net_port.h"
#include "link/results.h"
#include "link/serial_port.h"

#include <cstring>

namespace quill {
namespace {

std::string SystemErrorText(int error) {
#ifdef _WIN32
  return "system error " + std::to_string(error);
#else
  return std::strerror(error);
#endif
}

class LocalLink final : public PortLink {
 public:
  explicit LocalLink(std::string path) : m_path(std::move(path)) {}

  bool Open(uint32_t baud, LinkOpenError* error) override {
    const PortOpenResult opened = m_port.OpenPort(m_path, baud);
    if (!opened.ok() && error) *error = {opened.failure, opened.systemError, {}};
    return opened.ok();
  }
  void Close() override { m_port.Close(); }
  void SetAbortFlag(const std::atomic<bool>* flag) override { m_port.SetAbortFlag(flag); }
  void SetTrace(SerialTrace* trace) override { m_port.SetTrace(trace); }
  bool IsOnPseudoTerminal() const override { return m_port.IsOnPseudoTerminal(); }
  std::string SetModemLine(bool dtr, bool asserted) override {
    const int error = m_port.SetModemLine(dtr, asserted);
    if (error == 0) return {};
    return std::string("cannot drive ") + (dtr ? "DTR" : "RTS") + " (" + SystemErrorText(error) + ")";
  }
  void DropLinesOnClose() override { m_port.DropLinesOnClose(); }

  bool Write(const uint8_t* data, std::size_t length) override { return m_port.Write(data, length); }
  ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) override {
    return m_port.ReadOne(byte, timeout);
  }
  bool AbortRequested() const override { return m_port.AbortRequested(); }

 private:
  std::string m_path;
  CSerialPort m_port;
};

class NetworkLink final : public PortLink {
 public:
  explicit NetworkLink(NetPortAddress address) : m_address(std::move(address)) {}

  bool Open(uint32_t baud, LinkOpenError* error) override {
    std::string reason;
    if (m_port.Open(m_address, baud, &reason)) return true;
    if (error) *error = {InternalError::PortOpen, 0, "cannot open " + m_address.HostPort() + ": " + reason};
    return false;
  }
  void Close() override { m_port.Close(); }
  void SetAbortFlag(const std::atomic<bool>* flag) override { m_port.SetAbortFlag(flag); }
  void SetTrace(SerialTrace* trace) override { m_port.SetTrace(trace); }
  std::string SetModemLine(bool dtr, bool asserted) override {
    return m_port.SetModemLine(dtr, asserted);
  }
  std::string LostProblem() const override {
    return m_port.ConnectionLost() ? "the connection to " + m_address.HostPort() + " was lost"
                                   : std::string();
  }

  bool Write(const uint8_t* data, std::size_t length) override { return m_port.Write(data, length); }
  ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) override {
    return m_port.ReadOne(byte, timeout);
  }
  bool AbortRequested() const override { return m_port.AbortRequested(); }

 private:
  NetPortAddress m_address;
  CNetPort m_port;
};

}  // namespace

std::unique_ptr<PortLink> MakePortLink(const PortAddress& address) {
  if (address.IsNetwork()) return std::make_unique<NetworkLink>(address.net);
  return std::make_unique<LocalLink>(address.Path());
}

}  // namespace quill
