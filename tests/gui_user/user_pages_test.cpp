// The user operation page and the two block pages in a running wizard: the choice and the page
// sets it builds, the block list with its columns, rows and selection, and how the selection is
// written back.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QtTest/QTest>
#include <memory>

#include "app/page_ids.h"
#include "pages/blocks_page.h"
#include "pages/file_page.h"
#include "pages/user_operation_page.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/gui_user/user_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

class UserPages : public ::testing::Test {
 protected:
  // The wizard on page 1, the user operation page, with the sheet prepared by before().
  void Open(const std::string& device, const std::function<void(CFlashSheet&)>& before = {}) {
    wizard = std::make_unique<WizardUnderTest>(device, 0, 4, "unused-port");
    if (before) before(wizard->Sheet());
    ASSERT_TRUE(wizard->Show());
    // Clicked on its mark: the button is wider than its text.
    ClickButton(wizard->OperationPage().Radio(OperationUser));
    wizard->PressNext();
    ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  }
  CUserOperationPage* UserOperation() { return wizard->Active<CUserOperationPage>(); }
  // Clicks a choice on page 1 and presses Next.
  void ChooseUserOperation(int op) {
    ClickButton(UserOperation()->Radio(op));
    wizard->PressNext();
  }
  std::vector<int> Templates() {
    std::vector<int> ids;
    for (int i = 0; i < wizard->Sheet().GetPageCount(); ++i)
      ids.push_back(wizard->Sheet().GetPage(i)->TemplateId());
    return ids;
  }
  CBlocksPage* Blocks() { return qobject_cast<CBlocksPage*>(wizard->Sheet().GetActivePage()); }
  void TearDown() override { wizard.reset(); }

  std::unique_ptr<WizardUnderTest> wizard;
};

TEST_F(UserPages, AClickIsStoredAtOnceAndShownAgainAfterBackAndForth) {
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30"));
  CFlashSheet& sheet = wizard->Sheet();
  // A first start stores 0: program with pre-erase.
  EXPECT_TRUE(UserOperation()->Radio(UserOperationProgramErase)->isChecked());
  EXPECT_TRUE(sheet.BackButton()->isEnabled());
  EXPECT_TRUE(sheet.NextButton()->isEnabled());
  Screenshot(&sheet, "user_operation_page");

  ClickButton(UserOperation()->Radio(UserOperationErase));
  EXPECT_EQ(sheet.State().m_nUserOperation, UserOperationErase);
  wizard->PressBack();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::Operation);
  // Going Back builds nothing: page 1 stays until page 0's Next replaces it.
  EXPECT_EQ(Templates(), (std::vector<int>{PageId::Operation, PageId::UserOperation}));
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  EXPECT_TRUE(UserOperation()->Radio(UserOperationErase)->isChecked());
  EXPECT_EQ(UserOperation()->CheckedOperation(), UserOperationErase);
}

TEST_F(UserPages, NextReplacesEveryPageAfterPage1ByTheSetOfTheCheckedChoice) {
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30"));
  CFlashSheet& sheet = wizard->Sheet();
  QPointer<CWizardPage> page0 = sheet.GetPage(0);
  QPointer<CWizardPage> page1 = sheet.GetPage(1);

  ChooseUserOperation(UserOperationErase);
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  EXPECT_EQ(Templates(), (std::vector<int>{PageId::Operation, PageId::UserOperation,
                                           PageId::EraseBlocks, PageId::EraseStartSwitches,
                                           PageId::EraseProgress, PageId::EraseDone}));
  QPointer<CWizardPage> eraseBlocks = sheet.GetPage(2);

  wizard->PressBack();
  ASSERT_EQ(sheet.GetActiveIndex(), 1);
  ChooseUserOperation(UserOperationProgramErase);
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
  EXPECT_EQ(Templates(), (std::vector<int>{PageId::Operation, PageId::UserOperation,
                                           PageId::UserFile, PageId::UserBlocks,
                                           PageId::UserStartSwitches, PageId::UserProgress,
                                           PageId::UserDone}));
  EXPECT_EQ(sheet.GetPage(0), page0.data());
  EXPECT_EQ(sheet.GetPage(1), page1.data());
  EXPECT_TRUE(eraseBlocks.isNull()) << "the erase pages are destroyed with their set";
  QPointer<CWizardPage> file = sheet.GetPage(2);

  // The same set is built afresh for the same kind of choice.
  wizard->PressBack();
  ChooseUserOperation(UserOperationProgram);
  EXPECT_EQ(sheet.State().m_nUserOperation, UserOperationProgram);
  EXPECT_EQ(Templates().size(), 7u);
  EXPECT_TRUE(file.isNull());
  EXPECT_EQ(sheet.GetPage(1), page1.data());
}

TEST_F(UserPages, AStoredChoiceOutsideTheThreeChecksNothingAndNextWaitsForAClick) {
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30", [](CFlashSheet& s) { s.State().m_nUserOperation = 7; }));
  EXPECT_EQ(UserOperation()->CheckedOperation(), -1);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  EXPECT_EQ(wizard->Sheet().GetPageCount(), 2);
  EXPECT_EQ(wizard->Sheet().State().m_nUserOperation, 7) << "nothing clicked, nothing stored";
  ChooseUserOperation(UserOperationProgram);
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
}

TEST(BlockList, ColumnWidthUnitAndAddressText) {
  EXPECT_EQ(CBlocksPage::ColumnWidthUnit(420, 16), 80);
  EXPECT_EQ(CBlocksPage::ColumnWidthUnit(424, 16), 80);  // truncated
  EXPECT_EQ(CBlocksPage::ColumnWidthUnit(425, 16), 81);
  EXPECT_EQ(CBlocksPage::FormatBlockAddress(0x1C000), "H'0001C000");
  EXPECT_EQ(CBlocksPage::FormatBlockAddress(0xFFFFFFFF), "H'FFFFFFFF");
}

TEST_F(UserPages, TheErasePageListsTheMapAndSelectsTheChosenNamesOnly) {
  ASSERT_NO_FATAL_FAILURE(Open("TX-A10", [](CFlashSheet& s) {
    // A name of another case and one the map lacks select nothing.
    s.State().m_astrSelectedBlocks = {"SB0", "LB0", "lb1", "XB3"};
  }));
  ChooseUserOperation(UserOperationErase);
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  QTreeWidget* list = Blocks()->m_listBlocks;
  QCoreApplication::processEvents();  // the scroll bar follows the rows on a posted event
  Screenshot(&wizard->Sheet(), "erase_blocks_page");

  ASSERT_EQ(list->columnCount(), 3);
  EXPECT_EQ(list->headerItem()->text(0), "Name");
  EXPECT_EQ(list->headerItem()->text(1), "Starts");
  EXPECT_EQ(list->headerItem()->text(2), "Ends");
  EXPECT_EQ(RowNames(list), QStringList({"LB0", "LB1", "LB2", "LB3", "LB4", "LB5", "LB6", "LB7",
                                         "SB0", "SB1", "SB2", "SB3", "SB4", "SB5", "SB6", "SB7"}));
  const QTreeWidgetItem* lb7 = list->topLevelItem(7);
  EXPECT_EQ(lb7->text(1), "H'0001C000");
  EXPECT_EQ(lb7->text(2), "H'0001EFFF");
  EXPECT_EQ(list->topLevelItem(15)->text(1), "H'0001FE00");
  EXPECT_EQ(SelectedNames(list), QStringList({"LB0", "SB0"}));
  // The widths follow the list's own width, less a scroll bar and 4 pixels, in fifths.
  const int w = CBlocksPage::ColumnWidthUnit(
      list->width(), list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list));
  ASSERT_GT(w, 20);
  EXPECT_EQ(list->columnWidth(0), w);
  EXPECT_EQ(list->columnWidth(1), 2 * w);
  EXPECT_EQ(list->columnWidth(2), 2 * w);
  EXPECT_TRUE(list->hasFocus()) << "the list is the page's first control";

  // Next hands on the choice in map order; the names the map lacks are gone.
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseStartSwitches);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"LB0", "SB0"}));

  // Shown again: the same rows once each, three columns, the same highlighting.
  wizard->PressBack();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  EXPECT_EQ(list->columnCount(), 3);
  EXPECT_EQ(list->header()->count(), 3);
  EXPECT_EQ(list->topLevelItemCount(), 16);
  EXPECT_EQ(RowNames(list).removeDuplicates(), 0);
  EXPECT_EQ(SelectedNames(list), QStringList({"LB0", "SB0"}));
  EXPECT_EQ(list->columnWidth(0), w);

  // Selected later, listed in map order; Back writes the choice back too.
  ClickRow(list, "SB3");
  ClickRow(list, "LB0");  // off again
  ClickRow(list, "LB5");
  EXPECT_EQ(SelectedNames(list), QStringList({"LB5", "SB0", "SB3"}));
  wizard->PressBack();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserOperation);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks,
            (std::vector<std::string>{"LB5", "SB0", "SB3"}));
}

TEST_F(UserPages, SelectAllHandsOnEveryBlockAndDeselectAllIsRefusedWith177) {
  ScriptedPrompt prompt;
  ASSERT_NO_FATAL_FAILURE(Open("TX-A10"));
  ChooseUserOperation(UserOperationErase);
  CBlocksPage* page = Blocks();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(SelectedNames(page->m_listBlocks).isEmpty()) << "nothing chosen after a start";

  QTest::mouseClick(page->m_btnSelectAll, Qt::LeftButton);
  EXPECT_TRUE(page->m_listBlocks->hasFocus()) << "the selection is shown with the focus";
  EXPECT_TRUE(wizard->Sheet().State().m_astrSelectedBlocks.empty()) << "written only when left";
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseStartSwitches);
  std::vector<std::string> all;
  const DeviceMode& mode = wizard->Sheet().State().Mode();
  for (int i = 0; i < mode.blockCount; ++i) all.push_back(mode.blocks[i].name);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, all);
  EXPECT_TRUE(prompt.messages.empty());

  wizard->PressBack();
  QTest::mouseClick(page->m_btnDeselectAll, Qt::LeftButton);
  EXPECT_TRUE(page->m_listBlocks->hasFocus());
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseBlocks);
  EXPECT_EQ(prompt.Ids(), (std::vector<uint32_t>{177}));
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_EQ(prompt.messages[0].text, "Please select at least one block to be erased.");
  EXPECT_EQ(prompt.messages[0].buttons, MessageButtons::Ok);

  // One row is enough.
  ClickRow(page->m_listBlocks, "SB7", Qt::NoModifier);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseStartSwitches);
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"SB7"}));
  EXPECT_EQ(prompt.messages.size(), 1u);
}

TEST_F(UserPages, AChoiceMadeForAnotherMapKeepsOnlyTheNamesThisMapHas) {
  // The names of a TX-A10 choice on a TX-C30, whose map starts with its small blocks.
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30", [](CFlashSheet& s) {
    s.State().m_astrSelectedBlocks = {"LB7", "LB0", "SB7"};
  }));
  ChooseUserOperation(UserOperationErase);
  QTreeWidget* list = Blocks()->m_listBlocks;
  EXPECT_EQ(RowNames(list), QStringList({"SB0", "SB1", "SB2", "SB3", "SB4", "SB5", "SB6", "SB7",
                                         "LB0", "LB1", "LB2", "LB3"}));
  EXPECT_EQ(SelectedNames(list), QStringList({"SB7", "LB0"}));
  EXPECT_EQ(list->topLevelItem(7)->text(1), "H'00000C00");
  wizard->PressNext();
  EXPECT_EQ(wizard->Sheet().State().m_astrSelectedBlocks, (std::vector<std::string>{"SB7", "LB0"}));
}

TEST_F(UserPages, TheProgramPageAcceptsAnEmptyChoice) {
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30"));
  ChooseUserOperation(UserOperationProgramErase);
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
  // Straight to the block page, past the file page's check.
  wizard->Sheet().State().m_astrSelectedBlocks = {"SB1"};
  ASSERT_TRUE(wizard->Sheet().SetActivePage(3));
  CBlocksPage* page = Blocks();
  ASSERT_NE(qobject_cast<CUserBlocksPage*>(page), nullptr);
  EXPECT_EQ(SelectedNames(page->m_listBlocks), QStringList({"SB1"}));
  QTest::mouseClick(page->m_btnDeselectAll, Qt::LeftButton);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserStartSwitches);
  EXPECT_TRUE(wizard->Sheet().State().m_astrSelectedBlocks.empty());
}

// User programming erases and programs only the chosen blocks: the per-board value must lie in
// one of them, on the file page (the blocks the file touches) and on the blocks page.
TEST_F(UserPages, APerBoardValueMustStayInABlockTheRunPrograms) {
  ScriptedPrompt prompt;
  ASSERT_NO_FATAL_FAILURE(Open("TX-C30", [](CFlashSheet& s) {
    s.State().m_strFile = WriteProgramFile({SRecord(1, 0x100, Pattern(16, 1))});
    s.State().m_nValueOn = 1;
    s.State().m_dwValueAddress = 0x7F00;
  }));
  ChooseUserOperation(UserOperationProgramErase);
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_EQ(prompt.messages[0].text,
            "The per-board value's 4 bytes at H'7F00 lie in block LB3, which this run does not program.");

  wizard->Active<CUserFilePage>()->m_editValueAddress->setText("110");
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserBlocks);
  QTest::mouseClick(Blocks()->m_btnDeselectAll, Qt::LeftButton);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserBlocks);
  ASSERT_EQ(prompt.messages.size(), 2u);
  EXPECT_NE(prompt.messages[1].text.find("lie in block SB2, which this run does not program"),
            std::string::npos) << prompt.messages[1].text;
  ClickRow(Blocks()->m_listBlocks, "SB2", Qt::NoModifier);
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::UserStartSwitches);
}

}  // namespace
}  // namespace quill::test
