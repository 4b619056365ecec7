// The serial-port unit on real pseudo-terminals: line set-up at every rate of the catalogue,
// exclusive use, read timeouts and hang-ups, bounded writes, and the list of candidate ports.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "device/catalogue.h"
#include "link/port_names.h"
#include "link/results.h"
#include "link/serial_port.h"
#include "sim/line_settings.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A bare pseudo-terminal pair; the test plays the far end on the master side.
class Pty {
 public:
  Pty() {
    char name[128];
    int slave = -1;
    EXPECT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
    path_ = name;
    ::close(slave);
    // A slave nobody holds open makes the master report a hang-up; keep one open, as a board does.
    holder_ = ::open(name, O_RDWR | O_NOCTTY);
  }
  ~Pty() {
    CloseMaster();
    if (holder_ >= 0) ::close(holder_);
  }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int holder_ = -1;
  std::string path_;
};

TEST(SerialPort, EveryCatalogueRateGivesRaw8N1WithoutFlowControl) {
  std::vector<uint32_t> rates;
  for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType* device = GetDevice(d);
    for (int m = 0; m < device->modeCount; ++m) {
      for (int c = 0; c < device->GetClockRangeCount(m); ++c) {
        const ClockRange& range = device->GetClockRanges(m)[c];
        rates.insert(rates.end(), range.bootRates, range.bootRates + range.bootRateCount);
      }
    }
  }
  ASSERT_NE(std::find(rates.begin(), rates.end(), 14400u), rates.end());
  Pty pty;
  for (uint32_t rate : rates) {
    SCOPED_TRACE(rate);
    CSerialPort port;
    ASSERT_EQ(port.Open(pty.path(), rate), 0u);
    sim::LineSettings settings;
    ASSERT_TRUE(sim::ReadLineSettings(pty.master(), &settings));
    EXPECT_EQ(settings.outputRate, rate);
    const std::vector<std::string> problems = sim::LineProblems(settings, {rate});
    EXPECT_TRUE(problems.empty()) << problems.front();
  }
}

TEST(SerialPort, OpenFailuresKeepTheirNumbers) {
  CSerialPort port;
  EXPECT_EQ(port.Open("/dev/quill-no-such-port", 9600), InternalError::PortOpen);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Open("/dev/null", 9600), InternalError::GetCommState);
  EXPECT_FALSE(port.IsOpen());
  Pty pty;
  EXPECT_EQ(port.Open(pty.path(), 0), InternalError::SetCommState);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(OpensForExclusiveUse(pty.path()));
}

TEST(SerialPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
  Pty pty;
  CSerialPort first, second;
  ASSERT_EQ(first.Open(pty.path(), 9600), 0u);
  EXPECT_FALSE(OpensForExclusiveUse(pty.path()));
  EXPECT_EQ(second.Open(pty.path(), 9600), InternalError::PortOpen);
  first.Close();
  EXPECT_TRUE(OpensForExclusiveUse(pty.path()));
  EXPECT_EQ(second.Open(pty.path(), 9600), 0u);
}

// The open's result tells why, so nobody has to open the port again to find out.
TEST(SerialPort, AFailedOpenCarriesTheSystemsReason) {
  Pty pty;
  CSerialPort holder, port;
  ASSERT_TRUE(holder.OpenPort(pty.path(), 9600).ok());
  const struct {
    const char* name;
    std::string path;
    uint32_t failure;
    int error;
  } cases[] = {
      {"missing", "/dev/quill-no-such-port", InternalError::PortOpen, ENOENT},
      {"held by another", pty.path(), InternalError::PortOpen, EBUSY},
      {"not a terminal", "/dev/null", InternalError::GetCommState, ENOTTY},
  };
  for (const auto& c : cases) {
    const PortOpenResult result = port.OpenPort(c.path, 9600);
    EXPECT_EQ(result.failure, c.failure) << c.name;
    EXPECT_EQ(result.systemError, c.error) << c.name;
    EXPECT_FALSE(port.IsOpen()) << c.name;
  }
}

TEST(SerialPort, CloseLeavesTheLineAsTheOpenFoundIt) {
  Pty pty;
  struct termios before {};
  ASSERT_EQ(::tcgetattr(pty.master(), &before), 0);
  CSerialPort port;
  ASSERT_EQ(port.Open(pty.path(), 115200), 0u);
  struct termios during {};
  ASSERT_EQ(::tcgetattr(pty.master(), &during), 0);
  ASSERT_NE(during.c_lflag, before.c_lflag);  // raw while open
  port.Close();
  struct termios after {};
  ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
}

TEST(SerialPort, ReadWaitsOneSecondForTheFirstByte) {
  Pty pty;
  CSerialPort port;
  ASSERT_EQ(port.Open(pty.path(), 9600), 0u);
  uint8_t byte = 0;
  Clock::time_point begin = Clock::now();
  EXPECT_EQ(port.ReadOne(byte), CSerialPort::ReadResult::Timeout);
  const double waited = SecondsSince(begin);
  EXPECT_GE(waited, 0.95);
  EXPECT_LT(waited, 1.5);

  ASSERT_EQ(::write(pty.master(), "\x7E", 1), 1);
  ASSERT_EQ(port.ReadOne(byte), CSerialPort::ReadResult::Byte);
  EXPECT_EQ(byte, 0x7E);

  const uint8_t out[] = {0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
  ASSERT_TRUE(port.Write(out, sizeof out));
  uint8_t in[sizeof out];
  std::size_t got = 0;
  while (got < sizeof in) {
    const ssize_t n = ::read(pty.master(), in + got, sizeof in - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(std::vector<uint8_t>(in, in + got), std::vector<uint8_t>(out, out + sizeof out))
      << "bytes must pass untranslated";
}

TEST(SerialPort, HangUpFailsTheReadAtOnce) {
  Pty pty;
  CSerialPort port;
  ASSERT_EQ(port.Open(pty.path(), 9600), 0u);
  pty.CloseMaster();
  uint8_t byte = 0;
  const Clock::time_point begin = Clock::now();
  EXPECT_EQ(port.ReadOne(byte), CSerialPort::ReadResult::Failed);
  EXPECT_LT(SecondsSince(begin), 0.3);
  EXPECT_FALSE(port.Write(&byte, 1));
}

// Nobody reads the far end: the write gives up after one second plus twice the bytes' line time.
TEST(SerialPort, WriteToALineThatNeverDrainsGivesUp) {
  Pty pty;
  CSerialPort port;
  constexpr uint32_t kRate = 4000000;
  ASSERT_EQ(port.Open(pty.path(), kRate), 0u);
  const std::vector<uint8_t> data(256 * 1024, 0x55);
  const Clock::time_point begin = Clock::now();
  EXPECT_FALSE(port.Write(data.data(), data.size()));
  const double bound = 1.0 + 2.0 * data.size() * 10 / kRate;
  EXPECT_LT(SecondsSince(begin), bound + 0.5);
}

// A temporary announcement folder for the boards of one test.
class AnnounceFolder {
 public:
  AnnounceFolder() {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) old_ = old;
    hadOld_ = old != nullptr;
    root_ = ::testing::TempDir() + "quill_announce_" + std::to_string(::getpid());
    ::mkdir(root_.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  ~AnnounceFolder() {
    if (hadOld_) {
      ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }

 private:
  std::string root_, old_;
  bool hadOld_ = false;
};

TEST(CandidatePorts, AnnouncedBoardsFollowTheSystemPortsAndDanglingLinksAreLeftOut) {
  AnnounceFolder folder;
  sim::BoardOptions options;
  options.state = sim::BoardState::User;
  options.announce = true;
  options.announceName = "b-board";
  auto board = StartBoard(options);
  ASSERT_FALSE(board->AnnouncePath().empty());
  const std::string dangling = PortAnnounceDirectory() + "/a-gone";
  ASSERT_EQ(::symlink("/dev/pts/quill-none", dangling.c_str()), 0);

  const std::vector<std::string> ports = ListCandidatePorts();
  ASSERT_FALSE(ports.empty());
  EXPECT_EQ(ports.back(), board->AnnouncePath());
  EXPECT_EQ(std::find(ports.begin(), ports.end(), dangling), ports.end());
  // System devices of one kind come in numeric order (ttyS2 before ttyS10).
  long previous = -1;
  for (const std::string& port : ports) {
    if (port.rfind("/dev/ttyS", 0) != 0) continue;
    const long number = std::strtol(port.c_str() + 9, nullptr, 10);
    EXPECT_GT(number, previous) << port;
    previous = number;
  }
  EXPECT_TRUE(OpensForExclusiveUse(board->AnnouncePath()));
  EXPECT_FALSE(OpensForExclusiveUse(dangling));

  ::unlink(dangling.c_str());
  board->Stop();
  const std::vector<std::string> after = ListCandidatePorts();
  EXPECT_EQ(std::find(after.begin(), after.end(), board->AnnouncePath()), after.end());
}

}  // namespace
}  // namespace quill::test
