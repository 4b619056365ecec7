#include "pages/progress_page.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qt_text.h"
#include "app/user_prompt.h"
#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill {

namespace {

// The result page's texts for a start that never reached the target.

// The phase that no operation reports: the first notification after a start is always a change.
constexpr int32_t kNoPhase = 8;

}  // namespace

int32_t ProgressScale(int32_t range) {
  // 32767, not 32768: the bar's maximum then never exceeds 65533.
  const int32_t scale = range / 32767;
  return scale < 1 ? 1 : scale;
}

int ProgressBarMaximum(int32_t range, int32_t scale) {
  return static_cast<uint16_t>(static_cast<uint32_t>(range / scale));
}

CProgressPage::CProgressPage(int templateId, const QString& abortText, int statusLines,
                             ThreadCommand command, Bar bar)
    : CWizardPage(templateId, QStringLiteral("QUILL")), m_command(command), m_bar(bar) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("Operation in Progress"));
  m_staticStatus = MakeText(QString(), this);
  m_staticStatus->setObjectName(QStringLiteral("label1020"));
  m_staticStatus->setMinimumHeight(m_staticStatus->fontMetrics().lineSpacing() * statusLines);
  layout->addWidget(m_staticStatus);

  m_progressBar = new QProgressBar(this);
  m_progressBar->setObjectName(QStringLiteral("progress1011"));
  m_progressBar->setTextVisible(false);
  // The platform's bar starts empty with the range 0..100.
  m_progressBar->setRange(0, 100);
  m_progressBar->setValue(0);
  layout->addWidget(m_progressBar);

  m_btnAbort = new QPushButton(abortText, this);
  m_btnAbort->setObjectName(QStringLiteral("button1021"));
  m_btnAbort->setAutoDefault(false);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  row->addWidget(m_btnAbort);
  row->addStretch(1);
  layout->addSpacing(6);
  layout->addLayout(row);
  layout->addStretch(1);
  m_staticHint = MakeText(QString(), this);
  layout->addWidget(m_staticHint);

  connect(m_btnAbort, &QPushButton::clicked, this, &CProgressPage::OnAbort);
}

bool CProgressPage::OnSetActive() {
  // In Automatic Mode the communication object switches VPP off after every outcome.
  m_staticHint->setText(State().m_bAutomatic
                            ? QStringLiteral("If you \"Abort\", QUILL switches VPP off.")
                            : QStringLiteral("If you \"Abort\" or \"Exit\" press the VPP switch and "
                                             "make sure the VPP LED is off."));
  SetWizardButtons(0);
  GetContext()->SetExitLock(true);
  return CWizardPage::OnSetActive();
}

bool CProgressPage::OnKillActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  GetContext()->SetExitLock(false);
  return CWizardPage::OnKillActive();
}

void CProgressPage::OnProgressNotify() {
  // Notifications of an operation that has already been followed to its end (and those queued
  // behind a refused start) are left alone, so the wizard is moved on exactly once.
  if (m_state != RunState::Running) return;
  // The latest value told, however many notifications are still queued behind this one; the
  // operation has ended once its outcome has been told.
  const ProgressSeen seen = GetContext()->Seen();
  if (seen.Ended()) {
    UpdateProgress(PhaseIdle, 0, 1);
  } else {
    UpdateProgress(seen.progress.phase, seen.progress.position, seen.progress.range);
  }
}

void CProgressPage::UpdateProgress(int nPhase, int nPos, int nRange) {
  if (nPhase != m_nLastPhase) {
    m_nLastPhase = nPhase;
    if (nPhase == PhaseIdle)
      Finish();
    else
      SetStatus(StatusTextId(m_command, nPhase));
  }
  if (m_bar == Bar::Scaled) {
    SetScaledBar(nPos, nRange);
    return;
  }
  SetBarPos(nPos);
  if (nRange != m_nLastRange) {
    SetBarRange(static_cast<uint16_t>(static_cast<uint32_t>(nRange)));
    m_nLastRange = nRange;
  }
}

void CProgressPage::OnAbort() {
  WizardContext* wizard = GetContext();
  // Once the outcome has been told it is final; an abort now would turn it into an abort.
  if (m_state != RunState::Running || !wizard->OperationRunning()) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  wizard->Abort();
  QApplication::restoreOverrideCursor();
}

void CProgressPage::Start() {
  m_nLastPhase = kNoPhase;
  m_nLastRange = 0;
  m_nScale = 1;
  m_state = RunState::Starting;
  std::optional<std::string>& notStarted = State().m_strNotStarted;
  notStarted.reset();
  if (GetContext()->OperationRunning()) {
    notStarted = LoadString(StrId::NotStartedBusy);
  } else {
    if (StartOperation()) {
      m_state = RunState::Running;
      return;
    }
    const Outcome outcome = GetContext()->Comm().GetOutcome();
    if (!outcome.fileError.empty()) {
      Prompt().ShowMessage(this, 0, outcome.fileError, MessageButtons::Ok);
      notStarted = FormatString(StrId::NotStartedFile, {outcome.fileError});
    } else if (const int32_t kind = outcome.result.kind; kind != ErrorInternal && !IsKernelRefusal(kind)) {
      // Refused without a stored outcome: the worker took up another command meanwhile.
      notStarted = LoadString(StrId::NotStartedBusy);
    }
    // Otherwise the port could not be set up or no kernel may be sent, and the communication
    // object holds that outcome.
  }
  m_state = RunState::Refused;
  MoveToResultPage();
}

void CProgressPage::Finish() {
  if (m_state != RunState::Running) return;
  m_state = RunState::Finished;
  if (GetContext()->GetActivePage() == this) OnOperationEnded();
}

void CProgressPage::OnOperationEnded() { MoveToResultPage(); }

void CProgressPage::MoveToResultPage() { GetContext()->ShowResultPage(); }

void CProgressPage::SetStatus(uint32_t stringId) {
  if (stringId != 0) m_staticStatus->setText(Text(stringId));
}

void CProgressPage::SetBarRange(int range) {
  const int pos = m_progressBar->value();
  // An empty range would make the bar show a busy animation; the platform shows it empty.
  const int maximum = std::max(range, 0);
  m_progressBar->setRange(0, maximum == 0 ? 1 : maximum);
  m_progressBar->setValue(maximum == 0 ? 0 : std::clamp(pos, 0, maximum));
}

void CProgressPage::SetBarPos(int pos) {
  m_progressBar->setValue(std::clamp(pos, m_progressBar->minimum(), m_progressBar->maximum()));
}

void CProgressPage::SetScaledBar(int32_t nPos, int32_t nRange) {
  if (nRange != m_nLastRange) {
    m_nScale = ProgressScale(nRange);
    SetBarRange(ProgressBarMaximum(nRange, m_nScale));
    m_nLastRange = nRange;
  }
  SetBarPos(nPos / m_nScale);
}

CBootProgressPage::CBootProgressPage()
    : CProgressPage(kTemplateId, QStringLiteral("Abor&t"), 4, CmdBoot, Bar::Scaled) {}

bool CBootProgressPage::OnInitDialog() {
  CProgressPage::OnInitDialog();
  Start();
  return true;
}

bool CBootProgressPage::StartOperation() {
  return GetContext()->StartBoot(this);
}

CUserProgressPage::CUserProgressPage()
    : CProgressPage(kTemplateId, QStringLiteral("Abo&rt"), 3, CmdProgram, Bar::Scaled) {}

bool CUserProgressPage::OnSetActive() {
  if (!CProgressPage::OnSetActive()) return false;
  // Started once the activation is complete and the page is on screen.
  QMetaObject::invokeMethod(this, &CUserProgressPage::OnStartProgram, Qt::QueuedConnection);
  return true;
}

void CUserProgressPage::OnStartProgram() {
  if (GetContext() == nullptr || GetContext()->GetActivePage() != this) return;
  Start();
}

bool CUserProgressPage::StartOperation() {
  const bool eraseFirst = State().m_nUserOperation == UserOperationProgramErase;
  return GetContext()->StartProgram(this, eraseFirst);
}

CEraseProgressPage::CEraseProgressPage()
    : CProgressPage(kTemplateId, QStringLiteral("Abo&rt"), 3, CmdErase, Bar::Unscaled) {}

bool CEraseProgressPage::OnInitDialog() {
  CProgressPage::OnInitDialog();
  Start();
  return true;
}

bool CEraseProgressPage::StartOperation() { return GetContext()->StartErase(this); }

void CEraseProgressPage::OnOperationEnded() { GetContext()->PressButton(PSBTN_NEXT); }

}  // namespace quill
