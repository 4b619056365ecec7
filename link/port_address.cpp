#include "link/port_address.h"

#include <string>
#include <utility>

namespace quill {

std::string NetPortAddress::HostPort() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ParseHostPort(const std::string& text, uint16_t lowestPort, std::string* host,
                          uint16_t* port) {
  std::string name, portText;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return "the IPv6 address lacks its ']'";
    name = text.substr(1, close - 1);
    if (name.empty() || name.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
      return "'" + name + "' is no IPv6 address";
    }
    if (close + 1 >= text.size() || text[close + 1] != ':') return "the port number is missing";
    portText = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return "the port number is missing";
    name = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (name.find(':') != std::string::npos) return "an IPv6 address goes in brackets";
    for (char c : name) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
      if (!ok) return "'" + name + "' is no host name or address";
    }
  }
  if (name.empty()) return "the host is missing";
  if (portText.empty()) return "the port number is missing";
  if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
    return "'" + portText + "' is no port number";
  }
  const unsigned long number = std::stoul(portText);
  if (number < lowestPort || number > 65535) {
    return "the port number " + portText + " is outside " + std::to_string(lowestPort) + " to 65535";
  }
  *host = name;
  *port = static_cast<uint16_t>(number);
  return {};
}

namespace {

// Whether a port name is meant as a network port: it starts with a scheme ("xyz://").
bool IsNetworkPortName(const std::string& name) {
  const std::size_t scheme = name.find("://");
  if (scheme == std::string::npos || scheme == 0) return false;
  for (std::size_t i = 0; i < scheme; ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!letter && !(i > 0 && other)) return false;
  }
  return true;
}

bool ParseNetworkPort(const std::string& name, NetPortAddress* address, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) {
      *error = "'" + name + "': " + what +
               "; accepted: rfc2217://HOST:PORT or tcp://HOST:PORT (HOST a name, an IPv4 "
               "address or an IPv6 address in brackets, PORT 1 to 65535)";
    }
    return false;
  };
  NetPortAddress parsed;
  std::string rest;
  if (name.rfind("rfc2217://", 0) == 0) {
    parsed.scheme = NetPortAddress::Scheme::Rfc2217;
    rest = name.substr(10);
  } else if (name.rfind("tcp://", 0) == 0) {
    parsed.scheme = NetPortAddress::Scheme::Tcp;
    rest = name.substr(6);
  } else {
    return fail("not a known kind of network port");
  }
  const std::string problem = ParseHostPort(rest, 1, &parsed.host, &parsed.port);
  if (!problem.empty()) return fail(problem);
  if (address) *address = parsed;
  return true;
}

}  // namespace

bool ParsePortAddress(const std::string& text, PortAddress* address, std::string* error) {
  PortAddress parsed;
  parsed.text = text;
  if (IsNetworkPortName(text)) {
    if (!ParseNetworkPort(text, &parsed.net, error)) return false;
    parsed.kind = PortAddress::Kind::Network;
  } else if (text.empty()) {
    if (error) *error = "no port given: a device path, rfc2217://HOST:PORT or tcp://HOST:PORT";
    return false;
  }
  if (address) *address = std::move(parsed);
  return true;
}

}  // namespace quill
