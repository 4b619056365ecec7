#include "pages/done_page.h"

#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "app/wizard_value.h"
#include "link/results.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill {

CDonePage::CDonePage(int templateId, Texts texts, bool counts, const QString& finished,
                     const QString& next)
    : CWizardPage(templateId, QStringLiteral("QUILL")),
      m_texts(texts),
      m_strFinished(finished),
      m_strNext(next) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_staticTitle = new QLabel(this);
  m_staticTitle->setObjectName(QStringLiteral("label1026"));
  QFont font = m_staticTitle->font();
  font.setBold(true);
  m_staticTitle->setFont(font);
  layout->addWidget(m_staticTitle);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  layout->addWidget(line);
  m_staticResult = MakeText(QString(), this);
  m_staticResult->setObjectName(QStringLiteral("label1022"));
  m_staticResult->setMinimumHeight(m_staticResult->fontMetrics().lineSpacing() * 6);
  layout->addWidget(m_staticResult);
  layout->addSpacing(6);
  QLabel* closingLabel = MakeText(QString(), this);
  m_staticClosing = closingLabel;
  if (counts) {
    m_staticCounts = MakeText(QString(), this);
    m_staticCounts->setObjectName(QStringLiteral("label1023"));
    // Room for both lines of the counts; a wrapped label is not grown by the sheet's layout.
    m_staticCounts->setMinimumHeight(m_staticCounts->fontMetrics().lineSpacing() * 3);
    layout->addWidget(m_staticCounts);
  } else {
    closingLabel->setObjectName(QStringLiteral("label1023"));
  }
  layout->addStretch(1);
  layout->addWidget(closingLabel);
}

bool CDonePage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  QString result;
  QString counts;
  bool success = false;
  // A port that could not drive its lines leaves the switches as the person set them.
  bool linesFailed = false;
  if (const std::optional<std::string>& notStarted = State().m_strNotStarted) {
    // The communication object still holds the previous operation's outcome; it must not be
    // shown as this one's.
    result = QString::fromStdString(*notStarted);
  } else {
    const Outcome outcome = GetContext()->Comm().GetOutcome();
    const Result& r = outcome.result;
    success = r.ok();
    linesFailed = r.kind == ErrorInternal && r.detail == InternalError::ControlLines;
    if (success) {
      result = Text(m_texts.successResult);
      counts = QString::fromStdString(
          FormatString(StrId::Counts, {outcome.counts.programmed, outcome.counts.skipped}));
    } else if (!outcome.valueProblem.empty()) {
      // Refused for want of its own value: the reason, not the internal-error text.
      result = QString::fromStdString("No value could be taken for this board: " +
                                      outcome.valueProblem + ".\n\nNothing was sent to the board.");
    } else {
      result = QString::fromStdString(FormatErrorMessage(r.kind, r.detail));
      // A network port says what happened to its connection; the internal-error text cannot.
      if (r.kind == ErrorInternal && !outcome.linkProblem.empty()) {
        result = QString::fromStdString(outcome.linkProblem + "\n\n") + result;
      }
    }
    if (!outcome.value.empty()) {
      // A board that failed keeps its value: no other board gets it.
      const std::string name = WizardValueName(State());
      result += QString::fromStdString(
          success ? "\n\nThe board's value " + name + ": " + outcome.value
                  : "\n\nThe board took the value " + name + ": " + outcome.value +
                        " (no other board gets it).");
    }
  }
  m_staticClosing->setText(m_strFinished +
                           (State().m_bAutomatic && !linesFailed
                                ? QStringLiteral("\nVPP has been switched off (the VPP LED is off), ")
                                : QStringLiteral("\nPress the VPP switch and make sure the VPP LED "
                                                 "is off, ")) +
                           m_strNext);
  m_staticTitle->setText(Text(success ? m_texts.successTitle : m_texts.failureTitle));
  m_staticResult->setText(result);
  if (m_staticCounts) m_staticCounts->setText(counts);
  return true;
}

bool CDonePage::OnSetActive() {
  SetWizardButtons(PSWIZB_NEXT);
  return CWizardPage::OnSetActive();
}

bool CDonePage::OnKillActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  return CWizardPage::OnKillActive();
}

CBootDonePage::CBootDonePage()
    : CDonePage(kTemplateId, {149, 150, 115}, true,
                QStringLiteral("Boot Programming procedure is finished."),
                QStringLiteral("\nthen press \"Next\" to continue with QUILL or \"Exit\" to quit "
                               "out.")) {}

int CBootDonePage::OnWizardNext() { return PageId::Operation; }

CUserDonePage::CUserDonePage()
    : CDonePage(kTemplateId, {151, 152, 120}, true,
                QStringLiteral("User Mode Programming procedure is finished."),
                QStringLiteral("\nthen press \"Next\" to continue in User Mode or \"Exit\" to "
                               "quit out.")) {}

int CUserDonePage::OnWizardNext() {
  GetContext()->SetActivePage(1);
  return -1;
}

CEraseDonePage::CEraseDonePage()
    : CDonePage(kTemplateId, {153, 154, 142}, false,
                QStringLiteral("User Mode Erase procedure is finished."),
                QStringLiteral("\nthen press \"Next\" to continue in User Mode or \"Exit\" to "
                               "quit out.")) {}

int CEraseDonePage::OnWizardNext() {
  GetContext()->SetActivePage(1);
  return -1;
}

}  // namespace quill
