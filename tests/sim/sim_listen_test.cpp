// The simulated board served over TCP with the Telnet Com Port Control Option: the client's
// requests confirmed and carried out, one host at a time, and the control lines as the adapter
// board's VPP and Mode switches; the line map they are read from.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/control_lines.h"
#include "sim/sim_board.h"
#include "tests/sim/raw_port.h"

namespace quill {
namespace {

using sim::BoardOptions;
using sim::BoardState;
using sim::SimBoard;
using test::RawTelnet;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int kTxC30 = 1;
constexpr uint8_t kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;
constexpr uint8_t kSyncReply = 0x3C;  // tells the boot ROM's answer from the kernel's 0x06

std::unique_ptr<SimBoard> Listening(const char* map, BoardState state = BoardState::User) {
  BoardOptions o;
  o.device = kTxC30;  // clock range 0: boot rate 2400
  o.state = state;
  o.syncReply = kSyncReply;
  o.listen = sim::ListenAddress{"127.0.0.1", 0};
  if (map) {
    LineMap lines;
    std::string error;
    EXPECT_TRUE(ParseLineMap(map, &lines, &error)) << error;
    o.lines = lines;
  }
  auto board = std::make_unique<SimBoard>(o);
  std::string error;
  EXPECT_TRUE(board->Start(&error)) << error;
  return board;
}

TEST(LineMapText, ReadsWhatIsAcceptedAndSaysWhatIsNot) {
  const LineMap standard{ControlLine::Dtr, ControlLine::Rts, false};
  struct Good {
    const char* text;
    LineMap map;
  };
  for (const Good& g : {Good{"vpp=dtr,mode=rts", standard},
                        Good{" MODE = !RTS , vpp=DTR ", {ControlLine::Dtr, ControlLine::Rts, true}},
                        Good{"vpp=rts,mode=!dtr", {ControlLine::Rts, ControlLine::Dtr, true}},
                        // The switch left out takes the line the other one leaves.
                        Good{"mode=!rts", {ControlLine::Dtr, ControlLine::Rts, true}},
                        Good{"vpp=rts", {ControlLine::Rts, ControlLine::Dtr, false}}}) {
    LineMap map;
    std::string error;
    EXPECT_TRUE(ParseLineMap(g.text, &map, &error)) << g.text << ": " << error;
    EXPECT_EQ(map, g.map) << g.text;
    LineMap again;
    EXPECT_TRUE(ParseLineMap(FormatLineMap(map), &again, nullptr));
    EXPECT_EQ(again, map) << FormatLineMap(map);
  }
  struct Bad {
    const char* text;
    const char* complaint;
  };
  for (const Bad& b : {Bad{"", "it is empty"},
                       Bad{"vpp=!dtr,mode=rts", "vpp cannot be inverted"},
                       Bad{"vpp=dtr,mode=dtr", "vpp and mode cannot both be dtr"},
                       Bad{"mode=rts,mode=!rts", "mode is given twice"},
                       Bad{"vpp=cts", "unknown line 'cts' for vpp"},
                       Bad{"reset=dtr", "unknown switch 'reset'"},
                       Bad{"vpp", "vpp needs a line"},
                       Bad{"vpp=dtr,", "a part names no switch"}}) {
    LineMap map;
    std::string error;
    EXPECT_FALSE(ParseLineMap(b.text, &map, &error)) << b.text;
    EXPECT_THAT(error, HasSubstr(b.complaint)) << b.text;
    EXPECT_THAT(error, HasSubstr("accepted: vpp=LINE,mode=LINE with LINE dtr or rts")) << b.text;
    EXPECT_EQ(map, LineMap{}) << "unchanged by " << b.text;
  }
}

enum class Answers { Nothing, BootRom, Kernel };

struct LinesCase {
  const char* name;
  const char* map;  // nullptr: no map, the lines change nothing
  std::vector<uint8_t> controls;
  Answers answers;
};

void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }

class SimListenLines : public ::testing::TestWithParam<LinesCase> {};

// Each SET-CONTROL is confirmed with the value set and recorded; then the board answers as the
// switches say: nothing, the boot ROM's synchronisation, or the kernel's 0x57 command.
TEST_P(SimListenLines, TheBoardFollowsTheSwitchesTheLinesSet) {
  const LinesCase& c = GetParam();
  auto board = Listening(c.map);
  RawTelnet host;
  ASSERT_TRUE(host.Open(board->PortPath(), 2400));
  for (uint8_t value : c.controls) ASSERT_EQ(host.Control(value), value);
  const std::vector<sim::LineChange> changes = board->LineChanges();
  ASSERT_EQ(changes.size(), c.controls.size());
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const uint8_t v = c.controls[i];
    EXPECT_EQ(changes[i].line, v == kDtrOn || v == kDtrOff ? ControlLine::Dtr : ControlLine::Rts);
    EXPECT_EQ(changes[i].asserted, v == kDtrOn || v == kRtsOn);
  }

  switch (c.answers) {
    case Answers::BootRom:
      ASSERT_TRUE(host.Write(std::vector<uint8_t>(10, 0x00)));
      EXPECT_EQ(host.Read(), kSyncReply);
      EXPECT_EQ(board->State(), BoardState::Boot);
      break;
    case Answers::Kernel:
      ASSERT_TRUE(host.Write({0x57, 0x00}));
      EXPECT_EQ(host.Read(), 0x06);
      EXPECT_EQ(board->State(), BoardState::User);
      break;
    case Answers::Nothing: {
      const std::vector<uint8_t> probe = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x57, 0x00};
      ASSERT_TRUE(host.Write(probe));
      ASSERT_TRUE(board->WaitForReceived(probe.size(), 2s));
      ASSERT_TRUE(board->WaitUntilIdle(2s));
      EXPECT_TRUE(board->Sent().empty());
      EXPECT_FALSE(board->Powered());
      break;
    }
  }
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimListenLines,
    ::testing::Values(
        LinesCase{"WithoutAMapTheLinesChangeNothing", nullptr, {kDtrOff, kRtsOn, kDtrOn, kDtrOff},
                  Answers::Kernel},
        LinesCase{"SilentWhileVppIsOff", "vpp=dtr,mode=rts", {}, Answers::Nothing},
        LinesCase{"ModeAloneIsNoVpp", "vpp=dtr,mode=rts", {kRtsOn}, Answers::Nothing},
        LinesCase{"BootRomWithModeAsserted", "vpp=dtr,mode=rts", {kRtsOn, kDtrOn}, Answers::BootRom},
        LinesCase{"KernelWithModeReleased", "vpp=dtr,mode=rts", {kRtsOff, kDtrOn}, Answers::Kernel},
        // Mode counts as VPP goes on, as the chip reads its pins when it leaves reset.
        LinesCase{"ModeChangedUnderVppChangesNothing", "vpp=dtr,mode=rts", {kDtrOn, kRtsOn},
                  Answers::Kernel},
        LinesCase{"InvertedModeReleasedIsBoot", "vpp=dtr,mode=!rts", {kDtrOn}, Answers::BootRom},
        LinesCase{"InvertedModeAssertedIsUser", "vpp=dtr,mode=!rts", {kRtsOn, kDtrOn},
                  Answers::Kernel},
        LinesCase{"SwappedLines", "vpp=rts,mode=dtr", {kDtrOn, kRtsOn}, Answers::BootRom},
        LinesCase{"SwappedLinesDtrAloneIsNoVpp", "vpp=rts,mode=dtr", {kDtrOn}, Answers::Nothing},
        LinesCase{"SilentAgainWhenVppGoesOff", "vpp=dtr,mode=rts", {kDtrOn, kDtrOff},
                  Answers::Nothing},
        LinesCase{"AVppCycleIntoBoot", "vpp=dtr,mode=rts", {kDtrOn, kDtrOff, kRtsOn, kDtrOn},
                  Answers::BootRom}),
    [](const auto& info) { return std::string(info.param.name); });

// VPP going off is a reset: a half-received command and the kernel are gone, the flash stays,
// and what the host sends meanwhile is dropped. Each change is recorded with its time, also a
// setting that left the line as it was; a host that goes away releases the lines.
TEST(SimListen, AVppCycleResetsTheBoardKeepsTheFlashAndIsRecorded) {
  auto board = Listening("vpp=dtr,mode=rts");
  RawTelnet host;
  ASSERT_TRUE(host.Open(board->PortPath(), 9600));
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> windows;
  auto control = [&](uint8_t value) {
    const Clock::time_point before = Clock::now();
    EXPECT_EQ(host.Control(value), value);
    windows.push_back({before, Clock::now()});
  };
  control(kDtrOff);  // already off
  control(kDtrOn);
  const std::vector<uint8_t> chunk = {0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,
                                      0x02, 0x11, 0xFF, 0x5A, 0x11, 0xA6};
  // The replies are read in one go: each waits for nothing but the bytes before it.
  ASSERT_TRUE(host.Write(chunk));
  std::vector<int> replies;
  for (int i = 0; i < 4; ++i) replies.push_back(host.Read());
  EXPECT_EQ(replies, (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  // A command left half way, then VPP off and on again.
  ASSERT_TRUE(host.Write({0x57, 0x00, 0x00, 0x00}));
  EXPECT_EQ(host.Read(), 0x06);
  control(kDtrOff);
  const std::size_t sent = board->Sent().size();
  ASSERT_TRUE(host.Write({0x57, 0x00}));
  ASSERT_TRUE(board->WaitForReceived(chunk.size() + 4 + 2, 2s));
  ASSERT_TRUE(board->WaitUntilIdle(2s));
  EXPECT_EQ(board->Sent().size(), sent) << "an answer while VPP was off";
  control(kDtrOn);
  ASSERT_TRUE(host.Write({0x57, 0x00}));
  EXPECT_EQ(host.Read(), 0x06) << "the half command was forgotten";
  const std::vector<uint8_t> flash = board->Flash();
  EXPECT_EQ(flash[0x1000], 0xFF);
  EXPECT_EQ(flash[0x1001], 0x5A);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();

  host.Close();
  ASSERT_TRUE(board->WaitForLineChanges(windows.size() + 1, 2s));
  EXPECT_FALSE(board->Powered());
  const std::vector<sim::LineChange> changes = board->LineChanges();
  ASSERT_EQ(changes.size(), windows.size() + 1);
  const std::vector<bool> asserted = {false, true, false, true, false};
  const std::vector<bool> changed = {false, true, true, true, true};
  for (std::size_t i = 0; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].line, ControlLine::Dtr);
    EXPECT_EQ(changes[i].asserted, asserted[i]) << i;
    EXPECT_EQ(changes[i].changed, changed[i]) << i;
    if (i < windows.size()) {
      EXPECT_GE(changes[i].at, windows[i].first) << i;
      EXPECT_LE(changes[i].at, windows[i].second) << i;
    }
  }
}

// The line's settings come from the client's requests and are confirmed with the value set; the
// rate the client sets is the rate the board checks and synchronises at.
TEST(SimListen, RequestsAreConfirmedAndTheLineIsTheClients) {
  auto board = Listening(nullptr, BoardState::Boot);
  RawTelnet host;
  ASSERT_TRUE(host.Open(board->PortPath(), 2400));
  struct Row {
    uint8_t command;
    std::vector<uint8_t> value, answer;
  };
  const std::string signature = "quill-sim";
  for (const Row& r : {Row{1, {0, 0, 0, 0}, {0, 0, 0x09, 0x60}},  // asks: 2400
                       Row{2, {8}, {8}}, Row{3, {1}, {1}}, Row{4, {1}, {1}},
                       Row{5, {1}, {1}}, Row{5, {7}, {kDtrOff}}, Row{5, {kRtsOn}, {kRtsOn}},
                       Row{5, {10}, {kRtsOn}}, Row{12, {3}, {3}},
                       Row{0, {}, {signature.begin(), signature.end()}}}) {
    EXPECT_EQ(host.Request(r.command, r.value), r.answer) << int{r.command};
  }
  ASSERT_TRUE(host.Write(std::vector<uint8_t>(10, 0x00)));
  EXPECT_EQ(host.Read(), kSyncReply);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();

  // A rate this clock range's boot ROM does not take, and XON/XOFF flow control.
  board->Reset(BoardState::Boot);
  ASSERT_TRUE(host.Request(1, {0, 0, 0x25, 0x80}));
  EXPECT_EQ(host.Control(2), 2);
  ASSERT_TRUE(host.Write(std::vector<uint8_t>(10, 0x00)));
  EXPECT_EQ(host.Read(), kSyncReply);
  const std::vector<std::string> errors = board->Errors();
  ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
  EXPECT_THAT(errors[0], HasSubstr("line rate 9600 bps, expected 2400"));
  EXPECT_THAT(errors[1], HasSubstr("XON/XOFF"));
}

// A second host is turned away at once while the first is served; once the first has gone the
// next one is served.
TEST(SimListen, OneHostAtATime) {
  auto board = Listening(nullptr);
  RawTelnet first, second, third;
  ASSERT_TRUE(first.Open(board->PortPath()));
  EXPECT_FALSE(second.Open(board->PortPath()));
  EXPECT_EQ(second.Read(), -2);
  ASSERT_TRUE(first.Write({0x57, 0x00}));
  EXPECT_EQ(first.Read(), 0x06);
  first.Close();
  // The board keeps its state from host to host, as on a pseudo-terminal; the reset stands for
  // the switches of the next operation.
  board->Reset(BoardState::User);
  ASSERT_TRUE(third.Open(board->PortPath()));
  ASSERT_TRUE(third.Write({0x57, 0x00}));
  EXPECT_EQ(third.Read(), 0x06);
}

// A reply of 0xFF reaches the host as one byte (doubled on the connection); a hang-up fault
// closes the connection after the replies given before it, and the board takes no host any
// more, as its pseudo-terminal would be gone.
TEST(SimListen, AHangUpClosesTheConnectionAndTheListener) {
  BoardOptions o;
  o.device = kTxC30;
  o.state = BoardState::User;
  o.listen = sim::ListenAddress{"127.0.0.1", 0};
  for (const char* spec : {"wrong=0xFF:chunk-command", "hangup:chunk-address:1"}) {
    sim::Fault fault;
    ASSERT_TRUE(sim::ParseFault(spec, &fault, nullptr)) << spec;
    o.faults.push_back(fault);
  }
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawTelnet host, later;
  ASSERT_TRUE(host.Open(board.PortPath()));
  ASSERT_TRUE(host.Write({0x57, 0x00}));
  EXPECT_EQ(host.Read(), 0xFF);
  ASSERT_TRUE(host.Write({0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(host.Read(), 0x06);
  EXPECT_EQ(host.Read(), -2);
  EXPECT_TRUE(board.WaitForHangUp(2s));
  EXPECT_FALSE(later.Open(board.PortPath()));
}

}  // namespace
}  // namespace quill
