// The wizard sheet and its page layer, driven through real widgets on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>
#include <functional>
#include <memory>

#include "app/wizard_state.h"
#include "app/wizard_value.h"
#include "app/about_dlg.h"
#include "app/flash_sheet.h"
#include "pages/page_factory.h"
#include "app/page_ids.h"
#include "gui_support.h"
#include "pages/configure_page.h"
#include "pages/operation_page.h"
#include "records/record_store.h"

using namespace quill;
using quill::test::RecordingPrompt;
using quill::test::Click;
using quill::test::TempSettings;

namespace {

// A page that counts the hooks the sheet calls and answers them as told.
class ProbePage : public CWizardPage {
 public:
  explicit ProbePage(int id) : CWizardPage(id, QStringLiteral("QUILL")) {}
  bool OnInitDialog() override {
    ++inits;
    return CWizardPage::OnInitDialog();
  }
  bool OnSetActive() override {
    ++sets;
    if (onSetActive) onSetActive();
    return acceptSet && CWizardPage::OnSetActive();
  }
  bool OnKillActive() override {
    ++kills;
    return acceptKill && CWizardPage::OnKillActive();
  }
  int OnWizardNext() override { return next; }
  int OnWizardBack() override { return back; }
  bool DoDataExchange(bool bSave) override {
    ++(bSave ? saves : loads);
    return true;
  }
  int inits = 0, sets = 0, kills = 0, loads = 0, saves = 0;
  int next = 0, back = 0;
  bool acceptSet = true, acceptKill = true;
  std::function<void()> onSetActive;
};

// The template ids of a page set that this build has pages for, in order.
std::vector<int> Buildable(std::initializer_list<int> ids) {
  std::vector<int> result;
  for (int id : ids) {
    std::unique_ptr<CWizardPage> page(CreatePage(id));
    if (page) {
      EXPECT_EQ(page->TemplateId(), id);
      result.push_back(id);
    }
  }
  return result;
}

std::vector<int> TemplatesFrom(const CFlashSheet& sheet, int first) {
  std::vector<int> ids;
  for (int i = first; i < sheet.GetPageCount(); ++i) ids.push_back(sheet.GetPage(i)->TemplateId());
  return ids;
}

// Shows the sheet as the active window, so that its keyboard shortcuts work.
void Show(CFlashSheet& sheet) {
  sheet.show();
  sheet.activateWindow();
  EXPECT_TRUE(QTest::qWaitForWindowActive(&sheet));
}

// Stores a configured port, so that the operation page offers all three choices.
void StoreConfiguredPort(const TempSettings& file) {
  WizardState state;
  file.Store().Load(state);
  state.m_strComPort = "/dev/ttyUSB0";
  ASSERT_TRUE(file.Store().Save(state));
}

}  // namespace

TEST(PageLayer, HooksRunInTheOrderOfAWizard) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  ProbePage first(500);
  sheet.AddPage(&first);
  auto* second = new ProbePage(501);
  auto* third = new ProbePage(502);
  sheet.AddPage(second);
  sheet.AddPage(third);
  Show(sheet);

  // Showing the sheet initialises and activates page 0, loading its controls once.
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  EXPECT_EQ(first.inits, 1);
  EXPECT_EQ(first.sets, 1);
  EXPECT_EQ(first.loads, 1);
  EXPECT_EQ(second->inits, 0);

  // Next: the page that is left saves; the next one is initialised on its first activation.
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
  EXPECT_EQ(first.kills, 1);
  EXPECT_EQ(first.saves, 1);
  EXPECT_EQ(second->inits, 1);
  EXPECT_EQ(second->loads, 1);
  EXPECT_TRUE(second->isVisible());
  EXPECT_FALSE(first.isVisible());

  // Back, then Next again: a page shown again reloads its controls, but is not initialised again.
  sheet.PressButton(PSBTN_BACK);
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  EXPECT_EQ(first.loads, 2);
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(second->inits, 1);
  EXPECT_EQ(second->loads, 2);

  // -1 stays; a template id jumps; a refused kill-active keeps the page.
  second->next = -1;
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
  second->next = 500;
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  first.next = 502;
  first.acceptKill = false;
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  first.acceptKill = true;
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 2);
  EXPECT_EQ(third->inits, 1);

  // A page that refuses its activation is passed over in the direction of travel.
  third->back = 0;
  second->acceptSet = false;
  sheet.PressButton(PSBTN_BACK);
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  second->acceptSet = true;

  // Next or Back pressed by a page works while the buttons are disabled; the user's do not.
  sheet.SetWizardButtons(0);
  EXPECT_FALSE(sheet.NextButton()->isEnabled());
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  Click(sheet.NextButton());
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  first.next = 0;
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
}

TEST(PageLayer, APageChangeAskedDuringAnActivationFollowsIt) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  ProbePage first(500);
  sheet.AddPage(&first);
  auto* running = new ProbePage(501);
  auto* result = new ProbePage(502);
  sheet.AddPage(running);
  sheet.AddPage(result);
  Show(sheet);
  // Like a progress page whose start is refused: it asks for the last page while it is being
  // activated; the sheet finishes that activation first, then moves on.
  running->onSetActive = [&] { EXPECT_TRUE(sheet.SetActivePage(sheet.GetPageCount() - 1)); };
  sheet.PressButton(PSBTN_NEXT);
  EXPECT_EQ(sheet.GetActiveIndex(), 2);
  EXPECT_EQ(running->sets, 1);
  EXPECT_EQ(running->kills, 1);
  EXPECT_EQ(result->sets, 1);
  // Asking for the active page again changes nothing.
  EXPECT_TRUE(sheet.SetActivePage(2));
  EXPECT_EQ(result->sets, 1);
  EXPECT_EQ(result->kills, 0);
}

TEST(FlashSheet, PageSetsReplaceEveryPageAfterTheFirst) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  Show(sheet);
  EXPECT_EQ(sheet.GetPageCount(), 1);

  sheet.SetOperationPages(OperationConfigure);
  ASSERT_EQ(sheet.GetPageCount(), 2);
  QPointer<CWizardPage> configure = sheet.GetPage(1);
  EXPECT_NE(dynamic_cast<CConfigurePage*>(configure.data()), nullptr);
  EXPECT_EQ(configure->GetContext(), static_cast<WizardContext*>(&sheet));

  using namespace PageId;
  sheet.SetOperationPages(OperationBoot);
  EXPECT_TRUE(configure.isNull()) << "the configuration page must be destroyed";
  EXPECT_EQ(sheet.GetPage(0), &operation);
  EXPECT_EQ(TemplatesFrom(sheet, 1), Buildable({BootFile, BootStartSwitches, BootProgress, BootDone}));

  sheet.SetOperationPages(OperationUser);
  EXPECT_EQ(TemplatesFrom(sheet, 1), Buildable({PageId::UserOperation}));

  sheet.SetOperationPages(OperationConfigure);
  QPointer<CWizardPage> again = sheet.GetPage(1);
  sheet.SetOperationPages(3);
  EXPECT_EQ(sheet.GetPageCount(), 1);
  EXPECT_TRUE(again.isNull());
  sheet.SetOperationPages(-1);
  EXPECT_EQ(sheet.GetPageCount(), 1);

  // The user-mode sets keep pages 0 and 1.
  auto* userOperation = new ProbePage(PageId::UserOperation);
  sheet.AddPage(userOperation);
  const std::vector<int> program =
      Buildable({UserFile, UserBlocks, UserStartSwitches, UserProgress, UserDone});
  const std::vector<int> erase =
      Buildable({EraseBlocks, EraseStartSwitches, EraseProgress, EraseDone});
  for (int choice : {UserOperationProgramErase, UserOperationProgram}) {
    sheet.SetUserOperationPages(choice);
    EXPECT_EQ(TemplatesFrom(sheet, 2), program);
  }
  std::vector<QPointer<CWizardPage>> old;
  for (int i = 2; i < sheet.GetPageCount(); ++i) old.emplace_back(sheet.GetPage(i));
  sheet.SetUserOperationPages(UserOperationErase);
  EXPECT_EQ(TemplatesFrom(sheet, 2), erase);
  for (const auto& page : old) EXPECT_TRUE(page.isNull());
  for (int choice : {-1, 3}) {
    sheet.SetUserOperationPages(choice);
    EXPECT_EQ(sheet.GetPageCount(), 2);
  }
  EXPECT_EQ(sheet.GetPage(1), userOperation);
  EXPECT_EQ(sheet.GetPage(0), &operation);
}

TEST(FlashSheet, PageSetsComeFromTheFactoryItIsGivenAndNoneWithout) {
  TempSettings file;
  std::vector<int> asked;
  CFlashSheet sheet(file.Store(), [&](int id) -> CWizardPage* {
    asked.push_back(id);
    return id == PageId::BootProgress ? nullptr : new ProbePage(id);
  });
  sheet.SetOperationPages(OperationBoot);
  using namespace PageId;
  EXPECT_EQ(asked, (std::vector<int>{BootFile, BootStartSwitches, BootProgress, BootDone}));
  EXPECT_EQ(TemplatesFrom(sheet, 0), (std::vector<int>{BootFile, BootStartSwitches, BootDone}))
      << "a page the factory cannot build is left out";

  CFlashSheet bare(file.Store());
  bare.SetOperationPages(OperationBoot);
  EXPECT_EQ(bare.GetPageCount(), 0);
}

TEST(FlashSheet, ConfigurationThenBackThenBootLeavesOnlyTheBootSet) {
  TempSettings file;
  StoreConfiguredPort(file);
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  Show(sheet);
  Click(operation.Radio(OperationConfigure));
  Click(sheet.NextButton());
  ASSERT_EQ(sheet.GetActiveIndex(), 1);
  QPointer<CWizardPage> configure = sheet.GetActivePage();
  EXPECT_TRUE(sheet.BackButton()->isEnabled());
  EXPECT_TRUE(sheet.NextButton()->isEnabled());
  Click(sheet.BackButton());
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  EXPECT_FALSE(configure.isNull()) << "Back keeps the page set";
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  EXPECT_TRUE(sheet.NextButton()->isEnabled());

  Click(operation.Radio(OperationBoot));
  EXPECT_EQ(sheet.State().m_nOperation, OperationBoot);
  Click(sheet.NextButton());
  EXPECT_TRUE(configure.isNull());
  using namespace PageId;
  EXPECT_EQ(TemplatesFrom(sheet, 1), Buildable({BootFile, BootStartSwitches, BootProgress, BootDone}));
}

TEST(FlashSheet, ButtonRowAndKeyboard) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  Show(sheet);
  EXPECT_EQ(sheet.windowTitle(), "QUILL TAVEO Flash Programmer");
  EXPECT_FALSE(sheet.windowIcon().isNull());
  EXPECT_EQ(sheet.AboutButton()->text(), "&About...");
  EXPECT_EQ(sheet.BackButton()->text(), "< &Back");
  EXPECT_EQ(sheet.NextButton()->text(), "&Next >");
  EXPECT_EQ(sheet.ExitButton()->text(), "&Exit");

  // About sits at the left end of the row, level with Exit and as large.
  const QRect about = sheet.AboutButton()->geometry();
  const QRect exit = sheet.ExitButton()->geometry();
  EXPECT_EQ(about.top(), exit.top());
  EXPECT_EQ(about.size(), exit.size());
  EXPECT_LT(about.right(), sheet.BackButton()->geometry().left());
  EXPECT_LT(sheet.NextButton()->geometry().right(), exit.left());
  const QFrame* divider = nullptr;
  for (const QFrame* f : sheet.findChildren<QFrame*>(Qt::FindDirectChildrenOnly))
    if (f->frameShape() == QFrame::HLine) divider = f;
  ASSERT_NE(divider, nullptr);
  EXPECT_EQ(about.left(), divider->geometry().left());
  EXPECT_LT(divider->geometry().bottom(), about.top());

  // First start: only Next is enabled, and Enter presses it.
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  EXPECT_TRUE(sheet.NextButton()->isEnabled());
  QTest::keyClick(&sheet, Qt::Key_Return);
  EXPECT_EQ(sheet.GetActiveIndex(), 1);
  // Alt with the mnemonic presses Back (a mnemonic shows the button going down first).
  QTest::keyClick(&sheet, Qt::Key_B, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return sheet.GetActiveIndex() == 0; }, 2000));
  // With Next disabled, Enter does nothing.
  sheet.SetWizardButtons(0);
  QTest::keyClick(&sheet, Qt::Key_Return);
  EXPECT_EQ(sheet.GetActiveIndex(), 0);
  // Escape presses Exit.
  QTest::keyClick(&sheet, Qt::Key_Escape);
  EXPECT_FALSE(sheet.isVisible());
  EXPECT_EQ(sheet.result(), QDialog::Rejected);
}

TEST(FlashSheet, TheExitLockBlocksEveryWayOut) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  Show(sheet);
  sheet.SetExitLock(true);
  EXPECT_FALSE(sheet.ExitButton()->isEnabled());
  EXPECT_FALSE(sheet.IsCloseEnabled());
  EXPECT_FALSE(sheet.close());
  QTest::keyClick(&sheet, Qt::Key_F4, Qt::AltModifier);
  QTest::keyClick(&sheet, Qt::Key_Escape);
  Click(sheet.ExitButton());
  EXPECT_TRUE(sheet.isVisible());

  // Lifted, each way works again.
  sheet.SetExitLock(false);
  EXPECT_TRUE(sheet.ExitButton()->isEnabled());
  QTest::keyClick(&sheet, Qt::Key_F4, Qt::AltModifier);
  EXPECT_FALSE(sheet.isVisible());
  Show(sheet);
  EXPECT_TRUE(sheet.close());
  EXPECT_FALSE(sheet.isVisible());
}

TEST(FlashSheet, AboutBoxListsTheDevicesSorted) {
  TempSettings file;
  RecordingPrompt prompt;
  CFlashSheet sheet(file.Store(), CreatePage);
  COperationPage operation(&sheet);
  sheet.AddPage(&operation);
  Show(sheet);
  QStringList devices, texts;
  QString title;
  bool shown = false;
  QTimer::singleShot(0, [&] {
    auto* about = sheet.findChild<CAboutDlg*>();
    ASSERT_NE(about, nullptr);
    shown = about->isVisible() && about->isModal();
    title = about->windowTitle();
    for (int i = 0; i < about->m_listDevices->count(); ++i)
      devices << about->m_listDevices->item(i)->text();
    for (const QLabel* label : about->findChildren<QLabel*>()) texts << label->text();
    quill::test::Screenshot(about, "about_box");
    about->accept();
  });
  Click(sheet.AboutButton());
  EXPECT_TRUE(shown);
  EXPECT_EQ(title, "About QUILL");
  EXPECT_EQ(devices, (QStringList{"TX-A10", "TX-C30", "TX-C31"}));
  EXPECT_TRUE(texts.contains("QUILL - Velmora TAVEO Flash Programmer Utility"));
  EXPECT_TRUE(texts.contains("Version 1.2a"));
  EXPECT_TRUE(texts.contains("Velmora TAVEO devices supported by this version:"));

  // The list sorts by itself, whatever order the entries come in.
  CAboutDlg box;
  box.m_listDevices->addItem("TX-B00");
  EXPECT_EQ(box.m_listDevices->item(1)->text(), "TX-B00");
}

TEST(FlashSheet, SettingsAreSavedOnExitAndOnClose) {
  for (const char* way : {"exit", "close", "escape"}) {
    SCOPED_TRACE(way);
    TempSettings file;
    StoreConfiguredPort(file);
    RecordingPrompt prompt;
    {
      CFlashSheet sheet(file.Store(), CreatePage);
      COperationPage operation(&sheet);
      sheet.AddPage(&operation);
      // The wizard runs modally, as the program runs it; the click on a choice is stored even
      // though Next is never pressed.
      QTimer::singleShot(0, [&] {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&sheet));
        Click(operation.Radio(OperationUser));
        if (std::string(way) == "exit")
          Click(sheet.ExitButton());
        else if (std::string(way) == "close")
          sheet.close();
        else
          QTest::keyClick(&sheet, Qt::Key_Escape);
      });
      EXPECT_EQ(sheet.exec(), QDialog::Rejected);
    }
    WizardState saved;
    file.Store().Load(saved);
    EXPECT_EQ(saved.m_nOperation, OperationUser);
    EXPECT_EQ(saved.m_strComPort, "/dev/ttyUSB0");
  }
}

// The wizard's record store, in every build: the board's value from the counter in the SQLite
// store the settings name, the operation's record there; PostgreSQL refused where the build lacks it.
TEST(WizardRecords, TheValueAndTheRecordGoToTheSqliteStoreOfTheSettings) {
  QTemporaryDir dir;
  WizardState state;
  state.DeriveCatalogueRefs();
  state.m_strRecordStore = "sqlite:" + dir.filePath("line.sqlite").toStdString();
  state.m_nValueOn = 1;
  state.m_strValueFrom = "0x10";
  ASSERT_TRUE(CheckValueSettings(state).ok());
  Outcome outcome;
  std::vector<uint8_t> bytes;
  std::string why;
  ASSERT_TRUE(MakeWizardValueSource(state)->Take(outcome.value, bytes, &why)) << why;
  EXPECT_EQ(outcome.value, "16");
  {
    WizardRecords sent;  // its sender writes what it was handed before it stops
    sent.Started(state, CmdProgram);
    sent.Ended(outcome, false);
  }
  std::vector<records::StoredRecord> rows;
  ASSERT_TRUE(records::MakeRecordStore(state.m_strRecordStore)->Query({}, rows, &why)) << why;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].value + " " + rows[0].result, "16 success");
  state.m_strRecordStore = "postgresql://quill@db.lab/factory";
  const ValueSettingProblem problem = CheckValueSettings(state);
  EXPECT_EQ(problem.message.find("PostgreSQL is not in this build") != std::string::npos,
            !records::HasPostgreSql()) << problem.message;
}
