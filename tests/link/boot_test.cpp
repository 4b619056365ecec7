// Boot-mode programming against the simulated board: synchronisation, kernel download with echo
// check, erase-all report, then programming through the downloaded kernel.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "device/catalogue.h"
#include "kernels/sha256.h"
#include "link/results.h"
#include "resources/fpcode.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

std::vector<uint8_t> KernelOf(const WizardState& sheet) {
  const auto image = FindResource("FPCODE", sheet.m_pClockRange->kernelId);
  return {image.begin(), image.end()};
}

TEST(BootProgram, TxC30ClockRange2RunsTheExchangeByteForByte) {
  WizardState sheet = MakeSheet("TX-C30", 0, 2, "");
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
  sheet.m_strComPort = board->PortPath();
  const std::vector<uint8_t> data = {0x01, 0x02, 0x03};
  sheet.m_strFile = WriteProgramFile({"S0030000FC", SRecord(1, 0x1000, data), "S9030000FC"});
  sheet.m_astrSelectedBlocks = {"LB0"};

  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartBoot(&notifier, sheet)) << comm.GetOutcome().fileError;
  ASSERT_TRUE(notifier.WaitIdle());

  uint32_t detail = 99;
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(detail, 0u);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 3u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 0u);

  const std::vector<uint8_t> kernel = KernelOf(sheet);
  ASSERT_EQ(kernel.size(), 896u);
  ASSERT_EQ(sheet.m_pClockRange->kernelId, 192u);
  const std::vector<uint8_t> host = std::vector<uint8_t>(10, 0x00) +
                                    std::vector<uint8_t>{0x55, 0x03, 0x80} + kernel +
                                    ChunkBytes(0x1000, data);
  EXPECT_EQ(board->Received(), host);
  const std::vector<uint8_t> target = std::vector<uint8_t>{0x00, 0xAA, 0x03, 0x80} + kernel +
                                      std::vector<uint8_t>{0x00, 0x06, 0x11, 0x11, 0x06};
  EXPECT_EQ(board->Sent(), target);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();

  const std::vector<ProgressRecord> sync = notifier.RecordsOf(PhaseSync);
  EXPECT_EQ(sync, (std::vector<ProgressRecord>{{PhaseSync, 0, 100}, {PhaseSync, 100, 100}}));
  const std::vector<ProgressRecord> load = notifier.RecordsOf(PhaseKernelLoad);
  ASSERT_EQ(load.size(), 901u);
  EXPECT_EQ(load.front(), (ProgressRecord{PhaseKernelLoad, 0, 896}));
  for (int i = 0; i < 899; ++i) EXPECT_EQ(load[1 + i], (ProgressRecord{PhaseKernelLoad, i, 899}));
  EXPECT_EQ(load.back(), (ProgressRecord{PhaseKernelLoad, 899, 899}));
  EXPECT_EQ(notifier.RecordsOf(PhaseBootErase),
            (std::vector<ProgressRecord>{{PhaseBootErase, 0, 20}, {PhaseBootErase, 20, 20}}));
  const std::vector<ProgressRecord> program = notifier.RecordsOf(PhaseProgram);
  ASSERT_EQ(program.size(), 3u);
  EXPECT_EQ(program.front().pos, 0);
  EXPECT_EQ(program.back().pos, program.back().range);
  EXPECT_EQ(notifier.Records().back(), (ProgressRecord{PhaseIdle, 0, 1}));
  EXPECT_EQ(notifier.IdleCount(), 1);
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, {{0x1000, data}}));

  // The outcome is told once, after the idle step, as the object keeps it: with the kernel sent.
  comm.DetachNotifier(&notifier);
  const auto outcomes = notifier.Outcomes();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].second, notifier.Records().size());
  const Outcome& told = outcomes[0].first;
  EXPECT_EQ(told.result, (Result{}));
  EXPECT_EQ(told.counts.programmed, comm.GetOutcome().counts.programmed);
  ASSERT_TRUE(told.kernel.has_value());
  EXPECT_EQ(told.kernel->id, 192u);
  EXPECT_EQ(told.kernel->sha256, Sha256Hex(kernel));
  EXPECT_EQ(told.kernel->source, "built-in stand-in");
  EXPECT_EQ(comm.GetOutcome().kernel->sha256, told.kernel->sha256);
}

// Every device and mode at every clock range: the right kernel goes out with its length in
// front, the board accepts the line settings, and the flash ends up holding exactly the file's
// bytes inside the window.
TEST(BootProgram, EveryDeviceModeAndClockRangeProgramsTheFlash) {
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType* device = GetDevice(d);
    for (int m = 0; m < device->modeCount; ++m) {
      for (int c = 0; c < device->GetClockRangeCount(m); ++c) {
        SCOPED_TRACE(device->GetName() + " mode " + std::to_string(m) + " clock " +
                     std::to_string(c));
        WizardState sheet = MakeSheet(device->GetName(), m, c, "");
        auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
        sheet.m_strComPort = board->PortPath();
        // A window short of the flash's ends, records across its edges and a block boundary.
        const uint32_t low = sheet.Mode().flashLowest, high = sheet.Mode().flashHighest;
        sheet.m_dwLowest = low + 0x10;
        sheet.m_dwHighest = high - 0x10;
        const uint32_t boundary = sheet.Mode().blocks[1].start;
        const std::vector<Record> records = {{low, Pattern(32, 1)},
                                             {boundary - 8, Pattern(16, 2)},
                                             {high - 0x1F, Pattern(32, 3)}};
        std::vector<std::string> lines;
        for (const Record& r : records) lines.push_back(SRecord(3, r.address, r.data));
        sheet.m_strFile = WriteProgramFile(lines);
        for (int b = 0; b < sheet.Mode().blockCount; ++b) {
          sheet.m_astrSelectedBlocks.push_back(sheet.Mode().blocks[b].name);
        }

        CCommThread comm;
        RecordingNotifier notifier(comm);
        ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
        ASSERT_TRUE(notifier.WaitIdle());
        uint32_t detail = 0;
        EXPECT_EQ(comm.GetResult(detail), ErrorNone) << FormatErrorMessage(comm.GetResult(detail), detail);
        EXPECT_EQ(comm.GetOutcome().counts.programmed, 16u + 16u + 16u);
        EXPECT_EQ(comm.GetOutcome().counts.skipped, 16u + 16u);

        const std::vector<uint8_t> kernel = KernelOf(sheet);
        const std::vector<uint8_t> received = board->Received();
        ASSERT_GT(received.size(), 13 + kernel.size());
        EXPECT_EQ(received[10], 0x55);
        EXPECT_EQ(received[11], kernel.size() >> 8);
        EXPECT_EQ(received[12], kernel.size() & 0xFF);
        EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), received.begin() + 13));
        EXPECT_EQ(board->BootCount(), 1);
        EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
        EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, records));
        const int32_t total = static_cast<int32_t>(kernel.size()) + 3;
        EXPECT_EQ(notifier.RecordsOf(PhaseKernelLoad).back(),
                  (ProgressRecord{PhaseKernelLoad, total, total}));
        EXPECT_EQ(notifier.IdleCount(), 1);
      }
    }
  }
}

TEST(BootProgram, TxA10LowestClockRangeSendsKernel186WithLength06BD) {
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  ASSERT_EQ(sheet.m_pClockRange->kernelId, 186u);
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
  sheet.m_strComPort = board->PortPath();
  sheet.m_strFile = WriteProgramFile({"S9030000FC"});
  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  const std::vector<uint8_t> received = board->Received();
  ASSERT_EQ(received.size(), 10u + 3u + 1725u);
  EXPECT_EQ(received[11], 0x06);
  EXPECT_EQ(received[12], 0xBD);
  EXPECT_EQ(notifier.RecordsOf(PhaseKernelLoad).back(),
            (ProgressRecord{PhaseKernelLoad, 1728, 1728}));
}

// The sync byte is not examined, and any erase-all report but 0xFF means the flash is erased.
TEST(BootProgram, AnySyncReplyAndAnyReportButFFPass) {
  WizardState sheet = MakeSheet("TX-C30", 0, 4, "");
  sim::BoardOptions options = BoardFor(sheet, sim::BoardState::Boot);
  options.syncReply = 0x00;
  options.eraseReport = 0x00;
  auto board = StartBoard(options);
  sheet.m_strComPort = board->PortPath();
  sheet.m_strFile = WriteProgramFile({SRecord(1, 0x0100, {0xAB})});
  sheet.m_astrSelectedBlocks = {"SB2"};
  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorNone);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 1u);
  EXPECT_EQ(board->Flash()[0x100], 0xAB);
}

}  // namespace
}  // namespace quill::test
