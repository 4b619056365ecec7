#include "tests/gui_boot/wizard_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QtTest/QTest>
#include <stdexcept>

#include "app/settings_store.h"
#include "device/catalogue.h"
#include "pages/page_factory.h"
#include "resources/strings.h"

namespace quill::test {

using namespace std::chrono_literals;

std::vector<uint32_t> ScriptedPrompt::Ids() const {
  std::vector<uint32_t> ids;
  for (const ShownMessage& m : messages) ids.push_back(m.id);
  return ids;
}

void BoardGate::Attach(sim::BoardOptions& options) {
  options.log = [this](sim::LogKind kind, std::string_view text) { OnLog(kind, text); };
}

void BoardGate::HoldAtReceived(std::size_t offset, std::string name) {
  std::lock_guard lock(m_mutex);
  m_holds.push_back({true, offset, std::move(name)});
}

void BoardGate::HoldAtSent(std::size_t count, std::string name) {
  std::lock_guard lock(m_mutex);
  m_holds.push_back({false, count, std::move(name)});
}

std::string BoardGate::Pending() const {
  std::lock_guard lock(m_mutex);
  return m_pending;
}

void BoardGate::Release() {
  std::lock_guard lock(m_mutex);
  m_released = true;
  m_cv.notify_all();
}

void BoardGate::OpenAll() {
  std::lock_guard lock(m_mutex);
  m_open = true;
  m_released = true;
  m_cv.notify_all();
}

void BoardGate::OnLog(sim::LogKind kind, std::string_view text) {
  if (kind != sim::LogKind::FromHost && kind != sim::LogKind::ToHost) return;
  // The board logs bytes as two hexadecimal digits each, separated by blanks.
  const std::size_t bytes = (text.size() + 1) / 3;
  std::unique_lock lock(m_mutex);
  if (kind == sim::LogKind::FromHost) {
    const std::size_t first = m_received;
    m_received += bytes;
    for (std::size_t i = 0; i < m_holds.size(); ++i) {
      const Hold hold = m_holds[i];
      if (hold.received && hold.at >= first && hold.at < m_received) {
        m_holds.erase(m_holds.begin() + static_cast<long>(i));
        Block(lock, hold.name);
        return;
      }
    }
  } else {
    m_sent += bytes;
    for (std::size_t i = 0; i < m_holds.size(); ++i) {
      const Hold hold = m_holds[i];
      if (!hold.received && hold.at == m_sent) {
        m_holds.erase(m_holds.begin() + static_cast<long>(i));
        Block(lock, hold.name);
        return;
      }
    }
  }
}

void BoardGate::Block(std::unique_lock<std::mutex>& lock, const std::string& name) {
  if (m_open) return;
  m_pending = name;
  m_released = false;
  // Bounded, so a failed test cannot hang the board for ever.
  m_cv.wait_for(lock, 20s, [this] { return m_released; });
  m_pending.clear();
}

WizardUnderTest::WizardUnderTest(const std::string& device, int mode, int clock,
                                 const std::string& port) {
  if (!m_dir.isValid()) throw std::runtime_error("no temporary folder");
  m_sheet = std::make_unique<CFlashSheet>(SettingsStore(m_dir.filePath("quill.ini")), CreatePage);
  CFlashSheet& s = *m_sheet;
  s.State().m_strMCUType = device;
  s.State().m_nMCUMode = mode;
  s.State().m_nClockSpeed = clock;
  s.State().DeriveCatalogueRefs();
  s.State().m_strComPort = port;
  const ClockRange& range = *s.State().m_pClockRange;
  s.State().m_nComBootRate = static_cast<int32_t>(range.bootRates[range.bootRateCount - 1]);
  s.State().m_nComUserRate = 9600;
  auto* stack = s.findChild<QStackedWidget*>();
  QObject::connect(stack, &QStackedWidget::currentChanged, stack, [this, stack](int index) {
    auto* page = qobject_cast<CWizardPage*>(stack->widget(index));
    if (page && (m_shown.empty() || m_shown.back() != page->TemplateId()))
      m_shown.push_back(page->TemplateId());
  });
  m_operation = std::make_unique<COperationPage>(m_sheet.get());
  s.AddPage(m_operation.get());
}

WizardUnderTest::~WizardUnderTest() {
  // As the program ends: page 0 first, then the sheet.
  m_operation.reset();
  m_sheet.reset();
}

bool WizardUnderTest::Show() {
  m_sheet->show();
  m_sheet->activateWindow();
  // Active, so that its keyboard shortcuts (Alt+F4) reach it.
  if (!QTest::qWaitForWindowActive(m_sheet.get())) return false;
  return QTest::qWaitFor([this] { return m_sheet->GetActiveIndex() == 0; }, 5000);
}

int WizardUnderTest::ActiveTemplate() const {
  const CWizardPage* page = m_sheet->GetActivePage();
  return page ? page->TemplateId() : -1;
}

void WizardUnderTest::PressNext() { QTest::mouseClick(m_sheet->NextButton(), Qt::LeftButton); }

void WizardUnderTest::PressBack() { QTest::mouseClick(m_sheet->BackButton(), Qt::LeftButton); }

void WizardUnderTest::ChooseOperation(int operation) {
  QTest::mouseClick(m_operation->Radio(operation), Qt::LeftButton);
  PressNext();
}

bool WizardUnderTest::WaitForTemplate(int templateId, int timeoutMs) {
  return QTest::qWaitFor([&] { return ActiveTemplate() == templateId; }, timeoutMs);
}

PortHeldElsewhere::PortHeldElsewhere(const std::string& path) {
  int ready[2];
  int quit[2];
  if (::pipe(ready) != 0) return;
  if (::pipe(quit) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  m_pid = ::fork();
  if (m_pid == 0) {
    // Only calls that are safe after forking a threaded process.
    ::close(ready[0]);
    ::close(quit[1]);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    ssize_t ignored = ::write(ready[1], &ok, 1);
    (void)ignored;
    char c;
    while (::read(quit[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(quit[0]);
  m_quit = quit[1];
  char ok = 0;
  m_held = m_pid > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
  ::close(ready[0]);
}

PortHeldElsewhere::~PortHeldElsewhere() {
  if (m_quit >= 0) ::close(m_quit);
  if (m_pid > 0) {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

sim::BoardOptions BoardOf(const std::string& device, int mode, int clock, sim::BoardState state) {
  sim::BoardOptions options;
  options.device = GetDeviceIndex(FindDeviceByName(device));
  options.mode = mode;
  options.clock = clock;
  options.state = state;
  return options;
}

QString Text(uint32_t id) { return QString::fromStdString(LoadString(id)); }

void Screenshot(QWidget* widget, const QString& name) {
  const QString folder = QStringLiteral(QUILL_BINARY_DIR "/screenshots");
  QDir().mkpath(folder);
  widget->grab().save(folder + "/" + name + ".png");
}

}  // namespace quill::test
