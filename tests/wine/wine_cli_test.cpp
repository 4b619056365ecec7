// quill-cli.exe, the Windows build, under wine against the simulated board: the board's
// pseudo-terminal is COM5 of a wine prefix made for this run (dosdevices/com5 links to it). Each
// operation also runs through the Linux build against a board in the same state, and the two
// must agree: exit status, standard output, the messages, and every byte of the --trace lines
// (time stamps aside). The Windows program writes its line ends as CR LF; those are compared as
// line ends.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"
#include "tests/link/link_support.h"

extern char** environ;

namespace quill::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using sim::FaultAction;
using sim::Step;

const std::string kNativeCli = std::string(QUILL_BINARY_DIR) + "/cli/quill-cli";
const std::string kWindowsCli = QUILL_WINDOWS_CLI;
const std::string kWine = QUILL_WINE;
constexpr const char* kComPort = "COM5";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The wine prefix of this run, made at the start and removed with its wine server at the end.
class WinePrefix : public ::testing::Environment {
 public:
  static const std::string& Path() { return path_; }

  void SetUp() override {
    path_ = ::testing::TempDir() + "quill_wine_" + std::to_string(::getpid());
    fs::remove_all(path_);
    fs::create_directories(path_);
    ::setenv("WINEPREFIX", path_.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    // No desktop integration or Mono/Gecko installers for a prefix that only runs a console
    // program.
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=d", 1);
    // The server stays up between the programs of the run instead of starting for each.
    ASSERT_EQ(std::system("wineserver -p >/dev/null 2>&1"), 0) << "wineserver did not start";
    const std::string boot = "'" + kWine + "' wineboot -i >/dev/null 2>&1";
    ASSERT_EQ(std::system(boot.c_str()), 0) << "wineboot failed";
    InstallKernelSet();
  }

  // The user's kernel store of the prefix, %LOCALAPPDATA%\Quill\fpcode.
  static fs::path KernelStore() {
    for (const auto& user : fs::directory_iterator(fs::path(path_) / "drive_c" / "users")) {
      if (user.path().filename() != "Public") return user.path() / "AppData/Local/Quill/fpcode";
    }
    return {};
  }

  // The kernel set a user installs, one <id>.bin a kernel: here the images the simulated board
  // expects, the same bytes the Linux build sends to it from its stand-ins.
  static void InstallKernelSet() {
    const fs::path store = KernelStore();
    ASSERT_FALSE(store.empty()) << "no user folder in the prefix";
    fs::create_directories(store);
    int count = 0;
    for (const auto& entry : fs::directory_iterator(QUILL_SOURCE_DIR "/resources/fpcode")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("fpcode_", 0) != 0 || entry.path().extension() != ".bin") continue;
      fs::copy_file(entry.path(), store / name.substr(7), fs::copy_options::overwrite_existing);
      ++count;
    }
    ASSERT_EQ(count, 36);
  }

  void TearDown() override {
    (void)std::system("wineserver -k >/dev/null 2>&1");
    fs::remove_all(path_);
  }

 private:
  static inline std::string path_;
};

// Points COMn of the prefix at a board's pseudo-terminal.
void MapComPort(const std::string& com, const std::string& pty) {
  std::string name = com;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const fs::path link = fs::path(WinePrefix::Path()) / "dosdevices" / name;
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_symlink(pty, link);
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A program with standard output and error going to files, standard input from /dev/null.
class Process {
 public:
  explicit Process(std::vector<std::string> argv) {
    static int counter = 0;
    const std::string base = ::testing::TempDir() + "quill_wine_" + std::to_string(::getpid()) +
                             "_" + std::to_string(counter++);
    out_ = base + ".out";
    err_ = base + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  // The exit status, or -signal.
  Outcome Wait() {
    Outcome run;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    run.out = ReadFile(out_);
    run.err = ReadFile(err_);
    std::remove(out_.c_str());
    std::remove(err_.c_str());
    return run;
  }
  void Interrupt() { ::kill(pid_, SIGINT); }

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

// Text as the Linux build writes it: CR LF line ends become LF.
std::string Unix(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// The --trace lines without their time stamps, the other lines as they are.
std::string WithoutTimeStamps(const std::string& err) {
  static const std::regex stamp("(^|\n) *[0-9]+ ms ");
  return std::regex_replace(err, stamp, "$1");
}

Process StartWindows(std::vector<std::string> args) {
  args.insert(args.begin(), {kWine, kWindowsCli});
  return Process(args);
}

Outcome Windows(const std::vector<std::string>& args) {
  Outcome run = StartWindows(args).Wait();
  run.out = Unix(run.out);
  run.err = Unix(run.err);
  return run;
}

Outcome Native(std::vector<std::string> args) {
  args.insert(args.begin(), kNativeCli);
  return Process(args).Wait();
}

// The arguments with every "PORT" replaced by port.
std::vector<std::string> OnPort(std::vector<std::string> args, const std::string& port) {
  for (std::string& a : args) {
    if (a == "PORT") a = port;
  }
  return args;
}

struct Compared {
  Outcome native, windows;
  std::unique_ptr<sim::SimBoard> nativeBoard, windowsBoard;
};

// Runs args (with PORT for the port) through both builds, each against its own board started
// from options, and checks that both say the same.
// Both builds run with --quiet: which progress steps a run's main thread sees depends on timing
// (a fast board can finish before the first look), so progress lines are not compared.
Compared RunBoth(const sim::BoardOptions& options, std::vector<std::string> args) {
  args.push_back("--quiet");
  Compared c;
  c.nativeBoard = StartBoard(options);
  c.native = Native(OnPort(args, c.nativeBoard->PortPath()));
  c.windowsBoard = StartBoard(options);
  MapComPort(kComPort, c.windowsBoard->PortPath());
  c.windows = Windows(OnPort(args, kComPort));
  EXPECT_EQ(c.windows.status, c.native.status) << c.windows.err;
  EXPECT_EQ(c.windows.out, c.native.out);
  EXPECT_EQ(WithoutTimeStamps(c.windows.err), WithoutTimeStamps(c.native.err));
  EXPECT_EQ(c.windowsBoard->Received(), c.nativeBoard->Received()) << "bytes on the line";
  EXPECT_EQ(c.windowsBoard->Errors(), c.nativeBoard->Errors());
  return c;
}

sim::BoardOptions Board(const std::string& device, int mode, int clock, sim::BoardState state,
                        std::vector<sim::Fault> faults = {}) {
  sim::BoardOptions options = BoardFor(MakeSheet(device, mode, clock, ""), state);
  options.faults = std::move(faults);
  return options;
}

std::string Counts(uint32_t programmed, uint32_t skipped) {
  return FormatString(167, {programmed, skipped}) + "\n";
}

// A boot of every device and mode with the installed kernel set: the kernel download, the
// erase-all and the programming, byte for byte as the Linux build does them.
TEST(WineCli, BootOfEveryDeviceAndMode) {
  struct Case {
    const char* device;
    int mode;
    const char* modeArg;
    int clock;
  };
  const Case cases[] = {{"TX-A10", 0, nullptr, 8}, {"TX-C30", 0, nullptr, 3},
                        {"TX-C31", 0, "2", 6},     {"TX-C31", 1, "3", 0}};
  const std::string file =
      WriteProgramFile({SRecord(1, 0x0100, Pattern(48, 1)), SRecord(1, 0x4000, Pattern(16, 2))});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " mode " + std::to_string(c.mode));
    std::vector<std::string> args = {"boot", "--port", "PORT", "--device", c.device, "--clock",
                                     std::to_string(c.clock), "--trace", file};
    if (c.modeArg) args.insert(args.end() - 1, {"--mode", c.modeArg});
    const Compared run = RunBoth(Board(c.device, c.mode, c.clock, sim::BoardState::Boot), args);
    EXPECT_EQ(run.windows.status, 0) << run.windows.err;
    EXPECT_EQ(run.windows.out, LoadString(115) + "\n" + Counts(64, 0));
    EXPECT_EQ(run.windowsBoard->BootCount(), 1);
    EXPECT_EQ(run.windowsBoard->Flash(), run.nativeBoard->Flash());
  }
}

// The Windows program carries no stand-in kernels and cannot tell a simulated board's port from
// a real one: without an installed kernel a boot is refused before anything is sent.
TEST(WineCli, BootWithoutAnInstalledKernelIsRefused) {
  const fs::path store = WinePrefix::KernelStore();
  const fs::path aside = store.string() + ".aside";
  fs::rename(store, aside);
  auto board = StartBoard(Board("TX-C30", 0, 3, sim::BoardState::Boot));
  MapComPort(kComPort, board->PortPath());
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, Pattern(16, 1))});
  const Outcome run =
      Windows({"boot", "--port", kComPort, "--device", "TX-C30", "--clock", "3", file});
  fs::rename(aside, store);
  EXPECT_EQ(run.status, 78) << run.err;
  EXPECT_NE(run.err.find("kernels import"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(board->Received().empty()) << "nothing may reach the line";
}

// User mode at every rate the port takes under wine, with and without erasing, and erase.
TEST(WineCli, ProgramAndEraseInUserMode) {
  const std::string file =
      WriteProgramFile({SRecord(3, 0x1F000, {1, 2, 3}), SRecord(3, 0x4000, Pattern(40, 9))});
  const sim::BoardOptions user = Board("TX-A10", 0, 0, sim::BoardState::User);
  for (int i = 0; i < GetUserDataRateCount(); ++i) {
    const std::string rate = std::to_string(GetUserDataRate(i));
    // Wine cannot set 14400 bps on a pseudo-terminal: it reads back 38400, and the port refuses
    // a rate the driver did not take. Every other rate runs.
    if (rate == "14400") continue;
    SCOPED_TRACE(rate);
    const Compared run =
        RunBoth(user, {"program", "--port", "PORT", "--device", "TX-A10", "--baud", rate, file});
    EXPECT_EQ(run.windows.status, 0) << run.windows.err;
    EXPECT_EQ(run.windows.out, LoadString(120) + "\n" + Counts(43, 0));
    ASSERT_EQ(run.windowsBoard->EraseCommands().size(), 1u);
    EXPECT_EQ(run.windowsBoard->EraseCommands()[0].starts, (std::vector<uint32_t>{0x4000, 0x1F000}));
  }

  Compared run = RunBoth(user, {"program", "--port", "PORT", "--device", "TX-A10", "--no-erase",
                                "--blocks", "LB1", "--trace", file});
  EXPECT_EQ(run.windows.status, 0) << run.windows.err;
  EXPECT_TRUE(run.windowsBoard->EraseCommands().empty());
  ASSERT_EQ(run.windowsBoard->Chunks().size(), 1u);
  EXPECT_EQ(run.windowsBoard->Chunks()[0].address, 0x4000u);

  run = RunBoth(user, {"erase", "--port", "PORT", "--device", "TX-A10", "--blocks", "SB0,LB1",
                       "--trace"});
  EXPECT_EQ(run.windows.status, 0) << run.windows.err;
  EXPECT_EQ(run.windows.out, LoadString(142) + "\n");
  ASSERT_EQ(run.windowsBoard->EraseCommands().size(), 1u);
  EXPECT_EQ(run.windowsBoard->EraseCommands()[0].starts, (std::vector<uint32_t>{0x4000, 0x1F000}));
}

// The board's faults end with the same status, message and trace as on Linux.
TEST(WineCli, FaultsOfTheBoard) {
  struct Case {
    const char* name;
    sim::BoardState state;
    sim::Fault fault;
    int status;
  };
  const Case cases[] = {
      {"silent checksum reply", sim::BoardState::User, {Step::ChunkChecksum, FaultAction::Silent, 0},
       ErrorFlashWriteTimeout},
      {"checksum refused", sim::BoardState::User, {Step::ChunkChecksum, FaultAction::Fail, 0},
       ErrorFlashWriteChecksum},
      {"wrong command reply", sim::BoardState::User, {Step::ChunkCommand, FaultAction::WrongByte, 0},
       ErrorInternal},
      {"block erase failed", sim::BoardState::User, {Step::BlockErase, FaultAction::Fail, 0},
       ErrorBlockEraseFailed},
      {"hang-up in the data", sim::BoardState::User, {Step::ChunkData, FaultAction::HangUp, 0},
       ErrorFlashWriteTimeout},
      {"wrong echo", sim::BoardState::Boot, {Step::Echo, FaultAction::WrongByte, 2},
       ErrorBootLoadEcho},
      {"erase-all failed", sim::BoardState::Boot, {Step::BootErase, FaultAction::Fail, 0},
       ErrorBootEraseFailed},
      {"hang-up in the download", sim::BoardState::Boot, {Step::Echo, FaultAction::HangUp, 40},
       ErrorBootLoadTimeout},
  };
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, Pattern(20, 3))});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool boot = c.state == sim::BoardState::Boot;
    std::vector<std::string> args = {boot ? "boot" : "program", "--port", "PORT", "--device",
                                     "TX-C30", "--trace", file};
    if (boot) args.insert(args.end() - 1, {"--clock", "8"});
    const Compared run = RunBoth(Board("TX-C30", 0, 8, c.state, {c.fault}), args);
    EXPECT_EQ(run.windows.status, c.status) << run.windows.err;
    EXPECT_EQ(run.windows.out, "");
  }
}

// Ctrl-C aborts as the Abort button does: within about a second, with the abort message.
TEST(WineCli, CtrlCAbortsTheOperation) {
  auto board =
      StartBoard(Board("TX-A10", 0, 0, sim::BoardState::User, {{Step::BlockErase, FaultAction::Silent}}));
  MapComPort(kComPort, board->PortPath());
  Process cli = StartWindows(
      {"erase", "--port", kComPort, "--device", "TX-A10", "--blocks", "LB0", "--quiet"});
  ASSERT_TRUE(board->WaitForReceived(6, 30s));
  ASSERT_TRUE(board->WaitUntilIdle(5s));
  const Clock::time_point begin = Clock::now();
  cli.Interrupt();
  const Outcome run = cli.Wait();
  EXPECT_EQ(run.status, ErrorUserAbort);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 1.5);
  EXPECT_EQ(Unix(run.err), LoadString(145) + "\n");
}

// Automatic Mode on COM5, which wine maps to a pseudo-terminal: wine's comm channel shows each
// EscapeCommFunction as its IOCTL_SERIAL_* request. The port's open releases DTR and RTS (wine
// ignores the failure there), the first switching (VPP off, CLRDTR) fails as a pseudo-terminal
// has no modem lines, and the run is refused with 13 before a byte is sent; the close releases
// both lines again.
TEST(WineCli, AutomaticModeEscapesTheLinesAndAPortWithoutThemIsRefused) {
  auto board = StartBoard(Board("TX-A10", 0, 0, sim::BoardState::User));
  MapComPort(kComPort, board->PortPath());
  ::setenv("WINEDEBUG", "+comm", 1);
  Process cli = StartWindows({"erase", "--port", kComPort, "--device", "TX-A10", "--blocks", "LB0",
                              "--automatic", "--quiet"});
  ::setenv("WINEDEBUG", "-all", 1);
  const Outcome run = cli.Wait();
  EXPECT_EQ(run.status, ErrorInternal);
  EXPECT_NE(run.err.find("COM5 cannot drive DTR"), std::string::npos) << run.err;
  std::vector<std::string> lines;
  static const std::regex request("IOCTL_SERIAL_((SET|CLR)_(DTR|RTS))");
  for (auto it = std::sregex_iterator(run.err.begin(), run.err.end(), request);
       it != std::sregex_iterator(); ++it) {
    lines.push_back((*it)[1]);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"CLR_DTR", "CLR_RTS", "CLR_DTR", "CLR_DTR", "CLR_RTS"}))
      << run.err;
  EXPECT_TRUE(board->Received().empty()) << "nothing may reach the line";
}

// A port that does not exist: the reason with the ports there are, then message 254.
TEST(WineCli, PortThatDoesNotExist) {
  const Outcome run = Windows({"erase", "--port", "COM17", "--device", "TX-C30", "--blocks", "all"});
  EXPECT_EQ(run.status, ErrorInternal);
  const std::string reason = "COM17: no such port; the serial ports present: ";
  ASSERT_EQ(run.err.rfind(reason, 0), 0u) << run.err;
  EXPECT_NE(Unix(run.err).find("\n" + FormatErrorMessage(ErrorInternal, 254) + "\n"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
}

// The record store of the Windows build: SQLite files, with the spool and the local counters in
// %LOCALAPPDATA%\Quill; a PostgreSQL store is refused before the port is opened.
TEST(WineCli, RecordsAndPerBoardValuesInSqlite) {
  const fs::path dir = ::testing::TempDir() + "quill_wine_records_" + std::to_string(::getpid());
  fs::create_directories(dir);
  std::string store = "sqlite:Z:" + (dir / "line.sqlite").string();  // Z: is the Linux root
  std::replace(store.begin(), store.end(), '/', '\\');
  const std::string file = WriteProgramFile({SRecord(3, 0x0100, Pattern(32, 1))});
  // One board, one process; the value's bytes in its flash.
  auto program = [&](std::vector<std::string> args) {
    auto board = StartBoard(Board("TX-A10", 0, 0, sim::BoardState::User));
    MapComPort(kComPort, board->PortPath());
    args.insert(args.begin(), {"program", "--port", kComPort, "--device", "TX-A10", "--quiet", "--value",
                               "0x3FF0:u32le", "--value-from", "0x1000:3", file});
    EXPECT_EQ(Windows(args).status, 0);
    const std::vector<uint8_t> flash = board->Flash();
    return std::vector<uint8_t>(flash.begin() + 0x3FF0, flash.begin() + 0x3FF4);
  };
  EXPECT_EQ(program({"--records", store, "--station", "line-3"}), (std::vector<uint8_t>{0x00, 0x10, 0, 0}));
  EXPECT_EQ(program({"--records", store, "--station", "line-3"}), (std::vector<uint8_t>{0x03, 0x10, 0, 0}));
  // Without --records: the counter of the local values.sqlite, beside the spool.
  EXPECT_EQ(program({}), (std::vector<uint8_t>{0x00, 0x10, 0, 0}));
  const fs::path data = WinePrefix::KernelStore().parent_path();
  EXPECT_TRUE(fs::exists(data / "values.sqlite") && fs::exists(data / "spool.sqlite"));
  const Outcome listed = Windows({"records", "--records", store, "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::istringstream lines(listed.out);
  std::vector<std::string> values;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json record = nlohmann::json::parse(line);
    EXPECT_EQ(record.at("station"), "line-3");
    EXPECT_EQ(record.at("result"), "success");
    values.push_back(record.at("value"));
  }
  EXPECT_EQ(values, (std::vector<std::string>{"4099", "4096"})) << "newest first";
  EXPECT_EQ(Windows({"records", "flush"}).status, 0) << "nothing waits in the spool";
  fs::remove_all(dir);
  for (const char* url : {"postgresql://quill@db.lab/factory", "host=db.lab dbname=factory"}) {
    const Outcome refused =
        Windows({"erase", "--port", "COM17", "--device", "TX-A10", "--blocks", "all", "--records", url});
    EXPECT_EQ(refused.status, 64);
    EXPECT_NE(refused.err.find("--records: PostgreSQL is not in this build; accepted: sqlite:PATH"),
              std::string::npos) << refused.err;
  }
}

// What does not touch a port is the same as on Linux too.
TEST(WineCli, DevicesCheckAndUsageErrors) {
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, Pattern(20, 3))});
  const std::vector<std::vector<std::string>> commands = {
      {"devices"},
      {"--version"},
      {"check", "--device", "TX-C30", "--lowest", "104", file},
      {"boot", "--port", "COM5", "--device", "TX-C30", "--clock", "0", "--baud", "9600", file},
      {"erase", "--port", "COM5", "--device", "TX-C30", "--blocks", "LB0,LB9"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.front());
    const Outcome native = Native(args);
    const Outcome windows = Windows(args);
    EXPECT_EQ(windows.status, native.status);
    EXPECT_EQ(windows.out, native.out);
    EXPECT_EQ(windows.err, native.err);
  }
}

}  // namespace
}  // namespace quill::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quill::test::WinePrefix);
  return RUN_ALL_TESTS();
}
