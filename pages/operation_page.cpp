#include "pages/operation_page.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/flash_sheet.h"

namespace quill {

namespace {

void AddChoice(QVBoxLayout* layout, QRadioButton* radio, QLabel* description) {
  layout->addSpacing(6);
  layout->addWidget(radio);
  auto* indented = new QHBoxLayout;
  indented->setContentsMargins(22, 0, 0, 0);
  indented->addWidget(description);
  layout->addLayout(indented);
}

}  // namespace

COperationPage::COperationPage(CFlashSheet* pSheet)
    : CWizardPage(kTemplateId, QStringLiteral("QUILL - Velmora TAVEO Flash Programmer Utility")),
      m_pSheet(pSheet) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("QUILL Operations"));
  m_rbConfiguration = new QRadioButton(QStringLiteral("&Configuration"), this);
  m_rbBoot = new QRadioButton(QStringLiteral("Boot &Programming Mode (Quick Flash)"), this);
  m_rbUser = new QRadioButton(QStringLiteral("&User Programming Mode"), this);
  m_rbConfiguration->setObjectName(QStringLiteral("radio1045"));
  m_rbBoot->setObjectName(QStringLiteral("radio1046"));
  m_rbUser->setObjectName(QStringLiteral("radio1047"));
  AddChoice(layout, m_rbConfiguration,
            MakeText(QStringLiteral("Configures the QUILL program for your serial communications "
                                    "set-up, TAVEO CPU type, operating frequency, mode, etc."),
                     this));
  AddChoice(layout, m_rbBoot,
            MakeText(QStringLiteral("Resets TAVEO CPU into Boot Programming Mode. This mode "
                                    "erases ALL flash memory blocks and programs your specified "
                                    "S-record file into the flash memory."),
                     this));
  AddChoice(layout, m_rbUser,
            MakeText(QStringLiteral("Resets TAVEO CPU into User Programming Mode. In this mode, "
                                    "the user may erase/program individual flash memory blocks. "
                                    "User must load and execute FPCODE in order to use this "
                                    "mode. See QUILL User's Manual."),
                     this));
  layout->addStretch(1);

  // A click stores the choice at once, so leaving with "&Exit" remembers it too.
  for (int op = 0; op < 3; ++op) {
    connect(Radio(op), &QRadioButton::clicked, this, [this, op] { m_pSheet->m_nOperation = op; });
  }
}

QRadioButton* COperationPage::Radio(int nOperation) const {
  switch (nOperation) {
    case OperationConfigure:
      return m_rbConfiguration;
    case OperationBoot:
      return m_rbBoot;
    case OperationUser:
      return m_rbUser;
    default:
      return nullptr;
  }
}

int COperationPage::CheckedOperation() const {
  for (int op = 0; op < 3; ++op)
    if (Radio(op)->isChecked()) return op;
  return -1;
}

bool COperationPage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  // A stored operation outside the three choices is shown as Configuration; the stored value
  // itself is kept until the user clicks a choice.
  QRadioButton* radio = Radio(m_pSheet->m_nOperation);
  (radio ? radio : m_rbConfiguration)->setChecked(true);
  const bool configured = !m_pSheet->m_strComPort.empty();
  m_rbBoot->setEnabled(configured);
  m_rbUser->setEnabled(configured);
  if (!configured) m_rbConfiguration->setChecked(true);
  return true;
}

bool COperationPage::OnSetActive() {
  SetWizardButtons(PSWIZB_NEXT);
  return CWizardPage::OnSetActive();
}

int COperationPage::OnWizardNext() {
  // The checked button decides, not m_nOperation.
  m_pSheet->SetOperationPages(CheckedOperation());
  return 0;
}

}  // namespace quill
