#include "pages/operation_page.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>


namespace quill {

COperationPage::COperationPage(WizardContext* pWizard)
    : CWizardPage(kTemplateId, QStringLiteral("QUILL - Velmora TAVEO Flash Programmer Utility")),
      m_pWizard(pWizard) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("QUILL Operations"));
  m_rbConfiguration = m_choices.Add(
      layout, this, QStringLiteral("&Configuration"), QStringLiteral("radio1045"),
      MakeText(QStringLiteral("Configures the QUILL program for your serial communications "
                              "set-up, TAVEO CPU type, operating frequency, mode, etc."),
               this));
  m_rbBoot = m_choices.Add(
      layout, this, QStringLiteral("Boot &Programming Mode (Quick Flash)"),
      QStringLiteral("radio1046"),
      MakeText(QStringLiteral("Resets TAVEO CPU into Boot Programming Mode. This mode "
                              "erases ALL flash memory blocks and programs your specified "
                              "S-record file into the flash memory."),
               this));
  m_rbUser = m_choices.Add(
      layout, this, QStringLiteral("&User Programming Mode"), QStringLiteral("radio1047"),
      MakeText(QStringLiteral("Resets TAVEO CPU into User Programming Mode. In this mode, "
                              "the user may erase/program individual flash memory blocks. "
                              "User must load and execute FPCODE in order to use this "
                              "mode. See QUILL User's Manual."),
               this));
  layout->addStretch(1);

  // A click stores the choice at once, so leaving with "&Exit" remembers it too.
  m_choices.OnClick(this, [this](int op) { m_pWizard->State().m_nOperation = op; });
}

bool COperationPage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  // A stored operation outside the three choices is shown as Configuration; the stored value
  // itself is kept until the user clicks a choice.
  QRadioButton* radio = Radio(m_pWizard->State().m_nOperation);
  (radio ? radio : m_rbConfiguration)->setChecked(true);
  const bool configured = !m_pWizard->State().m_strComPort.empty();
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
  m_pWizard->SetOperationPages(CheckedOperation());
  return 0;
}

}  // namespace quill
