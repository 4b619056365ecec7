#include "tests/sim/raw_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "resources/fpcode.h"

namespace quill::test {

RawPort::~RawPort() { Close(); }

bool RawPort::Open(const std::string& path, const LineSetup& setup) {
  Close();
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return false;
  if (setup.exclusive && ::ioctl(fd_, TIOCEXCL) != 0) return false;
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag |= CS8;
  if (setup.twoStopBits) t.c_cflag |= CSTOPB;
  if (setup.hardwareFlow) t.c_cflag |= CRTSCTS;
  if (setup.softwareFlow) t.c_iflag |= IXON | IXOFF;
  if (setup.outputProcessing) t.c_oflag |= OPOST | ONLCR;
  speed_t speed = B0;
  switch (setup.rate) {
    case 2400: speed = B2400; break;
    case 4800: speed = B4800; break;
    case 9600: speed = B9600; break;
    case 19200: speed = B19200; break;
    case 38400: speed = B38400; break;
    case 57600: speed = B57600; break;
    case 115200: speed = B115200; break;
    default: break;
  }
  if (speed != B0) ::cfsetspeed(&t, speed);
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
  if (speed == B0 && !SetAnyRate(fd_, setup.rate)) return false;
  return ::tcflush(fd_, TCIOFLUSH) == 0;
}

void RawPort::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawPort::Write(const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int RawPort::Read(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, timeoutMs);
  if (r == 0) return -1;
  if (r < 0) return -2;
  uint8_t b;
  ssize_t n = ::read(fd_, &b, 1);
  if (n == 1) return b;
  return -2;  // EIO or end of file: the other side has gone
}

std::vector<int> RawPort::Exchange(const std::vector<uint8_t>& bytes, int timeoutMs) {
  std::vector<int> answers;
  for (uint8_t b : bytes) {
    if (!Write(b)) break;
    answers.push_back(Read(timeoutMs));
    if (answers.back() < 0) break;
  }
  return answers;
}

std::vector<uint8_t> KernelImage(uint32_t id) {
  auto image = FindResource("FPCODE", id);
  return {image.begin(), image.end()};
}

}  // namespace quill::test
