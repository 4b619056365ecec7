// The progress pages' bar and status line fed notification by notification, and the user-mode
// program and erase pages run through a sheet against a simulated board running its kernel.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>
#include <algorithm>
#include <chrono>
#include <thread>

#include "app/page_ids.h"
#include "device/catalogue.h"
#include "link/comm_thread.h"
#include "pages/done_page.h"
#include "pages/file_page.h"
#include "pages/progress_page.h"
#include "pages/switch_page.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

struct Scaled {
  int32_t range;
  int32_t pos;
  int32_t scale;
  int maximum;
  int value;
};

// The boot and the program page scale alike.
template <class Page>
void ExpectScaling() {
  const Scaled cases[] = {
      {100, 50, 1, 100, 50},
      {65533, 65533, 1, 65533, 65533},
      {65534, 40000, 2, 32767, 20000},
      {100000, 100000, 3, 33333, 33333},
  };
  for (const Scaled& c : cases) {
    SCOPED_TRACE(c.range);
    Page page;
    page.UpdateProgress(PhaseProgram, c.pos, c.range);
    EXPECT_EQ(page.m_nScale, c.scale);
    EXPECT_EQ(page.m_progressBar->minimum(), 0);
    EXPECT_EQ(page.m_progressBar->maximum(), c.maximum);
    EXPECT_EQ(page.m_progressBar->value(), c.value);
    EXPECT_EQ(page.m_staticStatus->text(), Text(108));
  }
}

TEST(ProgressBar, BootAndProgramPagesScaleTheRangeIntoTheBar) {
  ExpectScaling<CBootProgressPage>();
  ExpectScaling<CUserProgressPage>();
  EXPECT_EQ(ProgressScale(2147483647), 65538);
  EXPECT_LE(ProgressBarMaximum(2147483647, ProgressScale(2147483647)), 65533);
}

TEST(ProgressBar, TheFirstNotificationCountsAsAPhaseChangeAndARepeatedPhaseKeepsItsText) {
  CBootProgressPage page;
  page.UpdateProgress(PhaseStarted, 7, 0);  // range 0: no change from the initial 0
  EXPECT_EQ(page.m_staticStatus->text(), "");
  EXPECT_EQ(page.m_progressBar->maximum(), 100);
  EXPECT_EQ(page.m_progressBar->value(), 7);
  page.UpdateProgress(PhaseKernelLoad, 0, 896);
  EXPECT_EQ(page.m_staticStatus->text(), Text(114));
  page.UpdateProgress(PhaseKernelLoad, 450, 899);
  EXPECT_EQ(page.m_staticStatus->text(), Text(114));
  EXPECT_EQ(page.m_progressBar->maximum(), 899);
  EXPECT_EQ(page.m_progressBar->value(), 450);
  page.UpdateProgress(PhaseRamEmulation, 1, 899);  // no text of its own
  EXPECT_EQ(page.m_staticStatus->text(), Text(114));
}

TEST(ProgressBar, TheErasePageFeedsTheBarUnscaledPositionBeforeRange) {
  CEraseProgressPage page;
  page.UpdateProgress(PhaseBlockErase, 0, 1);
  EXPECT_EQ(page.m_staticStatus->text(), Text(141));
  EXPECT_EQ(page.m_progressBar->maximum(), 1);
  EXPECT_EQ(page.m_progressBar->value(), 0);
  // The position is set while the range is still 0..1: it shows at the end, then stays.
  page.UpdateProgress(PhaseBlockErase, 3, 20);
  EXPECT_EQ(page.m_progressBar->maximum(), 20);
  EXPECT_EQ(page.m_progressBar->value(), 1);
  page.UpdateProgress(PhaseBlockErase, 5, 20);
  EXPECT_EQ(page.m_progressBar->value(), 5);
  page.UpdateProgress(PhaseBlockErase, 1, 1);
  EXPECT_EQ(page.m_progressBar->maximum(), 1);
  EXPECT_EQ(page.m_progressBar->value(), 1);
  page.UpdateProgress(PhaseProgram, 1, 1);  // not a phase of this page
  EXPECT_EQ(page.m_staticStatus->text(), Text(141));
}

// A stand-in for the user operation page, page 1 of the user-mode sets.
class UserOperationStandIn : public CWizardPage {
 public:
  UserOperationStandIn() : CWizardPage(PageId::UserOperation, QStringLiteral("QUILL")) {}
  bool OnSetActive() override {
    SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
    return CWizardPage::OnSetActive();
  }
};

class UserMode : public ::testing::Test {
 protected:
  void Build(std::vector<CWizardPage*> pages, sim::BoardOptions options) {
    options.state = sim::BoardState::User;
    gate.Attach(options);
    board = StartBoard(std::move(options));
    wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 0, board->PortPath());
    CFlashSheet& sheet = wizard->Sheet();
    sheet.State().m_nOperation = OperationUser;
    sheet.AddPage(new UserOperationStandIn);
    for (CWizardPage* page : pages) sheet.AddPage(page);
    ASSERT_TRUE(wizard->Show());
    ASSERT_TRUE(sheet.SetActivePage(1));
  }
  template <class Page>
  Page* Find(int templateId) {
    return qobject_cast<Page*>(wizard->Sheet().GetPage(wizard->Sheet().FindPageByTemplate(templateId)));
  }
  void TearDown() override {
    gate.OpenAll();
    wizard.reset();
  }

  ScriptedPrompt prompt;
  BoardGate gate;
  std::unique_ptr<sim::SimBoard> board;
  std::unique_ptr<WizardUnderTest> wizard;
};

TEST_F(UserMode, AProgramRunWithPreEraseErasesThenProgramsAndNextReturnsToPage1) {
  ASSERT_NO_FATAL_FAILURE(Build({new CUserFilePage, new CUserStartSwitchesPage,
                                 new CUserProgressPage, new CUserDonePage},
                                BoardOf("TX-C30", 0, 0)));
  gate.HoldAtReceived(0, "erase command");
  CFlashSheet& sheet = wizard->Sheet();
  sheet.State().m_nUserOperation = UserOperationProgramErase;
  const std::vector<Record> records = {{0x100, Pattern(16, 9)}, {0x1000, Pattern(32, 4)}};
  sheet.State().m_strFile = WriteProgramFile({SRecord(1, 0x100, records[0].data),
                                      SRecord(1, 0x1000, records[1].data), "S9030000FC"});
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserFile);
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserStartSwitches);
  EXPECT_EQ(Find<CStartSwitchesPage>(PageId::UserStartSwitches)->m_staticInstructions->text(),
            Text(116));
  Screenshot(&sheet, "user_switch_page");
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::UserProgress);
  auto* progress = Find<CUserProgressPage>(PageId::UserProgress);
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Pending() == "erase command"; }, 10000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return progress->m_staticStatus->text() == Text(107); }, 5000));
  EXPECT_FALSE(sheet.ExitButton()->isEnabled());
  Screenshot(&sheet, "user_progress_page");
  gate.Release();

  ASSERT_TRUE(wizard->WaitForTemplate(PageId::UserDone));
  auto* done = Find<CUserDonePage>(PageId::UserDone);
  Screenshot(&sheet, "user_done_page");
  EXPECT_EQ(done->m_staticTitle->text(), "User Mode Program Sequence Finished");
  EXPECT_EQ(done->m_staticResult->text(), Text(120));
  EXPECT_EQ(done->m_staticCounts->text(),
            "H'30 bytes inside the address range were programmed.\n"
            "H'0 bytes outside the address range were skipped.");
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_TRUE(board->EraseCommands()[0].erased);
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet.State(), records));
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  wizard->PressNext();
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
  EXPECT_TRUE(sheet.BackButton()->isEnabled());
}

TEST_F(UserMode, AnEraseRunShowsItsTextAndKeepsTheClosingWords) {
  ASSERT_NO_FATAL_FAILURE(Build({new CEraseStartSwitchesPage, new CEraseProgressPage,
                                 new CEraseDonePage},
                                BoardOf("TX-C30", 0, 0)));
  gate.HoldAtReceived(0, "erase command");
  CFlashSheet& sheet = wizard->Sheet();
  sheet.State().m_nUserOperation = UserOperationErase;
  sheet.State().m_astrSelectedBlocks = {"SB2", "LB1"};
  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::EraseStartSwitches);
  Screenshot(&sheet, "erase_switch_page");
  wizard->PressNext();
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Pending() == "erase command"; }, 10000));
  auto* progress = Find<CEraseProgressPage>(PageId::EraseProgress);
  EXPECT_TRUE(QTest::qWaitFor([&] { return progress->m_staticStatus->text() == Text(141); }, 5000));
  Screenshot(&sheet, "erase_progress_page");
  gate.Release();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::EraseDone));
  // The idle reaction presses Next once: the wizard stays on the result page.
  QCoreApplication::processEvents();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseDone);
  auto* done = Find<CEraseDonePage>(PageId::EraseDone);
  Screenshot(&sheet, "erase_done_page");
  EXPECT_EQ(done->m_staticTitle->text(), Text(153));
  EXPECT_EQ(done->m_staticResult->text(), Text(142));
  EXPECT_EQ(done->findChild<QLabel*>("label1023")->text(),
            "User Mode Erase procedure is finished.\nPress the VPP switch and make sure the VPP "
            "LED is off, \nthen press \"Next\" to continue in User Mode or \"Exit\" to quit out.");
  EXPECT_EQ(done->m_staticCounts, nullptr);
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x100, 0x2000}));
  wizard->PressNext();
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
}

// The page shows the latest value its observer was told (not what the communication object is
// doing), a told idle step alone does not end it, and the outcome ends it once, also when it is
// queued behind the steps a busy page had no time for.
TEST_F(UserMode, TheErasePageShowsTheLatestValueToldAndEndsOnceOnTheOutcome) {
  ASSERT_NO_FATAL_FAILURE(Build({new CEraseStartSwitchesPage, new CEraseProgressPage,
                                 new CEraseDonePage},
                                BoardOf("TX-C30", 0, 0)));
  gate.HoldAtReceived(0, "erase command");
  CFlashSheet& sheet = wizard->Sheet();
  sheet.State().m_nUserOperation = UserOperationErase;
  sheet.State().m_astrSelectedBlocks = {"SB2", "LB1"};
  wizard->PressNext();
  wizard->PressNext();
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Pending() == "erase command"; }, 10000));
  auto* progress = Find<CEraseProgressPage>(PageId::EraseProgress);
  // The worker waits a second for the board's answer, in its first of 20 attempts.
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress->m_progressBar->maximum() == 20; }, 5000));
  for (const Progress& step : {Progress{PhaseBlockErase, 3, 20}, {PhaseBlockErase, 7, 20},
                               {PhaseIdle, 0, 1}}) {
    sheet.ProgressNotifierForTesting().Notify(step);
  }
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(progress->m_progressBar->maximum(), 20);
  EXPECT_EQ(progress->m_progressBar->value(), 7);
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseProgress);

  gate.OpenAll();  // the user-interface thread stays busy until the worker has told the outcome
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!sheet.Seen().Ended() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(std::count(wizard->PagesShown().begin(), wizard->PagesShown().end(),
                       PageId::EraseDone), 1);
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseDone);
  EXPECT_EQ(Find<CEraseDonePage>(PageId::EraseDone)->m_staticResult->text(), Text(142));
}

TEST_F(UserMode, ARefusedEraseStartEndsOnTheResultPageAndIsNotMovedOnFromIt) {
  ASSERT_NO_FATAL_FAILURE(Build({new CEraseStartSwitchesPage, new CEraseProgressPage,
                                 new CEraseDonePage},
                                BoardOf("TX-C30", 0, 0)));
  PortHeldElsewhere other(board->PortPath());
  ASSERT_TRUE(other.Held());
  wizard->Sheet().State().m_astrSelectedBlocks = {"SB2"};
  wizard->PressNext();
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::EraseDone));
  // Whatever is still queued for the progress page is handled without moving the wizard on.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::EraseDone);
  EXPECT_EQ(wizard->PagesShown().back(), PageId::EraseDone);
  EXPECT_EQ(std::count(wizard->PagesShown().begin(), wizard->PagesShown().end(),
                       PageId::EraseDone), 1);
  EXPECT_TRUE(Find<CEraseDonePage>(PageId::EraseDone)->m_staticResult->text().contains("(254)"));
  EXPECT_TRUE(board->Received().empty());
}

}  // namespace
}  // namespace quill::test
