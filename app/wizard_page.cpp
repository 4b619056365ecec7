#include "app/wizard_page.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

#include "app/progress_notify.h"

namespace quill {

CWizardPage::CWizardPage(int templateId, const QString& caption) : m_nTemplateId(templateId) {
  setWindowTitle(caption);
  setObjectName(QStringLiteral("page%1").arg(templateId));
}

CWizardPage::~CWizardPage() {
  if (m_pContext) m_pContext->ForgetPage(this);
}

WizardContext* CWizardPage::GetContext() const { return m_pContext; }

WizardState& CWizardPage::State() const { return m_pContext->State(); }

bool CWizardPage::OnInitDialog() {
  UpdateData(false);
  return true;
}

bool CWizardPage::OnSetActive() {
  // The first activation follows OnInitDialog, which has just loaded the controls.
  if (m_bFirstSetActive)
    m_bFirstSetActive = false;
  else
    UpdateData(false);
  return true;
}

bool CWizardPage::OnKillActive() { return UpdateData(true); }

int CWizardPage::OnWizardNext() { return 0; }

int CWizardPage::OnWizardBack() { return 0; }

bool CWizardPage::DoDataExchange(bool) { return true; }

void CWizardPage::SetWizardButtons(unsigned flags) {
  if (m_pContext) m_pContext->SetWizardButtons(flags);
}

QVBoxLayout* CWizardPage::MakePageLayout(const QString& heading) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* title = new QLabel(heading, this);
  QFont font = title->font();
  font.setBold(true);
  title->setFont(font);
  title->setObjectName(QStringLiteral("heading"));
  layout->addWidget(title);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  layout->addWidget(line);
  return layout;
}

QLabel* CWizardPage::MakeText(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

bool CWizardPage::event(QEvent* e) {
  if (e->type() == g_nProgressNotifyMsg) {
    OnProgressNotify();
    return true;
  }
  return QWidget::event(e);
}

}  // namespace quill
