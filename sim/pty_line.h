// The simulated board's end of a pseudo-terminal.
#pragma once

#include <cstdint>
#include <string>

namespace quill::sim {

struct PtyLine {
  int master = -1;  // the board reads and writes here, without blocking
  // The board holds the slave open itself, so that the host closing its port never hangs up the
  // line, and reads the host's line settings through it.
  int slave = -1;
  int closes = -1;   // inotify: readable when the host closed the port
  std::string path;  // the slave, /dev/pts/N, which the host opens

  // Opens a pseudo-terminal set raw at the rate; false with "what: reason" in error, nothing
  // left open.
  bool Open(uint32_t rate, std::string* error);
  void Close();
};

}  // namespace quill::sim
