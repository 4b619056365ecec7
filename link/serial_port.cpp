#include "link/serial_port.h"

// The kernel's own termios2 (with BOTHER for rates that have no B constant); it cannot be mixed
// with the C library's <termios.h>, so this unit speaks to the tty layer through ioctl alone.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/port_list.h"
#include "link/results.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

struct StandardRate {
  uint32_t bps;
  unsigned int code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// Unix98 pseudo-terminal slaves have the majors 136 to 143 (UNIX98_PTY_SLAVE_MAJOR and the
// seven after it).
bool IsPtySlave(const struct stat& st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// The speed code for a rate: its B constant, or BOTHER with the rate in c_ispeed/c_ospeed.
unsigned int SpeedCode(uint32_t bps) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.bps == bps) return rate.code;
  }
  return BOTHER;
}

// A driver may realise a rate only approximately and report what it set; a UART tolerates a
// couple of percent, so that much deviation still counts as the rate asked for.
bool RateAccepted(uint32_t asked, uint32_t got) {
  const uint64_t diff = asked > got ? asked - got : got - asked;
  return diff * 50 <= asked;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Raw 8N1 at baud without flow control, reads that return at once (poll does the waiting).
void RawSettings(struct termios2& tio, uint32_t baud) {
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  const unsigned int code = SpeedCode(baud);
  tio.c_cflag |= CS8 | CREAD | CLOCAL | code | (code << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

}  // namespace

struct CSerialPort::SavedSettings {
  struct termios2 tio;
};

CSerialPort::CSerialPort() = default;
CSerialPort::~CSerialPort() { Close(); }

namespace {

// Opens the device for exclusive use: the descriptor, or -1 with *error set.
int OpenExclusive(const std::string& name, int* error) {
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // The flock refuses a second opener even when that one is root, whom TIOCEXCL lets through.
  // A lock held elsewhere is the EBUSY of a device opened for exclusive use.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY)) {
    *error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

// USB serial adapters hold received bytes back for their latency timer (often 16 ms) before
// passing them on, and every reply the protocol waits for would pay that. Drivers that know
// the low-latency flag hand bytes on at once; a pseudo-terminal and others refuse the call,
// which changes nothing. True when this call turned the flag on.
bool SetLowLatency(int fd) {
  struct serial_struct serial {};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
    return false;
  }
  serial.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

}  // namespace

PortOpenResult CSerialPort::OpenPort(const std::string& name, uint32_t baud) {
  Close();
  int openError = 0;
  const int fd = OpenExclusive(name, &openError);
  if (fd < 0) return {InternalError::PortOpen, openError};
  m_fd = fd;
  m_baud = baud;

  // A step that fails without a system error of its own (a rate the driver rounded away) has
  // none to report.
  auto fail = [this](uint32_t number, int error = errno) {
    Close();
    return PortOpenResult{number, error};
  };

  struct termios2 tio;
  if (::ioctl(m_fd, TCGETS2, &tio) != 0) return fail(InternalError::GetCommState);
  m_saved = std::make_unique<SavedSettings>(SavedSettings{tio});

  // Building the settings cannot fail on this platform; the step keeps its number for the ports
  // of other platforms.
  RawSettings(tio, baud);

  // A rate of 0 would mean "hang up" to the driver; no line runs at it.
  if (baud == 0 || baud > 0x7FFFFFFF) return fail(InternalError::SetCommState, EINVAL);
  struct termios2 check;
  if (::ioctl(m_fd, TCSETS2, &tio) != 0 || ::ioctl(m_fd, TCGETS2, &check) != 0) {
    return fail(InternalError::SetCommState);
  }
  if (!RateAccepted(baud, check.c_ospeed) || (check.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8 ||
      (check.c_cflag & CRTSCTS) != 0) {
    return fail(InternalError::SetCommState, EINVAL);
  }

  // DTR and RTS inactive. Devices without modem lines (a pseudo-terminal) refuse the call, which
  // is harmless: they have no lines to drive.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(m_fd, TIOCMBIC, &lines);
  m_bLowLatencySet = SetLowLatency(m_fd);

  if (::ioctl(m_fd, TCFLSH, TCIOFLUSH) != 0) return fail(InternalError::PurgeComm);

  // Reads wait in poll with their own timeout; the descriptor itself never blocks.
  const int flags = ::fcntl(m_fd, F_GETFL);
  if (flags < 0) return fail(InternalError::GetCommTimeouts);
  if (::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail(InternalError::SetCommTimeouts);
  return {};
}

void CSerialPort::Close() {
  if (m_fd < 0) return;
  // The exclusive flag belongs to the tty, not to this descriptor: clear it, or the device stays
  // closed to everyone else while another holder (a simulated board) keeps it alive.
  (void)::ioctl(m_fd, TIOCNXCL);
  // The device is left as it was found.
  struct serial_struct serial {};
  if (m_bLowLatencySet && ::ioctl(m_fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags &= ~ASYNC_LOW_LATENCY;
    (void)::ioctl(m_fd, TIOCSSERIAL, &serial);
  }
  m_bLowLatencySet = false;
  // At once rather than after the output drained: a peer that stopped reading must not hold the
  // close. Every operation ends after a reply, so nothing of ours is still on its way then.
  if (m_saved) {
    if (m_bDropLines) {
      // Rate 0 is a hang-up: the lines drop now, and the next open (which restores the stored
      // rate before any program can act) raises none.
      m_saved->tio.c_cflag = (m_saved->tio.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | HUPCL | B0;
      m_saved->tio.c_ispeed = m_saved->tio.c_ospeed = 0;
    }
    (void)::ioctl(m_fd, TCSETS2, &m_saved->tio);
    m_saved.reset();
  }
  m_bDropLines = false;
  ::close(m_fd);
  m_fd = -1;
}

CSerialPort::ReadResult CSerialPort::ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) {
  if (m_fd < 0) return ReadResult::Failed;
  const Clock::time_point deadline = Clock::now() + timeout;
  auto failed = [this] {
    if (m_trace) m_trace->Trace(TraceKind::ReadFailed, nullptr, 0);
    return ReadResult::Failed;
  };
  // With VMIN and VTIME 0 a read without data returns 0 at once, and so does every read on a
  // line that has hung up; poll tells the two apart.
  bool hungUp = false;
  for (;;) {
    const ssize_t n = ::read(m_fd, &byte, 1);
    if (n == 1) {
      if (m_trace) m_trace->Trace(TraceKind::Read, &byte, 1);
      return ReadResult::Byte;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return failed();
    if (hungUp) return failed();

    const int wait = RemainingMs(deadline);
    if (wait == 0) break;
    pollfd pfd{m_fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, wait);
    if (ready < 0 && errno != EINTR) return failed();
    // Read once more after a hang-up: bytes that arrived before it are still delivered.
    if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hungUp = true;
  }
  if (m_trace) m_trace->Trace(TraceKind::ReadTimeout, nullptr, 0);
  return ReadResult::Timeout;
}

bool CSerialPort::Write(const uint8_t* data, std::size_t length) {
  auto result = [&](bool ok) {
    if (m_trace) m_trace->Trace(ok ? TraceKind::Written : TraceKind::WriteFailed, data, length);
    return ok;
  };
  if (m_fd < 0) return result(false);
  // Ten bits a byte on the line; twice that time plus one second before the write gives up.
  const uint64_t lineMs = m_baud ? (uint64_t{length} * 10 * 1000 * 2 + m_baud - 1) / m_baud : 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(1000) + std::chrono::milliseconds(lineMs);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(m_fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return result(false);
    const int wait = RemainingMs(deadline);
    if (wait == 0) return result(false);
    pollfd pfd{m_fd, POLLOUT, 0};
    const int ready = ::poll(&pfd, 1, wait);
    if (ready < 0 && errno != EINTR) return result(false);
    if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return result(false);
  }
  return result(true);
}

int CSerialPort::SetModemLine(bool dtr, bool asserted) {
  if (m_fd < 0) return EBADF;
  int line = dtr ? TIOCM_DTR : TIOCM_RTS;
  return ::ioctl(m_fd, asserted ? TIOCMBIS : TIOCMBIC, &line) == 0 ? 0 : errno;
}

void CSerialPort::DropLinesOnClose() {
  if (m_fd < 0) return;
  struct termios2 tio;
  if (::ioctl(m_fd, TCGETS2, &tio) == 0 && (tio.c_cflag & HUPCL) == 0) {
    tio.c_cflag |= HUPCL;
    (void)::ioctl(m_fd, TCSETS2, &tio);
  }
  m_bDropLines = true;
}

std::vector<std::string> ListCandidatePorts() {
  std::vector<std::string> ports;
  for (const SerialPortInfo& port : ListSerialPorts().ports) ports.push_back(port.path);
  return ports;
}

bool CSerialPort::IsOnPseudoTerminal() const {
  struct stat st {};
  return m_fd >= 0 && ::fstat(m_fd, &st) == 0 && IsPtySlave(st);
}

bool IsPseudoTerminal(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && IsPtySlave(st);
}

}  // namespace quill
