// quill-cli boot, program and erase as a user runs them: the real program against a simulated
// board (quill-sim, or one in this process) over a pseudo-terminal, with its output and exit
// status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/wizard_state.h"
#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"
#include "sim/srec_line.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::FaultAction;
using sim::Step;

const std::string kCli = std::string(QUILL_BINARY_DIR) + "/cli/quill-cli";
const std::string kSim = std::string(QUILL_BINARY_DIR) + "/sim/quill-sim";

using Child = ChildProcess;

struct CliRun {
  int status;
  std::string out, err;
};

CliRun Cli(std::vector<std::string> args) {
  args.insert(args.begin(), kCli);
  Child child(args);
  const int status = child.Wait();
  return {status, child.Out(), child.Err()};
}

TEST(CliLink, BootAgainstQuillSimProgramsTheWindow) {
  const std::string flashOut = ::testing::TempDir() + "quill_cli_flash_" + std::to_string(::getpid());
  int lines[2];
  ASSERT_EQ(::pipe(lines), 0);
  const pid_t sim = ::fork();
  ASSERT_GE(sim, 0);
  if (sim == 0) {
    ::dup2(lines[1], STDOUT_FILENO);
    ::execl(kSim.c_str(), kSim.c_str(), "--device", "TX-C31", "--mode", "3", "--clock", "6",
            "--no-announce", "--flash-out", flashOut.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(lines[1]);
  std::string port;
  char c;
  while (::read(lines[0], &c, 1) == 1 && c != '\n') port += c;
  ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;

  WizardState sheet = MakeSheet("TX-C31", 1, 6, port);
  const std::vector<Record> records = {{0x0070, Pattern(32, 5)}, {0x1000, Pattern(64, 6)}};
  std::vector<std::string> text;
  for (const Record& r : records) text.push_back(SRecord(2, r.address, r.data));
  const std::string file = WriteProgramFile(text);
  const CliRun run = Cli({"boot", "--port", port, "--device", "TX-C31", "--mode", "Mode 3", "--clock",
                       "6", "--lowest", "80", "--quiet", file});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, LoadString(115) + "\n" + FormatString(167, {0x50u, 0x10u}) + "\n");
  EXPECT_TRUE(run.err.empty()) << run.err;

  ::kill(sim, SIGTERM);
  int status = 0;
  ::waitpid(sim, &status, 0);
  ::close(lines[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the board saw violations";
  sheet.m_dwLowest = 0x80;
  sheet.m_astrSelectedBlocks = {"SB1", "LB0"};
  const std::string flash = ReadAll(flashOut);
  const std::vector<uint8_t> expected = ExpectedFlash(sheet, records);
  EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.end()), expected);
}

class CliBoard : public ::testing::Test {
 protected:
  void Start(const std::string& device, std::vector<sim::Fault> faults = {}) {
    sheet = MakeSheet(device, 0, 0, "");
    sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
    options.faults = std::move(faults);
    board = StartBoard(options);
    sheet.m_strComPort = board->PortPath();
  }
  WizardState sheet;
  std::unique_ptr<sim::SimBoard> board;
};

TEST_F(CliBoard, ProgramErasesTheTouchedBlocksThenPrograms) {
  Start("TX-A10");
  const std::string file = WriteProgramFile({SRecord(3, 0x1F000, {1, 2, 3}), SRecord(3, 0x4000, {4})});
  const CliRun run = Cli({"program", "--port", board->PortPath(), "--device", "TX-A10", file});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, LoadString(120) + "\n" + FormatString(167, {4u, 0u}) + "\n");
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x4000, 0x1F000}));
  EXPECT_EQ(board->Chunks().size(), 2u);
}

TEST_F(CliBoard, ProgramWithBlocksAndNoEraseWritesOnlyThose) {
  Start("TX-A10");
  const std::string file = WriteProgramFile({SRecord(3, 0x1F000, {1, 2, 3}), SRecord(3, 0x4000, {4})});
  const CliRun run = Cli({"program", "--port", board->PortPath(), "--device", "TX-A10", "--no-erase",
                       "--blocks", "LB1", "--baud", "14400", file});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(board->EraseCommands().empty());
  ASSERT_EQ(board->Chunks().size(), 1u);
  EXPECT_EQ(board->Chunks()[0].address, 0x4000u);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// Several files of every format in one run: one erase of the blocks they touch together, then
// each file in order.
TEST_F(CliBoard, ProgramOfSeveralFilesWritesTheirMergedImage) {
  Start("TX-A10");
  const Record boot{0x0000, Pattern(40, 1)}, app{0x4000, Pattern(32, 2)}, cal{0x1F000, Pattern(20, 3)};
  const std::string bootFile = WriteProgramFile({SRecord(1, boot.address, boot.data)});
  const std::string appFile = WriteProgramFile({sim::MakeIntelHexLine(4, 0, {0, 0}),
                                                sim::MakeIntelHexLine(0, 0x4000, app.data),
                                                sim::MakeIntelHexLine(1, 0, {})});
  const std::string calFile = appFile + ".bin";
  std::ofstream(calFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(cal.data.data()), static_cast<std::streamsize>(cal.data.size()));
  const CliRun run = Cli({"program", "--port", board->PortPath(), "--device", "TX-A10", bootFile,
                          appFile, "--binary", "H'1F000", calFile});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, LoadString(120) + "\n" + FormatString(167, {92u, 0u}) + "\n");
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x0000, 0x4000, 0x1F000}));
  // The board starts erased: the whole flash is the merged image.
  for (int b = 0; b < sheet.Mode().blockCount; ++b) {
    sheet.m_astrSelectedBlocks.push_back(sheet.Mode().blocks[b].name);
  }
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, {boot, app, cal}));
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// Files that overlap are refused by boot and program before a single byte goes out.
TEST_F(CliBoard, OverlappingFilesAreRefusedBeforeAnythingIsSent) {
  Start("TX-A10");
  const std::string first = WriteProgramFile({SRecord(3, 0x100, Pattern(32, 1))});
  const std::string second = WriteProgramFile({sim::MakeIntelHexLine(0, 0x110, Pattern(4, 2))});
  const std::vector<std::vector<std::string>> runs = {
      {"program", "--port", board->PortPath(), "--device", "TX-A10", first, second},
      {"boot", "--port", board->PortPath(), "--device", "TX-A10", "--clock", "8", first, second}};
  for (const std::vector<std::string>& args : runs) {
    SCOPED_TRACE(args.front());
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, 65) << run.err;
    EXPECT_EQ(run.err, FormatString(StrId::FilesOverlap, {first, second, 0x110u}) + "\n");
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_TRUE(board->Received().empty()) << "nothing was sent";
}

TEST_F(CliBoard, EraseSendsTheBlocksInMapOrder) {
  Start("TX-A10");
  const CliRun run = Cli({"erase", "--port", board->PortPath(), "--device", "TX-A10", "--blocks", "SB0,LB1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, LoadString(142) + "\n");
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x4000, 0x1F000}));
}

// Opening a local port asks the driver for low latency and gives the flag back at the close; a
// driver without the flag (a pseudo-terminal) refuses the request, which is no error. The calls
// are seen by a library preloaded into quill-cli.
TEST_F(CliBoard, TheOpenAsksForLowLatencyAndARefusalIsNoError) {
  Start("TX-A10");
  for (const bool accept : {true, false}) {
    SCOPED_TRACE(accept ? "a driver with the flag" : "a driver without it");
    const std::string log = ::testing::TempDir() + "quill_shim_" + std::to_string(::getpid()) +
                            (accept ? ".accept" : ".refuse");
    std::remove(log.c_str());
    ChildProcess run({"/usr/bin/env", std::string("LD_PRELOAD=") + QUILL_SERIAL_SHIM,
                      "QUILL_SHIM_LOG=" + log, accept ? "QUILL_SHIM_SERIAL=accept" : "QUILL_SHIM_SERIAL=",
                      std::string(QUILL_BINARY_DIR) + "/cli/quill-cli", "erase", "-p",
                      board->PortPath(), "-d", "TX-A10", "--blocks", "LB0", "-q"});
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    std::vector<std::string> calls;
    for (const std::string& line : Lines(ReadAll(log))) {
      if (line.find("SERIAL") != std::string::npos) calls.push_back(line);
    }
    const std::vector<std::string> expected =
        accept ? std::vector<std::string>{"TIOCGSERIAL", "TIOCSSERIAL low_latency=1", "TIOCGSERIAL",
                                          "TIOCSSERIAL low_latency=0"}
               : std::vector<std::string>{"TIOCGSERIAL"};
    EXPECT_EQ(calls, expected);
  }
}

// Automatic Mode on a local port whose driver drives the modem lines: the lines in order (VPP
// off, Mode User, VPP on; after the erase VPP off, Mode released), HUPCL on so the system drops
// them should the program die, and the port left at rate 0 so its next open raises none.
TEST_F(CliBoard, AutomaticModeDrivesTheModemLinesInOrderAndLeavesThemDropped) {
  Start("TX-A10");
  const std::string log = ::testing::TempDir() + "quill_shim_lines_" + std::to_string(::getpid());
  std::remove(log.c_str());
  ChildProcess run({"/usr/bin/env", std::string("LD_PRELOAD=") + QUILL_SERIAL_SHIM,
                    "QUILL_SHIM_LOG=" + log, "QUILL_SHIM_SERIAL=accept",
                    std::string(QUILL_BINARY_DIR) + "/cli/quill-cli", "erase", "-p",
                    board->PortPath(), "-d", "TX-A10", "--blocks", "LB0", "-q", "--automatic",
                    "--line-delay", "10"});
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  std::vector<std::string> calls;
  for (const std::string& line : Lines(ReadAll(log))) {
    if (line.rfind("TIOCM", 0) == 0 || line.rfind("TCSETS2", 0) == 0) calls.push_back(line);
  }
  const std::vector<std::string> expected = {
      "TCSETS2 hupcl=0 rate=9600",    // the line set up
      "TIOCMBIC dtr=1 rts=1",         // both released as the port opens
      "TCSETS2 hupcl=1 rate=9600",    // the system drops them if the program dies
      "TIOCMBIC dtr=1 rts=0",         // VPP off
      "TIOCMBIC dtr=0 rts=1",         // Mode User
      "TIOCMBIS dtr=1 rts=0",         // VPP on
      "TIOCMBIC dtr=1 rts=0",         // VPP off
      "TIOCMBIC dtr=0 rts=1",         // Mode released
      "TCSETS2 hupcl=1 rate=0",       // closed at rate 0
  };
  EXPECT_EQ(calls, expected);
}

TEST_F(CliBoard, FailureExitsWithItsErrorKindAndMessage) {
  Start("TX-C30", {{Step::ChunkChecksum, FaultAction::Fail, 0}});
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, {1})});
  // --quiet: off a terminal the progress lines would come before the message.
  const CliRun run = Cli({"program", "--port", board->PortPath(), "--device", "TX-C30", "--quiet", file});
  EXPECT_EQ(run.status, ErrorFlashWriteChecksum);
  EXPECT_EQ(run.err, FormatErrorMessage(ErrorFlashWriteChecksum, 0x100) + "\n");
  EXPECT_TRUE(run.out.empty());
}

TEST_F(CliBoard, TraceShowsBothDirectionsAndTimeouts) {
  Start("TX-C30", {{Step::ChunkChecksum, FaultAction::Silent, 0}});
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, {0xAB})});
  const CliRun run = Cli({"program", "--port", board->PortPath(), "--device", "TX-C30", "--no-erase",
                       "--trace", file});
  EXPECT_EQ(run.status, ErrorFlashWriteTimeout);
  EXPECT_TRUE(Contains(run.err, " ms > 57 00\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, " ms < 06\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, " ms > 00 00 01 00 00 00 00 01\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, " ms > 54\n")) << run.err;  // the checksum of 0xAB
  EXPECT_TRUE(Contains(run.err, " ms < (read timeout, 1000 ms)\n")) << run.err;
}

// Ctrl-C aborts as the Abort button does: within about a second, with the abort message.
TEST_F(CliBoard, InterruptAbortsTheOperation) {
  Start("TX-A10", {{Step::BlockErase, FaultAction::Silent}});
  // --quiet: off a terminal the progress lines would come before the message.
  Child child({kCli, "erase", "--port", board->PortPath(), "--device", "TX-A10", "--blocks", "LB0",
               "--quiet"});
  ASSERT_TRUE(board->WaitForReceived(6, 10s));
  ASSERT_TRUE(board->WaitUntilIdle(5s));
  const Clock::time_point begin = Clock::now();
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), ErrorUserAbort);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 1.5);
  EXPECT_EQ(child.Err(), LoadString(145) + "\n");
}

TEST_F(CliBoard, FilesThatFailTheCheckAreNotSent) {
  Start("TX-C30");
  const std::string bad = WriteProgramFile({SRecord(1, 0x0100, {1}), "not a record"});
  EXPECT_EQ(Cli({"program", "--port", board->PortPath(), "--device", "TX-C30", bad}).status, 65);
  const std::string outside = WriteProgramFile({SRecord(3, 0x100000, {1})});
  // Nothing inside the window: the tool goes on with a warning and programs nothing.
  const CliRun empty = Cli({"program", "--port", board->PortPath(), "--device", "TX-C30", outside});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_TRUE(Contains(empty.err, "warning: ")) << empty.err;
  EXPECT_EQ(board->Chunks().size(), 0u);
  const CliRun missing = Cli({"program", "--port", board->PortPath(), "--device", "TX-C30",
                           ::testing::TempDir() + "quill_none.mot"});
  EXPECT_EQ(missing.status, 66);
  EXPECT_TRUE(Contains(missing.err, "quill_none.mot")) << missing.err;
  EXPECT_TRUE(board->Chunks().empty());
}

TEST_F(CliBoard, UsageErrorsAndPortFailures) {
  Start("TX-C30");
  const std::string file = WriteProgramFile({SRecord(1, 0x0100, {1})});
  const std::string port = board->PortPath();
  // Clock range 0 permits 2400 bps only.
  CliRun run = Cli({"boot", "--port", port, "--device", "TX-C30", "--clock", "0", "--baud", "9600", file});
  EXPECT_EQ(run.status, 64);
  EXPECT_TRUE(Contains(run.err, "--baud")) << run.err;
  run = Cli({"boot", "--port", port, "--device", "TX-C30", "--clock", "9", file});
  EXPECT_EQ(run.status, 64);
  run = Cli({"erase", "--port", port, "--device", "TX-C30", "--blocks", "LB0,LB9"});
  EXPECT_EQ(run.status, 64);
  EXPECT_TRUE(Contains(run.err, "LB9")) << run.err;
  run = Cli({"program", "--port", port, "--device", "TX-C30", "--baud", "1200", file});
  EXPECT_EQ(run.status, 64);
  run = Cli({"erase", "--device", "TX-C30", "--blocks", "all"});
  EXPECT_EQ(run.status, 64);
  EXPECT_TRUE(board->Received().empty());

  run = Cli({"erase", "--port", "/dev/quill-no-such-port", "--device", "TX-C30", "--blocks", "all"});
  EXPECT_EQ(run.status, ErrorInternal);
  // The reason and what to do first; the result's message follows on a line of its own.
  EXPECT_EQ(run.err, "/dev/quill-no-such-port: no such device; 'quill-cli ports' lists the serial "
                     "ports\n" + FormatErrorMessage(ErrorInternal, 254) + "\n");
}

// The reason comes from the failed open itself: a port another program holds is told as busy.
TEST_F(CliBoard, APortInUseIsToldAsBusy) {
  Start("TX-C30");
  CSerialPort holder;
  ASSERT_EQ(holder.Open(board->PortPath(), 9600), 0u);
  const CliRun run =
      Cli({"erase", "--port", board->PortPath(), "--device", "TX-C30", "--blocks", "all"});
  EXPECT_EQ(run.status, ErrorInternal);
  EXPECT_EQ(run.err, board->PortPath() + ": in use by another program; end it, or choose another "
                     "port ('quill-cli ports' lists them)\n" +
                     FormatErrorMessage(ErrorInternal, 254) + "\n");
  EXPECT_TRUE(board->Received().empty());
}

// quill-cli ports tells a simulated board's port free, then in use by the process that holds it
// (one that takes no lock, as a terminal program may), in text and in JSON; it never opens it.
TEST(CliPorts, ABoardsPortIsFreeThenInUseByItsHolderAndNeverOpened) {
  const std::string runtime = ::testing::TempDir() + "quill_cli_ports_" + std::to_string(::getpid());
  std::filesystem::remove_all(runtime);
  std::filesystem::create_directories(runtime);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  sim::BoardOptions options;
  options.state = sim::BoardState::User;
  options.announce = true;
  options.announceName = "bench-1";
  auto board = StartBoard(options);
  const std::string link = board->AnnouncePath();
  auto listed = [&link](const std::string& access, const std::string& reason) {
    const CliRun text = Cli({"ports"});
    EXPECT_EQ(text.status, 0) << text.err;
    std::istringstream lines(text.out);
    std::string line, found;
    while (std::getline(lines, line))
      if (line.rfind(link + "  ", 0) == 0) found = line;
    EXPECT_EQ(found, link + "  simulated TX-A10, >= 1 MHz, < 2 MHz, " +
                         (reason.empty() ? access : access + ": " + reason));
    const CliRun json = Cli({"ports", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const nlohmann::json document = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(document.contains("ports")) << json.out;
    for (const auto& port : document["ports"]) {
      if (port["path"] != link) continue;
      EXPECT_EQ(port["access"], access);
      EXPECT_EQ(port["reason"], reason.empty() ? nlohmann::json(nullptr) : nlohmann::json(reason));
      EXPECT_EQ(port.at("latency_ms"), nullptr);  // a pseudo-terminal has no latency timer
      return;
    }
    ADD_FAILURE() << link << " is not listed: " << json.out;
  };
  {
    NodeWatch watch(board->PortPath());
    listed("free", "");
    EXPECT_EQ(watch.Events(), 0) << "quill-cli ports opened the port";
  }
  PortHolder holder(link, "terminal");
  NodeWatch watch(board->PortPath());
  listed("busy", "in use by " + std::to_string(holder.Pid()) + " (terminal)");
  EXPECT_EQ(watch.Events(), 0) << "quill-cli ports opened the port";
  EXPECT_TRUE(board->Received().empty());
  board->Stop();
  ::unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::remove_all(runtime);
}

}  // namespace
}  // namespace quill::test
