// A serial port served over the network by a port server (ser2net and its kind): the byte link
// over a TCP connection, either raw (tcp://HOST:PORT) or with the Telnet Com Port Control Option
// (rfc2217://HOST:PORT), which lets the link set the line as it sets a local port. The protocols
// see the same bytes and the same timeouts as on a local port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/byte_link.h"
#include "link/port_address.h"
#include "link/serial_port.h"

namespace quill {

class CNetPort final : public ByteLink {
 public:
  // How long the connection, and for rfc2217 the server's consent and its confirmation of the
  // line settings, may take in all.
  static constexpr std::chrono::milliseconds kOpenTimeout{5000};

  CNetPort();
  ~CNetPort() override;
  CNetPort(const CNetPort&) = delete;
  CNetPort& operator=(const CNetPort&) = delete;

  // Connects and, over rfc2217, sets the line to raw 8N1 at baud without flow control, DTR and
  // RTS off, and purges the server's buffers; nothing of the protocols is sent. On failure the
  // port is closed and *reason says why ("connection refused", ...). An open port is closed first.
  bool Open(const NetPortAddress& address, uint32_t baud, std::string* reason);
  void Close();
  bool IsOpen() const;

  // Whether the server ended the connection or it broke while the port was open.
  bool ConnectionLost() const { return m_bLost; }
  const NetPortAddress& Address() const { return m_address; }

  // Asserts or releases DTR (dtr true) or RTS through the Com Port Control Option's SET-CONTROL
  // and waits up to kOpenTimeout for the server's confirmation of that very setting. Empty on
  // success, else what went wrong (a raw tcp:// port has no lines to drive).
  std::string SetModemLine(bool dtr, bool asserted);

  ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) override;
  // Fails when the connection breaks or the bytes are not taken within one second plus twice
  // their time on the line at the set rate, as a local port's write.
  bool Write(const uint8_t* data, std::size_t length) override;

  void SetAbortFlag(const std::atomic<bool>* flag) { m_pAbort = flag; }
  bool AbortRequested() const override { return m_pAbort != nullptr && m_pAbort->load(); }
  void SetTrace(SerialTrace* trace) { m_trace = trace; }

 private:
  using Clock = std::chrono::steady_clock;

  bool Connect(Clock::time_point deadline, std::string* reason);
  bool Negotiate(uint32_t baud, Clock::time_point deadline, std::string* reason);
  // Negotiate's steps: binary mode and the Com Port Control Option taken; the line settings
  // sent and every reply awaited; the replies checked against what was asked.
  bool TakeComPortOption(Clock::time_point deadline, std::string* reason);
  bool AwaitLineReplies(uint32_t baud, Clock::time_point deadline, std::string* reason);
  bool CheckLineReplies(uint32_t baud, std::string* reason);
  // Takes what the socket holds into m_data (telnet commands handled), waiting up to deadline
  // for the first bytes. false when the connection ended or broke.
  bool Receive(Clock::time_point deadline);
  void Feed(const uint8_t* bytes, std::size_t length);
  void HandleOption(uint8_t verb, uint8_t option);
  void HandleSubnegotiation();
  void SendCommand(uint8_t verb, uint8_t option);
  void SendComPort(uint8_t command, const std::vector<uint8_t>& value);
  bool SendRaw(const uint8_t* bytes, std::size_t length, Clock::time_point deadline);
  void Lost();

  enum class Parse { Data, Iac, Verb, Sub, SubIac };

  intptr_t m_socket = -1;
  NetPortAddress m_address;
  bool m_bTelnet = false;
  uint32_t m_baud = 0;
  bool m_bLost = false;
  std::deque<uint8_t> m_data;  // bytes of the line received and not yet read

  // Telnet state: what each side does now, and what this side asked for and awaits.
  Parse m_parse = Parse::Data;
  uint8_t m_verb = 0;
  bool m_bLastWasCr = false;
  std::vector<uint8_t> m_sub;
  bool m_localOn[256] = {};
  bool m_localAsked[256] = {};
  bool m_remoteOn[256] = {};
  bool m_remoteAsked[256] = {};
  bool m_bComPortRefused = false;
  // The server's answers to the Com Port Control requests, by request code (reply code - 100).
  std::vector<uint8_t> m_replies[256];
  bool m_replied[256] = {};
  std::vector<uint8_t> m_controlReplies;  // every SET-CONTROL answer, in order

  SerialTrace* m_trace = nullptr;
  const std::atomic<bool>* m_pAbort = nullptr;
};

}  // namespace quill
