// User-mode runs through the real wizard against a simulated board whose kernel is running:
// programming with and without pre-erase of the blocks chosen on the program block page, and
// erasing the blocks chosen on the erase block page.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>
#include <filesystem>
#include <memory>

#include "app/page_ids.h"
#include "pages/blocks_page.h"
#include "pages/done_page.h"
#include "pages/file_page.h"
#include "pages/switch_page.h"
#include "pages/user_operation_page.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/gui_user/user_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

// TX-C30's blocks in map order: SB0..SB7 (0x0000..0x0FFF), LB0 0x1000, LB1 0x2000, LB2, LB3.
const DeviceMode& C30() { return GetDevice(DeviceIndex("TX-C30"))->modes[0]; }

const FlashBlock* BlockOf(uint32_t address) {
  const DeviceMode& mode = C30();
  for (int i = 0; i < mode.blockCount; ++i)
    if (mode.blocks[i].start <= address && address <= mode.blocks[i].end) return &mode.blocks[i];
  return nullptr;
}

const FlashBlock* BlockNamed(const char* name) {
  const DeviceMode& mode = C30();
  for (int i = 0; i < mode.blockCount; ++i)
    if (std::string_view(mode.blocks[i].name) == name) return &mode.blocks[i];
  return nullptr;
}

// Records touching LB1 first, then SB2, LB0 and SB5; one straddles LB0 and LB1.
const std::vector<Record>& ProgramRecords() {
  static const std::vector<Record> records = {
      {0x2010, Pattern(32, 0x10)}, {0x0100, Pattern(16, 0x40)}, {0x1000, Pattern(16, 0x70)},
      {0x1FF8, Pattern(16, 0xA0)}, {0x0400, Pattern(8, 0xD0)},
  };
  return records;
}

std::string ProgramFile() {
  std::vector<std::string> lines;
  for (const Record& r : ProgramRecords()) lines.push_back(SRecord(1, r.address, r.data));
  lines.push_back("S9030000FC");
  return WriteProgramFile(lines);
}

class UserRun : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::BoardOptions options = BoardOf("TX-C30", 0, 0, sim::BoardState::User);
    board = StartBoard(std::move(options));
    ASSERT_TRUE(board);
    wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 0, board->PortPath());
    ASSERT_TRUE(wizard->Show());
    // Clicked on its mark: the button is wider than its text.
    ClickButton(wizard->OperationPage().Radio(OperationUser));
    wizard->PressNext();
    ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  }
  void TearDown() override { wizard.reset(); }

  void ChooseUserOperation(int op) {
    ClickButton(wizard->Active<CUserOperationPage>()->Radio(op));
    wizard->PressNext();
  }
  // On to the program block page with the file.
  CBlocksPage* ToProgramBlocks(int op, const std::string& file) {
    ChooseUserOperation(op);
    auto* filePage = wizard->Active<CUserFilePage>();
    EXPECT_NE(filePage, nullptr);
    if (!filePage) return nullptr;
    filePage->m_editFile->setText(QString::fromStdString(file));
    wizard->PressNext();
    EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserBlocks) << ::testing::PrintToString(prompt.Ids());
    return wizard->Active<CBlocksPage>();
  }
  // From a block page through the switch and progress pages to the result page.
  void RunTo(int doneTemplate) {
    wizard->PressNext();
    ASSERT_TRUE(wizard->ActiveTemplate() == PageId::UserStartSwitches ||
                wizard->ActiveTemplate() == PageId::EraseStartSwitches);
    wizard->PressNext();
    ASSERT_TRUE(wizard->WaitForTemplate(doneTemplate, 30000));
  }
  CDonePage* Done() { return wizard->Active<CDonePage>(); }

  ScriptedPrompt prompt;
  std::unique_ptr<sim::SimBoard> board;
  std::unique_ptr<WizardUnderTest> wizard;
};

TEST_F(UserRun, PreEraseErasesTheChosenBlocksInMapOrderAndADeselectedBlockIsNotTouched) {
  // Every byte programmed to 0, so a block that is not erased keeps its 0 bytes.
  const std::vector<uint8_t> programmed(C30().flashHighest - C30().flashLowest + 1, 0x00);
  std::string error;
  ASSERT_TRUE(board->SetFlash(programmed, &error)) << error;

  CBlocksPage* page = ToProgramBlocks(UserOperationProgramErase, ProgramFile());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks,
            (std::vector<std::string>{"LB1", "SB2", "LB0", "SB5"}));
  EXPECT_EQ(SelectedNames(page->m_listBlocks), QStringList({"SB2", "SB5", "LB0", "LB1"}));
  Screenshot(&wizard->Sheet(), "user_blocks_page");

  ClickRow(page->m_listBlocks, "LB0");  // write-protect LB0
  EXPECT_EQ(SelectedNames(page->m_listBlocks), QStringList({"SB2", "SB5", "LB1"}));
  ASSERT_NO_FATAL_FAILURE(RunTo(PageId::UserDone));
  CFlashSheet& sheet = wizard->Sheet();
  EXPECT_EQ(sheet.State().m_astrSelectedBlocks, (std::vector<std::string>{"SB2", "SB5", "LB1"}));

  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x0100, 0x0400, 0x2000}));
  for (const sim::SimBoard::Chunk& chunk : board->Chunks()) {
    EXPECT_TRUE(chunk.programmed);
    for (std::size_t i = 0; i < chunk.data.size(); ++i)
      EXPECT_STRNE(BlockOf(chunk.address + static_cast<uint32_t>(i))->name, "LB0")
          << "a byte at " << std::hex << chunk.address + i;
  }
  // Erased and programmed where chosen, untouched elsewhere.
  const std::vector<uint8_t> written = ExpectedFlash(sheet.State(), ProgramRecords());
  std::vector<uint8_t> expected = programmed;
  for (const char* name : {"SB2", "SB5", "LB1"}) {
    const FlashBlock* b = BlockNamed(name);
    for (uint32_t a = b->start; a <= b->end; ++a) expected[a] = written[a];
  }
  EXPECT_EQ(board->Flash(), expected);
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();

  // 32 + 16 + 8 + 8 bytes written; LB0's 16 + 8 skipped.
  EXPECT_EQ(Done()->m_staticResult->text(), Text(120));
  EXPECT_EQ(Done()->m_staticCounts->text(),
            "H'40 bytes inside the address range were programmed.\n"
            "H'18 bytes outside the address range were skipped.");
  EXPECT_TRUE(prompt.messages.empty());
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  EXPECT_TRUE(wizard->Active<CUserOperationPage>()->Radio(UserOperationProgramErase)->isChecked());
}

TEST_F(UserRun, WithoutPreEraseNoEraseCommandGoesOnTheLine) {
  CBlocksPage* page = ToProgramBlocks(UserOperationProgram, ProgramFile());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(SelectedNames(page->m_listBlocks).size(), 4);
  ASSERT_NO_FATAL_FAILURE(RunTo(PageId::UserDone));
  EXPECT_TRUE(board->EraseCommands().empty());
  // Every command on the line was a programming chunk: 0x57 followed by a block count of 0.
  const std::vector<uint8_t> received = board->Received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0], 0x57);
  EXPECT_EQ(received[1], 0x00);
  EXPECT_EQ(board->Chunks().size(), ProgramRecords().size());
  EXPECT_EQ(board->Flash(), ExpectedFlash(wizard->Sheet().State(), ProgramRecords()));
  EXPECT_EQ(Done()->m_staticCounts->text(),
            "H'58 bytes inside the address range were programmed.\n"
            "H'0 bytes outside the address range were skipped.");
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// A program file gone between the block page and the start: the result page says why nothing
// started, not the communication object's earlier outcome; the next run shows its own again.
TEST_F(UserRun, AStartRefusedForItsFileShowsWhyAndTheNextRunItsOwnOutcome) {
  const std::string file = ProgramFile();
  ASSERT_NE(ToProgramBlocks(UserOperationProgram, file), nullptr);
  std::filesystem::remove(file);
  ASSERT_NO_FATAL_FAILURE(RunTo(PageId::UserDone));
  ASSERT_TRUE(wizard->Sheet().State().m_strNotStarted);
  EXPECT_EQ(Done()->m_staticResult->text().toStdString(), *wizard->Sheet().State().m_strNotStarted);
  EXPECT_TRUE(Done()->m_staticResult->text().startsWith(Text(420).section('%', 0, 0)));
  EXPECT_TRUE(board->Received().empty());
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  wizard->Sheet().State().m_astrSelectedBlocks = {"LB2"};
  ChooseUserOperation(UserOperationErase);
  ASSERT_NO_FATAL_FAILURE(RunTo(PageId::EraseDone));
  EXPECT_FALSE(wizard->Sheet().State().m_strNotStarted);
  EXPECT_EQ(Done()->m_staticResult->text(), Text(142));
}

TEST_F(UserRun, EraseRefusesAnEmptyChoiceThenErasesEveryBlockAfterSelectAll) {
  const std::vector<uint8_t> programmed(C30().flashHighest - C30().flashLowest + 1, 0x00);
  std::string error;
  ASSERT_TRUE(board->SetFlash(programmed, &error)) << error;
  wizard->Sheet().State().m_astrSelectedBlocks = {"LB2"};
  ChooseUserOperation(UserOperationErase);
  auto* page = wizard->Active<CEraseBlocksPage>();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(SelectedNames(page->m_listBlocks), QStringList({"LB2"}));

  QTest::mouseClick(page->m_btnDeselectAll, Qt::LeftButton);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  EXPECT_EQ(prompt.Ids(), (std::vector<uint32_t>{177}));
  EXPECT_TRUE(board->Received().empty());

  QTest::mouseClick(page->m_btnSelectAll, Qt::LeftButton);
  ASSERT_NO_FATAL_FAILURE(RunTo(PageId::EraseDone));
  std::vector<uint32_t> starts;
  for (int i = 0; i < C30().blockCount; ++i) starts.push_back(C30().blocks[i].start);
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, starts);
  EXPECT_TRUE(board->EraseCommands()[0].erased);
  EXPECT_EQ(board->Flash(), std::vector<uint8_t>(programmed.size(), 0xFF));
  EXPECT_EQ(Done()->m_staticResult->text(), Text(142));
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  EXPECT_EQ(prompt.messages.size(), 1u);
}

// Automatic Mode through a port server whose board obeys the lines: the switch page says what
// QUILL will do instead of asking, the board is switched on in User mode and off again after
// the erase, and the result page says so.
TEST(UserRunAutomatic, AnEraseDrivesTheLinesAndLeavesVppOff) {
  ScriptedPrompt prompt;
  sim::BoardOptions options = BoardOf("TX-C30", 0, 0, sim::BoardState::User);
  options.listen = sim::ListenAddress{"127.0.0.1", 0};
  options.lines = LineMap{};
  std::unique_ptr<sim::SimBoard> board = StartBoard(std::move(options));
  ASSERT_TRUE(board);
  auto wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 0, board->PortPath());
  wizard->Sheet().State().m_bAutomatic = true;
  wizard->Sheet().State().m_astrSelectedBlocks = {"LB2"};
  ASSERT_TRUE(wizard->Show());
  ClickButton(wizard->OperationPage().Radio(OperationUser));
  wizard->PressNext();
  ClickButton(wizard->Active<CUserOperationPage>()->Radio(UserOperationErase));
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseStartSwitches);
  const QString instructions = wizard->Active<CStartSwitchesPage>()->m_staticInstructions->text();
  EXPECT_TRUE(instructions.contains(
      "QUILL will switch VPP off (DTR released), set the Mode switch to User (RTS released), then "
      "switch VPP on (DTR asserted)"))
      << instructions.toStdString();
  EXPECT_TRUE(wizard->Active<CStartSwitchesPage>()->m_staticFooter->text().endsWith(
      "If you abort, QUILL switches VPP off."));
  EXPECT_TRUE(board->LineChanges().empty());
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::EraseDone, 30000));
  auto* done = wizard->Active<CDonePage>();
  EXPECT_EQ(done->m_staticResult->text(), Text(142)) << ::testing::PrintToString(prompt.Ids());
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_FALSE(board->Powered());
  EXPECT_EQ(done->m_staticClosing->text(),
            "User Mode Erase procedure is finished.\nVPP has been switched off (the VPP LED is "
            "off), \nthen press \"Next\" to continue in User Mode or \"Exit\" to quit out.");
  // VPP off, Mode User, VPP on once, just before the erase; VPP off, then Mode released, last.
  std::string seen;
  for (const sim::LineChange& c : board->LineChanges())
    seen += std::string(LineName(c.line)) + (c.asserted ? "+ " : "- ");
  EXPECT_TRUE(seen.ends_with("dtr- rts- dtr+ dtr- rts- ")) << seen;
  EXPECT_EQ(seen.find("dtr+"), seen.rfind("dtr+")) << seen;
  EXPECT_EQ(seen.find("rts+"), std::string::npos) << seen;
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// The automatic instructions name the lines of the map in their order, an inverted Mode line
// asserted for User and released for Boot.
TEST(UserRunAutomatic, TheSwitchPageTextFollowsTheMap) {
  LineMap inverted;
  inverted.vpp = ControlLine::Rts;
  inverted.mode = ControlLine::Dtr;
  inverted.modeInverted = true;
  const std::string boot = CStartSwitchesPage::AutomaticInstructions(inverted, true);
  EXPECT_NE(boot.find("switch VPP off (RTS released), set the Mode switch to Boot (DTR released), "
                      "then switch VPP on (RTS asserted)"),
            std::string::npos)
      << boot;
  const std::string user = CStartSwitchesPage::AutomaticInstructions(inverted, false);
  EXPECT_NE(user.find("set the Mode switch to User (DTR asserted)"), std::string::npos) << user;
  EXPECT_NE(user.find("QUILL switches VPP off (RTS released) and releases the Mode line (DTR "
                      "released)"),
            std::string::npos)
      << user;
}

}  // namespace
}  // namespace quill::test
