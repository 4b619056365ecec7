// Every fault the simulated board can inject, at every step of a boot, a program (with its
// pre-erase) and an erase: the result and its detail, the bytes counted as programmed, the port
// closed, exactly one idle notification, no abort left pending, and success only when the board
// has programmed every chunk. Read attempts last 100 ms here instead of a second, so the silent
// cases cost their attempt counts in tenths of a second.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "app/wizard_state.h"
#include "link/results.h"
#include "tests/link/link_support.h"
#include "tests/reliability/process_resources.h"

namespace quill::test {
namespace {

using sim::FaultAction;
using sim::Step;

constexpr std::chrono::milliseconds kAttempt{100};
// Twice an attempt: late for a single-attempt wait, in time for every longer one.
constexpr int kDelayMs = 2 * static_cast<int>(kAttempt.count());

enum class Op { Boot, Program, Erase };

// Two records of 16 bytes, one in LB0 and one in LB1 of TX-C30: chunk k is record k.
const std::vector<Record> kRecords = {{0x1000, Pattern(16, 1)}, {0x2000, Pattern(16, 2)}};
constexpr uint32_t kChunkBytes = 16;
// The TX-C30 kernel (896 bytes) behind the start byte and the two length bytes.
constexpr long kLastStreamByte = 896 + 3 - 1;

struct Expected {
  int32_t kind;
  uint32_t detail;
};

struct MatrixCase {
  Op op;
  Step step;
  FaultAction action;
  long index;
};

int Attempts(Step step) {
  switch (step) {
    case Step::Sync: return 5;
    case Step::Echo: return 3;
    case Step::BootErase: return 20;
    case Step::BlockErase: return 20;
    case Step::ChunkData: return 5;
    default: return 1;
  }
}

bool IsChunkStep(Step step) {
  return step == Step::ChunkCommand || step == Step::ChunkAddress || step == Step::ChunkData ||
         step == Step::ChunkChecksum;
}

// The result the host must report, from the failure tables of the link.
Expected ExpectedResult(const MatrixCase& c) {
  const uint32_t chunk = IsChunkStep(c.step) ? kRecords[c.index].address : 0;
  Expected timeout{ErrorNone, 0};
  switch (c.step) {
    case Step::Sync: timeout = {ErrorBootSyncTimeout, 0}; break;
    case Step::Echo: timeout = {ErrorBootLoadTimeout, static_cast<uint32_t>(c.index)}; break;
    case Step::BootErase: timeout = {ErrorBootEraseTimeout, 0}; break;
    case Step::BlockErase:
    case Step::BlockEraseFinal: timeout = {ErrorBlockEraseTimeout, 0}; break;
    default: timeout = {ErrorFlashWriteTimeout, chunk}; break;
  }
  const bool fail = c.action == FaultAction::Fail;
  switch (c.action) {
    case FaultAction::Silent:
    case FaultAction::HangUp: return timeout;
    case FaultAction::Delay: return Attempts(c.step) > 1 ? Expected{ErrorNone, 0} : timeout;
    case FaultAction::WrongByte:
    case FaultAction::Fail: break;
  }
  switch (c.step) {
    case Step::Sync:
    case Step::BlockEraseFinal: return {ErrorNone, 0};  // any byte will do
    case Step::Echo: return {ErrorBootLoadEcho, static_cast<uint32_t>(c.index)};
    case Step::BootErase: return fail ? Expected{ErrorBootEraseFailed, 0} : Expected{ErrorNone, 0};
    // The detail is the number of blocks the command named: LB0 and LB1.
    case Step::BlockErase: return fail ? Expected{ErrorBlockEraseFailed, 2} : Expected{ErrorNone, 0};
    case Step::ChunkCommand: return {ErrorInternal, InternalError::ChunkCommandReply};
    case Step::ChunkAddress: return {ErrorInternal, InternalError::ChunkAddressReply};
    case Step::ChunkData: return {ErrorInternal, InternalError::ChunkDataReply};
    case Step::ChunkChecksum:
      return fail ? Expected{ErrorFlashWriteChecksum, chunk}
                  : Expected{ErrorInternal, InternalError::ChunkFinalReply};
  }
  return {-1, 0};
}

std::vector<MatrixCase> AllCases() {
  const FaultAction actions[] = {FaultAction::Silent, FaultAction::WrongByte, FaultAction::Fail,
                                 FaultAction::Delay, FaultAction::HangUp};
  struct Site {
    Op op;
    Step step;
    long index;
  };
  std::vector<Site> sites = {{Op::Boot, Step::Sync, 0},   {Op::Boot, Step::Echo, 0},
                             {Op::Boot, Step::Echo, 1},   {Op::Boot, Step::Echo, 2},
                             {Op::Boot, Step::Echo, 3},   {Op::Boot, Step::Echo, kLastStreamByte},
                             {Op::Boot, Step::BootErase, 0},
                             {Op::Program, Step::BlockErase, 0},
                             {Op::Program, Step::BlockEraseFinal, 0},
                             {Op::Erase, Step::BlockErase, 0},
                             {Op::Erase, Step::BlockEraseFinal, 0}};
  for (Op op : {Op::Boot, Op::Program}) {
    for (Step step : {Step::ChunkCommand, Step::ChunkAddress, Step::ChunkData, Step::ChunkChecksum}) {
      for (long chunk : {0L, 1L}) sites.push_back({op, step, chunk});
    }
  }
  std::vector<MatrixCase> cases;
  for (const Site& site : sites) {
    for (FaultAction action : actions) cases.push_back({site.op, site.step, action, site.index});
  }
  return cases;
}

std::string CaseName(const MatrixCase& c) {
  static const char* const kOps[] = {"Boot", "Program", "Erase"};
  static const char* const kActions[] = {"Silent", "WrongByte", "Fail", "Delay", "HangUp"};
  std::string step;
  bool upper = true;
  for (char ch : sim::StepName(c.step)) {
    if (ch == '-') {
      upper = true;
      continue;
    }
    step += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(ch))) : ch;
    upper = false;
  }
  return std::string(kOps[static_cast<int>(c.op)]) + "_" + step + std::to_string(c.index) + "_" +
         kActions[static_cast<int>(c.action)];
}

void PrintTo(const MatrixCase& c, std::ostream* out) { *out << CaseName(c); }

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(FaultMatrix, EndsWithItsResultAndCleansUp) {
  const MatrixCase& c = GetParam();
  const Expected expected = ExpectedResult(c);
  WizardState sheet = MakeSheet("TX-C30", 0, 2, "");
  sim::BoardOptions options =
      BoardFor(sheet, c.op == Op::Boot ? sim::BoardState::Boot : sim::BoardState::User);
  sim::Fault fault{c.step, c.action, c.index};
  if (c.action == FaultAction::Delay) fault.delayMs = kDelayMs;
  options.faults = {fault};
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = {"LB0", "LB1"};
  std::vector<std::string> lines;
  for (const Record& r : kRecords) lines.push_back(SRecord(1, r.address, r.data));
  sheet.m_strFile = WriteProgramFile(lines);

  CCommThread comm;
  comm.SetReadTimeoutForTesting(kAttempt);
  RecordingNotifier notifier(comm);
  const int portHoldersBefore = DescriptorsOn(sheet.m_strComPort);
  switch (c.op) {
    case Op::Boot: ASSERT_TRUE(comm.StartBoot(&notifier, sheet)); break;
    case Op::Program: ASSERT_TRUE(comm.StartProgram(&notifier, sheet, true)); break;
    case Op::Erase: ASSERT_TRUE(comm.StartErase(&notifier, sheet)); break;
  }
  ASSERT_TRUE(notifier.WaitIdle(20s));

  uint32_t detail = 0xDEADBEEF;
  const int32_t kind = comm.GetResult(detail);
  EXPECT_EQ(kind, expected.kind) << FormatErrorMessage(kind, detail);
  EXPECT_EQ(detail, expected.detail);
  EXPECT_EQ(notifier.IdleCount(), 1);
  EXPECT_EQ(notifier.Records().back(), (ProgressRecord{PhaseIdle, 0, 1}));
  EXPECT_FALSE(comm.IsAbortPendingForTesting());
  // Only the board's own hold on the line is left (none once it has hung up).
  EXPECT_EQ(DescriptorsOn(sheet.m_strComPort), board->HungUp() ? 0 : portHoldersBefore);

  uint32_t programmed = 0;
  if (c.op != Op::Erase && expected.kind == ErrorNone) {
    programmed = 2 * kChunkBytes;
  } else if (IsChunkStep(c.step)) {
    programmed = static_cast<uint32_t>(c.index) * kChunkBytes;
  }
  EXPECT_EQ(comm.GetOutcome().counts.programmed, programmed);

  // Success is reported only for what the board has really done.
  board->WaitUntilIdle(5s);
  int boardProgrammed = 0;
  for (const sim::SimBoard::Chunk& chunk : board->Chunks()) boardProgrammed += chunk.programmed;
  if (kind == ErrorNone) {
    if (c.op == Op::Erase) {
      ASSERT_EQ(board->EraseCommands().size(), 1u);
      EXPECT_TRUE(board->EraseCommands()[0].erased);
    } else {
      EXPECT_EQ(boardProgrammed, 2);
      EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, kRecords));
    }
  } else if (c.op != Op::Erase) {
    // A late final acknowledgement is the one failure after which the board holds the chunk
    // the host gave up on: reported as a failure, which is the safe side.
    const bool lateAck = c.action == FaultAction::Delay && c.step == Step::ChunkChecksum;
    EXPECT_EQ(boardProgrammed, static_cast<int>(programmed / kChunkBytes) + (lateAck ? 1 : 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Link, FaultMatrix, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return CaseName(info.param); });

}  // namespace
}  // namespace quill::test

namespace quill::test {
namespace {

// An abort during the only attempt of a reply wait ends as the user abort, not as the timeout
// of the wait it cut short.
struct SingleWait {
  Step step;
  std::size_t received;  // host bytes before the wait: erase of LB0 is 6 + 8, a chunk 29
};

void PrintTo(const SingleWait& w, std::ostream* out) { *out << sim::StepName(w.step); }

class AbortInSingleWait : public ::testing::TestWithParam<SingleWait> {};

TEST_P(AbortInSingleWait, EndsAsTheUserAbort) {
  WizardState sheet = MakeSheet("TX-C30", 0, 2, "");
  sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
  options.faults = {{GetParam().step, FaultAction::Silent, 0}};
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = {"LB0"};
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x1000, Pattern(16, 1))});

  CCommThread comm;
  comm.SetReadTimeoutForTesting(500ms);
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, true));
  // The board has fallen silent and the host sits in its one wait for the reply.
  ASSERT_TRUE(board->WaitForReceived(GetParam().received, 10s));
  ASSERT_TRUE(board->WaitUntilIdle(10s));
  ASSERT_TRUE(board->Hung());
  comm.Abort();
  ASSERT_TRUE(notifier.WaitIdle(5s));
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorUserAbort) << FormatErrorMessage(comm.GetResult(detail), detail);
  EXPECT_EQ(notifier.IdleCount(), 1);
  EXPECT_FALSE(comm.IsAbortPendingForTesting());
}

INSTANTIATE_TEST_SUITE_P(Link, AbortInSingleWait,
                         ::testing::Values(SingleWait{Step::BlockEraseFinal, 14},
                                           SingleWait{Step::ChunkCommand, 14 + 2},
                                           SingleWait{Step::ChunkAddress, 14 + 10},
                                           SingleWait{Step::ChunkChecksum, 14 + 29}),
                         [](const auto& info) {
                           std::string name;
                           for (char c : sim::StepName(info.param.step)) {
                             if (c != '-') name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace quill::test
