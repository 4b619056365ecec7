// Misbehaviour on request: every answering step of the boot ROM and the kernel can stay silent,
// answer wrongly, report failure, answer late or hang up.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_board.h"
#include "tests/sim/raw_port.h"

namespace quill {
namespace {

using sim::BoardOptions;
using sim::BoardState;
using sim::Fault;
using sim::FaultAction;
using sim::SimBoard;
using sim::Step;
using test::KernelImage;
using test::RawPort;
using namespace std::chrono_literals;

constexpr int kTxC30 = 1;
constexpr int kSilenceMs = 250;  // how long a test listens before calling a reply missing

Fault MakeFault(const std::string& spec) {
  Fault f;
  std::string error;
  EXPECT_TRUE(sim::ParseFault(spec, &f, &error)) << error;
  return f;
}

// What the host saw of one boot run; it stops at the first reply the host would reject.
struct BootRun {
  int sync = -1;
  std::vector<int> echoes;
  int report = -1;
  bool operator==(const BootRun&) const = default;
};

BootRun RunBoot(RawPort& port) {
  BootRun run;
  port.Write(std::vector<uint8_t>(10, 0x00));
  run.sync = port.Read(kSilenceMs);
  if (run.sync < 0) return run;
  std::vector<uint8_t> image = KernelImage(192);
  std::vector<uint8_t> stream(3 + image.size());
  stream[0] = 0x55;
  stream[1] = 0x03;
  stream[2] = 0x80;
  std::copy(image.begin(), image.end(), stream.begin() + 3);
  for (std::size_t i = 0; i < stream.size(); ++i) {
    port.Write(stream[i]);
    run.echoes.push_back(port.Read(kSilenceMs));
    if (run.echoes.back() != (i == 0 ? 0xAA : stream[i])) return run;
  }
  run.echoes.clear();  // all right: kept short for comparing
  run.report = port.Read(kSilenceMs);
  return run;
}

struct BootFaultCase {
  const char* name;
  const char* fault;
  BootRun expected;
  bool hung;
};

void PrintTo(const BootFaultCase& c, std::ostream* os) { *os << c.fault; }

class SimBootFaults : public ::testing::TestWithParam<BootFaultCase> {};

TEST_P(SimBootFaults, HostSeesTheFault) {
  const BootFaultCase& c = GetParam();
  BoardOptions o;
  o.device = kTxC30;
  o.clock = 2;
  o.faults = {MakeFault(c.fault)};
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath()));
  BootRun run = RunBoot(port);
  EXPECT_EQ(run.sync, c.expected.sync);
  EXPECT_EQ(run.echoes, c.expected.echoes);
  EXPECT_EQ(run.report, c.expected.report);
  EXPECT_EQ(board.Hung(), c.hung);
  EXPECT_TRUE(board.Errors().empty()) << board.Errors().front();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimBootFaults,
    ::testing::Values(
        BootFaultCase{"SilentAtSync", "silent:sync", {-1, {}, -1}, true},
        BootFaultCase{"AnySyncByteIsFine", "wrong=0xFF:sync", {0xFF, {}, 0x00}, false},
        BootFaultCase{"StartByteEchoedUnchanged", "wrong:echo:0", {0x00, {0x55}, -1}, false},
        BootFaultCase{"WrongEchoOfLowLengthByte", "wrong=0x81:echo:2",
                      {0x00, {0xAA, 0x03, 0x81}, -1}, false},
        BootFaultCase{"SilentAtImageByte", "silent:echo:5",
                      {0x00, {0xAA, 0x03, 0x80, 0x51, 0x4B, -1}, -1}, true},
        BootFaultCase{"EraseAllFails", "fail:boot-erase", {0x00, {}, 0xFF}, false},
        BootFaultCase{"NoEraseAllReport", "silent:boot-erase", {0x00, {}, -1}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimBootFaultRecovery, AfterARejectedEchoTheBootRomStartsOver) {
  BoardOptions o;
  o.device = kTxC30;
  o.clock = 2;
  o.faults = {MakeFault("wrong:echo:100")};
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath()));
  BootRun first = RunBoot(port);
  ASSERT_EQ(first.echoes.size(), 101u);
  ASSERT_TRUE(board.WaitUntilIdle(2s));
  EXPECT_EQ(board.State(), BoardState::Boot);
  BootRun second = RunBoot(port);
  EXPECT_EQ(second, (BootRun{0x00, {}, 0x00}));
  EXPECT_EQ(board.BootCount(), 1);
  EXPECT_EQ(board.State(), BoardState::User);
}

TEST(SimBootFaultDelay, LateSyncReplyComesAfterTheDelay) {
  BoardOptions o;
  o.device = kTxC30;
  o.faults = {MakeFault("delay=300:sync")};
  SimBoard board(o);
  ASSERT_TRUE(board.Start(nullptr));
  RawPort port;
  ASSERT_TRUE(port.Open(board.PortPath()));
  auto start = std::chrono::steady_clock::now();
  port.Write(std::vector<uint8_t>(10, 0x00));
  EXPECT_EQ(port.Read(2000), 0x00);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

class SimKernelFaults : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> faults) {
    BoardOptions o;
    o.device = kTxC30;
    o.state = BoardState::User;
    for (const std::string& f : faults) o.faults.push_back(MakeFault(f));
    board_ = std::make_unique<SimBoard>(o);
    ASSERT_TRUE(board_->Start(nullptr));
    ASSERT_TRUE(port_.Open(board_->PortPath(), {.rate = 9600}));
  }
  // The replies of one programming command of two bytes, up to the first one that is not right.
  std::vector<int> Chunk(uint32_t address) {
    std::vector<int> r;
    port_.Write({0x57, 0x00});
    r.push_back(port_.Read(kSilenceMs));
    if (r.back() != 0x06) return r;
    port_.Write({0, 0, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0, 0, 0, 2});
    r.push_back(port_.Read(kSilenceMs));
    if (r.back() != 0x11) return r;
    port_.Write({0x11, 0xA0, 0x0B});
    r.push_back(port_.Read(kSilenceMs));
    if (r.back() != 0x11) return r;
    port_.Write({0x11, 0x54});  // ~(0xA0 + 0x0B)
    r.push_back(port_.Read(kSilenceMs));
    return r;
  }
  std::vector<int> Erase() {
    std::vector<int> r;
    port_.Write({0x57, 0x01, 0x00, 0x00, 0x10, 0x00});
    r.push_back(port_.Read(kSilenceMs));
    if (r.back() < 0 || r.back() == 0x07) return r;
    port_.Write(std::vector<uint8_t>(8, 0x00));
    r.push_back(port_.Read(kSilenceMs));
    return r;
  }
  std::unique_ptr<SimBoard> board_;
  RawPort port_;
};

const std::vector<int> kChunkOk = {0x06, 0x11, 0x11, 0x06};

TEST_F(SimKernelFaults, ChecksumErrorAtOneChunkLeavesTheOthersProgrammed) {
  Start({"fail:checksum:1"});
  EXPECT_EQ(Chunk(0x1000), kChunkOk);
  EXPECT_EQ(Chunk(0x1002), (std::vector<int>{0x06, 0x11, 0x11, 0x07}));
  EXPECT_EQ(Chunk(0x1004), kChunkOk);
  std::vector<uint8_t> f = board_->Flash();
  EXPECT_EQ(f[0x1001], 0x0B);
  EXPECT_EQ(f[0x1002], 0xFF);
  EXPECT_EQ(f[0x1004], 0xA0);
}

TEST_F(SimKernelFaults, UnexpectedRepliesDropTheCommand) {
  Start({"wrong:chunk-command:0", "wrong=0x06:chunk-address:1", "wrong=0x00:chunk-data:2",
         "wrong=0x11:checksum:3"});
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{0x5A}));
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{0x06, 0x06}));
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{0x06, 0x11, 0x00}));
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{0x06, 0x11, 0x11, 0x11}));
  EXPECT_EQ(board_->Flash()[0x1000], 0xFF) << "no chunk the host saw fail was written";
  EXPECT_EQ(Chunk(0x1000), kChunkOk);
  EXPECT_EQ(board_->Flash()[0x1000], 0xA0);
  EXPECT_TRUE(board_->Errors().empty()) << board_->Errors().front();
}

TEST_F(SimKernelFaults, SilenceMidChunkHangsUntilReset) {
  Start({"silent:chunk-data:0"});
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{0x06, 0x11, -1}));
  EXPECT_TRUE(board_->Hung());
  EXPECT_EQ(Chunk(0x1000), (std::vector<int>{-1}));
  board_->Reset(BoardState::User);
  EXPECT_EQ(Chunk(0x1000), kChunkOk);
}

TEST_F(SimKernelFaults, EraseFaults) {
  Start({"fail:erase:0", "wrong=0x00:erase:1", "silent:erase-final:2"});
  std::string error;
  ASSERT_TRUE(board_->SetFlash(std::vector<uint8_t>(0x8000, 0x00), &error));
  EXPECT_EQ(Erase(), (std::vector<int>{0x07}));
  EXPECT_EQ(board_->Flash()[0x1000], 0x00);
  EXPECT_FALSE(board_->EraseCommands().back().erased);
  // Any result but 0x07 is success to the host, so the command goes on.
  std::vector<int> second = Erase();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], 0x00);
  EXPECT_GE(second[1], 0);
  EXPECT_EQ(board_->Flash()[0x1000], 0xFF);
  EXPECT_EQ(Erase(), (std::vector<int>{0x06, -1}));
}

TEST_F(SimKernelFaults, HangUpClosesTheLine) {
  Start({"hangup:chunk-address:0"});
  std::vector<int> r = Chunk(0x1000);
  EXPECT_EQ(r, (std::vector<int>{0x06, -2}));
  EXPECT_TRUE(board_->WaitForHangUp(2s));
  EXPECT_TRUE(board_->HungUp());
  EXPECT_TRUE(board_->WaitUntilIdle(0ms));
}

TEST(SimFaultSpec, ParsesTheCommandLineForm) {
  Fault f;
  std::string error;
  ASSERT_TRUE(sim::ParseFault("wrong=0x00:echo:2", &f, &error)) << error;
  EXPECT_EQ(f.action, FaultAction::WrongByte);
  EXPECT_EQ(f.step, Step::Echo);
  EXPECT_EQ(f.index, 2);
  EXPECT_EQ(f.byte, 0);
  ASSERT_TRUE(sim::ParseFault("delay=1500:chunk-data", &f, &error)) << error;
  EXPECT_EQ(f.action, FaultAction::Delay);
  EXPECT_EQ(f.delayMs, 1500);
  EXPECT_EQ(f.index, 0);
  ASSERT_TRUE(sim::ParseFault("hangup:erase-final:7", &f, &error));
  EXPECT_EQ(f.step, Step::BlockEraseFinal);
  EXPECT_EQ(sim::StepName(f.step), "erase-final");
  for (const char* bad : {"", "silent", "silent:", "loud:sync", "silent:sync:x", "wrong=256:echo",
                          "delay:sync", "fail=1:sync", "silent:sync:-1"})
    EXPECT_FALSE(sim::ParseFault(bad, &f, &error)) << bad;
}

}  // namespace
}  // namespace quill
