#include "sim/net_line.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/port_address.h"

namespace quill::sim {

bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) {
      *error = "'" + text + "': " + what +
               "; accepted: HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in "
               "brackets, PORT 0 (any free port) to 65535";
    }
    return false;
  };
  ListenAddress parsed;
  const std::string problem = quill::ParseHostPort(text, 0, &parsed.host, &parsed.port);
  if (!problem.empty()) return fail(problem);
  *address = parsed;
  return true;
}

bool NetLine::Open(const ListenAddress& address, std::string* error) {
  const std::string where =
      (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) + ":";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(),
                                   &hints, &found);
  if (status != 0) {
    if (error) *error = "listen on " + where + std::to_string(address.port) + ": " + gai_strerror(status);
    return false;
  }
  std::string reason = "no address";
  for (addrinfo* ai = found; ai != nullptr && listener < 0; ai = ai->ai_next) {
    const int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                           ai->ai_protocol);
    if (s < 0) {
      reason = std::strerror(errno);
      continue;
    }
    // A board started again at once gets its port back, though the last connection lingers.
    int on = 1;
    (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(s, 4) != 0) {
      reason = std::strerror(errno);
      ::close(s);
      continue;
    }
    listener = s;
  }
  ::freeaddrinfo(found);
  if (listener < 0) {
    if (error) *error = "listen on " + where + std::to_string(address.port) + ": " + reason;
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  uint16_t port = address.port;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port = ntohs(bound.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  }
  url = "rfc2217://" + where + std::to_string(port);
  return true;
}

int NetLine::Accept() {
  const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (s < 0) return -1;
  // Every reply is a byte or a few, and the host waits for each: no Nagle delay.
  int on = 1;
  (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return s;
}

void NetLine::CloseClient() {
  if (client >= 0) ::close(client);
  client = -1;
}

void NetLine::Close() {
  CloseClient();
  if (listener >= 0) ::close(listener);
  listener = -1;
}

}  // namespace quill::sim
