// The reply timeouts that take their full time: a board that stays silent after the ten sync
// bytes (5 s), during the download (3 s), after the download (20 s), after an erase command
// (20 s) and after a chunk's data (5 s), and one that answers late but within the wait; and a
// boot through a USB adapter whose latency timer holds every echo back.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "link/results.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::FaultAction;
using sim::Step;

struct SilentCase {
  const char* name;
  bool boot;
  sim::Fault fault;
  int32_t kind;
  uint32_t detail;
  double seconds;  // how long the wait lasts
};

const SilentCase kCases[] = {
    {"Sync", true, {Step::Sync, FaultAction::Silent}, ErrorBootSyncTimeout, 0, 5},
    {"Echo", true, {Step::Echo, FaultAction::Silent, 40}, ErrorBootLoadTimeout, 40, 3},
    {"BootErase", true, {Step::BootErase, FaultAction::Silent}, ErrorBootEraseTimeout, 0, 20},
    {"BlockErase", false, {Step::BlockErase, FaultAction::Silent}, ErrorBlockEraseTimeout, 0, 20},
    {"ChunkData", false, {Step::ChunkData, FaultAction::Silent}, ErrorFlashWriteTimeout, 0x100, 5},
    {"ChunkDataLateButInTime", false, {Step::ChunkData, FaultAction::Delay, 0, -1, 2500}, ErrorNone, 0, 2.5},
};

class SilentBoard : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentBoard, TimesOutAfterTheFullWait) {
  const SilentCase& c = GetParam();
  WizardState sheet = MakeSheet("TX-C30", 0, 5, "");
  sim::BoardOptions options = BoardFor(sheet, c.boot ? sim::BoardState::Boot : sim::BoardState::User);
  options.faults = {c.fault};
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = {"SB2"};
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0100, Pattern(4, 1))});

  CCommThread comm;
  RecordingNotifier notifier(comm);
  const Clock::time_point begin = Clock::now();
  ASSERT_TRUE(c.boot ? comm.StartBoot(&notifier, sheet)
                     : comm.StartProgram(&notifier, sheet, true));
  ASSERT_TRUE(notifier.WaitIdle(60s));
  const double took = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_GE(took, c.seconds - 0.2);
  EXPECT_LT(took, c.seconds + 2.0);
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), c.kind);
  EXPECT_EQ(detail, c.detail);
  EXPECT_EQ(notifier.IdleCount(), 1);

  // The 20-attempt waits post every attempt, so the progress bar moves meanwhile.
  const int32_t phase = c.fault.step == Step::BootErase    ? PhaseBootErase
                        : c.fault.step == Step::BlockErase ? PhaseBlockErase
                                                           : PhaseIdle;
  if (phase != PhaseIdle) {
    std::vector<ProgressRecord> steps;
    for (const ProgressRecord& r : notifier.RecordsOf(phase)) {
      if (r.range == 20) steps.push_back(r);
    }
    ASSERT_EQ(steps.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(steps[i].pos, i);
  }
}

// An adapter at its default timer of 16 ms holds every echo of the download that long: the boot
// takes that much longer per kernel byte, and no wait of the protocol runs out on the way.
TEST(AdapterLatency, ABootThroughA16MsTimerPaysItPerEchoAndSucceeds) {
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  sim::BoardOptions options = BoardFor(sheet, sim::BoardState::Boot);
  options.adapterLatencyMs = 16;
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0100, Pattern(64, 3))});
  CCommThread comm;
  RecordingNotifier notifier(comm);
  const Clock::time_point begin = Clock::now();
  ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
  ASSERT_TRUE(notifier.WaitIdle(60s));
  const double took = std::chrono::duration<double>(Clock::now() - begin).count();
  uint32_t detail = 0;
  ASSERT_EQ(comm.GetResult(detail), ErrorNone) << detail;
  // Every byte of the download (start byte, length, image) waits for its echo; the chunks after
  // it add a few waits more.
  const std::vector<ProgressRecord> download = notifier.RecordsOf(PhaseKernelLoad);
  ASSERT_FALSE(download.empty());
  const double kernelBytes = static_cast<double>(download.back().range);
  ASSERT_GE(kernelBytes, 896.0);
  EXPECT_GE(took, kernelBytes * 0.016);
  EXPECT_LT(took, kernelBytes * 0.016 + 3.0);
  EXPECT_TRUE(board->Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(Slow, SilentBoard, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quill::test
