// The screenshots of README.md: walks the real wizard on Qt's offscreen platform through every
// page - configuration, a boot-mode run, a user-mode programming run and an erase run - against
// a simulated board in this process, and saves each page as a PNG.
//
//   quill-screenshots FOLDER      writes FOLDER/01-operation.png ... FOLDER/17-about.png
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/flash_sheet.h"
#include "app/page_ids.h"
#include "app/settings_store.h"
#include "app/user_prompt.h"
#include "link/comm_thread.h"
#include "pages/blocks_page.h"
#include "pages/file_page.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"
#include "pages/user_operation_page.h"
#include "sim/sim_board.h"
#include "sim/srec_line.h"

namespace quill {
namespace {

// Never opens a dialog; a message during the tour is a fault of the tour.
class TourPrompt final : public UserPrompt {
 public:
  int ShowMessage(QWidget*, uint32_t id, const std::string& text, MessageButtons buttons) override {
    std::fprintf(stderr, "quill-screenshots: message %u: %s\n", id, text.c_str());
    return buttons == MessageButtons::YesNo ? AnswerYes : AnswerOk;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const OpenFileRequest&) override {
    return std::nullopt;
  }
};

// size bytes from address 0 in S1 records of 32 data bytes.
void WriteProgram(const std::string& path, uint32_t size) {
  std::ofstream out(path);
  out << "S00F000068656C6C6F202020202000003C\n";
  std::vector<uint8_t> data(32);
  for (uint32_t a = 0; a < size; a += 32) {
    for (uint32_t i = 0; i < 32; ++i) data[i] = static_cast<uint8_t>(a + i * 13);
    out << sim::MakeSRecordLine(1, a, data) << '\n';
  }
  out << "S9030000FC\n";
}

class Tour {
 public:
  Tour(CFlashSheet& sheet, COperationPage& operation, QString folder)
      : m_sheet(sheet), m_operation(operation), m_folder(std::move(folder)) {}

  int Active() const {
    const CWizardPage* page = m_sheet.GetActivePage();
    return page ? page->TemplateId() : -1;
  }
  // Waits for the page; false (and a message) when it does not come.
  bool Expect(int templateId, int timeoutMs = 30000) {
    if (QTest::qWaitFor([&] { return Active() == templateId; }, timeoutMs)) {
      QTest::qWait(50);  // let layouts and pending paints settle
      return true;
    }
    std::fprintf(stderr, "quill-screenshots: page %d never came (at %d)\n", templateId, Active());
    m_ok = false;
    return false;
  }
  bool WaitFor(const std::function<bool()>& condition, const char* what) {
    if (QTest::qWaitFor(condition, 30000)) return true;
    std::fprintf(stderr, "quill-screenshots: %s never happened\n", what);
    m_ok = false;
    return false;
  }
  void Shot(QWidget* widget, const char* name) {
    const QString path = m_folder + "/" + name + ".png";
    // A palette of 256 colours and the highest compression: the images live in the repository,
    // and a page has few colours.
    const QImage image = widget->grab().toImage().convertToFormat(
        QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    if (!image.save(path, "PNG", 0)) {
      std::fprintf(stderr, "quill-screenshots: cannot write %s\n", qPrintable(path));
      m_ok = false;
    }
    std::printf("%s\n", qPrintable(path));
  }
  void Page(const char* name) { Shot(&m_sheet, name); }
  void Next() { m_sheet.PressButton(PSBTN_NEXT); }
  // Picks a choice of the page and goes on.
  void Choose(QRadioButton* radio) {
    radio->click();
    Next();
  }
  // The page of id, photographed as it comes, and left with Next.
  void Pass(int id, const char* name) {
    if (!Expect(id)) return;
    Page(name);
    Next();
  }
  // The file page of id with the file filled in, photographed, and left with Next.
  void PassFile(int id, const std::string& file, const char* name) {
    if (!Expect(id)) return;
    static_cast<CFilePage*>(m_sheet.GetActivePage())->m_editFile->setText(QString::fromStdString(file));
    Page(name);
    Next();
  }
  // The progress bar of the active page, once it has come at least fraction of the way.
  bool BarAt(double fraction) {
    auto* bar = m_sheet.GetActivePage()->findChild<QProgressBar*>();
    return WaitFor(
        [&] {
          bar = m_sheet.GetActivePage()->findChild<QProgressBar*>();
          return bar && bar->maximum() > 1 && bar->value() >= fraction * bar->maximum();
        },
        "progress");
  }
  bool Ok() const { return m_ok; }

 private:
  CFlashSheet& m_sheet;
  COperationPage& m_operation;
  QString m_folder;
  bool m_ok = true;
};

// Configuration, then boot programming of the file.
void BootLeg(Tour& tour, COperationPage& operation, const std::string& file) {
  if (tour.Expect(PageId::Operation)) {
    operation.Radio(OperationConfigure)->click();
    tour.Page("01-operation");
    tour.Next();
  }
  tour.Pass(PageId::Configure, "02-configuration");
  if (tour.Expect(PageId::Operation)) tour.Choose(operation.Radio(OperationBoot));
  tour.PassFile(PageId::BootFile, file, "03-boot-file");
  tour.Pass(PageId::BootStartSwitches, "04-boot-switches");
  if (tour.Expect(PageId::BootProgress) && tour.BarAt(0.4)) tour.Page("05-boot-progress");
  tour.Pass(PageId::BootDone, "06-boot-result");
}

// User programming of the file, erasing its blocks first.
void UserLeg(Tour& tour, CFlashSheet& sheet, COperationPage& operation, const std::string& file) {
  if (tour.Expect(PageId::Operation)) tour.Choose(operation.Radio(OperationUser));
  if (tour.Expect(PageId::UserOperation)) {
    auto* page = static_cast<CUserOperationPage*>(sheet.GetActivePage());
    page->Radio(UserOperationProgramErase)->click();
    tour.Page("07-user-operation");
    tour.Next();
  }
  tour.PassFile(PageId::UserFile, file, "08-user-file");
  tour.Pass(PageId::UserBlocks, "09-program-blocks");
  tour.Pass(PageId::UserStartSwitches, "10-user-switches");
  if (tour.Expect(PageId::UserProgress) && tour.BarAt(0.4)) tour.Page("11-user-progress");
  tour.Pass(PageId::UserDone, "12-user-result");
}

// Erasing two blocks, and the About box.
void EraseLeg(Tour& tour, CFlashSheet& sheet) {
  if (tour.Expect(PageId::UserOperation)) {
    auto* page = static_cast<CUserOperationPage*>(sheet.GetActivePage());
    tour.Choose(page->Radio(UserOperationErase));
  }
  if (tour.Expect(PageId::EraseBlocks)) {
    auto* list = sheet.GetActivePage()->findChild<QTreeWidget*>();
    for (int row : {8, 9}) list->topLevelItem(row)->setSelected(true);
    tour.Page("13-erase-blocks");
    tour.Next();
  }
  tour.Pass(PageId::EraseStartSwitches, "14-erase-switches");
  if (tour.Expect(PageId::EraseProgress)) {
    tour.WaitFor(
        [&] { return sheet.Seen().progress.phase == PhaseBlockErase; },
        "the erase");
    QTest::qWait(300);
    tour.Page("15-erase-progress");
  }
  if (tour.Expect(PageId::EraseDone)) tour.Page("16-erase-result");

  // The About box is modal: it is photographed and closed from inside its own loop.
  QTimer::singleShot(300, [&] {
    if (QWidget* about = QApplication::activeModalWidget()) {
      tour.Shot(about, "17-about");
      about->close();
    }
  });
  sheet.OnAbout();
}

// Automatic Mode chosen on the configuration page, and the boot switch page that says what QUILL
// will do with the lines; nothing is started.
void AutomaticLeg(Tour& tour, CFlashSheet& sheet, COperationPage& operation) {
  if (tour.Expect(PageId::EraseDone)) tour.Next();
  if (tour.Expect(PageId::UserOperation)) sheet.PressButton(PSBTN_BACK);
  if (tour.Expect(PageId::Operation)) tour.Choose(operation.Radio(OperationConfigure));
  if (tour.Expect(PageId::Configure)) {
    sheet.GetActivePage()->findChild<QRadioButton*>(QStringLiteral("radio1055"))->click();
    tour.Page("18-configuration-automatic");
    tour.Next();
  }
  if (tour.Expect(PageId::Operation)) tour.Choose(operation.Radio(OperationBoot));
  if (tour.Expect(PageId::BootFile)) tour.Next();
  if (tour.Expect(PageId::BootStartSwitches)) tour.Page("19-boot-switches-automatic");
}

// The wizard's settings for the tour's board.
void Configure(WizardState& state, const std::string& port) {
  state.m_strMCUType = "TX-A10";
  state.m_nMCUMode = 0;
  state.m_nClockSpeed = 8;
  state.m_strComPort = port;
  state.m_nComBootRate = 9600;
  state.m_nComUserRate = 9600;  // the kernel keeps the rate it was synchronised at
  state.DeriveCatalogueRefs();
  // Each board gets a serial number of its own, right after the program.
  state.m_nValueOn = 1;
  state.m_dwValueAddress = 0x800;
  state.m_strValueFormat = "u32le";
  state.m_strValueFrom = "100000";
  state.m_strValueStep = "1";
}

// The simulated board the tour runs against, announced in the tour's own runtime folder.
sim::BoardOptions TourBoard() {
  sim::BoardOptions options;
  options.device = 0;  // TX-A10
  options.clock = 8;
  options.state = sim::BoardState::Boot;
  options.pace = true;  // so the progress pages can be caught half-way
  options.announce = true;
  options.announceName = "board";
  // The erase run's command (the second erase of the tour) takes a while, as a real one does.
  options.faults.push_back({sim::Step::BlockErase, sim::FaultAction::Delay, 1, -1, 2000});
  return options;
}

}  // namespace
}  // namespace quill

int main(int argc, char** argv) {
  using namespace quill;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (argc != 2) {
    std::fprintf(stderr, "usage: quill-screenshots FOLDER\n");
    return 64;
  }
  // The board announces its port in a folder of the tour's own, so the configuration page lists
  // it and nothing else that happens to run.
  const QString run = QDir::temp().filePath(QStringLiteral("quill-tour"));
  QDir(run).removeRecursively();
  QDir().mkpath(run);
  QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", run.toLocal8Bit());
  // The per-board values' local store in the tour's folder too, never the user's.
  qputenv("XDG_DATA_HOME", run.toLocal8Bit());
  QApplication app(argc, argv);
  QDir().mkpath(QString::fromLocal8Bit(argv[1]));
  const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();

  const std::string file = (run + "/firmware.mot").toStdString();
  WriteProgram(file, 0x800);

  sim::SimBoard board(TourBoard());
  std::string error;
  if (!board.Start(&error)) {
    std::fprintf(stderr, "quill-screenshots: %s\n", error.c_str());
    return 1;
  }

  TourPrompt prompt;
  SetPrompt(&prompt);
  int status = 1;
  {
    auto sheet = std::make_unique<CFlashSheet>(SettingsStore(run + "/quill.ini"), CreatePage);
    Configure(sheet->State(), board.AnnouncePath());
    auto operation = std::make_unique<COperationPage>(sheet.get());
    sheet->AddPage(operation.get());
    sheet->show();
    Tour tour(*sheet, *operation, folder);

    BootLeg(tour, *operation, file);
    UserLeg(tour, *sheet, *operation, file);
    EraseLeg(tour, *sheet);
    AutomaticLeg(tour, *sheet, *operation);
    if (!board.Errors().empty()) {
      for (const std::string& e : board.Errors()) std::fprintf(stderr, "board: %s\n", e.c_str());
    } else if (tour.Ok()) {
      status = 0;
    }
    sheet->Abort();
    operation.reset();
    sheet.reset();
  }
  SetPrompt(nullptr);
  board.Stop();
  QDir(run).removeRecursively();
  return status;
}
