// The server's side of the Telnet Com Port Control Option (RFC 2217) for the simulated board: the
// telnet negotiation (binary transmission, suppress go-ahead, the option itself), the client's
// line settings and control lines with the confirmation of each, and the line's bytes both ways
// with 0xFF doubled. No socket: bytes from the client go in, the handler hears what they ask in
// the order they ask it, and what is due to the client collects in Pending().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/control_lines.h"
#include "sim/line_settings.h"

namespace quill::sim {

class ComPortServer {
 public:
  struct Handler {
    virtual ~Handler() = default;
    virtual void OnData(const uint8_t* bytes, std::size_t length) = 0;  // the line's bytes
    virtual void OnLineSettings(const LineSettings& settings) = 0;  // after each change
    virtual void OnControlLine(ControlLine line, bool asserted) = 0;  // every DTR/RTS request
    // PURGE-DATA: toClient drops what the board sent and the client has not got, fromClient what
    // the client sent and the board has not taken.
    virtual void OnPurge(bool toClient, bool fromClient) = 0;
  };

  // The line as nobody has set it yet: raw 8N1 at rate, no flow control, DTR and RTS released.
  explicit ComPortServer(uint32_t rate);

  // A new connection: the telnet state starts over and the control lines are released (a port
  // server closes the port when its client goes); the line settings stay.
  void Restart();

  // Takes bytes from the client.
  void Feed(const uint8_t* bytes, std::size_t length, Handler& handler);
  // The board's bytes for the client, after everything pending.
  void SendData(const uint8_t* bytes, std::size_t length);
  // Everything due to the client, in order: negotiation, confirmations and the board's bytes.
  std::vector<uint8_t>& Pending() { return pending_; }
  const std::vector<uint8_t>& Pending() const { return pending_; }

  const LineSettings& Settings() const { return settings_; }
  bool Asserted(ControlLine line) const { return line == ControlLine::Dtr ? dtr_ : rts_; }

 private:
  enum class Parse { Data, Iac, Verb, Sub, SubIac };

  void FlushData(Handler& handler);
  void HandleOption(uint8_t verb, uint8_t option);
  void HandleComPort(Handler& handler);
  void Reply(uint8_t request, const std::vector<uint8_t>& value);
  void Command(uint8_t verb, uint8_t option);
  uint8_t SetControl(uint8_t value, Handler& handler);

  LineSettings settings_;
  bool dtr_ = false, rts_ = false;
  bool breakOn_ = false;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> data_;  // the line's bytes of the Feed, not yet handed on
  std::vector<uint8_t> sub_;
  Parse parse_ = Parse::Data;
  uint8_t verb_ = 0;
  bool lastWasCr_ = false;
  bool localOn_[256] = {};   // options this side does
  bool remoteOn_[256] = {};  // options the client does
};

}  // namespace quill::sim
