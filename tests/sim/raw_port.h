// A minimal raw serial client for driving the simulated board from a test, independent of the
// link's own serial unit.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace quill::test {

struct LineSetup {
  uint32_t rate = 2400;
  // A pseudo-terminal always keeps 8 data bits and no parity, so those are not offered here.
  bool twoStopBits = false;
  bool hardwareFlow = false;
  bool softwareFlow = false;
  bool outputProcessing = false;
  bool exclusive = false;  // TIOCEXCL, as the link's serial unit takes the port
};

class RawPort {
 public:
  RawPort() = default;
  ~RawPort();
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;

  bool Open(const std::string& path, const LineSetup& setup = {});
  void Close();
  bool Write(const std::vector<uint8_t>& bytes);
  bool Write(uint8_t byte) { return Write(std::vector<uint8_t>{byte}); }
  // The next byte, or -1 after timeoutMs without one, or -2 when the line hung up.
  int Read(int timeoutMs = 2000);
  // Writes each byte and reads its answer: the echoes, -1 where none came in time.
  std::vector<int> Exchange(const std::vector<uint8_t>& bytes, int timeoutMs = 2000);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A minimal RFC 2217 client for a board served over TCP: the line's bytes, any Com Port Control
// request (the control lines too, which the link's network port only ever releases) and the
// server's answer to it.
class RawTelnet {
 public:
  RawTelnet() = default;
  ~RawTelnet();
  RawTelnet(const RawTelnet&) = delete;
  RawTelnet& operator=(const RawTelnet&) = delete;

  // Connects to rfc2217://127.0.0.1:PORT, takes binary mode and the option, and sets the rate.
  bool Open(const std::string& url, uint32_t rate = 9600);
  void Close();
  // Sends the request and waits for the server's answer to it: its value, none when none came.
  std::optional<std::vector<uint8_t>> Request(uint8_t command, const std::vector<uint8_t>& value,
                                              int timeoutMs = 2000);
  // SET-CONTROL: the value the server confirmed, -1 for none.
  int Control(uint8_t value);
  bool Write(const std::vector<uint8_t>& bytes);  // 0xFF doubled
  // The next byte of the line, -1 after timeoutMs without one, -2 when the server closed.
  int Read(int timeoutMs = 2000);

 private:
  // Takes what arrives within timeoutMs; false when the connection ended.
  bool Pump(int timeoutMs);

  int fd_ = -1;
  std::deque<uint8_t> data_;
  std::vector<std::vector<uint8_t>> answers_;  // every subnegotiation received, in order
  bool comPortTaken_ = false;
  int state_ = 0;  // 0 data, 1 after IAC, 2 verb, 3 subnegotiation, 4 IAC in it
  uint8_t verb_ = 0;
  std::vector<uint8_t> sub_;
};

// Sets any rate, also one without a Bxxx constant (14400), through termios2.
bool SetAnyRate(int fd, uint32_t rate);

std::vector<uint8_t> KernelImage(uint32_t id);

}  // namespace quill::test
