#include "tests/sim/raw_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

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

namespace quill::test {

RawTelnet::~RawTelnet() { Close(); }

void RawTelnet::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawTelnet::Open(const std::string& url, uint32_t rate) {
  Close();
  const std::size_t colon = url.rfind(':');
  if (url.rfind("rfc2217://127.0.0.1:", 0) != 0 || colon == std::string::npos) return false;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(colon + 1))));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const uint8_t offer[] = {0xFF, 0xFB, 0, 0xFF, 0xFB, 44, 0xFF, 0xFD, 0};
  if (::send(fd_, offer, sizeof offer, MSG_NOSIGNAL) != sizeof offer) return false;
  while (!comPortTaken_)
    if (!Pump(2000)) return false;
  const auto answer = Request(1, {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                                  static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)});
  return answer && answer->size() == 4;
}

bool RawTelnet::Pump(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return true;
  uint8_t buf[4096];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) return false;
  for (ssize_t i = 0; i < n; ++i) {
    const uint8_t b = buf[i];
    switch (state_) {
      case 0:
        if (b == 0xFF) state_ = 1;
        else data_.push_back(b);
        break;
      case 1:
        state_ = b == 0xFF ? 0 : b == 0xFA ? 3 : b >= 0xFB ? 2 : 0;
        if (b == 0xFF) data_.push_back(b);
        if (b == 0xFA) sub_.clear();
        verb_ = b;
        break;
      case 2:
        if (verb_ == 0xFD && b == 44) comPortTaken_ = true;
        state_ = 0;
        break;
      case 3:
        if (b == 0xFF) state_ = 4;
        else sub_.push_back(b);
        break;
      case 4:
        if (b == 0xF0) {
          answers_.push_back(sub_);
          state_ = 0;
        } else {
          sub_.push_back(b);
          state_ = 3;
        }
        break;
    }
  }
  return true;
}

std::optional<std::vector<uint8_t>> RawTelnet::Request(uint8_t command,
                                                       const std::vector<uint8_t>& value,
                                                       int timeoutMs) {
  std::vector<uint8_t> bytes = {0xFF, 0xFA, 44, command};
  for (uint8_t b : value) {
    bytes.push_back(b);
    if (b == 0xFF) bytes.push_back(0xFF);
  }
  bytes.insert(bytes.end(), {0xFF, 0xF0});
  const std::size_t before = answers_.size();
  if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::size_t seen = before;;) {
    for (; seen < answers_.size(); ++seen) {
      const std::vector<uint8_t>& a = answers_[seen];
      if (a.size() >= 2 && a[0] == 44 && a[1] == command + 100)
        return std::vector<uint8_t>(a.begin() + 2, a.end());
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return std::nullopt;
  }
}

int RawTelnet::Control(uint8_t value) {
  const auto answer = Request(5, {value});
  return answer && answer->size() == 1 ? answer->front() : -1;
}

bool RawTelnet::Write(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> escaped;
  for (uint8_t b : bytes) {
    escaped.push_back(b);
    if (b == 0xFF) escaped.push_back(0xFF);
  }
  return ::send(fd_, escaped.data(), escaped.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(escaped.size());
}

int RawTelnet::Read(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (data_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    if (!Pump(static_cast<int>(left.count()))) return -2;
  }
  const int b = data_.front();
  data_.pop_front();
  return b;
}

}  // namespace quill::test
