// Boot-mode programming through the real wizard against a simulated board on a pseudo-terminal:
// the page order, what the progress page shows at every phase, the exit lock, the result page
// after success and after failures, and a start that is refused.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/page_ids.h"
#include "device/catalogue.h"
#include "link/results.h"
#include "pages/done_page.h"
#include "pages/file_page.h"
#include "pages/progress_page.h"
#include "pages/switch_page.h"
#include "resources/format.h"
#include "records/record_store.h"
#include "resources/fpcode.h"
#include "tests/gui_boot/wizard_support.h"
#include "tests/kernels/kernel_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using sim::BoardState;

// Waits until the gate holds the board at name, then until the page shows what it must, then
// lets the board go on.
::testing::AssertionResult PassGate(BoardGate& gate, const std::string& name,
                                    const std::function<bool()>& shown, const char* what) {
  if (!QTest::qWaitFor([&] { return gate.Pending() == name; }, 15000))
    return ::testing::AssertionFailure() << "the board never reached " << name;
  const bool ok = QTest::qWaitFor(shown, 5000);
  gate.Release();
  if (!ok) return ::testing::AssertionFailure() << "at " << name << " the page did not show " << what;
  return ::testing::AssertionSuccess();
}

// The bytes a chunk exchange of n data bytes takes from the host.
constexpr std::size_t ChunkLength(std::size_t n) { return n + 13; }

class BootRun : public ::testing::Test {
 protected:
  void StartBoard(sim::BoardOptions options) {
    gate.Attach(options);
    board = test::StartBoard(std::move(options));
  }
  void MakeWizard() {
    wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 2, board->PortPath());
    ASSERT_TRUE(wizard->Show());
  }
  // A TX-C30 board behind a port server, obeying the default line map, with its real kernel
  // installed in store (a network board is never taken for a simulated one), and the wizard in
  // Automatic Mode.
  void StartAutomatic(TestKernelStore& store, decltype(sim::BoardOptions::faults) faults = {}) {
    const uint32_t id = GetDevice(DeviceIndex("TX-C30"))->GetClockRanges(0)[2].kernelId;
    store.Install(id, RealKernel(id));
    sim::BoardOptions options = BoardOf("TX-C30", 0, 2);
    options.listen = sim::ListenAddress{"127.0.0.1", 0};
    options.lines = LineMap{};
    options.faults = std::move(faults);
    ASSERT_NO_FATAL_FAILURE(StartBoard(std::move(options)));
    ASSERT_TRUE(board);
    EXPECT_FALSE(board->Powered());
    ASSERT_NO_FATAL_FAILURE(MakeWizard());
    wizard->Sheet().State().m_bAutomatic = true;
  }
  // From page 0 to the switch page with the file; the file page's Next passes.
  void ToSwitchPage(const std::string& file) {
    wizard->ChooseOperation(OperationBoot);
    ASSERT_EQ(wizard->ActiveTemplate(), PageId::BootFile);
    auto* filePage = wizard->Active<CBootFilePage>();
    filePage->m_editFile->setText(QString::fromStdString(file));
    wizard->PressNext();
    ASSERT_EQ(wizard->ActiveTemplate(), PageId::BootStartSwitches) << ::testing::PrintToString(prompt.Ids());
  }
  CProgressPage* Progress() {
    return qobject_cast<CProgressPage*>(wizard->Sheet().GetPage(wizard->Sheet().FindPageByTemplate(PageId::BootProgress)));
  }
  CDonePage* Done() {
    return qobject_cast<CDonePage*>(wizard->Sheet().GetPage(wizard->Sheet().FindPageByTemplate(PageId::BootDone)));
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

// The file of the complete run: 0x1F00 bytes inside TX-C30's flash, 0x10 beyond it, behind
// enough skipped lines that the bar is scaled by 30 and is full before the last record goes out.
struct RunFile {
  std::vector<Record> records;
  std::string path;
  std::size_t lastChunkOffset = 0;  // of the host's bytes after the kernel download
};

RunFile MakeRunFile() {
  RunFile file;
  std::vector<std::string> body;
  std::size_t chunkBytes = 0;
  for (uint32_t a = 0; a < 0x1EF0; a += 16) {
    file.records.push_back({a, Pattern(16, static_cast<uint8_t>(a >> 4))});
    chunkBytes += ChunkLength(16);
  }
  file.records.push_back({0x1EF0, Pattern(15, 0x31)});
  chunkBytes += ChunkLength(15);
  file.records.push_back({0x8000, Pattern(16, 0x77)});  // beyond the flash: skipped
  file.records.push_back({0x1EFF, {0xC3}});
  file.lastChunkOffset = chunkBytes;
  std::size_t bodyLength = 0;
  for (const Record& r : file.records) {
    body.push_back(SRecord(1, r.address, r.data));
    bodyLength += body.back().size() + 1;
  }
  body.push_back("S9030000FC");
  bodyLength += body.back().size() + 1;
  // 983039 bytes: the divisor is 30 and the bar's maximum 32767, which the position after the
  // record before the last (24 bytes before the end) already reaches.
  const std::size_t total = 983039;
  std::size_t padding = total - bodyLength;
  std::vector<std::string> lines;
  while (padding > 0) {
    const std::size_t line = padding > 1001 + 3 ? 1001 : padding;
    lines.push_back("S0" + std::string(line - 3, '0'));
    padding -= line;
  }
  lines.insert(lines.end(), body.begin(), body.end());
  file.path = WriteProgramFile(lines);
  EXPECT_EQ(std::filesystem::file_size(file.path), total);
  return file;
}

TEST_F(BootRun, ACompleteRunShowsEveryPhaseAndEndsOnTheResultPageWithTheCounts) {
  const RunFile file = MakeRunFile();
  const std::size_t kernel = 896;  // TX-C30, clock range 2
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  ASSERT_EQ(FindResource("FPCODE", GetDevice(DeviceIndex("TX-C30"))->GetClockRanges(0)[2].kernelId).size(), kernel);
  gate.HoldAtReceived(0, "sync");
  gate.HoldAtReceived(10, "download");
  gate.HoldAtSent(1 + 3 + kernel, "erase");
  gate.HoldAtReceived(10 + 3 + kernel, "program");
  gate.HoldAtReceived(10 + 3 + kernel + file.lastChunkOffset, "last record");
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(file.path));
  Screenshot(&wizard->Sheet(), "boot_switch_page");
  EXPECT_EQ(wizard->Active<CStartSwitchesPage>()->m_staticInstructions->text(), Text(121));

  wizard->PressNext();
  ASSERT_EQ(wizard->ActiveTemplate(), PageId::BootProgress);
  CProgressPage* page = Progress();
  auto status = [&](uint32_t id) { return [=] { return page->m_staticStatus->text() == Text(id); }; };
  EXPECT_TRUE(PassGate(gate, "sync", status(106), "106"));
  Screenshot(&wizard->Sheet(), "boot_progress_page");
  EXPECT_TRUE(PassGate(gate, "download", status(114), "114"));
  EXPECT_TRUE(PassGate(gate, "erase", status(113), "113"));
  EXPECT_TRUE(PassGate(gate, "program", status(108), "108"));
  QProgressBar* bar = page->m_progressBar;
  EXPECT_TRUE(PassGate(gate, "last record", [&] {
    return bar->maximum() == 32767 && bar->value() == bar->maximum();
  }, "a full bar of 0..32767"));

  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  CDonePage* done = Done();
  Screenshot(&wizard->Sheet(), "boot_done_page");
  EXPECT_EQ(done->m_staticTitle->text(), "Boot Mode Finished");
  EXPECT_EQ(done->m_staticResult->text(), Text(115));
  EXPECT_EQ(done->m_staticCounts->text(),
            "H'1F00 bytes inside the address range were programmed.\n"
            "H'10 bytes outside the address range were skipped.");
  EXPECT_EQ(board->Flash(), ExpectedFlash(wizard->Sheet().State(), file.records));
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  EXPECT_TRUE(prompt.messages.empty());

  EXPECT_FALSE(wizard->Sheet().BackButton()->isEnabled());
  EXPECT_TRUE(wizard->Sheet().NextButton()->isEnabled());
  EXPECT_TRUE(wizard->Sheet().ExitButton()->isEnabled());
  wizard->PressNext();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::Operation);
  EXPECT_EQ(wizard->PagesShown(),
            (std::vector<int>{PageId::Operation, PageId::BootFile, PageId::BootStartSwitches,
                              PageId::BootProgress, PageId::BootDone, PageId::Operation}));
  // The finished run's pages stay until an operation is chosen again.
  EXPECT_EQ(wizard->Sheet().GetPageCount(), 5);
}

// The user's data folder (the local values store, the spool) in a folder of the test's own.
class DataFolderForTest {
 public:
  DataFolderForTest() {
    const char* old = std::getenv("XDG_DATA_HOME");
    if (old) m_old = old;
    setenv("XDG_DATA_HOME", m_dir.path().toUtf8().constData(), 1);
  }
  ~DataFolderForTest() { setenv("XDG_DATA_HOME", m_old.c_str(), 1); }
  std::string Path() const { return m_dir.path().toStdString(); }

 private:
  QTemporaryDir m_dir;
  std::string m_old;
};

// Two boots with the value group on: each board's flash holds its own counter value byte-exact,
// the result page names it, and both records land in the SQLite store the settings name.
TEST_F(BootRun, EachBootTakesTheNextValueWritesItIntoTheFlashNamesItAndRecordsIt) {
  DataFolderForTest data;
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  WizardState& state = wizard->Sheet().State();
  state.m_nValueOn = 1;
  state.m_dwValueAddress = 0x7F00;
  state.m_strValueFormat = "u32be";
  state.m_strValueFrom = "0x1FFFE";
  state.m_strValueStep = "3";
  const std::string store = "sqlite:" + data.Path() + "/records.sqlite";
  state.m_strRecordStore = store;
  state.m_strStation = "bench 7";
  const std::string file = WriteProgramFile({SRecord(1, 0x100, Pattern(16, 1)), "S9030000FC"});
  const std::vector<std::vector<uint8_t>> bytes = {{0x00, 0x01, 0xFF, 0xFE}, {0x00, 0x02, 0x00, 0x01}};
  const char* const texts[] = {"131070", "131073"};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    if (run == 1) {
      wizard->PressNext();
      board->Reset(BoardState::Boot);
    }
    ASSERT_NO_FATAL_FAILURE(ToSwitchPage(file));
    wizard->PressNext();
    ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
    EXPECT_EQ(Done()->m_staticTitle->text(), "Boot Mode Finished");
    EXPECT_TRUE(Done()->m_staticResult->text().endsWith(
        QString("The board's value H'7F00:u32be: ") + texts[run]))
        << Done()->m_staticResult->text().toStdString();
    const std::vector<uint8_t> flash = board->Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x7F00, flash.begin() + 0x7F04), bytes[run]);
    EXPECT_EQ(flash[0x7F04], 0xFF);
    EXPECT_EQ(flash[0x100], Pattern(16, 1)[0]);
  }
  // The sender's thread writes the records; the test waits for them to arrive.
  std::unique_ptr<records::RecordStore> records = records::MakeRecordStore(store);
  std::vector<records::StoredRecord> rows;
  EXPECT_TRUE(QTest::qWaitFor([&] {
    rows.clear();
    std::string error;
    return records->Query({}, rows, &error) && rows.size() == 2;
  }, 10000));
  ASSERT_EQ(rows.size(), 2u);
  for (const records::StoredRecord& row : rows) {
    EXPECT_EQ(row.station, "bench 7");
    EXPECT_EQ(row.port, board->PortPath());
    EXPECT_EQ(row.valueName, "H'7F00:u32be");
    EXPECT_EQ(row.result, "success");
    EXPECT_EQ(row.exitStatus, 0);
    EXPECT_NE(row.record.find("\"device\":\"TX-C30\""), std::string::npos) << row.record;
    EXPECT_NE(row.record.find("\"record_id\":\"" + row.recordId + "\""), std::string::npos);
  }
  std::vector<std::string> values = {rows[0].value, rows[1].value};
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"131070", "131073"}));
}

// A value that cannot be taken (here a list line that does not fit the format) refuses the
// board before its first byte; the result page says why, as the failure.
TEST_F(BootRun, ABoardWhoseValueCannotBeTakenGetsNothingAndTheResultPageSaysWhy) {
  DataFolderForTest data;
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  WizardState& state = wizard->Sheet().State();
  const std::string list = data.Path() + "/serials.txt";
  std::ofstream(list) << "70000\n";
  state.m_nValueOn = 1;
  state.m_dwValueAddress = 0x7F00;
  state.m_strValueFormat = "u16le";
  state.m_strValueList = list;
  state.m_strValueName = "bench-serials";
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(16, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_EQ(Done()->m_staticResult->text(),
            "No value could be taken for this board: the list 'bench-serials' value '70000' does "
            "not fit u16le.\n\nNothing was sent to the board.");
  EXPECT_TRUE(board->Received().empty());
}

TEST_F(BootRun, WhileTheOperationRunsNoWayOutButAbortActsThenExitWorksOnTheResultPage) {
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  gate.HoldAtReceived(0, "sync");
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Pending() == "sync"; }, 10000));

  CFlashSheet& sheet = wizard->Sheet();
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  EXPECT_FALSE(sheet.NextButton()->isEnabled());
  EXPECT_FALSE(sheet.ExitButton()->isEnabled());
  EXPECT_TRUE(Progress()->m_btnAbort->isEnabled());
  wizard->PressBack();
  wizard->PressNext();
  QTest::mouseClick(sheet.ExitButton(), Qt::LeftButton);
  EXPECT_FALSE(sheet.close());
  QTest::keyClick(&sheet, Qt::Key_F4, Qt::AltModifier);
  QTest::keyClick(&sheet, Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(sheet.isVisible());
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootProgress);

  gate.Release();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  EXPECT_EQ(Done()->m_staticResult->text(), Text(115));
  EXPECT_FALSE(sheet.BackButton()->isEnabled());
  EXPECT_TRUE(sheet.ExitButton()->isEnabled());
  QTest::mouseClick(sheet.ExitButton(), Qt::LeftButton);
  EXPECT_FALSE(sheet.isVisible());
  EXPECT_EQ(sheet.result(), QDialog::Rejected);
}

TEST_F(BootRun, AbortDuringTheDownloadShowsTheAbortMessageWithoutCounts) {
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  gate.HoldAtReceived(10 + 3 + 100, "download byte 100");
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Pending() == "download byte 100"; }, 10000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Progress()->m_staticStatus->text() == Text(114); }, 5000));

  // The host waits for the echo the board holds back; Abort returns once the worker is idle.
  QTest::mouseClick(Progress()->m_btnAbort, Qt::LeftButton);
  gate.OpenAll();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_EQ(Done()->m_staticResult->text(),
            "You clicked the Abort button. Warning: resetting the target is highly recommended.");
  EXPECT_EQ(Done()->m_staticCounts->text(), "");
  EXPECT_EQ(board->BootCount(), 0);
}

TEST_F(BootRun, APortTakenByAnotherProcessLeadsStraightToInternalError254) {
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  PortHeldElsewhere other(board->PortPath());
  ASSERT_TRUE(other.Held());
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  // The refused start asks for the result page once more when its notification is handled; the
  // wizard stays there.
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootDone);
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_EQ(Done()->m_staticResult->text(),
            QString::fromStdString(FormatErrorMessage(ErrorInternal, InternalError::PortOpen)));
  EXPECT_TRUE(Done()->m_staticResult->text().contains("(254)"));
  EXPECT_EQ(Done()->m_staticCounts->text(), "");
  EXPECT_TRUE(wizard->Sheet().ExitButton()->isEnabled());
  EXPECT_TRUE(board->Received().empty());
}

TEST_F(BootRun, AFileThatCannotBeOpenedAtTheStartIsNotReportedAsThePreviousSuccess) {
  ASSERT_NO_FATAL_FAILURE(StartBoard(BoardOf("TX-C30", 0, 2)));
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  const std::string file = WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))});
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(file));
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  ASSERT_EQ(Done()->m_staticResult->text(), Text(115));
  wizard->PressNext();

  // Again, but the file goes away between the file page and the start.
  board->Reset(BoardState::Boot);
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(file));
  std::filesystem::remove(file);
  const std::size_t received = board->Received().size();
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  QCoreApplication::processEvents();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootDone);
  ASSERT_EQ(prompt.messages.size(), 1u);
  EXPECT_NE(prompt.messages[0].text.find(file), std::string::npos);
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_TRUE(Done()->m_staticResult->text().startsWith("The operation was not started"));
  EXPECT_TRUE(Done()->m_staticResult->text().contains(QString::fromStdString(file)));
  EXPECT_NE(Done()->m_staticResult->text(), Text(115));
  EXPECT_EQ(Done()->m_staticCounts->text(), "");
  EXPECT_EQ(board->Received().size(), received);
}

// Grouped here because it waits out the synchronisation's five one-second attempts.
TEST_F(BootRun, ASilentBoardEndsInTheSyncTimeoutAndNeverShowsTheDownload) {
  sim::BoardOptions options = BoardOf("TX-C30", 0, 2);
  sim::Fault silent;
  silent.step = sim::Step::Sync;
  silent.action = sim::FaultAction::Silent;
  options.faults = {silent};
  ASSERT_NO_FATAL_FAILURE(StartBoard(std::move(options)));
  ASSERT_NO_FATAL_FAILURE(MakeWizard());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  std::vector<QString> texts;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    const QString t = Progress()->m_staticStatus->text();
    if (texts.empty() || texts.back() != t) texts.push_back(t);
    return wizard->ActiveTemplate() == PageId::BootDone;
  }, 15000));
  EXPECT_EQ(texts.back(), Text(106));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), Text(114)), 0);
  EXPECT_EQ(Done()->m_staticResult->text(),
            QString::fromStdString(FormatErrorMessage(ErrorBootSyncTimeout, 0)));
  Screenshot(&wizard->Sheet(), "boot_done_page_failure");
  EXPECT_EQ(Done()->m_staticCounts->text(), "");
}


// Without an installed kernel, a port that is no simulated board's is refused before it is opened:
// the result page says which kernel is missing and how to import it, never a success and never
// an internal-error number alone.
TEST_F(BootRun, WithoutAnInstalledKernelARealPortIsRefusedAndTheResultPageSaysHowToImportIt) {
  wizard = std::make_unique<WizardUnderTest>("TX-C30", 0, 2, "/dev/null");
  ASSERT_TRUE(wizard->Show());
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(wizard->ActiveTemplate(), PageId::BootDone);
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_EQ(Done()->m_staticResult->text(),
            QString::fromStdString(FormatErrorMessage(ErrorNoKernel, 192)));
  EXPECT_TRUE(Done()->m_staticResult->text().contains("kernel 192"));
  EXPECT_TRUE(Done()->m_staticResult->text().contains("Import Kernels"));
  EXPECT_EQ(Done()->m_staticCounts->text(), "");
  EXPECT_TRUE(wizard->Sheet().ExitButton()->isEnabled());
  Screenshot(&wizard->Sheet(), "boot_refused_no_kernel");
}

// Automatic Mode through a port server whose board obeys the lines: nobody sets a switch, the
// board is started in its boot ROM and programmed, VPP is off afterwards and the pages say so.
// A board on the network is never taken for a simulated one: the kernel is installed.
TEST_F(BootRun, AutomaticModeBootsThroughTheLinesAndLeavesVppOff) {
  TestKernelStore store;
  ASSERT_NO_FATAL_FAILURE(StartAutomatic(store));
  const std::vector<Record> records = {{0x100, Pattern(32, 5)}};
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, records[0].data), "S9030000FC"})));
  EXPECT_TRUE(wizard->Active<CStartSwitchesPage>()->m_staticInstructions->text().contains(
      "set the Mode switch to Boot (RTS asserted), then switch VPP on (DTR asserted)"));
  wizard->PressNext();
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone, 30000));
  EXPECT_EQ(Done()->m_staticResult->text(), Text(115)) << Done()->m_staticResult->text().toStdString();
  EXPECT_EQ(board->BootCount(), 1);
  EXPECT_EQ(board->Flash(), ExpectedFlash(wizard->Sheet().State(), records));
  EXPECT_FALSE(board->Powered());
  EXPECT_TRUE(Done()->m_staticClosing->text().contains("VPP has been switched off"));
  EXPECT_EQ(Progress()->m_staticHint->text(), "If you \"Abort\", QUILL switches VPP off.");
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
}

// Abort in Automatic Mode, the board holding back an echo of the download: QUILL switches VPP
// off, then releases Mode, and the result page says the run was aborted and VPP is off.
TEST_F(BootRun, AutomaticModeAbortLeavesVppOff) {
  TestKernelStore store;
  ASSERT_NO_FATAL_FAILURE(StartAutomatic(store, {{sim::Step::Echo, sim::FaultAction::Silent, 100}}));
  ASSERT_NO_FATAL_FAILURE(ToSwitchPage(WriteProgramFile({SRecord(1, 0x100, Pattern(8, 1))})));
  wizard->PressNext();
  ASSERT_TRUE(QTest::qWaitFor([&] { return board->Hung(); }, 10000));
  ASSERT_TRUE(board->Powered());
  QTest::mouseClick(Progress()->m_btnAbort, Qt::LeftButton);
  ASSERT_TRUE(wizard->WaitForTemplate(PageId::BootDone));
  EXPECT_FALSE(board->Powered());
  EXPECT_TRUE(SwitchedOffThenModeReleased(*board, 90ms));
  EXPECT_EQ(Done()->m_staticTitle->text(), Text(150));
  EXPECT_TRUE(Done()->m_staticResult->text().startsWith("You clicked the Abort button."));
  EXPECT_TRUE(Done()->m_staticClosing->text().contains("VPP has been switched off"));
  EXPECT_EQ(board->BootCount(), 0);
}

}  // namespace
}  // namespace quill::test
