#include "app/flash_sheet.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/about_dlg.h"
#include "app/page_ids.h"
#include "app/qt_text.h"
#include "resources/strings.h"

// Resources of a static library are registered by hand, from the global namespace.
static void InitQuillResources() { Q_INIT_RESOURCE(quill); }

namespace quill {

namespace {

// Off unless asked for (QT_LOGGING_RULES="quill.wizard.debug=true"): which page is shown, for
// a headless start that must know the wizard got as far as its first page.
Q_LOGGING_CATEGORY(lcWizard, "quill.wizard", QtInfoMsg)

}  // namespace

CFlashSheet::CFlashSheet(SettingsStore store, PageFactory pages, QWidget* parent)
    : QDialog(parent), m_settings(std::move(store)), m_pageFactory(std::move(pages)) {
  InitQuillResources();
  setWindowTitle(Text(StrId::Caption));
  QIcon icon;
  icon.addFile(QStringLiteral(":/quill/icon-129.png"));
  icon.addFile(QStringLiteral(":/quill/icon-128.png"));
  icon.addFile(QStringLiteral(":/quill/icon-48.png"));
  setWindowIcon(icon);
  // A system menu and a minimise box, but no maximising or resizing.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  m_stack = new QStackedWidget(this);
  m_stack->setMinimumSize(460, 300);
  m_divider = new QFrame(this);
  m_divider->setFrameShape(QFrame::HLine);
  m_divider->setFrameShadow(QFrame::Sunken);

  QHBoxLayout* buttons = MakeButtonRow();
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(m_stack);
  layout->addWidget(m_divider);
  layout->addLayout(buttons);

  connect(m_btnAbout, &QPushButton::clicked, this, &CFlashSheet::OnAbout);
  connect(m_btnBack, &QPushButton::clicked, this, &CFlashSheet::OnBack);
  connect(m_btnNext, &QPushButton::clicked, this, &CFlashSheet::OnNext);
  // "&Exit" ends the wizard even if the title-bar Close is disabled; the exit lock disables both.
  connect(m_btnExit, &QPushButton::clicked, this, [this] { QDialog::reject(); });
  // Alt+F4 closes the window like its title-bar button, also where no window manager does it.
  auto* altF4 = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), this);
  connect(altF4, &QShortcut::activated, this, &QWidget::close);

  // Each operation's record is made on this thread once the worker has finished it.
  m_progressNotifier.SetOnFinished([this](const Outcome&) {
    QMetaObject::invokeMethod(this, [this] { EndRecord(); }, Qt::QueuedConnection);
  });
  LoadSettings();
}

QHBoxLayout* CFlashSheet::MakeButtonRow() {
  m_btnAbout = new QPushButton(Text(StrId::AboutButton), this);
  m_btnBack = new QPushButton(QStringLiteral("< &Back"), this);
  m_btnNext = new QPushButton(QStringLiteral("&Next >"), this);
  m_btnExit = new QPushButton(Text(StrId::ExitButton), this);
  m_btnAbout->setObjectName(QStringLiteral("about"));
  m_btnBack->setObjectName(QStringLiteral("back"));
  m_btnNext->setObjectName(QStringLiteral("next"));
  m_btnExit->setObjectName(QStringLiteral("exit"));
  // Enter presses Next (when it is enabled), whichever row button has the focus.
  for (QPushButton* b : {m_btnAbout, m_btnBack, m_btnExit}) b->setAutoDefault(false);
  m_btnNext->setAutoDefault(false);
  m_btnNext->setDefault(true);
  // The four buttons share one size, so About is level with and as large as Exit.
  int width = 0;
  for (QPushButton* b : {m_btnAbout, m_btnBack, m_btnNext, m_btnExit})
    width = std::max(width, b->sizeHint().width());
  for (QPushButton* b : {m_btnAbout, m_btnBack, m_btnNext, m_btnExit})
    b->setFixedSize(width, m_btnExit->sizeHint().height());

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->addWidget(m_btnAbout);
  buttons->addStretch(1);
  buttons->addWidget(m_btnBack);
  buttons->setSpacing(0);
  buttons->addWidget(m_btnNext);
  buttons->addSpacing(10);
  buttons->addWidget(m_btnExit);
  return buttons;
}

CFlashSheet::~CFlashSheet() {
  m_nActive = -1;
  while (GetPageCount() > 1) RemovePage(GetPageCount() - 1);
  // Page 0 belongs to the start-up code; it must not be destroyed with the sheet's children.
  if (!m_pages.empty() && m_pages[0]) {
    CWizardPage* first = m_pages[0];
    m_stack->removeWidget(first);
    first->setParent(nullptr);
    first->m_pContext = nullptr;
  }
  m_pages.clear();
  SaveSettings();
}

void CFlashSheet::AddPage(CWizardPage* page) {
  page->m_pContext = this;
  m_pages.emplace_back(page);
  m_stack->addWidget(page);
}

bool CFlashSheet::RemovePage(int index) {
  if (index < 0 || index >= GetPageCount() || (index == m_nActive && m_nActive >= 0)) return false;
  CWizardPage* page = m_pages[index];
  m_pages.erase(m_pages.begin() + index);
  if (index < m_nActive) --m_nActive;
  if (page) {
    m_stack->removeWidget(page);
    if (index == 0) {
      page->setParent(nullptr);
      page->m_pContext = nullptr;
    } else {
      delete page;
    }
  }
  return true;
}

CWizardPage* CFlashSheet::GetPage(int index) const {
  if (index < 0 || index >= GetPageCount()) return nullptr;
  return m_pages[index];
}

int CFlashSheet::GetPageIndex(const CWizardPage* page) const {
  for (int i = 0; i < GetPageCount(); ++i)
    if (m_pages[i] == page) return i;
  return -1;
}

int CFlashSheet::FindPageByTemplate(int templateId) const {
  for (int i = 0; i < GetPageCount(); ++i)
    if (m_pages[i] && m_pages[i]->TemplateId() == templateId) return i;
  return -1;
}

bool CFlashSheet::SetActivePage(int index) {
  if (index == m_nActive && !m_bSwitching) return true;
  return ChangePage(index, index >= m_nActive ? +1 : -1);
}

bool CFlashSheet::ChangePage(int index, int step) {
  if (index < 0 || index >= GetPageCount() || !m_pages[index]) return false;
  if (m_bSwitching) {
    m_nPendingPage = index;
    return true;
  }
  m_bSwitching = true;
  const int oldIndex = m_nActive;
  CWizardPage* old = GetActivePage();
  if (old && !old->OnKillActive()) {
    m_bSwitching = false;
    return false;
  }
  bool activated = false;
  for (int i = index; i >= 0 && i < GetPageCount(); i += step) {
    CWizardPage* page = m_pages[i];
    if (!page) continue;
    m_nActive = i;
    m_stack->setCurrentWidget(page);
    if (!page->m_bInitialised) {
      page->m_bInitialised = true;
      page->OnInitDialog();
    }
    if (page->OnSetActive()) {
      activated = true;
      FocusFirstControl(page);
      qCDebug(lcWizard, "page %d shown", page->TemplateId());
      break;
    }
  }
  if (!activated) {
    // No page would take the activation: the page that was left comes back.
    m_nActive = oldIndex;
    if (old) {
      m_stack->setCurrentWidget(old);
      old->OnSetActive();
    }
  }
  m_bSwitching = false;
  if (m_nPendingPage >= 0) {
    const int pending = m_nPendingPage;
    m_nPendingPage = -1;
    SetActivePage(pending);
  }
  return activated;
}

void CFlashSheet::FocusFirstControl(CWizardPage* page) {
  for (QWidget* w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain()) {
    if (!page->isAncestorOf(w)) break;
    if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(page)) {
      w->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

void CFlashSheet::SetWizardButtons(unsigned flags) {
  m_btnBack->setEnabled((flags & PSWIZB_BACK) != 0);
  m_btnNext->setEnabled((flags & PSWIZB_NEXT) != 0);
}

void CFlashSheet::PressButton(int button) {
  switch (button) {
    case PSBTN_BACK:
      OnBack();
      break;
    case PSBTN_NEXT:
      OnNext();
      break;
    case PSBTN_CANCEL:
      if (m_btnExit->isEnabled()) m_btnExit->click();
      break;
    default:
      break;
  }
}

void CFlashSheet::OnBack() {
  CWizardPage* page = GetActivePage();
  if (!page || m_bSwitching) return;
  MoveBy(page->OnWizardBack(), -1);
}

void CFlashSheet::OnNext() {
  CWizardPage* page = GetActivePage();
  if (!page || m_bSwitching) return;
  MoveBy(page->OnWizardNext(), +1);
}

void CFlashSheet::MoveBy(int result, int step) {
  if (result == -1 || m_nActive < 0) return;
  const int target = result == 0 ? m_nActive + step : FindPageByTemplate(result);
  if (target < 0 || target >= GetPageCount() || target == m_nActive) return;
  ChangePage(target, target > m_nActive ? +1 : -1);
}

void CFlashSheet::ReplacePagesFrom(int first, const std::vector<int>& templateIds) {
  while (GetPageCount() > first) {
    if (!RemovePage(GetPageCount() - 1)) return;  // the active page stays where it is
  }
  if (!m_pageFactory) return;
  for (int id : templateIds) {
    if (CWizardPage* page = m_pageFactory(id)) AddPage(page);
  }
}

void CFlashSheet::SetOperationPages(int nOperation) {
  using namespace PageId;
  switch (nOperation) {
    case OperationConfigure:
      ReplacePagesFrom(1, {Configure});
      break;
    case OperationBoot:
      ReplacePagesFrom(1, {BootFile, BootStartSwitches, BootProgress, BootDone});
      break;
    case OperationUser:
      ReplacePagesFrom(1, {PageId::UserOperation});
      break;
    default:
      ReplacePagesFrom(1, {});
      break;
  }
}

void CFlashSheet::SetUserOperationPages(int nUserOperation) {
  using namespace PageId;
  switch (nUserOperation) {
    case UserOperationProgramErase:
    case UserOperationProgram:
      ReplacePagesFrom(2, {UserFile, UserBlocks, UserStartSwitches, UserProgress, UserDone});
      break;
    case UserOperationErase:
      ReplacePagesFrom(2, {EraseBlocks, EraseStartSwitches, EraseProgress, EraseDone});
      break;
    default:
      ReplacePagesFrom(2, {});
      break;
  }
}

bool CFlashSheet::LoadSettings() { return m_settings.Load(m_state); }

bool CFlashSheet::SaveSettings() { return m_settings.Save(m_state); }

void CFlashSheet::SetExitLock(bool bLocked) {
  m_btnExit->setEnabled(!bLocked);
  EnableClose(!bLocked);
}

CProgressNotifier* CFlashSheet::ProgressNotifierFor(CWizardPage* page) {
  m_progressNotifier.SetTarget(page);
  return &m_progressNotifier;
}

void CFlashSheet::EndRecord() {
  if (!m_bStarted) return;
  // Once per operation: the records ignore an end after the first.
  if (const std::optional<Outcome> outcome = m_progressNotifier.Seen().outcome) {
    m_records.Ended(*outcome, false);
  }
}

bool CFlashSheet::BeforeStart(ThreadCommand command) {
  if (OperationRunning()) return false;
  // The page may have seen the outcome before the queued end of its record came: the record
  // ends with its own operation's outcome before the next one starts.
  EndRecord();
  m_bStarted = false;
  // The value is taken by the worker once the port is open: the store is never waited for here.
  m_commThread.SetBoardValue(command == CmdErase ? nullptr : MakeWizardValueSource(m_state));
  m_records.Started(m_state, command);
  m_progressNotifier.Reset();
  return true;
}

bool CFlashSheet::AfterStart(bool started) {
  m_bStarted = started;
  if (!started) m_records.Ended(m_commThread.GetOutcome(), true);
  return started;
}

bool CFlashSheet::StartBoot(CWizardPage* page) {
  if (!BeforeStart(CmdBoot)) return false;
  return AfterStart(m_commThread.StartBoot(ProgressNotifierFor(page), m_state));
}

bool CFlashSheet::StartProgram(CWizardPage* page, bool eraseFirst) {
  if (!BeforeStart(CmdProgram)) return false;
  return AfterStart(m_commThread.StartProgram(ProgressNotifierFor(page), m_state, eraseFirst));
}

bool CFlashSheet::StartErase(CWizardPage* page) {
  if (!BeforeStart(CmdErase)) return false;
  return AfterStart(m_commThread.StartErase(ProgressNotifierFor(page), m_state));
}

void CFlashSheet::OnAbout() {
  CAboutDlg dlg(this);
  dlg.exec();
}

void CFlashSheet::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (m_nActive < 0 && GetPageCount() > 0) ChangePage(0, +1);
}

void CFlashSheet::closeEvent(QCloseEvent* e) {
  if (!m_bCloseEnabled) {
    e->ignore();
    return;
  }
  QDialog::closeEvent(e);
}

void CFlashSheet::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
    // Escape presses "&Exit"; while the exit lock holds it does nothing.
    if (m_btnExit->isEnabled() && m_bCloseEnabled) m_btnExit->click();
    return;
  }
  QDialog::keyPressEvent(e);
}

void CFlashSheet::reject() {
  if (m_bCloseEnabled) QDialog::reject();
}

}  // namespace quill
