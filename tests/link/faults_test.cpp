// Every result a misbehaving board can cause, each with its detail: the board answers wrongly,
// fails, hangs up, or stays silent for a single one-second reply wait.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "device/catalogue.h"
#include "link/results.h"
#include "resources/strings.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using sim::FaultAction;
using sim::Step;

enum class Op { Boot, Program, ProgramErase, Erase };

struct FaultCase {
  const char* name;
  Op op;
  sim::Fault fault;
  int32_t kind;
  uint32_t detail;
  uint32_t programmed;  // bytes counted as programmed afterwards
};

// Boot runs on TX-C30 at clock range 2 and program the records below; erase runs on TX-A10.
const std::vector<Record> kRecords = {{0x1000, Pattern(16, 1)}, {0x2000, Pattern(16, 2)}};

const FaultCase kCases[] = {
    {"SyncHangUp", Op::Boot, {Step::Sync, FaultAction::HangUp}, ErrorBootSyncTimeout, 0, 0},
    {"StartByteEchoWrong", Op::Boot, {Step::Echo, FaultAction::WrongByte, 0}, ErrorBootLoadEcho, 0, 0},
    {"LowLengthEchoWrong", Op::Boot, {Step::Echo, FaultAction::WrongByte, 2}, ErrorBootLoadEcho, 2, 0},
    {"KernelByteEchoWrong", Op::Boot, {Step::Echo, FaultAction::WrongByte, 503}, ErrorBootLoadEcho, 503, 0},
    {"EchoHangUp", Op::Boot, {Step::Echo, FaultAction::HangUp, 7}, ErrorBootLoadTimeout, 7, 0},
    {"EraseAllFails", Op::Boot, {Step::BootErase, FaultAction::Fail}, ErrorBootEraseFailed, 0, 0},
    {"ChecksumRejected", Op::Boot, {Step::ChunkChecksum, FaultAction::Fail, 1}, ErrorFlashWriteChecksum, 0x2000, 16},
    {"ChunkCommandWrongReply", Op::Program, {Step::ChunkCommand, FaultAction::WrongByte, 0}, ErrorInternal, 893, 0},
    {"ChunkAddressWrongReply", Op::Program, {Step::ChunkAddress, FaultAction::WrongByte, 1}, ErrorInternal, 922, 16},
    {"ChunkDataWrongReply", Op::Program, {Step::ChunkData, FaultAction::WrongByte, 0}, ErrorInternal, 952, 0},
    {"ChunkFinalWrongReply", Op::Program, {Step::ChunkChecksum, FaultAction::WrongByte, 1}, ErrorInternal, 984, 16},
    {"ChunkCommandHangUp", Op::Program, {Step::ChunkCommand, FaultAction::HangUp, 0}, ErrorFlashWriteTimeout, 0x1000, 0},
    {"ChunkAddressSilent", Op::Program, {Step::ChunkAddress, FaultAction::Silent, 1}, ErrorFlashWriteTimeout, 0x2000, 16},
    {"ChunkDataHangUp", Op::Program, {Step::ChunkData, FaultAction::HangUp, 1}, ErrorFlashWriteTimeout, 0x2000, 16},
    {"ChunkChecksumHangUp", Op::Program, {Step::ChunkChecksum, FaultAction::HangUp, 0}, ErrorFlashWriteTimeout, 0x1000, 0},
    {"ChunkChecksumSilent", Op::Program, {Step::ChunkChecksum, FaultAction::Silent, 0}, ErrorFlashWriteTimeout, 0x1000, 0},
    {"BlockEraseFails", Op::Erase, {Step::BlockErase, FaultAction::Fail}, ErrorBlockEraseFailed, 2, 0},
    {"BlockEraseHangUp", Op::Erase, {Step::BlockErase, FaultAction::HangUp}, ErrorBlockEraseTimeout, 0, 0},
    {"BlockEraseFinalHangUp", Op::Erase, {Step::BlockEraseFinal, FaultAction::HangUp}, ErrorBlockEraseTimeout, 0, 0},
    {"BlockEraseFinalSilent", Op::Erase, {Step::BlockEraseFinal, FaultAction::Silent}, ErrorBlockEraseTimeout, 0, 0},
    {"BlockEraseFinalAnyByte", Op::Erase, {Step::BlockEraseFinal, FaultAction::WrongByte}, ErrorNone, 0, 0},
    {"PreEraseFailsNothingProgrammed", Op::ProgramErase, {Step::BlockErase, FaultAction::Fail}, ErrorBlockEraseFailed, 2, 0},
};

class BoardFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(BoardFaults, EndWithTheirResultAndDetail) {
  const FaultCase& c = GetParam();
  const bool boot = c.op == Op::Boot;
  const bool erase = c.op == Op::Erase;
  WizardState sheet = MakeSheet(erase ? "TX-A10" : "TX-C30", 0, 2, "");
  sim::BoardOptions options = BoardFor(sheet, boot ? sim::BoardState::Boot : sim::BoardState::User);
  options.faults = {c.fault};
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = erase ? std::vector<std::string>{"SB0", "LB1"}
                                     : std::vector<std::string>{"LB0", "LB1"};
  std::vector<std::string> lines;
  for (const Record& r : kRecords) lines.push_back(SRecord(1, r.address, r.data));
  sheet.m_strFile = WriteProgramFile(lines);

  CCommThread comm;
  RecordingNotifier notifier(comm);
  switch (c.op) {
    case Op::Boot: ASSERT_TRUE(comm.StartBoot(&notifier, sheet)); break;
    case Op::Program: ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false)); break;
    case Op::ProgramErase: ASSERT_TRUE(comm.StartProgram(&notifier, sheet, true)); break;
    case Op::Erase: ASSERT_TRUE(comm.StartErase(&notifier, sheet)); break;
  }
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0xDEAD;
  EXPECT_EQ(comm.GetResult(detail), c.kind);
  EXPECT_EQ(detail, c.detail);
  if (!erase) {
    EXPECT_EQ(comm.GetOutcome().counts.programmed, c.programmed);
  }
  EXPECT_EQ(notifier.IdleCount(), 1);
  EXPECT_EQ(notifier.Records().back(), (ProgressRecord{PhaseIdle, 0, 1}));
  if (!board->HungUp()) {
    EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));
  }
  if (c.op == Op::ProgramErase) {
    EXPECT_TRUE(board->Chunks().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Link, BoardFaults, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The block erase result carries no address, so its message names none.
TEST(BoardFaultMessages, BlockEraseFailureShowsNoLocation) {
  const std::string text = FormatErrorMessage(ErrorBlockEraseFailed, 2);
  EXPECT_EQ(text.find("H'"), std::string::npos) << text;
  EXPECT_NE(text.find("(2 in the erase command)"), std::string::npos) << text;
  EXPECT_EQ(ErrorMessageId(ErrorBlockEraseFailed), StrId::BlockEraseFailed);
}

// A line that goes away between two steps makes the next write fail at its own site. The board
// is stopped from within the first notification of the phase, before the phase's first write.
struct WriteSite {
  const char* name;
  Op op;
  int32_t phase;
  uint32_t number;
};

const WriteSite kWriteSites[] = {
    {"SyncWrite", Op::Boot, PhaseSync, InternalError::SyncWrite},
    {"DownloadWrite", Op::Boot, PhaseKernelLoad, InternalError::DownloadWrite},
    {"EraseCommandWrite", Op::Erase, PhaseBlockErase, InternalError::EraseCommandWrite},
    {"ChunkCommandWrite", Op::Program, PhaseProgram, InternalError::ChunkCommandWrite},
};

class LineGone : public ::testing::TestWithParam<WriteSite> {};

TEST_P(LineGone, FailsTheNextWriteWithItsNumber) {
  const WriteSite& site = GetParam();
  WizardState sheet = MakeSheet("TX-A10", 0, 1, "");
  auto board = StartBoard(
      BoardFor(sheet, site.op == Op::Boot ? sim::BoardState::Boot : sim::BoardState::User));
  sheet.m_strComPort = board->PortPath();
  sheet.m_astrSelectedBlocks = {"LB0"};
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0100, {0x01})});

  bool stopped = false;  // before the recorder, whose hook uses it
  CCommThread comm;
  RecordingNotifier notifier(comm);
  notifier.hook = [&](const ProgressRecord& r) {
    if (r.phase == site.phase && !stopped) {
      stopped = true;
      board->Stop();
    }
  };
  switch (site.op) {
    case Op::Boot: ASSERT_TRUE(comm.StartBoot(&notifier, sheet)); break;
    case Op::Erase: ASSERT_TRUE(comm.StartErase(&notifier, sheet)); break;
    default: ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false)); break;
  }
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorInternal);
  EXPECT_EQ(detail, site.number);
  EXPECT_EQ(notifier.IdleCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Link, LineGone, ::testing::ValuesIn(kWriteSites),
                         [](const auto& info) { return std::string(info.param.name); });

// A clock range whose kernel the program has in no form is refused before the line is touched:
// not even the synchronisation goes out.
TEST(BootFaults, AMissingKernelImageIsRefusedBeforeAnythingIsSent) {
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
  sheet.m_strComPort = board->PortPath();
  sheet.m_strFile = WriteProgramFile({"S9030000FC"});
  // Resource 147 does not exist; the catalogue's lowest TX-A10 range uses 186 instead.
  const ClockRange missing{168, 147, sheet.m_pClockRange->bootRateCount,
                           sheet.m_pClockRange->bootRates};
  sheet.m_pClockRange = &missing;
  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_FALSE(comm.StartBoot(&notifier, sheet));
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorNoKernel);
  EXPECT_EQ(detail, 147u);
  EXPECT_TRUE(notifier.Records().empty());
  EXPECT_TRUE(board->Received().empty());
}

}  // namespace
}  // namespace quill::test
