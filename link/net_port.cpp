#include "link/net_port.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

// Telnet (RFC 854) and its options: binary transmission (RFC 856), suppress go-ahead (RFC 858)
// and the Com Port Control Option (RFC 2217).
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;
constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                  kSetControl = 5, kPurgeData = 12;
constexpr uint8_t kParityNone = 1, kOneStopBit = 1, kNoFlowControl = 1, kDtrOn = 8, kDtrOff = 9,
                  kRtsOn = 11, kRtsOff = 12, kPurgeBoth = 3;
constexpr uint8_t kServerReplyOffset = 100;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }
void CloseSocket(Socket s) { ::closesocket(s); }
int PollSockets(WSAPOLLFD* fds, unsigned long count, int ms) { return ::WSAPoll(fds, count, ms); }
using PollFd = WSAPOLLFD;
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kSendFlags = 0;
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
bool SetNonBlocking(Socket s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
std::string ErrorText(int error) { return "error " + std::to_string(error); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS; }
void CloseSocket(Socket s) { ::close(s); }
int PollSockets(pollfd* fds, nfds_t count, int ms) { return ::poll(fds, count, ms); }
using PollFd = pollfd;
constexpr int kRefused = ECONNREFUSED;
// A peer gone while writing is an error of the write, not a signal that ends the program.
constexpr int kSendFlags = MSG_NOSIGNAL;
bool StartSockets() { return true; }
bool SetNonBlocking(Socket s) {
  const int flags = ::fcntl(s, F_GETFL);
  return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
std::string ErrorText(int error) { return std::strerror(error); }
#endif

Socket AsSocket(intptr_t value) { return static_cast<Socket>(value); }

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// The waits of an open are cut into slices this long, so an abort ends a connection attempt to a
// silent host at once instead of after its five seconds.
constexpr std::chrono::milliseconds kOpenSlice{50};
Clock::time_point Slice(Clock::time_point deadline) {
  return std::min(deadline, Clock::now() + kOpenSlice);
}
bool Aborted(const std::atomic<bool>* abort) { return abort != nullptr && abort->load(); }

// The addresses of host, looked up on a thread of their own so that a name server that does not
// answer cannot hold the open past its deadline (the lookup then ends unseen).
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int status = 0;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result) ::freeaddrinfo(result);
  }
};

std::shared_ptr<Lookup> Resolve(const NetPortAddress& address, Clock::time_point deadline,
                                const std::atomic<bool>* abort) {
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host = address.host, port = std::to_string(address.port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->status = status;
    lookup->result = result;
    lookup->finished = true;
    lookup->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->done.wait_until(lock, Slice(deadline), [&] { return lookup->finished; })) {
    if (Clock::now() >= deadline || Aborted(abort)) return nullptr;
  }
  return lookup;
}

bool RateConfirmed(uint32_t asked, uint32_t got) {
  const uint64_t diff = asked > got ? asked - got : got - asked;
  return diff * 50 <= asked;
}

}  // namespace

CNetPort::CNetPort() = default;
CNetPort::~CNetPort() { Close(); }

bool CNetPort::IsOpen() const { return m_socket != -1; }

void CNetPort::Close() {
  if (m_socket != -1) CloseSocket(AsSocket(m_socket));
  m_socket = -1;
}

bool CNetPort::Open(const NetPortAddress& address, uint32_t baud, std::string* reason) {
  Close();
  m_address = address;
  m_baud = baud;
  m_bTelnet = address.scheme == NetPortAddress::Scheme::Rfc2217;
  m_bLost = false;
  m_data.clear();
  m_parse = Parse::Data;
  m_bLastWasCr = false;
  m_sub.clear();
  for (int i = 0; i < 256; ++i) {
    m_localOn[i] = m_localAsked[i] = m_remoteOn[i] = m_remoteAsked[i] = m_replied[i] = false;
    m_replies[i].clear();
  }
  m_controlReplies.clear();
  m_bComPortRefused = false;

  const Clock::time_point deadline = Clock::now() + kOpenTimeout;
  std::string why;
  if (!Connect(deadline, &why) || (m_bTelnet && !Negotiate(baud, deadline, &why))) {
    Close();
    if (reason) *reason = why;
    return false;
  }
  return true;
}

namespace {

// Connects the non-blocking socket s to ai by the deadline: 0, or the system's error; *timedOut
// when the deadline came first.
int ConnectSocket(Socket s, const addrinfo* ai, Clock::time_point deadline,
                  const std::atomic<bool>* abort, bool* timedOut) {
  if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return 0;
  int error = LastError();
  if (!WouldBlock(error)) return error;
  PollFd pfd{};
  pfd.fd = s;
  pfd.events = POLLOUT;
  int ready = 0;
  while ((ready = PollSockets(&pfd, 1, RemainingMs(Slice(deadline)))) == 0) {
    if (Clock::now() >= deadline || Aborted(abort)) {
      *timedOut = true;
      return 0;
    }
  }
  socklen_t length = sizeof error;
  error = 0;
  if (ready < 0 ||
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    error = LastError();
  }
  return error;
}

}  // namespace

bool CNetPort::Connect(Clock::time_point deadline, std::string* reason) {
  if (!StartSockets()) {
    *reason = "the network is not available";
    return false;
  }
  const std::shared_ptr<Lookup> lookup = Resolve(m_address, deadline, m_pAbort);
  if (AbortRequested()) {
    *reason = "cancelled";
    return false;
  }
  if (!lookup) {
    *reason = "the host does not resolve (no answer within 5 seconds)";
    return false;
  }
  if (lookup->status != 0 || lookup->result == nullptr) {
    *reason = std::string("the host does not resolve (") + gai_strerror(lookup->status) + ")";
    return false;
  }
  std::string lastReason = "no address";
  for (addrinfo* ai = lookup->result; ai != nullptr; ai = ai->ai_next) {
    const Socket s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == kNoSocket) {
      lastReason = ErrorText(LastError());
      continue;
    }
    if (!SetNonBlocking(s)) {
      lastReason = ErrorText(LastError());
      CloseSocket(s);
      continue;
    }
    bool timedOut = false;
    const int error = ConnectSocket(s, ai, deadline, m_pAbort, &timedOut);
    if (timedOut) {
      CloseSocket(s);
      *reason = AbortRequested() ? "cancelled" : "no connection within 5 seconds";
      return false;
    }
    if (error != 0) {
      lastReason = error == kRefused ? "connection refused" : ErrorText(error);
      CloseSocket(s);
      continue;
    }
    // Every protocol step is one small write followed by a wait for the reply: Nagle's delay
    // would hold each of those writes back.
    int on = 1;
    (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    m_socket = static_cast<intptr_t>(s);
    return true;
  }
  *reason = lastReason;
  return false;
}

bool CNetPort::Negotiate(uint32_t baud, Clock::time_point deadline, std::string* reason) {
  if (!TakeComPortOption(deadline, reason) || !AwaitLineReplies(baud, deadline, reason) ||
      !CheckLineReplies(baud, reason)) {
    return false;
  }
  // Nothing the board sent before the line was set up belongs to the operation, as a local
  // port's flush at open drops it.
  m_data.clear();
  return true;
}

bool CNetPort::TakeComPortOption(Clock::time_point deadline, std::string* reason) {
  // Binary both ways, so that 0xFF (doubled) and CR NUL pass untouched; the Com Port Control
  // Option for the line settings.
  for (uint8_t option : {kOptBinary, kOptComPort, kOptSga}) {
    m_localAsked[option] = true;
    SendCommand(kWill, option);
  }
  for (uint8_t option : {kOptBinary, kOptSga}) {
    m_remoteAsked[option] = true;
    SendCommand(kDo, option);
  }
  while (!m_localOn[kOptComPort]) {
    if (m_bComPortRefused) {
      *reason = "the server refused the Com Port Control Option (RFC 2217)";
      return false;
    }
    if (Clock::now() >= deadline) {
      *reason = "the server did not take the Com Port Control Option (RFC 2217) within 5 seconds";
      return false;
    }
    if (AbortRequested()) {
      *reason = "cancelled";
      return false;
    }
    if (!Receive(Slice(deadline))) {
      *reason = "the server closed the connection";
      return false;
    }
  }
  return true;
}

bool CNetPort::AwaitLineReplies(uint32_t baud, Clock::time_point deadline, std::string* reason) {
  // The line as a local port sets it. The server answers every request but the DTR and RTS ones
  // (a line without modem lines has nothing to answer with); the purge comes last.
  SendComPort(kSetBaudRate, {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                             static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
  SendComPort(kSetDataSize, {8});
  SendComPort(kSetParity, {kParityNone});
  SendComPort(kSetStopSize, {kOneStopBit});
  SendComPort(kSetControl, {kNoFlowControl});
  SendComPort(kSetControl, {kDtrOff});
  SendComPort(kSetControl, {kRtsOff});
  SendComPort(kPurgeData, {kPurgeBoth});
  const uint8_t awaited[] = {kSetBaudRate, kSetDataSize, kSetParity, kSetStopSize, kSetControl,
                             kPurgeData};
  auto allAnswered = [&] {
    for (uint8_t code : awaited) {
      if (!m_replied[code]) return false;
    }
    return true;
  };
  while (!allAnswered()) {
    if (Clock::now() >= deadline) {
      *reason = "the server did not confirm the line settings within 5 seconds";
      return false;
    }
    if (AbortRequested()) {
      *reason = "cancelled";
      return false;
    }
    if (!Receive(Slice(deadline))) {
      *reason = "the server closed the connection";
      return false;
    }
  }
  return true;
}

bool CNetPort::CheckLineReplies(uint32_t baud, std::string* reason) {
  auto value = [this](uint8_t code) {
    uint32_t v = 0;
    for (uint8_t b : m_replies[code]) v = (v << 8) | b;
    return v;
  };
  const uint32_t rate = value(kSetBaudRate);
  if (m_replies[kSetBaudRate].size() != 4 || !RateConfirmed(baud, rate)) {
    *reason = "the server set the line to " + std::to_string(rate) + " bit/s instead of " +
              std::to_string(baud);
    return false;
  }
  if (value(kSetDataSize) != 8 || value(kSetParity) != kParityNone ||
      value(kSetStopSize) != kOneStopBit) {
    *reason = "the server did not set the line to 8 data bits, no parity, one stop bit";
    return false;
  }
  for (uint8_t control : m_controlReplies) {
    // 2 and 3 are XON/XOFF and hardware flow control.
    if (control == 2 || control == 3) {
      *reason = "the server kept flow control on";
      return false;
    }
  }
  return true;
}

bool CNetPort::SendRaw(const uint8_t* bytes, std::size_t length, Clock::time_point deadline) {
  if (m_socket == -1 || m_bLost) return false;
  const Socket s = AsSocket(m_socket);
  std::size_t done = 0;
  while (done < length) {
    const auto n = ::send(s, reinterpret_cast<const char*>(bytes + done),
                          static_cast<int>(length - done), kSendFlags);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int error = LastError();
#ifndef _WIN32
    if (n < 0 && error == EINTR) continue;
#endif
    if (n < 0 && !WouldBlock(error)) {
      Lost();
      return false;
    }
    const int wait = RemainingMs(deadline);
    if (wait == 0) return false;
    PollFd pfd{};
    pfd.fd = s;
    pfd.events = POLLOUT;
    const int ready = PollSockets(&pfd, 1, wait);
    if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      Lost();
      return false;
    }
  }
  return true;
}

void CNetPort::SendCommand(uint8_t verb, uint8_t option) {
  const uint8_t bytes[] = {kIac, verb, option};
  (void)SendRaw(bytes, sizeof bytes, Clock::now() + kOpenTimeout);
}

void CNetPort::SendComPort(uint8_t command, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> bytes = {kIac, kSb, kOptComPort, command};
  for (uint8_t b : value) {
    bytes.push_back(b);
    if (b == kIac) bytes.push_back(kIac);
  }
  bytes.push_back(kIac);
  bytes.push_back(kSe);
  (void)SendRaw(bytes.data(), bytes.size(), Clock::now() + kOpenTimeout);
}

void CNetPort::Lost() { m_bLost = true; }

bool CNetPort::Receive(Clock::time_point deadline) {
  if (m_socket == -1 || m_bLost) return false;
  const Socket s = AsSocket(m_socket);
  uint8_t buffer[4096];
  bool waited = false;
  for (;;) {
    const auto n = ::recv(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n > 0) {
      Feed(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0) {
      Lost();
      return false;
    }
    const int error = LastError();
#ifndef _WIN32
    if (error == EINTR) continue;
#endif
    if (!WouldBlock(error)) {
      Lost();
      return false;
    }
    if (waited) return true;
    PollFd pfd{};
    pfd.fd = s;
    pfd.events = POLLIN;
    const int ready = PollSockets(&pfd, 1, RemainingMs(deadline));
    if (ready == 0) return true;  // nothing came in time
    // Read once more after a hang-up or an error: bytes that came before it are still delivered.
    waited = true;
  }
}

void CNetPort::Feed(const uint8_t* bytes, std::size_t length) {
  if (!m_bTelnet) {
    m_data.insert(m_data.end(), bytes, bytes + length);
    return;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    switch (m_parse) {
      case Parse::Data:
        if (b == kIac) {
          m_parse = Parse::Iac;
          break;
        }
        // Without binary mode a server sends a CR alone as CR NUL.
        if (b == 0 && m_bLastWasCr && !m_remoteOn[kOptBinary]) {
          m_bLastWasCr = false;
          break;
        }
        m_bLastWasCr = b == '\r';
        m_data.push_back(b);
        break;
      case Parse::Iac:
        if (b == kIac) {
          m_data.push_back(kIac);
          m_bLastWasCr = false;
          m_parse = Parse::Data;
        } else if (b >= kWill && b <= kDont) {
          m_verb = b;
          m_parse = Parse::Verb;
        } else if (b == kSb) {
          m_sub.clear();
          m_parse = Parse::Sub;
        } else {
          m_parse = Parse::Data;  // NOP, go-ahead and the like carry nothing for the line
        }
        break;
      case Parse::Verb:
        HandleOption(m_verb, b);
        m_parse = Parse::Data;
        break;
      case Parse::Sub:
        if (b == kIac) {
          m_parse = Parse::SubIac;
        } else {
          m_sub.push_back(b);
        }
        break;
      case Parse::SubIac:
        if (b == kSe) {
          HandleSubnegotiation();
          m_parse = Parse::Data;
        } else {
          m_sub.push_back(b);  // IAC IAC inside: one 0xFF
          m_parse = Parse::Sub;
        }
        break;
    }
  }
}

void CNetPort::HandleOption(uint8_t verb, uint8_t option) {
  const bool localSupported = option == kOptBinary || option == kOptSga || option == kOptComPort;
  const bool remoteSupported = option == kOptBinary || option == kOptSga;
  switch (verb) {
    case kDo:
      if (!localSupported) {
        SendCommand(kWont, option);
      } else if (!m_localOn[option]) {
        m_localOn[option] = true;
        // The answer to our own WILL needs none.
        if (!m_localAsked[option]) SendCommand(kWill, option);
        m_localAsked[option] = false;
      }
      break;
    case kDont:
      if (option == kOptComPort) m_bComPortRefused = true;
      if (m_localOn[option]) SendCommand(kWont, option);
      m_localOn[option] = false;
      m_localAsked[option] = false;
      break;
    case kWill:
      if (!remoteSupported) {
        SendCommand(kDont, option);
      } else if (!m_remoteOn[option]) {
        m_remoteOn[option] = true;
        if (!m_remoteAsked[option]) SendCommand(kDo, option);
        m_remoteAsked[option] = false;
      }
      break;
    case kWont:
      if (m_remoteOn[option]) SendCommand(kDont, option);
      m_remoteOn[option] = false;
      m_remoteAsked[option] = false;
      break;
  }
}

void CNetPort::HandleSubnegotiation() {
  if (m_sub.size() < 2 || m_sub[0] != kOptComPort || m_sub[1] < kServerReplyOffset) return;
  const uint8_t request = static_cast<uint8_t>(m_sub[1] - kServerReplyOffset);
  m_replies[request].assign(m_sub.begin() + 2, m_sub.end());
  m_replied[request] = true;
  if (request == kSetControl && m_sub.size() > 2) m_controlReplies.push_back(m_sub[2]);
}

std::string CNetPort::SetModemLine(bool dtr, bool asserted) {
  const char* name = dtr ? "DTR" : "RTS";
  if (!m_bTelnet) return std::string("a raw tcp:// port cannot drive ") + name;
  const uint8_t code = dtr ? (asserted ? kDtrOn : kDtrOff) : (asserted ? kRtsOn : kRtsOff);
  m_replied[kSetControl] = false;
  SendComPort(kSetControl, {code});
  // Not cut short by an abort: the lines that switch VPP off are set after one as well.
  const Clock::time_point deadline = Clock::now() + kOpenTimeout;
  while (!m_replied[kSetControl]) {
    if (Clock::now() >= deadline) {
      return std::string("the server did not confirm ") + name + " within 5 seconds";
    }
    if (!Receive(deadline)) return "the connection to " + m_address.HostPort() + " was lost";
  }
  if (m_replies[kSetControl].size() != 1 || m_replies[kSetControl][0] != code) {
    return std::string("the server refused to ") + (asserted ? "assert " : "release ") + name;
  }
  return {};
}

CNetPort::ReadResult CNetPort::ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (!m_data.empty()) {
      byte = m_data.front();
      m_data.pop_front();
      if (m_trace) m_trace->Trace(TraceKind::Read, &byte, 1);
      return ReadResult::Byte;
    }
    if (!Receive(deadline)) {
      if (m_trace) m_trace->Trace(TraceKind::ReadFailed, nullptr, 0);
      return ReadResult::Failed;
    }
    if (m_data.empty() && Clock::now() >= deadline) break;
  }
  if (m_trace) m_trace->Trace(TraceKind::ReadTimeout, nullptr, 0);
  return ReadResult::Timeout;
}

bool CNetPort::Write(const uint8_t* data, std::size_t length) {
  const uint64_t lineMs = m_baud ? (uint64_t{length} * 10 * 1000 * 2 + m_baud - 1) / m_baud : 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(1000) + std::chrono::milliseconds(lineMs);
  bool ok = false;
  if (!m_bTelnet) {
    ok = SendRaw(data, length, deadline);
  } else {
    std::vector<uint8_t> escaped;
    escaped.reserve(length + 8);
    for (std::size_t i = 0; i < length; ++i) {
      escaped.push_back(data[i]);
      if (data[i] == kIac) escaped.push_back(kIac);
      if (data[i] == '\r' && !m_localOn[kOptBinary]) escaped.push_back(0);
    }
    ok = SendRaw(escaped.data(), escaped.size(), deadline);
  }
  if (m_trace) m_trace->Trace(ok ? TraceKind::Written : TraceKind::WriteFailed, data, length);
  return ok;
}

}  // namespace quill
