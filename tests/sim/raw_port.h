// A minimal raw serial client for driving the simulated board from a test, independent of the
// link's own serial unit.
#pragma once

#include <cstdint>
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

// Sets any rate, also one without a Bxxx constant (14400), through termios2.
bool SetAnyRate(int fd, uint32_t rate);

std::vector<uint8_t> KernelImage(uint32_t id);

}  // namespace quill::test
