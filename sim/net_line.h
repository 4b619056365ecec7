// The simulated board's end of a TCP connection: a listening socket and the one client it serves
// at a time.
#pragma once

#include <cstdint>
#include <string>

namespace quill::sim {

// HOST:PORT to listen on, HOST a name, an IPv4 address or an IPv6 address in brackets, PORT 0
// (any free port) to 65535; false with *error saying what is accepted.
struct ListenAddress {
  std::string host;  // an IPv6 address without its brackets
  uint16_t port = 0;
};
bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error);

struct NetLine {
  int listener = -1;
  int client = -1;  // the connected host, non-blocking; -1 while none is
  // rfc2217://HOST:PORT with the port the listener took: what a host opens.
  std::string url;

  // Listens on the address; false with "what: reason" in error, nothing left open.
  bool Open(const ListenAddress& address, std::string* error);
  // Takes the next connection waiting on the listener; -1 when there is none.
  int Accept();
  void CloseClient();
  void Close();
};

}  // namespace quill::sim
