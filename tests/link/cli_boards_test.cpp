// quill-cli on a production line: several simulated boards on real pseudo-terminals at once, one
// of them failing in each phase, Ctrl-C for all, the JSON records read back by a JSON parser, the
// --log file, progress lines in a pipe, and port selectors that match nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/wizard_state.h"
#include "link/results.h"
#include "kernels/sha256.h"
#include "resources/format.h"
#include "resources/fpcode.h"
#include "resources/strings.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using sim::FaultAction;
using sim::Step;

const std::string kCli = std::string(QUILL_BINARY_DIR) + "/cli/quill-cli";

// A row of boards of one device, each with its own faults.
struct Row {
  Row(const std::string& device, sim::BoardState state, std::vector<std::vector<sim::Fault>> faults,
      bool pace = false) {
    sheet = MakeSheet(device, 0, 8, "");
    for (auto& f : faults) {
      sim::BoardOptions options = BoardFor(sheet, state);
      options.faults = std::move(f);
      options.pace = pace;
      boards.push_back(StartBoard(options));
    }
  }
  std::vector<std::string> PortArgs() const {
    // The first port on its own, the others as a comma list.
    std::vector<std::string> args = {"--port", boards[0]->PortPath()};
    std::string list;
    for (std::size_t i = 1; i < boards.size(); ++i) list += (i > 1 ? "," : "") + boards[i]->PortPath();
    if (!list.empty()) args.insert(args.end(), {"-p", list});
    return args;
  }
  WizardState sheet;
  std::vector<std::unique_ptr<sim::SimBoard>> boards;
};

std::string ProgramFile() {
  std::vector<std::string> lines;
  for (uint32_t a = 0; a < 0x400; a += 32) lines.push_back(SRecord(3, a, Pattern(32, static_cast<uint8_t>(a))));
  return WriteProgramFile(lines);
}

struct PhaseCase {
  const char* name;
  const char* command;
  sim::BoardState state;
  std::vector<std::vector<sim::Fault>> faults;  // per board
  int status;                                    // the first failed board's, in port order
  std::vector<std::string> results;              // per board
};

class ParallelBoards : public ::testing::TestWithParam<PhaseCase> {};

// Each board fails or succeeds on its own; the records say which, field by field; the log keeps
// what it held and gains one line per board.
TEST_P(ParallelBoards, OneFailingBoardLeavesTheOthersAndIsReported) {
  const PhaseCase& c = GetParam();
  Row row("TX-A10", c.state, c.faults);
  const std::string file = ProgramFile();
  const std::string log = ::testing::TempDir() + "quill_boards_log_" + std::to_string(::getpid()) + c.name;
  { std::ofstream(log) << "{\"earlier\":true}\n"; }

  std::vector<std::string> args = {c.command, "-d", "tx-a10"};
  const std::vector<std::string> ports = row.PortArgs();
  args.insert(args.end(), ports.begin(), ports.end());
  if (std::string(c.command) == "boot") args.insert(args.end(), {"-c", "16MHz"});
  if (std::string(c.command) == "erase") args.insert(args.end(), {"--blocks", "SB0,LB1"});
  args.insert(args.end(), {"--json", "--log", log, "-q"});
  if (std::string(c.command) != "erase") args.push_back(file);
  CliProcess run(args);
  EXPECT_EQ(run.Wait(), c.status) << run.Err();

  const std::vector<std::string> out = Lines(run.Out());
  ASSERT_EQ(out.size(), row.boards.size()) << run.Out();
  std::map<std::string, json> byPort;
  for (const std::string& line : out) {
    const json record = json::parse(line);
    byPort[record.at("port").get<std::string>()] = record;
  }
  const std::vector<std::string> logLines = Lines(ReadAll(log));
  ASSERT_EQ(logLines.size(), 1 + row.boards.size());
  EXPECT_EQ(logLines[0], "{\"earlier\":true}");
  for (std::size_t i = 1; i < logLines.size(); ++i) {
    const json record = json::parse(logLines[i]);
    EXPECT_EQ(record, byPort.at(record.at("port").get<std::string>()));
  }

  const ClockRange& range = *row.sheet.m_pClockRange;
  for (std::size_t i = 0; i < row.boards.size(); ++i) {
    const std::string& port = row.boards[i]->PortPath();
    ASSERT_TRUE(byPort.count(port)) << port;
    const json& r = byPort[port];
    const bool ok = c.results[i] == "success";
    EXPECT_EQ(r.at("result"), c.results[i]) << port;
    EXPECT_EQ(r.at("operation"), c.command);
    EXPECT_EQ(r.at("device"), "TX-A10");
    EXPECT_TRUE(r.at("mode").is_null());
    EXPECT_TRUE(r.at("adapter_serial").is_null());
    EXPECT_EQ(r.at("rate"), 9600);
    EXPECT_EQ(r.at("exit_status"), ok ? 0 : r.at("error_kind").get<int>());
    EXPECT_EQ(r.at("message"), ok ? r.at("message").get<std::string>()
                                  : FormatErrorMessage(r.at("error_kind"), r.at("detail")));
    EXPECT_GE(r.at("seconds").get<double>(), 0.0);
    EXPECT_EQ(r.at("time").get<std::string>().size(), 24u);
    if (std::string(c.command) == "erase") {
      EXPECT_EQ(r.at("blocks"), json({"SB0", "LB1"}));
      EXPECT_TRUE(r.at("file").is_null());
    } else {
      EXPECT_EQ(r.at("file"), file);
      EXPECT_EQ(r.at("file_sha256"), Sha256OfFile(file));
      EXPECT_EQ(r.at("blocks"), json({"LB0"}));
      EXPECT_EQ(r.at("bytes_inside"), ok ? 0x400 : 0);
      EXPECT_EQ(r.at("bytes_outside"), 0);
    }
    if (std::string(c.command) == "boot") {
      EXPECT_EQ(r.at("clock_range"), ">= 16 MHz");
      EXPECT_EQ(r.at("kernel_id"), range.kernelId);
      EXPECT_EQ(r.at("kernel_sha256"), Sha256Hex(FindResource("FPCODE", range.kernelId)));
    } else {
      EXPECT_TRUE(r.at("kernel_id").is_null());
    }
    // The board that succeeded got everything; a failed one never corrupted another.
    if (ok && std::string(c.command) != "erase") {
      std::vector<uint8_t> flash = row.boards[i]->Flash();
      for (uint32_t a = 0; a < 0x400; a += 32) {
        const std::vector<uint8_t> expected = Pattern(32, static_cast<uint8_t>(a));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin() + a)) << port << " at " << a;
      }
    }
    EXPECT_TRUE(row.boards[i]->Errors().empty()) << port << ": " << row.boards[i]->Errors().front();
    // The texts for people went to standard error, each line after its port; the summary too.
    // The port column is as wide as the longest port: /dev/pts/9 beside /dev/pts/10 gets padding.
    const std::string row = "\n" + port + "  ";
    const std::size_t at = run.Err().find(row);
    ASSERT_NE(at, std::string::npos) << run.Err();
    const std::size_t result = run.Err().find_first_not_of(' ', at + row.size());
    EXPECT_EQ(run.Err().compare(result, ok ? 7 : 8, ok ? "success" : "failed ("), 0) << run.Err();
  }
}

const sim::Fault kBootEraseFails{Step::BootErase, FaultAction::Fail, 0};
const sim::Fault kChecksumFails{Step::ChunkChecksum, FaultAction::Fail, 3};
const sim::Fault kChunkCommandWrong{Step::ChunkCommand, FaultAction::WrongByte, 0};
const sim::Fault kEraseFails{Step::BlockErase, FaultAction::Fail, 0};

INSTANTIATE_TEST_SUITE_P(
    Phases, ParallelBoards,
    ::testing::Values(
        PhaseCase{"BootEraseAll", "boot", sim::BoardState::Boot, {{}, {kBootEraseFails}, {}},
                  ErrorBootEraseFailed, {"success", "boot_erase_failed", "success"}},
        PhaseCase{"ProgramChunk", "program", sim::BoardState::User, {{kChecksumFails}, {}, {}, {}},
                  ErrorFlashWriteChecksum, {"flash_write_checksum_error", "success", "success", "success"}},
        PhaseCase{"BlockErase", "erase", sim::BoardState::User, {{}, {}, {kEraseFails}},
                  ErrorBlockEraseFailed, {"success", "success", "block_erase_failed"}},
        // Two failures: the status is the first failed port's in the order given.
        PhaseCase{"FirstFailedPortDecides", "program", sim::BoardState::User,
                  {{}, {kChunkCommandWrong}, {kChecksumFails}},
                  ErrorInternal, {"success", "internal_error", "flash_write_checksum_error"}}),
    [](const ::testing::TestParamInfo<PhaseCase>& info) { return std::string(info.param.name); });

// Ctrl-C stops every board, each within about a second, each recorded as aborted.
TEST(ParallelBoardsAbort, InterruptAbortsEveryBoard) {
  const sim::Fault silent{Step::BlockErase, FaultAction::Silent, 0};
  Row row("TX-A10", sim::BoardState::User, {{silent}, {silent}, {silent}});
  std::vector<std::string> args = {"erase", "-d", "TX-A10", "--blocks", "LB0", "--json"};
  const std::vector<std::string> ports = row.PortArgs();
  args.insert(args.end(), ports.begin(), ports.end());
  CliProcess run(args);
  for (auto& board : row.boards) ASSERT_TRUE(board->WaitForReceived(6, 10s));
  const Clock::time_point begin = Clock::now();
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait(), ErrorUserAbort);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 2.5);
  const std::vector<std::string> out = Lines(run.Out());
  ASSERT_EQ(out.size(), 3u);
  for (const std::string& line : out) EXPECT_EQ(json::parse(line).at("result"), "user_abort") << line;
  for (auto& board : row.boards) {
    EXPECT_TRUE(Contains(run.Err(), board->PortPath() + ": " + LoadString(145))) << run.Err();
  }
}

// A port that does not open leads with its reason; the others run; the status is the port's.
TEST(ParallelBoardsPorts, APortThatDoesNotOpenFailsAloneAndLeadsWithItsReason) {
  Row row("TX-A10", sim::BoardState::User, {{}});
  CliProcess run({"erase", "-p", "/dev/quill-no-such-port," + row.boards[0]->PortPath(), "-d", "TX-A10",
           "--blocks", "SB1"});
  EXPECT_EQ(run.Wait(), ErrorInternal);
  const std::vector<std::string> err = Lines(run.Err());
  // Each port is opened by its own board's worker, so the other board's progress may come first;
  // the failed port's own lines are its reason, then its result.
  const auto reason = std::find(err.begin(), err.end(),
                                "/dev/quill-no-such-port: no such device; 'quill-cli ports' lists the serial ports");
  ASSERT_NE(reason, err.end()) << run.Err();
  ASSERT_NE(reason + 1, err.end()) << run.Err();
  EXPECT_EQ(reason[1], "/dev/quill-no-such-port: " + FormatErrorMessage(ErrorInternal, 254));
  EXPECT_TRUE(Contains(run.Out(), row.boards[0]->PortPath() + ": " + LoadString(142))) << run.Out();
  EXPECT_EQ(row.boards[0]->EraseCommands().size(), 1u);
}

// Usage errors and an unwritable log stop the run before any board hears a byte.
TEST(ParallelBoardsPorts, RefusedBeforeAnythingIsSent) {
  Row row("TX-A10", sim::BoardState::User, {{}});
  const std::string port = row.boards[0]->PortPath();
  const struct {
    std::vector<std::string> ports;
    int status;
    std::string says;
  } cases[] = {
      {{"-p", "serial:QUILL-NO-SUCH-SERIAL"}, 64, "--port 'serial:QUILL-NO-SUCH-SERIAL' matches no port"},
      {{"-p", "usb:12G4:1"}, 64, "usb:VID:PID or usb:VID:PID:SERIAL"},
      {{"-p", "usb:ffff:fffe"}, 64, "--port 'usb:ffff:fffe' matches no port"},
      {{"-p", port, "-p", port}, 64, port + " is given more than once"},
      {{"-p", port, "--log", "/nonexistent-quill-folder/log.jsonl"}, 73,
       "the log '/nonexistent-quill-folder/log.jsonl' cannot be written"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"erase", "-d", "TX-A10", "--blocks", "all"};
    args.insert(args.end(), c.ports.begin(), c.ports.end());
    CliProcess run(args);
    EXPECT_EQ(run.Wait(), c.status) << c.says;
    EXPECT_TRUE(Contains(run.Err(), c.says)) << run.Err();
  }
  EXPECT_TRUE(row.boards[0]->Received().empty());
}

// Off a terminal: a plain line at each phase change and every 10 %, no carriage returns; the
// environment gives the defaults and the command line wins.
TEST(ProgressOffATerminal, PlainLinesAtEachPhaseAndEveryTenPercent) {
  // The board takes its bytes' line time (about 1.5 s in all at 9600 bps), as a real one does:
  // an unpaced board can run through several steps before a loaded machine wakes quill-cli to
  // look, and a step nobody looked at has no line.
  Row row("TX-A10", sim::BoardState::User, {{}}, /*pace=*/true);
  ::setenv("QUILL_PORT", row.boards[0]->PortPath().c_str(), 1);
  ::setenv("QUILL_DEVICE", "TX-A10", 1);
  ::setenv("QUILL_BAUD", "1200", 1);  // not a user rate: the command line's -b must win
  CliProcess run({"program", "-b", "9600", ProgramFile()});
  const int status = run.Wait();
  ::unsetenv("QUILL_PORT");
  ::unsetenv("QUILL_DEVICE");
  ::unsetenv("QUILL_BAUD");
  EXPECT_EQ(status, 0) << run.Err();
  const std::string err = run.Err();
  EXPECT_FALSE(Contains(err, "\r"));
  const std::string erase = LoadString(107), program = LoadString(108);
  const std::vector<std::string> lines = Lines(err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), erase + " 0%");
  std::vector<int> programSteps;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.back(), '%') << line;
    if (line.rfind(program + " ", 0) == 0) programSteps.push_back(std::stoi(line.substr(program.size() + 1)));
  }
  ASSERT_GE(programSteps.size(), 10u) << err;
  EXPECT_EQ(programSteps.front(), 0);
  EXPECT_EQ(programSteps.back(), 100);
  for (std::size_t i = 1; i < programSteps.size(); ++i) {
    EXPECT_GT(programSteps[i] / 10, programSteps[i - 1] / 10) << "one line per 10 %";
  }
}

}  // namespace
}  // namespace quill::test
