// The simulated board over its real pseudo-terminal: boot download, line settings, pacing, the
// port announcement and the quill-sim executable.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/sim_board.h"
#include "tests/sim/raw_port.h"

namespace quill {
namespace {

using sim::BoardOptions;
using sim::BoardState;
using sim::SimBoard;
using test::KernelImage;
using test::LineSetup;
using test::RawPort;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int kTxC30 = 1;

std::vector<uint8_t> DownloadStream(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> stream(image.size() + 3);
  stream[0] = 0x55;
  stream[1] = static_cast<uint8_t>(image.size() >> 8);
  stream[2] = static_cast<uint8_t>(image.size());
  std::copy(image.begin(), image.end(), stream.begin() + 3);
  return stream;
}

std::vector<int> ExpectedEchoes(const std::vector<uint8_t>& stream) {
  std::vector<int> echoes(stream.begin(), stream.end());
  echoes[0] = 0xAA;
  return echoes;
}

bool AnyErrorContains(const SimBoard& board, const std::string& text) {
  for (const std::string& e : board.Errors())
    if (e.find(text) != std::string::npos) return true;
  return false;
}

BoardOptions C30Clock2() {
  BoardOptions o;
  o.device = kTxC30;
  o.clock = 2;
  return o;
}

TEST(SimBoot, FullDownloadByteByByteThenKernelRuns) {
  BoardOptions o = C30Clock2();
  o.syncReply = 0x3C;
  SimBoard board(o);
  std::string error;
  ASSERT_TRUE(board.Start(&error)) << error;
  ASSERT_TRUE(board.SetFlash(std::vector<uint8_t>(0x8000, 0x00), &error)) << error;
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), {.rate = 4800}));

  ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
  EXPECT_EQ(port.Read(), 0x3C);
  std::vector<uint8_t> image = KernelImage(192);
  ASSERT_EQ(image.size(), 896u);
  std::vector<uint8_t> stream = DownloadStream(image);
  EXPECT_EQ(stream[1], 0x03);
  EXPECT_EQ(stream[2], 0x80);
  EXPECT_EQ(port.Exchange(stream), ExpectedEchoes(stream));
  EXPECT_EQ(port.Read(), 0x00);  // the erase-all report

  EXPECT_TRUE(board.WaitUntilIdle(2s));
  EXPECT_EQ(board.State(), BoardState::User);
  EXPECT_EQ(board.BootCount(), 1);
  std::vector<uint8_t> everything(10 + stream.size(), 0x00);
  std::copy(stream.begin(), stream.end(), everything.begin() + 10);
  EXPECT_EQ(board.Received(), everything);
  EXPECT_EQ(board.Sent().size(), 1 + stream.size() + 1);
  EXPECT_EQ(board.Flash(), std::vector<uint8_t>(0x8000, 0xFF));
  EXPECT_TRUE(board.Errors().empty()) << board.Errors().front();
}

TEST(SimBoot, WrongKernelIsReportedAndTheBoardGoesSilent) {
  SimBoard board(C30Clock2());
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath()));
  ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
  ASSERT_EQ(port.Read(), 0x00);
  std::vector<uint8_t> stream = DownloadStream(KernelImage(193));  // clock range 3's kernel
  EXPECT_EQ(port.Exchange(stream), ExpectedEchoes(stream));
  EXPECT_EQ(port.Read(200), -1);
  EXPECT_TRUE(board.Hung());
  EXPECT_EQ(board.BootCount(), 0);
  EXPECT_TRUE(AnyErrorContains(board, "wrong kernel: received 896 bytes of kernel 193"));

  // A reset of the target brings the boot ROM back.
  board.Reset(BoardState::Boot);
  ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
  EXPECT_EQ(port.Read(), 0x00);
}

TEST(SimBoot, PortCanBeClosedAndOpenedAgainBetweenOperations) {
  SimBoard board(C30Clock2());
  ASSERT_TRUE(board.Start(nullptr));
  {
    RawPort port;
    ASSERT_TRUE(port.Open(board.PortPath(), {.exclusive = true}));
    ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
    ASSERT_EQ(port.Read(), 0x00);
    std::vector<uint8_t> stream = DownloadStream(KernelImage(192));
    ASSERT_EQ(port.Exchange(stream), ExpectedEchoes(stream));
    ASSERT_EQ(port.Read(), 0x00);
  }
  RawPort again;
  ASSERT_TRUE(again.Open(board.PortPath()));
  ASSERT_TRUE(again.Write({0x57, 0x00}));
  EXPECT_EQ(again.Read(), 0x06);
  EXPECT_FALSE(board.HungUp());

  // The board's own hold on the slave would keep the first opener's exclusive mode alive (and
  // lock out every later opener without privileges); the board ends it when that opener closes.
  int exclusive = 1;
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(::ioctl(again.fd(), TIOCGEXCL, &exclusive), 0);
    if (!exclusive) break;
    std::this_thread::yield();
  }
  EXPECT_EQ(exclusive, 0);
}

struct LineCase {
  const char* name;
  BoardState state;
  uint32_t expectBaud;
  LineSetup setup;
  const char* problem;  // nullptr: the settings are right
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SimLineSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(SimLineSettings, ChecksEveryByteAgainstTheRequiredLine) {
  const LineCase& c = GetParam();
  BoardOptions o = C30Clock2();
  o.state = c.state;
  o.expectBaud = c.expectBaud;
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), c.setup));
  if (c.state == BoardState::Boot) {
    ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
    EXPECT_EQ(port.Read(), 0x00);
  } else {
    ASSERT_TRUE(port.Write({0x57, 0x00}));
    EXPECT_EQ(port.Read(), 0x06);
  }
  if (c.problem) {
    EXPECT_TRUE(AnyErrorContains(board, c.problem)) << ::testing::PrintToString(board.Errors());
    EXPECT_EQ(board.Errors().size(), 1u) << "reported once, not per byte";
  } else {
    EXPECT_TRUE(board.Errors().empty()) << board.Errors().front();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimLineSettings,
    ::testing::Values(
        LineCase{"BootRateOfTheClockRange", BoardState::Boot, 0, {.rate = 4800}, nullptr},
        LineCase{"BootRateTheClockRangeLacks", BoardState::Boot, 0, {.rate = 9600},
                 "line rate 9600 bps, expected 2400, 4800"},
        LineCase{"SoftwareFlow", BoardState::Boot, 0, {.rate = 2400, .softwareFlow = true},
                 "XON/XOFF"},
        LineCase{"OutputProcessing", BoardState::Boot, 0, {.rate = 2400, .outputProcessing = true},
                 "output processing"},
        LineCase{"TwoStopBits", BoardState::Boot, 0, {.rate = 2400, .twoStopBits = true},
                 "two stop bits"},
        LineCase{"HardwareFlow", BoardState::User, 0, {.rate = 9600, .hardwareFlow = true},
                 "RTS/CTS"},
        LineCase{"UserRate14400", BoardState::User, 0, {.rate = 14400}, nullptr},
        LineCase{"UserRateOtherThanRequired", BoardState::User, 9600, {.rate = 14400},
                 "line rate 14400 bps, expected 9600"},
        LineCase{"NoUserRate", BoardState::User, 0, {.rate = 1200}, "line rate 1200"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimLine, KernelKeepsTheRateItWasSynchronisedAt) {
  SimBoard board(C30Clock2());
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), {.rate = 4800}));
  ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
  ASSERT_EQ(port.Read(), 0x00);
  std::vector<uint8_t> stream = DownloadStream(KernelImage(192));
  ASSERT_EQ(port.Exchange(stream), ExpectedEchoes(stream));
  ASSERT_EQ(port.Read(), 0x00);
  EXPECT_TRUE(board.Errors().empty());
  // 9600 is a user rate, but this kernel runs at the 4800 it was synchronised at.
  ASSERT_TRUE(port.Open(board.PortPath(), {.rate = 9600}));
  ASSERT_TRUE(port.Write({0x57, 0x00}));
  EXPECT_EQ(port.Read(), 0x06);
  EXPECT_TRUE(AnyErrorContains(board, "line rate 9600 bps, expected 4800"));
}

TEST(SimPacing, BytesTakeTheirLineTime) {
  BoardOptions o = C30Clock2();
  o.pace = true;
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), {.rate = 2400}));
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(port.Write(std::vector<uint8_t>(10, 0x00)));
  ASSERT_EQ(port.Read(), 0x00);
  // Ten bytes in and one out at 2400 bps: 11 x 10 bits, about 46 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(port.Exchange({0x55}), std::vector<int>{0xAA});
  EXPECT_GE(std::chrono::steady_clock::now() - start, 8ms);
}

class SimAnnounce : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    saved_ = old ? std::optional<std::string>(old) : std::nullopt;
    root_ = std::filesystem::temp_directory_path() / ("quill-sim-test-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_) ::setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(root_);
  }
  std::filesystem::path root_;
  std::optional<std::string> saved_;
};

TEST_F(SimAnnounce, LinkToThePortExistsWhileTheBoardRuns) {
  BoardOptions o = C30Clock2();
  o.announce = true;
  o.announceName = "bench-1";
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  std::filesystem::path link = root_ / "quill/ports/bench-1";
  EXPECT_EQ(board.AnnouncePath(), link.string());
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), board.PortPath());
  struct stat st;
  ASSERT_EQ(::stat((root_ / "quill/ports").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  board.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(SimAnnounce, DefaultNamesDifferAndAStaleLinkIsReplaced) {
  BoardOptions o = C30Clock2();
  o.announce = true;
  SimBoard a(o), b(o);
  ASSERT_TRUE(a.Start(nullptr));
  ASSERT_TRUE(b.Start(nullptr));
  EXPECT_NE(a.AnnouncePath(), b.AnnouncePath());
  EXPECT_THAT(a.AnnouncePath(), HasSubstr("/sim-" + std::to_string(::getpid()) + "-"));

  std::filesystem::create_directories(root_ / "quill/ports");
  std::filesystem::create_symlink("/dev/pts/nonexistent", root_ / "quill/ports/left-over");
  o.announceName = "left-over";
  SimBoard c(o);
  ASSERT_TRUE(c.Start(nullptr));
  EXPECT_EQ(std::filesystem::read_symlink(root_ / "quill/ports/left-over").string(), c.PortPath());
}

// Runs quill-sim with the arguments; its standard output is read through the returned fd.
pid_t Spawn(const std::vector<std::string>& args, int* out) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::string exe = std::string(QUILL_BINARY_DIR) + "/sim/quill-sim";
  std::vector<char*> argv{exe.data()};
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  *out = pipeFds[0];
  return pid;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

TEST(SimExecutable, PrintsThePortFirstAndWritesTheFlashOnExit) {
  std::string flashFile =
      (std::filesystem::temp_directory_path() / ("quill-sim-flash-" + std::to_string(::getpid())))
          .string();
  int out = -1;
  pid_t pid = Spawn({"--device", "TX-C30", "--state", "user", "--no-announce", "--flash-out", flashFile},
                    &out);
  ASSERT_GT(pid, 0);
  std::string path = ReadLine(out);
  EXPECT_THAT(path, ::testing::StartsWith("/dev/pts/"));
  {
    RawPort port;
    ASSERT_TRUE(port.Open(path, {.rate = 9600}));
    ASSERT_TRUE(port.Write({0x57, 0x00}));
    EXPECT_EQ(port.Read(), 0x06);
    ASSERT_TRUE(port.Write({0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(port.Read(), 0x11);
    ASSERT_TRUE(port.Write({0x11, 0x01, 0x02, 0x03}));
    EXPECT_EQ(port.Read(), 0x11);
    ASSERT_TRUE(port.Write({0x11, 0xF9}));
    EXPECT_EQ(port.Read(), 0x06);
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(flashFile, std::ios::binary);
  std::vector<char> flash((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(flash.size(), 0x8000u);
  EXPECT_EQ(flash[0x1000], 0x01);
  EXPECT_EQ(flash[0x1002], 0x03);
  EXPECT_EQ(static_cast<uint8_t>(flash[0x1003]), 0xFF);
  std::filesystem::remove(flashFile);
}

TEST(SimExecutable, HelpNamesEveryOptionAndBadOptionsAreUsageErrors) {
  int out = -1;
  pid_t pid = Spawn({"--help"}, &out);
  ASSERT_GT(pid, 0);
  std::string help;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out, buf, sizeof buf)) > 0) help.append(buf, static_cast<std::size_t>(n));
  ::close(out);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const char* option :
       {"--device", "--mode", "--clock", "--state", "--baud", "--pace", "--fault", "--sync-reply",
        "--erase-report", "--flash-in", "--flash-out", "--name", "--no-announce",
        "--exit-after-boot", "--exit-when-idle", "--verbose", "--listen", "--lines", "--help"})
    EXPECT_THAT(help, HasSubstr(option));

  for (std::vector<std::string> bad : {std::vector<std::string>{"--device", "TX-B99"},
                                       {"--device", "TX-C30", "--mode", "2"},
                                       {"--fault", "silent:nowhere"},
                                       {"--clock", "9"}}) {
    pid = Spawn(bad, &out);
    ASSERT_GT(pid, 0);
    ::waitpid(pid, &status, 0);
    ::close(out);
    EXPECT_EQ(WEXITSTATUS(status), 64) << bad[0] << " " << bad[1];
  }
}

// quill-sim's complaints: each refused command line ends with 64 and says what is wrong. No short
// forms, no "--" and no value for a flag.
TEST(SimExecutable, RefusedCommandLinesSayWhy) {
  struct Row {
    std::string args;
    const char* complaint;
  };
  const std::string exe = std::string(QUILL_BINARY_DIR) + "/sim/quill-sim";
  for (const Row& row : {Row{"--device", "--device needs a name"},
                         Row{"--state x", "--state accepts boot or user"},
                         Row{"--clock 3 --clock 9", "--clock needs an index 0..8"},
                         Row{"--sync-reply 0x100", "--sync-reply needs a byte 0..255"},
                         Row{"--fault wrong:echo --fault silent", "bad fault \"silent\""},
                         Row{"-d TX-C30", "unknown option -d"},
                         Row{"--pace=1", "unknown option --pace=1"},
                         Row{"--", "unknown option --"},
                         Row{"--no-announce extra", "unknown option extra"},
                         Row{"--listen 127.0.0.1", "--listen '127.0.0.1': the port number is missing"},
                         Row{"--listen ::1:0", "--listen '::1:0': an IPv6 address goes in brackets"},
                         Row{"--listen 127.0.0.1:65536", "--listen '127.0.0.1:65536': the port number 65536 is outside 0 to 65535"},
                         Row{"--lines vpp=dtr,mode=rts", "--lines needs --listen"},
                         Row{"--listen 127.0.0.1:0 --lines vpp=!dtr,mode=rts",
                             "--lines: line map 'vpp=!dtr,mode=rts': vpp cannot be inverted"},
                         Row{"--listen 127.0.0.1:0 --lines mode=dtr,vpp=dtr",
                             "--lines: line map 'mode=dtr,vpp=dtr': vpp and mode cannot both be dtr"},
                         Row{"--listen 127.0.0.1:0 --lines", "--lines needs a MAP"},
                         Row{"--listen 127.0.0.1:0 --lines vpp=dtr --state boot",
                             "--state and --lines exclude each other"},
                         Row{"--listen 127.0.0.1:0 --name rack-1", "--name and --listen exclude"}}) {
    FILE* p = ::popen((exe + " " + row.args + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) text += buf;
    const int status = ::pclose(p);
    EXPECT_EQ(WEXITSTATUS(status), 64) << row.args;
    EXPECT_THAT(text, HasSubstr(std::string("quill-sim: ") + row.complaint)) << row.args;
  }
}

// Over TCP the program prints the URL with the port it took, serves host after host (a host
// that goes away releases the lines: VPP off), and writes the flash on exit.
TEST(SimExecutable, ListensAndObeysTheLinesHostAfterHost) {
  const std::string flashFile =
      (std::filesystem::temp_directory_path() / ("quill-sim-listen-" + std::to_string(::getpid())))
          .string();
  int out = -1;
  pid_t pid = Spawn({"--device", "TX-C30", "--listen", "127.0.0.1:0", "--lines", "vpp=dtr,mode=rts",
                     "--flash-out", flashFile},
                    &out);
  ASSERT_GT(pid, 0);
  const std::string url = ReadLine(out);
  EXPECT_THAT(url, ::testing::MatchesRegex("rfc2217://127\\.0\\.0\\.1:[1-9][0-9]*"));
  {
    test::RawTelnet host;
    ASSERT_TRUE(host.Open(url, 9600));
    ASSERT_EQ(host.Control(8), 8);  // DTR on, RTS released: the kernel
    ASSERT_TRUE(host.Write({0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x02, 0x11,
                            0xFF, 0x5A, 0x11, 0xA6, 0x57, 0x00}));
    for (int expected : {0x06, 0x11, 0x11, 0x06, 0x06}) EXPECT_EQ(host.Read(), expected);
  }
  test::RawTelnet next;
  ASSERT_TRUE(next.Open(url, 9600));
  ASSERT_EQ(next.Control(8), 8);
  ASSERT_TRUE(next.Write({0x57, 0x00}));
  EXPECT_EQ(next.Read(), 0x06) << "the first host's half command was lost with VPP";
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(out);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the board saw violations";
  std::ifstream in(flashFile, std::ios::binary);
  std::vector<char> flash((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(flash.size(), 0x8000u);
  EXPECT_EQ(static_cast<uint8_t>(flash[0x1000]), 0xFF);
  EXPECT_EQ(flash[0x1001], 0x5A);
  std::filesystem::remove(flashFile);
}

// Every --fault counts, in the order given.
TEST(SimExecutable, EachFaultOptionIsDone) {
  int out = -1;
  pid_t pid = Spawn({"--device", "TX-C30", "--state", "user", "--no-announce", "--fault",
                     "wrong=0x33:chunk-command:0", "--fault", "wrong=0x44:chunk-command:1"},
                    &out);
  ASSERT_GT(pid, 0);
  const std::string path = ReadLine(out);
  {
    RawPort port;
    ASSERT_TRUE(port.Open(path, {.rate = 9600}));
    for (int expected : {0x33, 0x44, 0x06}) {
      ASSERT_TRUE(port.Write({0x57, 0x00}));
      EXPECT_EQ(port.Read(), expected);
    }
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(out);
}

}  // namespace
}  // namespace quill
