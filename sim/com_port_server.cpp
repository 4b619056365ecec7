#include "sim/com_port_server.h"

namespace quill::sim {
namespace {

// Telnet (RFC 854), binary transmission (RFC 856), suppress go-ahead (RFC 858) and the Com Port
// Control Option (RFC 2217), as the network port of the link speaks them.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;
constexpr uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3,
                  kSetStopSize = 4, kSetControl = 5, kSetLineStateMask = 10,
                  kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerReplyOffset = 100;
// SET-PARITY and SET-STOPSIZE values.
constexpr uint8_t kParityNone = 1, kOneStopBit = 1, kTwoStopBits = 2;
// SET-CONTROL values: outbound flow control (1-3 set, 0 asks), BREAK (5-6, 4 asks), DTR (8-9,
// 7 asks), RTS (11-12, 10 asks), inbound flow control (14-16, 13 asks), flow by DCD, DTR or DSR
// (17-19).
constexpr uint8_t kAskFlowOut = 0, kFlowOutNone = 1, kFlowOutXon = 2, kFlowOutHardware = 3,
                  kAskBreak = 4, kBreakOn = 5, kBreakOff = 6, kAskDtr = 7, kDtrOn = 8,
                  kDtrOff = 9, kAskRts = 10, kRtsOn = 11, kRtsOff = 12, kAskFlowIn = 13,
                  kFlowInNone = 14, kFlowInXon = 15, kFlowInHardware = 16, kFlowDcd = 17,
                  kFlowDtr = 18, kFlowDsr = 19;
constexpr char kSignatureText[] = "quill-sim";

uint32_t BigEndian(const std::vector<uint8_t>& v, std::size_t from) {
  uint32_t value = 0;
  for (std::size_t i = from; i < v.size() && i < from + 4; ++i) value = (value << 8) | v[i];
  return value;
}

}  // namespace

ComPortServer::ComPortServer(uint32_t rate) {
  settings_.outputRate = rate;
  settings_.inputRate = rate;
}

void ComPortServer::Restart() {
  dtr_ = rts_ = breakOn_ = false;
  pending_.clear();
  data_.clear();
  sub_.clear();
  parse_ = Parse::Data;
  lastWasCr_ = false;
  for (int i = 0; i < 256; ++i) localOn_[i] = remoteOn_[i] = false;
}

void ComPortServer::FlushData(Handler& handler) {
  if (data_.empty()) return;
  handler.OnData(data_.data(), data_.size());
  data_.clear();
}

void ComPortServer::Feed(const uint8_t* bytes, std::size_t length, Handler& handler) {
  for (std::size_t i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    switch (parse_) {
      case Parse::Data:
        if (b == kIac) {
          parse_ = Parse::Iac;
          break;
        }
        // A client without binary mode sends a CR alone as CR NUL.
        if (b == 0 && lastWasCr_ && !remoteOn_[kOptBinary]) {
          lastWasCr_ = false;
          break;
        }
        lastWasCr_ = b == '\r';
        data_.push_back(b);
        break;
      case Parse::Iac:
        parse_ = Parse::Data;
        if (b == kIac) {
          data_.push_back(kIac);
          lastWasCr_ = false;
        } else if (b >= kWill) {
          verb_ = b;
          parse_ = Parse::Verb;
        } else if (b == kSb) {
          sub_.clear();
          parse_ = Parse::Sub;
        }  // NOP, go-ahead and the like carry nothing for the line
        break;
      case Parse::Verb:
        HandleOption(verb_, b);
        parse_ = Parse::Data;
        break;
      case Parse::Sub:
        if (b == kIac) parse_ = Parse::SubIac;
        else sub_.push_back(b);
        break;
      case Parse::SubIac:
        if (b == kSe) {
          // What came before the request reaches the board before the request takes effect.
          FlushData(handler);
          HandleComPort(handler);
          parse_ = Parse::Data;
        } else {
          sub_.push_back(b);  // IAC IAC inside: one 0xFF
          parse_ = Parse::Sub;
        }
        break;
    }
  }
  FlushData(handler);
}

void ComPortServer::SendData(const uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    pending_.push_back(bytes[i]);
    if (bytes[i] == kIac) pending_.push_back(kIac);
    if (bytes[i] == '\r' && !localOn_[kOptBinary]) pending_.push_back(0);
  }
}

void ComPortServer::Command(uint8_t verb, uint8_t option) {
  pending_.insert(pending_.end(), {kIac, verb, option});
}

// The server starts no negotiation of its own; it takes what the client offers of the options it
// knows, refuses the rest, and answers only a change, so no request loops.
void ComPortServer::HandleOption(uint8_t verb, uint8_t option) {
  const bool weDo = option == kOptBinary || option == kOptSga;
  const bool theyMay = weDo || option == kOptComPort;
  switch (verb) {
    case kWill:
      if (!theyMay) Command(kDont, option);
      else if (!remoteOn_[option]) Command(kDo, option);
      remoteOn_[option] = theyMay;
      break;
    case kWont:
      if (remoteOn_[option]) Command(kDont, option);
      remoteOn_[option] = false;
      break;
    case kDo:
      if (!weDo) Command(kWont, option);
      else if (!localOn_[option]) Command(kWill, option);
      localOn_[option] = weDo;
      break;
    case kDont:
      if (localOn_[option]) Command(kWont, option);
      localOn_[option] = false;
      break;
  }
}

void ComPortServer::Reply(uint8_t request, const std::vector<uint8_t>& value) {
  pending_.insert(pending_.end(),
                  {kIac, kSb, kOptComPort, static_cast<uint8_t>(request + kServerReplyOffset)});
  for (uint8_t b : value) {
    pending_.push_back(b);
    if (b == kIac) pending_.push_back(kIac);
  }
  pending_.insert(pending_.end(), {kIac, kSe});
}

// Sets what the value asks and answers the state it then has.
uint8_t ComPortServer::SetControl(uint8_t value, Handler& handler) {
  LineSettings& s = settings_;
  switch (value) {
    case kFlowOutNone: case kFlowOutXon: case kFlowOutHardware: case kFlowDcd: case kFlowDsr:
      s.softwareFlowOut = value == kFlowOutXon;
      s.hardwareFlow = value == kFlowOutHardware || value == kFlowDcd || value == kFlowDsr;
      handler.OnLineSettings(s);
      return value;
    case kFlowInNone: case kFlowInXon: case kFlowInHardware: case kFlowDtr:
      s.softwareFlowIn = value == kFlowInXon;
      if (value == kFlowInHardware || value == kFlowDtr) s.hardwareFlow = true;
      handler.OnLineSettings(s);
      return value;
    case kAskFlowOut:
      return s.hardwareFlow ? kFlowOutHardware : s.softwareFlowOut ? kFlowOutXon : kFlowOutNone;
    case kAskFlowIn:
      return s.softwareFlowIn ? kFlowInXon : kFlowInNone;
    case kBreakOn: case kBreakOff:
      breakOn_ = value == kBreakOn;
      return value;
    case kAskBreak: return breakOn_ ? kBreakOn : kBreakOff;
    case kDtrOn: case kDtrOff:
      dtr_ = value == kDtrOn;
      handler.OnControlLine(ControlLine::Dtr, dtr_);
      return value;
    case kAskDtr: return dtr_ ? kDtrOn : kDtrOff;
    case kRtsOn: case kRtsOff:
      rts_ = value == kRtsOn;
      handler.OnControlLine(ControlLine::Rts, rts_);
      return value;
    case kAskRts: return rts_ ? kRtsOn : kRtsOff;
    default: return value;  // unknown: echoed, nothing changed
  }
}

void ComPortServer::HandleComPort(Handler& handler) {
  if (sub_.size() < 2 || sub_[0] != kOptComPort) return;
  const uint8_t request = sub_[1];
  const bool hasValue = sub_.size() > 2;
  const uint8_t value = hasValue ? sub_[2] : 0;
  LineSettings& s = settings_;
  switch (request) {
    case kSignature:
      // An empty signature asks for ours; the client's own needs no answer.
      if (!hasValue) Reply(kSignature, {kSignatureText, kSignatureText + sizeof kSignatureText - 1});
      break;
    case kSetBaudRate: {
      const uint32_t rate = BigEndian(sub_, 2);
      if (rate != 0) {
        s.outputRate = s.inputRate = rate;
        handler.OnLineSettings(s);
      }
      const uint32_t r = s.outputRate;
      Reply(request, {static_cast<uint8_t>(r >> 24), static_cast<uint8_t>(r >> 16),
                      static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r)});
      break;
    }
    case kSetDataSize:
      if (value >= 5 && value <= 8) {
        s.dataBits = value;
        handler.OnLineSettings(s);
      }
      Reply(request, {static_cast<uint8_t>(s.dataBits)});
      break;
    case kSetParity:
      if (value >= 1 && value <= 5) {
        s.parity = value != kParityNone;
        handler.OnLineSettings(s);
      }
      // A parity other than none is answered as even (3): the settings keep only on or off.
      Reply(request, {static_cast<uint8_t>(s.parity ? (value >= 2 && value <= 5 ? value : 3)
                                                    : kParityNone)});
      break;
    case kSetStopSize:
      if (value >= 1 && value <= 3) {
        s.twoStopBits = value != kOneStopBit;
        handler.OnLineSettings(s);
      }
      Reply(request, {static_cast<uint8_t>(s.twoStopBits ? (value >= 2 ? value : kTwoStopBits)
                                                         : kOneStopBit)});
      break;
    case kSetControl:
      Reply(request, {SetControl(value, handler)});
      break;
    case kSetLineStateMask:
    case kSetModemStateMask:
      Reply(request, {value});
      break;
    case kPurgeData:
      if (value >= 1 && value <= 3) handler.OnPurge(value != 2, value != 1);
      Reply(request, {value});
      break;
    default:
      break;  // notifications and flow-control suspension carry nothing for the board
  }
}

}  // namespace quill::sim
