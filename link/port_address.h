// Where a board is reached, read once from the text a user gave (the command line, the wizard's
// port box, the stored settings): a local serial device, or a port server on the network. The
// byte link of an operation is made from this value (link/port_link.h); nothing else looks at
// the text to tell the kinds apart.
#pragma once

#include <cstdint>
#include <string>

namespace quill {

struct NetPortAddress {
  enum class Scheme { Rfc2217, Tcp };
  Scheme scheme = Scheme::Tcp;
  std::string host;  // a name or an address; an IPv6 address without its brackets
  uint16_t port = 0;
  // "HOST:PORT" as messages name it, an IPv6 address in brackets.
  std::string HostPort() const;
};

struct PortAddress {
  enum class Kind { Local, Network };
  Kind kind = Kind::Local;
  std::string text;    // as it was given: what records, summaries and the settings name
  NetPortAddress net;  // Network only

  bool IsNetwork() const { return kind == Kind::Network; }
  // The device path of a local port.
  const std::string& Path() const { return text; }
};

// Reads HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in brackets, PORT from
// lowestPort to 65535: *host (without brackets) and *port. Empty, or what is wrong with it
// ("the port number is missing").
std::string ParseHostPort(const std::string& text, uint16_t lowestPort, std::string* host,
                          uint16_t* port);

// Reads a port as given: rfc2217://HOST:PORT or tcp://HOST:PORT (anything with a scheme is meant
// for the network), else the path of a local device. false with *error saying what is accepted
// for an empty text, another scheme, a missing host or port number, or a port outside 1..65535.
bool ParsePortAddress(const std::string& text, PortAddress* address, std::string* error);

}  // namespace quill
