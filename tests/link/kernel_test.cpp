// User-mode operations against a simulated board whose kernel runs: the erase form and the
// programming chunks of the 0x57 command, fitting records to the window and the selected blocks,
// and the counters.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "device/catalogue.h"
#include "link/chunk_fit.h"
#include "link/results.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

// A user-mode board, a communication object and a sheet on it.
class KernelTest : public ::testing::Test {
 protected:
  void Begin(const std::string& device, int mode = 0, sim::BoardOptions* extra = nullptr) {
    sheet = MakeSheet(device, mode, 0, "");
    sim::BoardOptions options = extra ? *extra : BoardFor(sheet, sim::BoardState::User);
    options.device = DeviceIndex(device);
    options.mode = mode;
    options.state = sim::BoardState::User;
    board = StartBoard(options);
    sheet.m_strComPort = board->PortPath();
  }
  void SelectAll() {
    sheet.m_astrSelectedBlocks.clear();
    for (int b = 0; b < sheet.Mode().blockCount; ++b) {
      sheet.m_astrSelectedBlocks.push_back(sheet.Mode().blocks[b].name);
    }
  }
  // Programs the records (as S3 lines) and waits for the end; returns the ErrorKind.
  int32_t Program(const std::vector<Record>& records, bool eraseFirst = false) {
    std::vector<std::string> lines;
    for (const Record& r : records) lines.push_back(SRecord(3, r.address, r.data));
    return ProgramLines(lines, eraseFirst);
  }
  int32_t ProgramLines(const std::vector<std::string>& lines, bool eraseFirst = false) {
    sheet.m_strFile = WriteProgramFile(lines);
    EXPECT_TRUE(comm.StartProgram(&notifier, sheet, eraseFirst)) << comm.GetOutcome().fileError;
    return Finish();
  }
  int32_t Erase() {
    EXPECT_TRUE(comm.StartErase(&notifier, sheet));
    return Finish();
  }
  int32_t Finish() {
    EXPECT_TRUE(notifier.WaitIdle());
    EXPECT_EQ(notifier.IdleCount(), 1);
    EXPECT_EQ(notifier.Records().back(), (ProgressRecord{PhaseIdle, 0, 1}));
    EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort)) << "the port stays open";
    return comm.GetResult(detail);
  }

  WizardState sheet;
  std::unique_ptr<sim::SimBoard> board;
  CCommThread comm;
  RecordingNotifier notifier{comm};
  uint32_t detail = 0;
};

TEST_F(KernelTest, ChunkExchangeOfThreeBytes) {
  Begin("TX-C30");
  SelectAll();
  ASSERT_EQ(Program({{0x1000, {0x01, 0x02, 0x03}}}), ErrorNone);
  EXPECT_EQ(board->Received(),
            (std::vector<uint8_t>{0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03, 0x11,
                                  0x01, 0x02, 0x03, 0x11, 0xF9}));
  EXPECT_EQ(board->Sent(), (std::vector<uint8_t>{0x06, 0x11, 0x11, 0x06}));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 3u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 0u);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

TEST_F(KernelTest, EraseFormNamesTheBlocksInMapOrder) {
  Begin("TX-A10");
  sheet.m_astrSelectedBlocks = {"SB0", "LB1"};
  ASSERT_EQ(Erase(), ErrorNone);
  EXPECT_EQ(board->Received(),
            (std::vector<uint8_t>{0x57, 0x02, 0x00, 0x00, 0x40, 0x00, 0x00, 0x01, 0xF0, 0x00, 0, 0,
                                  0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_TRUE(board->EraseCommands()[0].erased);
  const std::vector<ProgressRecord> erase = notifier.RecordsOf(PhaseBlockErase);
  EXPECT_EQ(erase, (std::vector<ProgressRecord>{
                       {PhaseBlockErase, 0, 1}, {PhaseBlockErase, 0, 20}, {PhaseBlockErase, 1, 1}}));
}

// The operation works on the job as it was when it started: the caller may go on editing its own.
TEST_F(KernelTest, AStartedOperationKeepsTheJobItWasGiven) {
  Begin("TX-A10");
  sheet.m_astrSelectedBlocks = {"SB0", "LB1"};
  ASSERT_TRUE(comm.StartErase(&notifier, sheet));
  sheet.m_astrSelectedBlocks = {"LB0"};
  sheet.m_pDevice = nullptr;
  sheet.m_strComPort.clear();
  ASSERT_TRUE(notifier.WaitIdle());
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(board->Received(),
            (std::vector<uint8_t>{0x57, 0x02, 0x00, 0x00, 0x40, 0x00, 0x00, 0x01, 0xF0, 0x00, 0, 0,
                                  0, 0, 0, 0, 0, 0}));
}

TEST_F(KernelTest, EraseOfNamesOutsideTheMapSendsNothing) {
  Begin("TX-C30");
  sheet.m_astrSelectedBlocks = {"LB7", "lb0"};  // TX-C30 has no LB7; names match exactly
  ASSERT_EQ(Erase(), ErrorNone);
  EXPECT_TRUE(board->Received().empty());
  EXPECT_EQ(notifier.Records(), (std::vector<ProgressRecord>{{PhaseIdle, 0, 1}}));
}

TEST_F(KernelTest, ProgramWithPreEraseErasesThenPrograms) {
  Begin("TX-C30");
  std::vector<uint8_t> image(0x200, 0x00);
  ASSERT_TRUE(board->SetFlash(image, nullptr));
  sheet.m_astrSelectedBlocks = {"SB1"};
  ASSERT_EQ(Program({{0x80, Pattern(16, 9)}}, true), ErrorNone);
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, std::vector<uint32_t>{0x80});
  const std::vector<uint8_t> flash = board->Flash();
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x80, flash.begin() + 0x90), Pattern(16, 9));
  EXPECT_TRUE(std::all_of(flash.begin() + 0x90, flash.begin() + 0x100, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(flash[0x7F], 0x00);  // SB0 was not erased
}

TEST_F(KernelTest, PreEraseWithoutSelectedBlocksSendsNoEraseCommand) {
  Begin("TX-C30");
  sheet.m_astrSelectedBlocks.clear();
  ASSERT_EQ(Program({{0x10, {0x42}}}, true), ErrorNone);
  EXPECT_TRUE(board->EraseCommands().empty());
  // With nothing selected every block counts as unselected: the byte is skipped.
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 0u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 1u);
  EXPECT_TRUE(board->Received().empty());
}

TEST_F(KernelTest, FileWithoutDataRecordsSendsNothingAndSucceeds) {
  Begin("TX-C30");
  SelectAll();
  ASSERT_EQ(ProgramLines({"S0030000FC", "S9030000FC"}), ErrorNone);
  const int32_t length = 22;
  EXPECT_EQ(notifier.RecordsOf(PhaseProgram),
            (std::vector<ProgressRecord>{{PhaseProgram, 0, length}, {PhaseProgram, length, length}}));
  EXPECT_TRUE(board->Received().empty());
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 0u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 0u);
}

// Offset 0x1000, window from 0x2000: a 16-byte record at 0x0FF8 lands at 0x1FF8 and keeps its
// last 8 bytes, starting with data byte 8.
TEST_F(KernelTest, WindowCutsTheFrontOfARecord) {
  Begin("TX-C30");
  SelectAll();
  sheet.m_dwOffset = 0x1000;
  sheet.m_dwLowest = 0x2000;
  const std::vector<uint8_t> data = Pattern(16, 0x30);
  ASSERT_EQ(Program({{0x0FF8, data}}), ErrorNone);
  EXPECT_EQ(board->Received(),
            ChunkBytes(0x2000, std::vector<uint8_t>(data.begin() + 8, data.end())));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 8u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 8u);
}

TEST_F(KernelTest, RecordEndingAtTheHighestAddressIsSentWhole) {
  Begin("TX-C30");
  SelectAll();
  sheet.m_dwHighest = 0x10FF;
  const std::vector<uint8_t> data = Pattern(16, 0x50);
  ASSERT_EQ(Program({{0x10F0, data}, {0x10F1, data}}), ErrorNone);
  EXPECT_EQ(board->Received(),
            ChunkBytes(0x10F0, data) +
                ChunkBytes(0x10F1, std::vector<uint8_t>(data.begin(), data.end() - 1)));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 31u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 1u);
}

TEST_F(KernelTest, UnselectedBlocksAreNeverWritten) {
  Begin("TX-C30");
  sheet.m_astrSelectedBlocks = {"SB1", "SB3"};
  const std::vector<uint8_t> a = Pattern(16, 1), b = Pattern(16, 2), c = Pattern(16, 3);
  // Wholly in SB0 (skipped); from SB0 into SB1 (sent from SB1's start); from SB1 into SB2 (cut
  // at SB2's start).
  ASSERT_EQ(Program({{0x10, a}, {0x78, b}, {0xF8, c}}), ErrorNone);
  EXPECT_EQ(board->Received(), ChunkBytes(0x80, std::vector<uint8_t>(b.begin() + 8, b.end())) +
                                   ChunkBytes(0xF8, std::vector<uint8_t>(c.begin(), c.begin() + 8)));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 16u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 32u);
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, {{0x10, a}, {0x78, b}, {0xF8, c}}));
}

// Records of more than 64 data bytes go out in pieces of at most 64 bytes; a record across
// three blocks whose middle one is not selected leaves that block untouched.
TEST_F(KernelTest, LongRecordsAreSplitAndFittedPieceByPiece) {
  Begin("TX-C30");
  sheet.m_astrSelectedBlocks = {"SB0", "SB2"};
  const std::vector<uint8_t> data = Pattern(252, 0x11);  // the longest S1 record
  const std::vector<std::string> lines = {SRecord(1, 0x0040, data)};
  ASSERT_EQ(ProgramLines(lines), ErrorNone);
  const std::vector<sim::SimBoard::Chunk> chunks = board->Chunks();
  for (const auto& chunk : chunks) {
    EXPECT_LE(chunk.data.size(), 64u);
    EXPECT_TRUE(chunk.address + chunk.data.size() <= 0x80 || chunk.address >= 0x100)
        << "chunk at " << chunk.address << " writes into SB1";
  }
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, {{0x40, data}}));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 64u + 60u);  // 0x40..0x7F and 0x100..0x13B
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 128u);
  // Progress is posted once per record, not per piece.
  EXPECT_EQ(notifier.RecordsOf(PhaseProgram).size(), 3u);
}

// A data record without data bytes is passed over; what follows it is still programmed.
TEST_F(KernelTest, EmptyDataRecordDoesNotEndTheStep) {
  Begin("TX-C30");
  SelectAll();
  ASSERT_EQ(ProgramLines({SRecord(1, 0x0000, {0x01}), SRecord(1, 0x0010, {}),
                          SRecord(1, 0x0020, {0x02})}),
            ErrorNone);
  EXPECT_EQ(board->Received(), ChunkBytes(0x0000, {0x01}) + ChunkBytes(0x0020, {0x02}));
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 2u);
}

TEST_F(KernelTest, EveryUserRateWorks) {
  for (int i = 0; i < GetUserDataRateCount(); ++i) {
    const uint32_t rate = GetUserDataRate(i);
    SCOPED_TRACE(rate);
    sim::BoardOptions options;
    options.expectBaud = rate;
    Begin("TX-C30", 0, &options);
    SelectAll();
    sheet.m_nComUserRate = static_cast<int32_t>(rate);
    notifier.Clear();
    ASSERT_EQ(Program({{0x200 + 0x10 * static_cast<uint32_t>(i), {static_cast<uint8_t>(i)}}}), ErrorNone);
    EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
    EXPECT_EQ(board->Chunks().size(), 1u);
  }
}

// A file that turned invalid after it was checked stops programming with ErrorKind 14 and the
// line, instead of passing for a success.
TEST_F(KernelTest, FileThatChangedStopsWithItsLine) {
  Begin("TX-C30");
  SelectAll();
  ASSERT_EQ(ProgramLines({SRecord(1, 0x0000, {0x01}), SRecord(1, 0x0010, {0x02}), "garbage",
                          SRecord(1, 0x0020, {0x03})}),
            ErrorFileChanged);
  EXPECT_EQ(detail, 3u);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 2u);
  EXPECT_EQ(board->Chunks().size(), 2u);

  notifier.Clear();
  ASSERT_EQ(ProgramLines({SRecord(1, 0x0000, {0x01}), SRecord(1, 0x0010, {0x02}, true)}),
            ErrorFileChanged);
  EXPECT_EQ(detail, 2u);
  EXPECT_NE(FormatErrorMessage(ErrorFileChanged, 2).find("at line 2 while"), std::string::npos);
}

TEST_F(KernelTest, ProgramFileThatCannotBeOpenedIsRefused) {
  Begin("TX-C30");
  sheet.m_strFile = ::testing::TempDir() + "no_such_dir/none.mot";
  EXPECT_FALSE(comm.StartProgram(&notifier, sheet, false));
  const std::string error = comm.GetOutcome().fileError;
  EXPECT_NE(error.find(sheet.m_strFile), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(notifier.IdleCount(), 0);
  EXPECT_TRUE(OpensForExclusiveUse(sheet.m_strComPort));
}

TEST(ChunkFit, PiecesNeverReachIntoUnselectedBlocks) {
  const DeviceType* device = FindDeviceByName("TX-C30");
  const FlashBlock* blocks = device->GetBlocks(0);
  const int count = device->GetBlockCount(0);
  // Record at 0x7F0 of 64 bytes: SB6 ends 0xBFF, so the piece lies within SB5..SB6.
  std::vector<ChunkSpan> runs = FitPiece(0x07F0, 64, 0, 0xFFFF, blocks, count, {"SB5"});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].address, 0x07F0u);
  EXPECT_EQ(runs[0].first, 0u);
  EXPECT_EQ(runs[0].count, 16u);
  runs = FitPiece(0x07F0, 64, 0, 0xFFFF, blocks, count, {"SB6"});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].address, 0x0800u);
  EXPECT_EQ(runs[0].first, 16u);
  EXPECT_EQ(runs[0].count, 48u);
  // Beyond 0xFFFFFFFF nothing wraps around to address 0.
  runs = FitPiece(0xFFFFFFF8ull, 16, 0, 0xFFFFFFFF, blocks, 0, {});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].count, 8u);
  EXPECT_TRUE(FitPiece(0x100000000ull, 4, 0, 0xFFFFFFFF, blocks, 0, {}).empty());
}

}  // namespace
}  // namespace quill::test
