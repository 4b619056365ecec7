// The operation and configuration pages in a running wizard, with pseudo-terminals announced as
// the serial ports on offer.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>
#include <functional>
#include <memory>
#include <vector>

#include "app/wizard_state.h"
#include "app/flash_sheet.h"
#include "gui_support.h"
#include "kernels/kernel_store.h"
#include "resources/format.h"
#include "resources/fpcode.h"
#include "resources/strings.h"
#include "tests/kernels/kernel_support.h"
#include "tests/link/link_support.h"
#include "pages/configure_page.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"

using namespace quill;
using namespace quill::test;

namespace {

QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

// The port list shows a description beside each path and keeps the path as the item's data.
QStringList PortItems(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemData(i).toString();
  return items;
}

QStringList Texts(const std::vector<std::string>& names) {
  QStringList texts;
  for (const std::string& n : names) texts << QString::fromStdString(n);
  return texts;
}

// The ten configuration members of the sheet, to see that nothing changed.
struct Configuration {
  explicit Configuration(const WizardState& s)
      : type(s.m_strMCUType), device(s.m_pDevice), mode(s.m_nMCUMode), clock(s.m_nClockSpeed),
        range(s.m_pClockRange), port(s.m_strComPort), boot(s.m_nComBootRate),
        user(s.m_nComUserRate), lowest(s.m_dwLowest), highest(s.m_dwHighest) {}
  bool operator==(const Configuration&) const = default;
  std::string type;
  const DeviceType* device;
  int32_t mode, clock;
  const ClockRange* range;
  std::string port;
  int32_t boot, user;
  uint32_t lowest, highest;
};

class Wizard : public ::testing::Test {
 protected:
  // Starts the wizard on settings that stored() may change first.
  void Open(const std::function<void(WizardState&)>& stored = {}) {
    if (stored) {
      WizardState s;
      file.Store().Load(s);
      stored(s);
      ASSERT_TRUE(file.Store().Save(s));
    }
    sheet = std::make_unique<CFlashSheet>(file.Store(), CreatePage);
    operation = std::make_unique<COperationPage>(sheet.get());
    sheet->AddPage(operation.get());
    sheet->show();
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet.get()));
    ASSERT_EQ(sheet->GetActivePage(), operation.get());
  }

  // Configuration, then Next.
  CConfigurePage* OpenConfiguration() {
    Click(operation->Radio(OperationConfigure));
    Click(sheet->NextButton());
    auto* page = dynamic_cast<CConfigurePage*>(sheet->GetActivePage());
    EXPECT_NE(page, nullptr);
    QCoreApplication::processEvents();
    return page;
  }

  void TearDown() override {
    operation.reset();
    sheet.reset();
  }

  TempSettings file;
  RecordingPrompt prompt;
  std::unique_ptr<CFlashSheet> sheet;
  std::unique_ptr<COperationPage> operation;
};

}  // namespace

TEST_F(Wizard, FirstStartOffersConfigurationAloneUntilAPortIsConfigured) {
  AnnouncedPort port("sim-board");
  Open();
  EXPECT_TRUE(operation->Radio(OperationConfigure)->isChecked());
  EXPECT_FALSE(operation->Radio(OperationBoot)->isEnabled());
  EXPECT_FALSE(operation->Radio(OperationUser)->isEnabled());
  EXPECT_FALSE(sheet->BackButton()->isEnabled());
  EXPECT_TRUE(sheet->NextButton()->isEnabled());
  Screenshot(sheet.get(), "operation_page_first_start");
  Click(operation->Radio(OperationBoot));
  EXPECT_EQ(sheet->State().m_nOperation, OperationConfigure);

  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(sheet->BackButton()->isEnabled());
  EXPECT_TRUE(sheet->NextButton()->isEnabled());
  EXPECT_EQ(Items(page->m_cbDevice), (QStringList{"TX-A10", "TX-C30", "TX-C31"}));
  EXPECT_EQ(page->m_cbDevice->currentIndex(), 0);
  // One mode: an empty, disabled list with a disabled label.
  EXPECT_EQ(page->m_cbMode->count(), 0);
  EXPECT_FALSE(page->m_cbMode->isEnabled());
  EXPECT_FALSE(page->m_stMode->isEnabled());
  // The first start's clock index 10000 shows the last, highest range.
  EXPECT_EQ(page->m_cbClock->count(), 9);
  EXPECT_EQ(page->m_cbClock->currentText(), ">= 16 MHz");
  EXPECT_EQ(page->m_cbClock->itemText(0), ">= 1 MHz, < 2 MHz");
  EXPECT_EQ(PortItems(page->m_cbPort), Texts(AvailablePorts()));
  EXPECT_TRUE(PortItems(page->m_cbPort).contains(QString::fromStdString(port.Path())));
  EXPECT_EQ(page->m_cbPort->currentIndex(), 0);
  EXPECT_EQ(Items(page->m_cbBootRate), (QStringList{"2400", "4800", "9600"}));
  EXPECT_EQ(page->m_cbBootRate->currentText(), "9600");
  EXPECT_EQ(Items(page->m_cbUserRate),
            (QStringList{"2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200"}));
  EXPECT_EQ(page->m_cbUserRate->currentText(), "9600");
  EXPECT_TRUE(page->m_rbManual->isChecked());
  EXPECT_TRUE(page->m_rbAutomatic->isEnabled());
  EXPECT_EQ(page->m_edLineMap->text(), "vpp=dtr,mode=rts");
  EXPECT_FALSE(page->m_edLineMap->isEnabled());
  EXPECT_TRUE(prompt.ids.empty());
  Screenshot(sheet.get(), "configure_page");

  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_EQ(sheet->State().m_nClockSpeed, 8);
  EXPECT_EQ(sheet->State().m_pClockRange, &GetDevice(0)->GetClockRanges(0)[8]);
  EXPECT_EQ(sheet->State().m_strComPort, AvailablePorts().front());
  EXPECT_EQ(sheet->State().m_nComBootRate, 9600);
  EXPECT_EQ(sheet->State().m_nComUserRate, 9600);
  EXPECT_EQ(sheet->State().m_strMCUType, "TX-A10");
  // Device and mode unchanged: the window is handed over as it was.
  EXPECT_EQ(sheet->State().m_dwLowest, 0u);
  EXPECT_EQ(sheet->State().m_dwHighest, 0xFFFFFFFFu);
  EXPECT_TRUE(operation->Radio(OperationBoot)->isEnabled());
  EXPECT_TRUE(operation->Radio(OperationUser)->isEnabled());
  EXPECT_FALSE(sheet->BackButton()->isEnabled());
  Screenshot(sheet.get(), "operation_page");
}

TEST_F(Wizard, TheLastOperationIsPreselectedAndAnUnknownOneShowsAsConfiguration) {
  Open([](WizardState& s) {
    s.m_strComPort = "/dev/ttyUSB0";
    s.m_nOperation = OperationUser;
  });
  EXPECT_TRUE(operation->Radio(OperationUser)->isChecked());
  for (int op = 0; op < 3; ++op) EXPECT_TRUE(operation->Radio(op)->isEnabled());
  TearDown();

  Open([](WizardState& s) { s.m_nOperation = 5; });
  EXPECT_TRUE(operation->Radio(OperationConfigure)->isChecked());
  EXPECT_EQ(sheet->State().m_nOperation, 5) << "the stored value is kept until a choice is clicked";
  Click(sheet->NextButton());
  EXPECT_NE(dynamic_cast<CConfigurePage*>(sheet->GetActivePage()), nullptr);
}

TEST_F(Wizard, BootRatesFollowTheClockRange) {
  AnnouncedPort port("sim-board");
  Open();
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  // A range that permits only 2400 turns the remembered 9600 into 2400 ...
  Choose(page->m_cbClock, 0);
  EXPECT_EQ(Items(page->m_cbBootRate), QStringList{"2400"});
  EXPECT_EQ(page->m_cbBootRate->currentText(), "2400");
  // ... and going back to a range with 9600 keeps 2400, the nearest to what is remembered now.
  Choose(page->m_cbClock, 8);
  EXPECT_EQ(Items(page->m_cbBootRate), (QStringList{"2400", "4800", "9600"}));
  EXPECT_EQ(page->m_cbBootRate->currentText(), "2400");
  Choose(page->m_cbClock, 3);
  Choose(page->m_cbBootRate, 1);
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_EQ(sheet->State().m_nClockSpeed, 3);
  EXPECT_EQ(sheet->State().m_pClockRange, &GetDevice(0)->GetClockRanges(0)[3]);
  EXPECT_EQ(sheet->State().m_nComBootRate, 4800);
}

TEST_F(Wizard, AUserRateOf0LeavesTheListWithoutSelectionAndNextRefuses) {
  AnnouncedPort port("sim-board");
  Open([](WizardState& s) { s.m_nComUserRate = 0; });
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->m_cbUserRate->currentIndex(), -1);
  Click(sheet->NextButton());
  EXPECT_EQ(prompt.ids, std::vector<uint32_t>{180});
  EXPECT_EQ(sheet->GetActivePage(), page);
  EXPECT_EQ(sheet->State().m_nClockSpeed, 10000) << "nothing is handed over";
  EXPECT_EQ(sheet->State().m_strComPort, "");

  Choose(page->m_cbUserRate, 3);
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_EQ(sheet->State().m_nComUserRate, 14400);
}

TEST_F(Wizard, AStoredPortThatCannotBeOpenedFallsBackToTheFirstAvailable) {
  AnnouncedPort com1("COM1"), com2("COM2"), com3("COM3");
  com2.Hold();
  Open([&](WizardState& s) { s.m_strComPort = com2.Path(); });
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  const QStringList ports = PortItems(page->m_cbPort);
  EXPECT_EQ(ports, Texts(AvailablePorts()));
  EXPECT_FALSE(ports.contains(QString::fromStdString(com2.Path())));
  const int first = static_cast<int>(ports.indexOf(QString::fromStdString(com1.Path())));
  ASSERT_GE(first, 0);
  EXPECT_EQ(ports.indexOf(QString::fromStdString(com3.Path())), first + 1);
  EXPECT_EQ(page->m_cbPort->currentIndex(), 0);
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->State().m_strComPort, AvailablePorts().front());

  // A stored port that can be opened is selected again.
  Click(operation->Radio(OperationConfigure));
  sheet->State().m_strComPort = com3.Path();
  page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->m_cbPort->currentData().toString(), QString::fromStdString(com3.Path()));
}

// The list is learned without opening a port (an open resets many boards): a port another
// process holds, even without a lock, is not offered, and showing the page again opens none.
TEST_F(Wizard, ThePortListOpensNoPortAndLeavesOutOnesInUse) {
  AnnouncedPort free("sim-free"), used("sim-used");
  PortHolder holder(used.Path(), "terminal");
  NodeWatch freeLine(free.Path()), usedLine(used.Path());
  Open();
  for (int i = 0; i < 3; ++i) {
    CConfigurePage* page = OpenConfiguration();
    ASSERT_NE(page, nullptr);
    const QStringList ports = PortItems(page->m_cbPort);
    EXPECT_TRUE(ports.contains(QString::fromStdString(free.Path())));
    EXPECT_FALSE(ports.contains(QString::fromStdString(used.Path())));
    Click(sheet->BackButton());
  }
  EXPECT_EQ(freeLine.Events(), 0) << "the page opened a port";
  EXPECT_EQ(usedLine.Events(), 0) << "the page opened a port";
}

TEST_F(Wizard, ChangingDeviceOrModeResetsTheAddressWindow) {
  AnnouncedPort port("sim-board");
  Open([](WizardState& s) {
    s.m_nClockSpeed = 3;
    s.m_dwLowest = 0x100;
    s.m_dwHighest = 0x200;
  });
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  Choose(page->m_cbDevice, 1);  // TX-C30
  EXPECT_EQ(page->m_cbMode->count(), 0);
  // The clock list stays; its entry is read against the new device.
  EXPECT_EQ(page->m_cbClock->currentIndex(), 3);
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->State().m_strMCUType, "TX-C30");
  EXPECT_EQ(sheet->State().m_pDevice, GetDevice(1));
  EXPECT_EQ(sheet->State().m_nMCUMode, 0);
  EXPECT_EQ(sheet->State().m_pClockRange, &GetDevice(1)->GetClockRanges(0)[3]);
  EXPECT_EQ(sheet->State().m_dwLowest, 0u);
  EXPECT_EQ(sheet->State().m_dwHighest, 0x7FFFu);

  page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  Choose(page->m_cbDevice, 2);  // TX-C31, two modes
  EXPECT_TRUE(page->m_cbMode->isEnabled());
  EXPECT_TRUE(page->m_stMode->isEnabled());
  EXPECT_EQ(Items(page->m_cbMode), (QStringList{"Mode 2", "Mode 3"}));
  EXPECT_EQ(page->m_cbMode->currentIndex(), 0);
  EXPECT_EQ(page->m_dwHighest, 0xEF7Fu);
  Choose(page->m_cbMode, 1);
  Screenshot(sheet.get(), "configure_page_two_modes");
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->State().m_nMCUMode, 1);
  EXPECT_EQ(sheet->State().m_pClockRange, &GetDevice(2)->GetClockRanges(1)[3]);
  EXPECT_EQ(sheet->State().m_dwLowest, 0u);
  EXPECT_EQ(sheet->State().m_dwHighest, 0xF77Fu);
}

TEST_F(Wizard, BackHandsNothingOver) {
  AnnouncedPort a("sim-a"), b("sim-b");
  Open([](WizardState& s) {
    s.m_dwLowest = 0x100;
    s.m_dwHighest = 0x200;
  });
  const Configuration before(sheet->State());
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  Choose(page->m_cbDevice, 2);
  Choose(page->m_cbMode, 1);
  Choose(page->m_cbClock, 0);
  Choose(page->m_cbPort, page->m_cbPort->count() - 1);
  Choose(page->m_cbUserRate, 0);
  Click(sheet->BackButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_TRUE(Configuration(sheet->State()) == before);
  EXPECT_FALSE(operation->Radio(OperationBoot)->isEnabled());
}

// Automatic Mode with its line map: a map the communication object could not follow is refused
// on Next with the parser's reason; a good one is handed over, and both outlive a restart.
TEST_F(Wizard, AutomaticModeIsCheckedOnNextAndRemembered) {
  AnnouncedPort port("sim-board");
  Open();
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  Click(page->m_rbAutomatic);
  EXPECT_TRUE(page->m_edLineMap->isEnabled());
  for (const char* bad : {"", "vpp=!dtr", "vpp=dtr,mode=dtr", "reset=rts"}) {
    prompt.ids.clear();
    prompt.texts.clear();
    page->m_edLineMap->setText(QString::fromLatin1(bad));
    Click(sheet->NextButton());
    EXPECT_EQ(sheet->GetActivePage(), page) << bad;
    ASSERT_EQ(prompt.ids, std::vector<uint32_t>{StrId::LineMapInvalid}) << bad;
    EXPECT_NE(prompt.texts[0].find("'" + std::string(bad) + "'"), std::string::npos);
    EXPECT_NE(prompt.texts[0].find("vpp=dtr,mode=rts"), std::string::npos);
    EXPECT_FALSE(sheet->State().m_bAutomatic);
  }
  page->m_edLineMap->setText(" VPP=rts, mode=!DTR ");
  Screenshot(sheet.get(), "configure_page_automatic");
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_TRUE(sheet->State().m_bAutomatic);
  EXPECT_EQ(sheet->State().m_strLineMap, "vpp=rts,mode=!dtr");

  // The sheet remembers both when it closes; the next start shows them again.
  operation.reset();
  sheet.reset();
  Open();
  EXPECT_TRUE(sheet->State().m_bAutomatic);
  EXPECT_EQ(sheet->State().m_strLineMap, "vpp=rts,mode=!dtr");
  page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->m_rbAutomatic->isChecked());
  EXPECT_EQ(page->m_edLineMap->text(), "vpp=rts,mode=!dtr");

  // Back to Manual Mode: the map is kept as it stands, nothing checks it.
  Click(page->m_rbManual);
  page->m_edLineMap->setText("anything");
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_FALSE(sheet->State().m_bAutomatic);
  EXPECT_EQ(sheet->State().m_strLineMap, "anything");
}

TEST_F(Wizard, StoredIndicesBeyondTheListsShowTheNearestEnd) {
  AnnouncedPort port("sim-board");
  Open([](WizardState& s) {
    s.m_strMCUType = "TX-C31";
    s.m_nMCUMode = 5;
    s.m_nClockSpeed = -1;
  });
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->m_cbMode->currentIndex(), 1);
  EXPECT_EQ(page->m_cbClock->currentIndex(), 0);
  Click(sheet->NextButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_EQ(sheet->State().m_nMCUMode, 1);
  EXPECT_EQ(sheet->State().m_nClockSpeed, 0);
  EXPECT_EQ(sheet->State().m_pClockRange, &GetDevice(2)->GetClockRanges(1)[0]);
}

TEST_F(Wizard, NoPortAtAllShowsMessage181AndNextRefuses) {
  // The machine's own serial ports are held as if another program used them.
  std::vector<std::unique_ptr<HeldPort>> held;
  for (const std::string& port : AvailablePorts()) held.push_back(std::make_unique<HeldPort>(port));
  ASSERT_TRUE(AvailablePorts().empty());
  Open();
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !prompt.ids.empty(); }, 2000));
  EXPECT_EQ(prompt.ids, std::vector<uint32_t>{181});
  EXPECT_EQ(page->m_cbPort->count(), 0);
  Click(sheet->NextButton());
  EXPECT_EQ(prompt.ids, (std::vector<uint32_t>{181, 180}));
  EXPECT_EQ(sheet->GetActivePage(), page);
  Click(sheet->BackButton());
  EXPECT_EQ(sheet->GetActivePage(), operation.get());
  EXPECT_EQ(sheet->State().m_strComPort, "");
}

// The line under the lists tells which kernel the selected clock range would get, and the
// import button takes a kernel into the user's store, asking before it replaces a different one.
TEST_F(Wizard, TheKernelLineFollowsTheClockRangeAndTheImportButtonInstallsKernels) {
  TestKernelStore store;
  ScratchDir sources;
  AnnouncedPort port("sim-board");
  Open([](WizardState& s) { s.m_strMCUType = "TX-C30"; s.m_nClockSpeed = 2; });
  CConfigurePage* page = OpenConfiguration();
  ASSERT_NE(page, nullptr);
  auto lineIs = [&](uint32_t id, std::initializer_list<MsgArg> args) {
    return page->m_stKernel->text() == QString::fromStdString(FormatString(id, args));
  };
  EXPECT_TRUE(lineIs(StrId::KernelStandIn, {192u})) << page->m_stKernel->text().toStdString();
  EXPECT_TRUE(page->m_stKernel->isVisible());
  EXPECT_TRUE(page->m_btnImportKernels->isVisible());

  // A cancelled dialog changes nothing.
  page->m_btnImportKernels->click();
  EXPECT_TRUE(prompt.ids.empty());

  const fs::path file = sources.Path() / "fpcode_192.bin";
  WriteFile(file, RealKernel(192));
  prompt.chosenFile = file.string();
  page->m_btnImportKernels->click();
  ASSERT_EQ(prompt.ids, std::vector<uint32_t>{StrId::KernelsImported});
  EXPECT_NE(prompt.texts.back().find("kernel 192 (TX-C30, clock range "), std::string::npos)
      << prompt.texts.back();
  const std::string installed = KernelFilePath(store.Store(), 192).string();
  EXPECT_TRUE(lineIs(StrId::KernelReal, {192u, installed}));

  // Another clock range has only its stand-in; a damaged installed file is said to be unusable.
  Choose(page->m_cbClock, 3);
  EXPECT_TRUE(lineIs(StrId::KernelStandIn, {193u}));
  store.Install(193, {});
  Choose(page->m_cbClock, 2);
  Choose(page->m_cbClock, 3);
  EXPECT_TRUE(page->m_stKernel->text().contains("cannot be used")) << page->m_stKernel->text().toStdString();

  // A different kernel 192: the user is asked; No keeps the installed one, Yes replaces it.
  const fs::path other = sources.Path() / "192.bin";
  WriteFile(other, RealKernel(192, 9));
  prompt.chosenFile = other.string();
  prompt.ids.clear();
  prompt.answer = AnswerNo;
  page->m_btnImportKernels->click();
  EXPECT_EQ(prompt.ids, std::vector<uint32_t>{StrId::KernelReplaceAsk});
  EXPECT_EQ(ReadFile(installed), RealKernel(192));
  prompt.ids.clear();
  prompt.answer = AnswerYes;
  page->m_btnImportKernels->click();
  EXPECT_EQ(prompt.ids, (std::vector<uint32_t>{StrId::KernelReplaceAsk, StrId::KernelsImported}));
  EXPECT_EQ(ReadFile(installed), RealKernel(192, 9));

  // A stand-in is refused with the reason, and nothing changes.
  const fs::path standIn = sources.Path() / "s" / "192.bin";
  fs::create_directories(standIn.parent_path());
  const auto image = FindResource("FPCODE", 192);
  WriteFile(standIn, {image.begin(), image.end()});
  prompt.chosenFile = standIn.string();
  prompt.ids.clear();
  page->m_btnImportKernels->click();
  EXPECT_EQ(prompt.ids, std::vector<uint32_t>{StrId::KernelsNotImported});
  EXPECT_NE(prompt.texts.back().find("stand-ins"), std::string::npos);
  EXPECT_EQ(ReadFile(installed), RealKernel(192, 9));
  Screenshot(sheet.get(), "configure_kernels");
}
