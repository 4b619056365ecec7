// The communication object's life cycle: hand-over, refused starts, port set-up failures, abort
// in every phase, abort while idle, one idle notification per operation, the trace, and
// destruction while an operation runs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "app/wizard_state.h"
#include "link/results.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::FaultAction;
using sim::Step;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct AbortCase {
  const char* name;
  bool boot;
  int32_t phase;
  sim::Fault fault;     // makes the board silent in the phase
  std::size_t received;  // bytes the host has sent when the board falls silent
};

const AbortCase kAbortCases[] = {
    {"Sync", true, PhaseSync, {Step::Sync, FaultAction::Silent}, 10},
    {"KernelLoad", true, PhaseKernelLoad, {Step::Echo, FaultAction::Silent, 100}, 10 + 101},
    {"BootErase", true, PhaseBootErase, {Step::BootErase, FaultAction::Silent}, 10 + 3 + 896},
    {"BlockErase", false, PhaseBlockErase, {Step::BlockErase, FaultAction::Silent}, 6},
    {"Program", false, PhaseProgram, {Step::ChunkData, FaultAction::Silent}, 6 + 8 + 2 + 8 + 1 + 8},
};

class AbortInPhase : public ::testing::TestWithParam<AbortCase> {};

// Abort ends the wait for a reply within about a second, closes the port, posts the idle phase
// once, and leaves no request behind: the same operation then runs to its end.
TEST_P(AbortInPhase, EndsWithinASecondAndLeavesNothingPending) {
  const AbortCase& c = GetParam();
  WizardState sheet = MakeSheet("TX-C30", 0, 3, "");
  sim::BoardOptions options =
      BoardFor(sheet, c.boot ? sim::BoardState::Boot : sim::BoardState::User);
  options.faults = {c.fault};
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = {"SB1"};
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0080, Pattern(8, 4))});

  CCommThread comm;
  RecordingNotifier notifier(comm);
  auto start = [&] {
    return c.boot ? comm.StartBoot(&notifier, sheet)
                  : comm.StartProgram(&notifier, sheet, true);
  };
  ASSERT_TRUE(start());
  ASSERT_TRUE(board->WaitForReceived(c.received, 10s));
  ASSERT_TRUE(board->WaitUntilIdle(5s));
  ASSERT_TRUE(board->Hung());
  ASSERT_TRUE(notifier.WaitForPhase(c.phase, 5s));
  const Clock::time_point begin = Clock::now();
  EXPECT_TRUE(comm.Abort());
  EXPECT_LT(SecondsSince(begin), 1.5);
  EXPECT_EQ(comm.GetProgressForTesting().phase, PhaseIdle);
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorUserAbort);
  EXPECT_EQ(detail, 0u);
  EXPECT_EQ(notifier.IdleCount(), 1);
  EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));

  board->Reset(c.boot ? sim::BoardState::Boot : sim::BoardState::User);
  notifier.Clear();
  ASSERT_TRUE(start());
  ASSERT_TRUE(notifier.WaitIdle());
  EXPECT_EQ(comm.GetResult(detail), ErrorNone) << FormatErrorMessage(comm.GetResult(detail), detail);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 8u);
  EXPECT_EQ(notifier.IdleCount(), 1);
  for (const std::string& e : board->Errors()) ADD_FAILURE() << e;
}

INSTANTIATE_TEST_SUITE_P(Link, AbortInPhase, ::testing::ValuesIn(kAbortCases),
                         [](const auto& info) { return std::string(info.param.name); });

class CommThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sheet = MakeSheet("TX-C30", 0, 3, "");
    sheet.m_astrSelectedBlocks = {"SB0"};
    sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0010, {0x5A, 0xA5})});
  }
  void UseBoard(std::vector<sim::Fault> faults = {}) {
    sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
    options.faults = std::move(faults);
    board = StartBoard(options);
    sheet.m_strComPort = board->PortPath();
  }
  // The worker opens the port: the start is taken at once, and the failed open is the
  // operation's outcome, told once with nothing before it but the idle step.
  void ExpectPortFailure(uint32_t number) {
    for (const bool erase : {false, true}) {
      notifier.Clear();
      ASSERT_TRUE(erase ? comm.StartErase(&notifier, sheet) : comm.StartProgram(&notifier, sheet, false));
      ASSERT_TRUE(notifier.WaitIdle());
      comm.DetachNotifier(&notifier);  // waits for the outcome's notification to end
      uint32_t detail = 0;
      EXPECT_EQ(comm.GetResult(detail), ErrorInternal);
      EXPECT_EQ(detail, number);
      ASSERT_EQ(notifier.Outcomes().size(), 1u);
      EXPECT_EQ(notifier.Outcomes()[0].first.result.detail, number);
      EXPECT_EQ(notifier.RecordsOf(PhaseIdle).size(), notifier.Records().size());
    }
  }

  WizardState sheet;
  std::unique_ptr<sim::SimBoard> board;
  CCommThread comm;
  RecordingNotifier notifier{comm};
};

TEST_F(CommThreadTest, AbortWhileIdleReturnsAtOnceAndDoesNotAbortTheNext) {
  UseBoard();
  const Clock::time_point begin = Clock::now();
  EXPECT_TRUE(comm.Abort());
  EXPECT_LT(SecondsSince(begin), 0.2);
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorUserAbort);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false));
  ASSERT_TRUE(notifier.WaitIdle());
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 2u);
}

// An observer that keeps the values for another thread: each step is kept before the observer it
// wakes is told of it, and the idle step comes only once the outcome is kept.
TEST_F(CommThreadTest, LatestProgressKeepsEachStepBeforeItWakesAndTheOutcomeBeforeTheIdleStep) {
  UseBoard();
  LatestProgress seen(&notifier);
  std::atomic<int> stale{0};
  notifier.hook = [&](const ProgressRecord& r) {
    const ProgressSeen now = seen.Seen();
    const auto [phase, pos, range] = now.progress;
    if (r.phase == PhaseIdle ? !now.Ended() : now.Ended() || !(ProgressRecord{phase, pos, range} == r)) ++stale;
  };
  ASSERT_TRUE(comm.StartProgram(&seen, sheet, true));
  ASSERT_TRUE(notifier.WaitIdle());
  comm.DetachNotifier(&seen);
  notifier.hook = nullptr;
  EXPECT_EQ(stale.load(), 0);
  const std::vector<ProgressRecord> records = notifier.Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(notifier.IdleCount(), 1);
  const ProgressSeen kept = seen.Seen();
  ASSERT_TRUE(kept.Ended());
  EXPECT_EQ(kept.outcome->counts.programmed, 2u);
  EXPECT_EQ((ProgressRecord{kept.progress.phase, kept.progress.position, kept.progress.range}),
            records[records.size() - 2]);
  seen.Reset();
  EXPECT_FALSE(seen.Seen().Ended());
}

TEST_F(CommThreadTest, StartWhileBusyIsRefusedWithoutTouchingTheResult) {
  UseBoard({{Step::ChunkData, FaultAction::Silent}});
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false));
  ASSERT_TRUE(notifier.WaitForPhase(PhaseProgram));
  EXPECT_FALSE(comm.StartErase(&notifier, sheet));
  EXPECT_FALSE(comm.StartProgram(&notifier, sheet, false));
  EXPECT_FALSE(comm.StartBoot(&notifier, sheet));
  uint32_t detail = 1;
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(detail, 0u);
  comm.Abort();
  EXPECT_EQ(notifier.IdleCount(), 1);
}

TEST_F(CommThreadTest, MissingPortIs254) {
  sheet.m_strComPort = "/dev/quill-no-such-port";
  ExpectPortFailure(InternalError::PortOpen);
}

TEST_F(CommThreadTest, PortInUseByThisProcessIs254) {
  UseBoard();
  CSerialPort holder;
  ASSERT_EQ(holder.Open(sheet.m_strComPort, 9600), 0u);
  ExpectPortFailure(InternalError::PortOpen);
  holder.Close();
  ASSERT_TRUE(comm.StartErase(&notifier, sheet));
  ASSERT_TRUE(notifier.WaitIdle());
}

TEST_F(CommThreadTest, PortInUseByAnotherProcessIs254) {
  UseBoard();
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CSerialPort holder;
    const char ok = holder.Open(sheet.m_strComPort, 9600) == 0 ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    char c;
    (void)!::read(release[0], &c, 1);
    holder.Close();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  ExpectPortFailure(InternalError::PortOpen);
  EXPECT_FALSE(OpensForExclusiveUse(sheet.m_strComPort));
  (void)!::write(release[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST_F(CommThreadTest, DeviceThatIsNoSerialPortIs265) {
  sheet.m_strComPort = "/dev/null";
  ExpectPortFailure(InternalError::GetCommState);
}

TEST_F(CommThreadTest, RefusedRateIs308AndClosesThePort) {
  UseBoard();
  sheet.m_nComUserRate = 0;
  ExpectPortFailure(InternalError::SetCommState);
  EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));
}

// The trace sees every byte in the order it went over the line.
class TraceRecorder : public SerialTrace {
 public:
  void Trace(TraceKind kind, const uint8_t* data, std::size_t length) override {
    if (kind == TraceKind::Written) written.insert(written.end(), data, data + length);
    if (kind == TraceKind::Read) read.insert(read.end(), data, data + length);
  }
  std::vector<uint8_t> written, read;
};

TEST_F(CommThreadTest, TraceSeesEveryByteBothWays) {
  UseBoard();
  TraceRecorder trace;
  comm.SetTraceSink(&trace);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, true));
  ASSERT_TRUE(notifier.WaitIdle());
  EXPECT_EQ(trace.written, board->Received());
  EXPECT_EQ(trace.read, board->Sent());
  EXPECT_FALSE(trace.written.empty());
}

// Destroying the object while it waits for a reply stops the operation and ends the worker in
// about a second; the receiver has been told of the end exactly once.
TEST_F(CommThreadTest, DestroyDuringAnOperationReturnsPromptly) {
  UseBoard({{Step::BlockErase, FaultAction::Silent}});
  auto running = std::make_unique<CCommThread>();
  RecordingNotifier own(*running);
  ASSERT_TRUE(running->StartErase(&own, sheet));
  ASSERT_TRUE(board->WaitForReceived(6, 10s));
  ASSERT_TRUE(board->WaitUntilIdle(5s));
  ASSERT_TRUE(board->Hung());
  const Clock::time_point begin = Clock::now();
  running.reset();
  own.Release();
  EXPECT_LT(SecondsSince(begin), 2.0);
  EXPECT_EQ(own.IdleCount(), 1);
  EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));
}

TEST(CommThreadLife, IdleObjectIsDestroyedAtOnce) {
  const Clock::time_point begin = Clock::now();
  { CCommThread comm; }
  EXPECT_LT(SecondsSince(begin), 0.5);
}

}  // namespace
}  // namespace quill::test
