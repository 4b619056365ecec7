// How the wizard keeps up with an unpaced run: the real sheet and pages on Qt's offscreen
// platform boot-program a file into a simulated board that answers at once, so the worker posts
// its progress as fast as the line allows. Counts the notifications the progress page was
// delivered against the number the run posts, and measures the longest gap between two events
// the user-interface thread processed while the progress page was shown (a 10 ms timer keeps the
// thread from idling, so a gap means the thread was busy or behind).
//
//   quill-bench-wizard [DEVICE] [RECORDS]     prints "key value" lines; exit status 0 when the
//                                             page handled every notification
#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "app/flash_sheet.h"
#include "app/page_ids.h"
#include "app/progress_notify.h"
#include "app/settings_store.h"
#include "app/user_prompt.h"
#include "device/catalogue.h"
#include "pages/file_page.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"
#include "pages/progress_page.h"
#include "resources/fpcode.h"
#include "sim/sim_board.h"
#include "sim/srec_line.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

// Times every event the thread's loop dispatches (nested sends are part of their event).
class TimedApplication final : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* e) override {
    const bool top = m_depth == 0;
    if (top && m_measuring) {
      const Clock::time_point now = Clock::now();
      if (m_last != Clock::time_point{}) m_maxGap = std::max(m_maxGap, now - m_last);
      m_last = now;
      ++m_events;
    }
    if (e->type() == g_nProgressNotifyMsg) ++m_notifications;
    ++m_depth;
    const bool result = QApplication::notify(receiver, e);
    --m_depth;
    return result;
  }

  void StartMeasuring() {
    m_measuring = true;
    m_last = Clock::now();
    m_start = m_last;
  }
  void StopMeasuring() {
    m_measuring = false;
    m_took = Clock::now() - m_start;
  }

  long m_notifications = 0;
  long m_events = 0;
  Clock::duration m_maxGap{};
  Clock::duration m_took{};

 private:
  int m_depth = 0;
  bool m_measuring = false;
  Clock::time_point m_last{};
  Clock::time_point m_start{};
};

// Answers every question with Yes and never opens a dialog.
class SilentPrompt final : public UserPrompt {
 public:
  int ShowMessage(QWidget*, uint32_t id, const std::string& text, MessageButtons buttons) override {
    std::fprintf(stderr, "message %u: %s\n", id, text.c_str());
    ++shown;
    return buttons == MessageButtons::YesNo ? AnswerYes : AnswerOk;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const OpenFileRequest&) override {
    return std::nullopt;
  }
  int shown = 0;
};

// records S3 lines of 32 data bytes from address 0.
void WriteFile(const std::string& path, int records) {
  std::ofstream out(path);
  out << "S00600004844521B\n";
  std::vector<uint8_t> data(32);
  for (int r = 0; r < records; ++r) {
    const uint32_t address = static_cast<uint32_t>(r) * 32;
    for (uint32_t i = 0; i < 32; ++i) data[i] = static_cast<uint8_t>(address + i * 7);
    out << sim::MakeSRecordLine(3, address, data) << '\n';
  }
  out << "S70500000000FA\n";
}

// The catalogue index of the device named, or -1.
int DeviceIndex(const std::string& name) {
  for (int i = 0; i < GetDeviceCount(); ++i) {
    if (GetDevice(i) == FindDeviceByName(name)) return i;
  }
  return -1;
}

// The wizard's settings for the board: the device at the clock range, its fastest boot rate.
void Configure(WizardState& state, const std::string& device, int clock, const std::string& port) {
  state.m_strMCUType = device;
  state.m_nMCUMode = 0;
  state.m_nClockSpeed = clock;
  state.DeriveCatalogueRefs();
  state.m_strComPort = port;
  const ClockRange& range = *state.m_pClockRange;
  state.m_nComBootRate = static_cast<int32_t>(range.bootRates[range.bootRateCount - 1]);
}

// Walks the wizard as a user would, one page per step, and measures from the press of Next on
// the switch page to the result page.
struct Walk {
  Walk(TimedApplication& a, CFlashSheet& s, COperationPage& o, std::string f)
      : app(a), sheet(s), operation(o), file(std::move(f)) {}
  TimedApplication& app;
  CFlashSheet& sheet;
  COperationPage& operation;
  std::string file;
  QTimer probe;  // keeps the loop from idling while it is measured
  QTimer step;
  bool sawProgress = false;

  void Step() {
    CWizardPage* page = sheet.GetActivePage();
    switch (page ? page->TemplateId() : -1) {
      case PageId::Operation:
        operation.Radio(OperationBoot)->click();
        sheet.PressButton(PSBTN_NEXT);
        break;
      case PageId::BootFile:
        static_cast<CFilePage*>(page)->m_editFile->setText(QString::fromStdString(file));
        sheet.PressButton(PSBTN_NEXT);
        break;
      case PageId::BootStartSwitches:
        app.StartMeasuring();
        probe.start();
        sheet.PressButton(PSBTN_NEXT);
        break;
      case PageId::BootProgress: sawProgress = true; break;
      case PageId::BootDone:
        app.StopMeasuring();
        probe.stop();
        step.stop();
        app.exit(0);
        break;
      default: break;
    }
  }
};

// Prints the figures; true when the run succeeded and every notification was handled. What the
// run posts with a board that answers at once: sync 0 and 100; the kernel download's 0 of L, one
// per stream byte and the last; the erase report's first attempt and 20 of 20; the programming
// step's 0 of L, one per data record and L of L; the idle phase.
bool Report(const TimedApplication& app, const std::string& device, int32_t result,
            uint32_t kernelId, int records) {
  const long kernel = static_cast<long>(FindResource("FPCODE", kernelId).size());
  const long expected = 2 + (kernel + 3 + 2) + 2 + (records + 2) + 1;
  const double gapMs = std::chrono::duration<double, std::milli>(app.m_maxGap).count();
  const double tookS = std::chrono::duration<double>(app.m_took).count();
  std::printf("device %s\n", device.c_str());
  std::printf("result %d\n", result);
  std::printf("run_seconds %.3f\n", tookS);
  std::printf("notifications_expected %ld\n", expected);
  std::printf("notifications_handled %ld\n", app.m_notifications);
  std::printf("events %ld\n", app.m_events);
  std::printf("max_gap_ms %.2f\n", gapMs);
  return result == 0 && app.m_notifications == expected;
}

}  // namespace
}  // namespace quill

int main(int argc, char** argv) {
  using namespace quill;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TimedApplication app(argc, argv);
  const std::string device = argc > 1 ? argv[1] : "TX-C30";
  const int records = argc > 2 ? std::atoi(argv[2]) : 1024;
  const int deviceIndex = DeviceIndex(device);
  if (deviceIndex < 0 || records <= 0) {
    std::fprintf(stderr, "usage: quill-bench-wizard [DEVICE] [RECORDS]\n");
    return 64;
  }
  constexpr int kClock = 8;

  QTemporaryDir dir;
  const std::string file = dir.filePath("bench.srec").toStdString();
  WriteFile(file, records);

  sim::BoardOptions options;
  options.device = deviceIndex;
  options.clock = kClock;
  options.state = sim::BoardState::Boot;
  sim::SimBoard board(options);
  std::string error;
  if (!board.Start(&error)) {
    std::fprintf(stderr, "quill-bench-wizard: %s\n", error.c_str());
    return 1;
  }

  SilentPrompt prompt;
  SetPrompt(&prompt);
  auto sheet = std::make_unique<CFlashSheet>(SettingsStore(dir.filePath("quill.ini")), CreatePage);
  Configure(sheet->State(), device, kClock, board.PortPath());
  auto operation = std::make_unique<COperationPage>(sheet.get());
  sheet->AddPage(operation.get());
  sheet->show();

  Walk walk(app, *sheet, *operation, file);
  walk.probe.setInterval(10);
  QObject::connect(&walk.probe, &QTimer::timeout, &app, [] {});
  walk.step.setInterval(1);
  QObject::connect(&walk.step, &QTimer::timeout, &app, [&walk] { walk.Step(); });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, &app, [&] {
    std::fprintf(stderr, "quill-bench-wizard: the run did not end within 120 s\n");
    app.exit(1);
  });
  walk.step.start();
  watchdog.start(120000);
  const int loop = app.exec();

  uint32_t detail = 0;
  const int32_t result = sheet->Comm().GetResult(detail);
  const bool ok = Report(app, device, result, sheet->State().m_pClockRange->kernelId, records);
  const int status = loop == 0 && walk.sawProgress && prompt.shown == 0 && ok ? 0 : 1;
  operation.reset();
  sheet.reset();
  SetPrompt(nullptr);
  return status;
}
