// Several program files in one run against the simulated board: one erase, one programming pass
// over all of them in order, the flash holding the merged image; progress over the whole set.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/wizard_state.h"
#include "link/results.h"
#include "progfile/program_image.h"
#include "resources/strings.h"
#include "sim/srec_line.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

class NoQuestions : public CheckReporter {
 public:
  void ShowMessage(uint32_t, const std::string& text) override { ADD_FAILURE() << text; }
  bool AskYesNo(uint32_t, const std::string& text) override {
    ADD_FAILURE() << text;
    return false;
  }
  void ReportFileError(const std::string& text) override { ADD_FAILURE() << text; }
};

std::string WriteBinary(const std::vector<uint8_t>& bytes) {
  const std::string path = WriteProgramFile({}) + ".bin";
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// The record as Intel HEX: its linear address, data records of 32 bytes, the end.
std::vector<std::string> HexLines(const Record& r) {
  std::vector<std::string> lines = {sim::MakeIntelHexLine(
      4, 0, {static_cast<uint8_t>(r.address >> 24), static_cast<uint8_t>(r.address >> 16)})};
  for (std::size_t at = 0; at < r.data.size(); at += 32) {
    const auto end = r.data.begin() + static_cast<std::ptrdiff_t>(std::min(at + 32, r.data.size()));
    lines.push_back(sim::MakeIntelHexLine(0, static_cast<uint16_t>(r.address + at),
                                          std::vector<uint8_t>(r.data.begin() + static_cast<std::ptrdiff_t>(at), end)));
  }
  lines.push_back(sim::MakeIntelHexLine(1, 0, {}));
  return lines;
}

// A boot loader (S-record), an application (Intel HEX) and calibration data (raw binary) that
// share the block LB0 and SB7 of TX-C30.
struct Product {
  std::vector<ProgramFile> files;
  std::vector<Record> records;
};

Product MakeProduct() {
  Product p;
  const Record boot{0x0000, Pattern(0x48, 1)};
  const Record app{0x0E80, Pattern(0x1A0, 2)};  // SB7 and into LB0
  const Record cal{0x1020, Pattern(0x50, 3)};   // LB0, after the application
  std::vector<std::string> bootLines;
  for (uint32_t at = 0; at < boot.data.size(); at += 0x18) {
    bootLines.push_back(SRecord(1, boot.address + at,
                                std::vector<uint8_t>(boot.data.begin() + at,
                                                     boot.data.begin() + std::min<std::size_t>(at + 0x18, boot.data.size()))));
  }
  p.files = {{WriteProgramFile(bootLines)},
             {WriteProgramFile(HexLines(app))},
             {WriteBinary(cal.data), FileFormat::Binary, cal.address}};
  p.records = {boot, app, cal};
  return p;
}

TEST(FileSetRun, BootProgramsTheMergedImage) {
  WizardState sheet = MakeSheet("TX-C30", 0, 8, "");
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
  sheet.m_strComPort = board->PortPath();
  const Product product = MakeProduct();
  NoQuestions reporter;
  ASSERT_TRUE(CheckProgramFiles(sheet, product.files, reporter));
  sheet.m_strFile = product.files.front().path;
  EXPECT_EQ(sheet.m_astrSelectedBlocks, (std::vector<std::string>{"SB0", "SB7", "LB0"}));

  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  ASSERT_EQ(comm.GetResult(detail), ErrorNone) << FormatErrorMessage(comm.GetResult(detail), detail);
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 0x48u + 0x1A0u + 0x50u);
  EXPECT_EQ(comm.GetOutcome().counts.skipped, 0u);
  EXPECT_EQ(board->BootCount(), 1);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet, product.records));
  // One position over all three files, rising to their total length.
  const std::vector<ProgressRecord> program = notifier.RecordsOf(PhaseProgram);
  ASSERT_FALSE(program.empty());
  int64_t total = 0;
  for (const ProgramFile& f : product.files) total += static_cast<int64_t>(std::filesystem::file_size(f.path));
  for (std::size_t i = 1; i < program.size(); ++i) {
    EXPECT_EQ(program[i].range, total);
    EXPECT_GE(program[i].pos, program[i - 1].pos);
  }
  EXPECT_EQ(program.back().pos, total);
}

TEST(FileSetRun, UserProgramErasesTheUnionOnceThenProgramsEveryFile) {
  WizardState sheet = MakeSheet("TX-C30", 0, 0, "");
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::User));
  sheet.m_strComPort = board->PortPath();
  // Old contents everywhere, so a block left unerased would show.
  std::string error;
  ASSERT_TRUE(board->SetFlash(std::vector<uint8_t>(sheet.Mode().flashHighest + 1, 0x00), &error))
      << error;
  const Product product = MakeProduct();
  NoQuestions reporter;
  ASSERT_TRUE(CheckProgramFiles(sheet, product.files, reporter));
  sheet.m_strFile = product.files.front().path;

  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, true));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  ASSERT_EQ(comm.GetResult(detail), ErrorNone) << FormatErrorMessage(comm.GetResult(detail), detail);
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  const DeviceMode& mode = sheet.Mode();
  std::vector<uint32_t> starts;
  for (int b = 0; b < mode.blockCount; ++b) {
    if (FindBlockName(sheet.m_astrSelectedBlocks, mode.blocks[b].name) >= 0) {
      starts.push_back(mode.blocks[b].start);
    }
  }
  EXPECT_EQ(board->EraseCommands()[0].starts, starts);
  // The merged image in the erased blocks, the old contents elsewhere.
  std::vector<uint8_t> expect = ExpectedFlash(sheet, product.records);
  for (int b = 0; b < mode.blockCount; ++b) {
    if (FindBlockName(sheet.m_astrSelectedBlocks, mode.blocks[b].name) >= 0) continue;
    for (uint32_t a = mode.blocks[b].start; a <= mode.blocks[b].end; ++a) expect[a] = 0x00;
  }
  EXPECT_EQ(board->Flash(), expect);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// A raw binary file cannot turn invalid; a different length after the check is its change.
TEST(FileSetRun, BinaryThatChangedLengthStopsBeforeItIsSent) {
  WizardState sheet = MakeSheet("TX-C30", 0, 0, "");
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::User));
  sheet.m_strComPort = board->PortPath();
  const std::string hex = WriteProgramFile(HexLines({0x100, Pattern(16, 4)}));
  const std::string bin = WriteBinary(Pattern(0x20, 5));
  NoQuestions reporter;
  ASSERT_TRUE(CheckProgramFiles(sheet, {{hex}, {bin, FileFormat::Binary, 0x400}}, reporter));
  sheet.m_strFile = hex;
  {
    std::ofstream grow(bin, std::ios::binary | std::ios::app);
    grow << "more";
  }
  CCommThread comm;
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 1;
  EXPECT_EQ(comm.GetResult(detail), ErrorFileChanged);
  EXPECT_EQ(detail, 0u);
  EXPECT_EQ(FormatErrorMessage(ErrorFileChanged, 0), LoadString(StrId::FileChangedLength));
  ASSERT_EQ(board->Chunks().size(), 1u) << "the first file's record only";
  EXPECT_EQ(comm.GetOutcome().counts.programmed, 16u);
}

}  // namespace
}  // namespace quill::test
