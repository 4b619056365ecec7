// One whole session of the wizard against one simulated board: configuration, boot-mode
// programming, then a user-mode erase and a user-mode program run on the kernel the boot run left
// running; the settings saved at Exit come back at the next start. A board behind a port server
// (a real ser2net), its rfc2217:// port typed into the port box.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <memory>

#include "app/page_ids.h"
#include "pages/blocks_page.h"
#include "pages/configure_page.h"
#include "pages/done_page.h"
#include "pages/file_page.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"
#include "pages/user_operation_page.h"
#include "resources/strings.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/gui_user/user_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

// The program as it starts: a sheet on the settings file, page 0, shown.
struct Session {
  explicit Session(const QString& settings)
      : sheet(std::make_unique<CFlashSheet>(SettingsStore(settings), CreatePage)),
        operation(std::make_unique<COperationPage>(sheet.get())) {
    sheet->AddPage(operation.get());
  }
  ~Session() { End(); }
  bool Show() {
    sheet->show();
    sheet->activateWindow();
    return QTest::qWaitForWindowActive(sheet.get()) &&
           QTest::qWaitFor([this] { return sheet->GetActiveIndex() == 0; }, 5000);
  }
  // As the program ends: page 0 first, then the sheet, which saves the settings.
  void End() {
    operation.reset();
    sheet.reset();
  }
  int Active() const { return sheet->GetActivePage() ? sheet->GetActivePage()->TemplateId() : -1; }
  template <class Page>
  Page* Page_() const {
    return qobject_cast<Page*>(sheet->GetActivePage());
  }
  void Next() { QTest::mouseClick(sheet->NextButton(), Qt::LeftButton); }
  bool WaitFor(int templateId) {
    return QTest::qWaitFor([&] { return Active() == templateId; }, 30000);
  }

  std::unique_ptr<CFlashSheet> sheet;
  std::unique_ptr<COperationPage> operation;
};

std::string FileOf(const std::vector<Record>& records) {
  std::vector<std::string> lines;
  for (const Record& r : records) lines.push_back(SRecord(1, r.address, r.data));
  lines.push_back("S9030000FC");
  return WriteProgramFile(lines);
}

TEST(FullSequence, ConfigureBootProgramThenUserEraseAndProgramAndTheSettingsComeBack) {
  ScriptedPrompt prompt;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString settings = dir.filePath("quill.ini");
  sim::BoardOptions options = BoardOf("TX-C30", 0, 4, sim::BoardState::Boot);
  options.announce = true;
  options.announceName = "full-sequence";
  std::unique_ptr<sim::SimBoard> board = StartBoard(std::move(options));
  ASSERT_TRUE(board);
  const QString port = QString::fromStdString(board->AnnouncePath());

  // SB2 and LB1 of TX-C30.
  const std::vector<Record> bootRecords = {{0x0120, Pattern(16, 1)}, {0x2100, Pattern(32, 2)}};
  const std::vector<Record> userRecords = {{0x0140, Pattern(16, 3)}, {0x2200, Pattern(16, 4)}};
  const std::string bootFile = FileOf(bootRecords);
  const std::string userFile = FileOf(userRecords);

  auto session = std::make_unique<Session>(settings);
  ASSERT_TRUE(session->Show());
  CFlashSheet* sheet = session->sheet.get();

  // Configuration: TX-C30, clock range 4, the board's port, 9600 bps for boot and user mode
  // alike, since the kernel keeps the rate the boot ROM synchronised to.
  EXPECT_FALSE(session->operation->Radio(OperationUser)->isEnabled());
  session->Next();
  auto* configure = session->Page_<CConfigurePage>();
  ASSERT_NE(configure, nullptr);
  ASSERT_TRUE(ChooseText(configure->m_cbDevice, "TX-C30"));
  ASSERT_TRUE(ChooseText(configure->m_cbClock, configure->m_cbClock->itemText(4)));
  ASSERT_TRUE(ChooseText(configure->m_cbPort, port));
  ASSERT_TRUE(ChooseText(configure->m_cbBootRate, "9600"));
  ASSERT_TRUE(ChooseText(configure->m_cbUserRate, "9600"));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::Operation) << ::testing::PrintToString(prompt.Ids());
  EXPECT_EQ(sheet->State().m_strMCUType, "TX-C30");
  EXPECT_EQ(sheet->State().m_nClockSpeed, 4);
  EXPECT_EQ(sheet->State().m_strComPort, port.toStdString());

  // Boot programming.
  ClickButton(session->operation->Radio(OperationBoot));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::BootFile);
  session->Page_<CBootFilePage>()->m_editFile->setText(QString::fromStdString(bootFile));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::BootStartSwitches) << ::testing::PrintToString(prompt.Ids());
  session->Next();
  ASSERT_TRUE(session->WaitFor(PageId::BootDone));
  EXPECT_EQ(session->Page_<CDonePage>()->m_staticResult->text(), Text(115));
  EXPECT_EQ(board->BootCount(), 1);
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet->State(), bootRecords));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::Operation);

  // User mode: erase the blocks the boot file wrote, offered as the last choice.
  ClickButton(session->operation->Radio(OperationUser));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserOperation);
  ClickButton(session->Page_<CUserOperationPage>()->Radio(UserOperationErase));
  session->Next();
  auto* erase = session->Page_<CEraseBlocksPage>();
  ASSERT_NE(erase, nullptr);
  EXPECT_EQ(SelectedNames(erase->m_listBlocks), QStringList({"SB2", "LB1"}));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::EraseStartSwitches);
  session->Next();
  ASSERT_TRUE(session->WaitFor(PageId::EraseDone));
  EXPECT_EQ(session->Page_<CDonePage>()->m_staticResult->text(), Text(142));
  ASSERT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->EraseCommands()[0].starts, (std::vector<uint32_t>{0x0100, 0x2000}));
  EXPECT_EQ(board->Flash(), std::vector<uint8_t>(board->Flash().size(), 0xFF));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserOperation);

  // User mode: program the erased blocks without pre-erase.
  ClickButton(session->Page_<CUserOperationPage>()->Radio(UserOperationProgram));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserFile);
  session->Page_<CUserFilePage>()->m_editFile->setText(QString::fromStdString(userFile));
  session->Next();
  auto* blocks = session->Page_<CUserBlocksPage>();
  ASSERT_NE(blocks, nullptr) << ::testing::PrintToString(prompt.Ids());
  EXPECT_EQ(SelectedNames(blocks->m_listBlocks), QStringList({"SB2", "LB1"}));
  session->Next();
  session->Next();
  ASSERT_TRUE(session->WaitFor(PageId::UserDone));
  EXPECT_EQ(session->Page_<CDonePage>()->m_staticCounts->text(),
            "H'20 bytes inside the address range were programmed.\n"
            "H'0 bytes outside the address range were skipped.");
  EXPECT_EQ(board->EraseCommands().size(), 1u);
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet->State(), userRecords));
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserOperation);

  // "&Exit" ends the wizard; the settings are saved as the program ends.
  QTest::mouseClick(sheet->ExitButton(), Qt::LeftButton);
  EXPECT_FALSE(sheet->isVisible());
  session->End();
  EXPECT_TRUE(prompt.messages.empty()) << ::testing::PrintToString(prompt.Ids());

  // The next start comes back where this one ended.
  session = std::make_unique<Session>(settings);
  sheet = session->sheet.get();
  EXPECT_EQ(sheet->State().m_nOperation, OperationUser);
  EXPECT_EQ(sheet->State().m_nUserOperation, UserOperationProgram);
  EXPECT_EQ(sheet->State().m_strMCUType, "TX-C30");
  EXPECT_EQ(sheet->State().m_nClockSpeed, 4);
  EXPECT_EQ(sheet->State().m_strComPort, port.toStdString());
  EXPECT_EQ(sheet->State().m_nComBootRate, 9600);
  EXPECT_EQ(sheet->State().m_nComUserRate, 9600);
  EXPECT_EQ(sheet->State().m_strFile, userFile);
  EXPECT_TRUE(sheet->State().m_astrSelectedBlocks.empty());
  ASSERT_TRUE(session->Show());
  EXPECT_TRUE(session->operation->Radio(OperationUser)->isChecked());
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserOperation);
  EXPECT_TRUE(session->Page_<CUserOperationPage>()->Radio(UserOperationProgram)->isChecked());
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserFile);
  EXPECT_EQ(session->Page_<CUserFilePage>()->m_editFile->text().toStdString(), userFile);
}

// The port box takes a network port typed in: a malformed one is named on Next and keeps the
// page; a good one programs the board through the port server and is remembered.
TEST(FullSequence, ANetworkPortIsTypedCheckedProgrammedThroughAndRemembered) {
  ScriptedPrompt prompt;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString settings = dir.filePath("quill.ini");
  sim::BoardOptions options = BoardOf("TX-C30", 0, 4, sim::BoardState::User);
  options.expectBaud = 19200;
  std::unique_ptr<sim::SimBoard> board = StartBoard(std::move(options));
  ASSERT_TRUE(board);
  PortServer server({{board->PortPath(), 9600, true}});
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  const QString url = QString::fromStdString(server.Url(0));
  const std::vector<Record> records = {{0x0140, Pattern(16, 3)}, {0x2200, Pattern(16, 4)}};
  const std::string file = FileOf(records);

  auto session = std::make_unique<Session>(settings);
  ASSERT_TRUE(session->Show());
  CFlashSheet* sheet = session->sheet.get();
  session->Next();
  auto* configure = session->Page_<CConfigurePage>();
  ASSERT_NE(configure, nullptr);
  ASSERT_TRUE(ChooseText(configure->m_cbDevice, "TX-C30"));
  ASSERT_TRUE(ChooseText(configure->m_cbClock, configure->m_cbClock->itemText(4)));
  ASSERT_TRUE(ChooseText(configure->m_cbUserRate, "19200"));
  auto type = [&](const QString& text) {
    configure->m_cbPort->lineEdit()->selectAll();
    QTest::keyClicks(configure->m_cbPort->lineEdit(), text);
  };
  type("rfc2217://127.0.0.1");  // no port number
  session->Next();
  EXPECT_EQ(session->Active(), PageId::Configure);
  ASSERT_EQ(prompt.Ids(), std::vector<uint32_t>{StrId::NetworkPortInvalid});
  EXPECT_NE(prompt.messages[0].text.find("the port number is missing"), std::string::npos);
  type(url);
  session->Next();
  ASSERT_EQ(session->Active(), PageId::Operation) << ::testing::PrintToString(prompt.Ids());
  EXPECT_EQ(sheet->State().m_strComPort, url.toStdString());

  ClickButton(session->operation->Radio(OperationUser));
  session->Next();
  ClickButton(session->Page_<CUserOperationPage>()->Radio(UserOperationProgram));
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserFile);
  session->Page_<CUserFilePage>()->m_editFile->setText(QString::fromStdString(file));
  session->Next();
  ASSERT_NE(session->Page_<CUserBlocksPage>(), nullptr) << ::testing::PrintToString(prompt.Ids());
  session->Next();
  session->Next();
  ASSERT_TRUE(session->WaitFor(PageId::UserDone));
  EXPECT_EQ(session->Page_<CDonePage>()->m_staticResult->text(), Text(120));
  EXPECT_EQ(board->Flash(), ExpectedFlash(sheet->State(), records));
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();

  QTest::mouseClick(sheet->ExitButton(), Qt::LeftButton);
  session->End();
  session = std::make_unique<Session>(settings);
  EXPECT_EQ(session->sheet->State().m_strComPort, url.toStdString());
  ASSERT_TRUE(session->Show());
  ClickButton(session->operation->Radio(OperationConfigure));
  session->Next();
  configure = session->Page_<CConfigurePage>();
  ASSERT_NE(configure, nullptr);
  EXPECT_EQ(configure->m_cbPort->currentText(), url);
}

// A port server that takes the connection and never says a word: the wizard's start returns at
// once, its window keeps handling events while the worker waits for the server, and Abort ends
// the wait at once.
TEST(FullSequence, AServerThatNeverAnswersLeavesTheWindowResponsiveAndAbortEndsIt) {
  ScriptedPrompt prompt;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const int mute = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(mute, 4), 0);
  ::getsockname(mute, reinterpret_cast<sockaddr*>(&address), &length);
  const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));

  auto session = std::make_unique<Session>(dir.filePath("quill.ini"));
  ASSERT_TRUE(session->Show());
  session->Next();
  auto* configure = session->Page_<CConfigurePage>();
  ASSERT_NE(configure, nullptr);
  ASSERT_TRUE(ChooseText(configure->m_cbDevice, "TX-C30"));
  configure->m_cbPort->lineEdit()->selectAll();
  QTest::keyClicks(configure->m_cbPort->lineEdit(), url);
  session->Next();
  ASSERT_EQ(session->Active(), PageId::Operation) << ::testing::PrintToString(prompt.Ids());
  ClickButton(session->operation->Radio(OperationUser));
  session->Next();
  ClickButton(session->Page_<CUserOperationPage>()->Radio(UserOperationProgram));
  session->Next();
  session->Page_<CUserFilePage>()->m_editFile->setText(
      QString::fromStdString(FileOf({{0x0140, Pattern(16, 3)}})));
  session->Next();
  session->Next();
  ASSERT_EQ(session->Active(), PageId::UserStartSwitches);

  QElapsedTimer clock;
  clock.start();
  session->Next();  // starts the operation
  EXPECT_LT(clock.elapsed(), 100);
  qint64 last = clock.elapsed(), longest = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longest = std::max(longest, clock.elapsed() - last);
    last = clock.elapsed();
  });
  tick.start(5);
  QTest::qWait(600);
  tick.stop();
  EXPECT_LT(longest, 100) << "the window stood still while the server was tried";
  ASSERT_EQ(session->Active(), PageId::UserProgress);

  auto* abort = session->sheet->GetActivePage()->findChild<QPushButton*>("button1021");
  ASSERT_NE(abort, nullptr);
  clock.restart();
  QTest::mouseClick(abort, Qt::LeftButton);
  ASSERT_TRUE(session->WaitFor(PageId::UserDone));
  EXPECT_LT(clock.elapsed(), 500);
  uint32_t detail = 0;
  EXPECT_EQ(session->sheet->Comm().GetResult(detail), ErrorUserAbort);
  session->End();
  ::close(mute);
}

}  // namespace
}  // namespace quill::test
