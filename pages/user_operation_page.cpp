#include "pages/user_operation_page.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>


namespace quill {

CUserOperationPage::CUserOperationPage() : CWizardPage(kTemplateId, QStringLiteral("QUILL")) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("User Mode Operation Select"));
  m_choices.Add(
      layout, this, QStringLiteral("&Program Selected Flash Memory Blocks with Block Pre-Erase"),
      QStringLiteral("radio1057"),
      MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                              "program individual Flash Memory Blocks. Blocks targeted to be "
                              "programmed (in whole or in part) will automatically be erased "
                              "prior to file download/programming."),
               this));
  m_choices.Add(
      layout, this, QStringLiteral("Program Selected Flash Memory Blocks &without Block Pre-Erase"),
      QStringLiteral("radio1058"),
      MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                              "program individual Flash Memory Blocks (in whole or in part). "
                              "No automatic Flash Block Pre-Erase will be done."),
               this));
  m_choices.Add(layout, this, QStringLiteral("Erase &Selected Flash Memory Blocks"),
                QStringLiteral("radio1059"),
                MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                                        "erase selected Flash Memory Blocks. No download or "
                                        "programming is done."),
                         this));
  layout->addStretch(1);
  layout->addWidget(MakeText(QStringLiteral("If you wish to change QUILL configuration or go into "
                                            "Boot mode, click \"Back\"."),
                             this));

  // A click stores the choice at once, so Back and "&Exit" keep it too.
  m_choices.OnClick(this, [this](int op) { State().m_nUserOperation = op; });
}

bool CUserOperationPage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  if (QRadioButton* radio = Radio(State().m_nUserOperation)) {
    radio->setChecked(true);
    return true;
  }
  // A stored choice outside the three leaves every button unchecked: no operation that writes to
  // the flash is offered as if the user had chosen it.
  m_choices.UncheckAll();
  return true;
}

bool CUserOperationPage::OnSetActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  return CWizardPage::OnSetActive();
}

int CUserOperationPage::OnWizardNext() {
  // The checked button decides, not m_nUserOperation; a new set is built even for the same choice.
  const int choice = CheckedOperation();
  GetContext()->SetUserOperationPages(choice);
  // Without a choice there is no page to go to: the page stays until one is clicked.
  return choice < 0 ? -1 : 0;
}

}  // namespace quill
