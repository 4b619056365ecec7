#include "pages/user_operation_page.h"

#include <QHBoxLayout>
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

CUserOperationPage::CUserOperationPage() : CWizardPage(kTemplateId, QStringLiteral("QUILL")) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("User Mode Operation Select"));
  m_rbProgramWithErase = new QRadioButton(
      QStringLiteral("&Program Selected Flash Memory Blocks with Block Pre-Erase"), this);
  m_rbProgramWithoutErase = new QRadioButton(
      QStringLiteral("Program Selected Flash Memory Blocks &without Block Pre-Erase"), this);
  m_rbEraseOnly = new QRadioButton(QStringLiteral("Erase &Selected Flash Memory Blocks"), this);
  m_rbProgramWithErase->setObjectName(QStringLiteral("radio1057"));
  m_rbProgramWithoutErase->setObjectName(QStringLiteral("radio1058"));
  m_rbEraseOnly->setObjectName(QStringLiteral("radio1059"));
  AddChoice(layout, m_rbProgramWithErase,
            MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                                    "program individual Flash Memory Blocks. Blocks targeted to be "
                                    "programmed (in whole or in part) will automatically be erased "
                                    "prior to file download/programming."),
                     this));
  AddChoice(layout, m_rbProgramWithoutErase,
            MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                                    "program individual Flash Memory Blocks (in whole or in part). "
                                    "No automatic Flash Block Pre-Erase will be done."),
                     this));
  AddChoice(layout, m_rbEraseOnly,
            MakeText(QStringLiteral("With FPCODE running on target system, allows the user to "
                                    "erase selected Flash Memory Blocks. No download or "
                                    "programming is done."),
                     this));
  layout->addStretch(1);
  layout->addWidget(MakeText(QStringLiteral("If you wish to change QUILL configuration or go into "
                                            "Boot mode, click \"Back\"."),
                             this));

  // A click stores the choice at once, so Back and "&Exit" keep it too.
  for (int op = 0; op < 3; ++op) {
    connect(Radio(op), &QRadioButton::clicked, this,
            [this, op] { GetSheet()->m_nUserOperation = op; });
  }
}

QRadioButton* CUserOperationPage::Radio(int nUserOperation) const {
  switch (nUserOperation) {
    case UserOperationProgramErase:
      return m_rbProgramWithErase;
    case UserOperationProgram:
      return m_rbProgramWithoutErase;
    case UserOperationErase:
      return m_rbEraseOnly;
    default:
      return nullptr;
  }
}

int CUserOperationPage::CheckedOperation() const {
  for (int op = 0; op < 3; ++op)
    if (Radio(op)->isChecked()) return op;
  return -1;
}

bool CUserOperationPage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  if (QRadioButton* radio = Radio(GetSheet()->m_nUserOperation)) {
    radio->setChecked(true);
    return true;
  }
  // A stored choice outside the three leaves every button unchecked: no operation that writes to
  // the flash is offered as if the user had chosen it.
  for (int op = 0; op < 3; ++op) {
    Radio(op)->setAutoExclusive(false);
    Radio(op)->setChecked(false);
    Radio(op)->setAutoExclusive(true);
  }
  return true;
}

bool CUserOperationPage::OnSetActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  return CWizardPage::OnSetActive();
}

int CUserOperationPage::OnWizardNext() {
  // The checked button decides, not m_nUserOperation; a new set is built even for the same choice.
  const int choice = CheckedOperation();
  GetSheet()->SetUserOperationPages(choice);
  // Without a choice there is no page to go to: the page stays until one is clicked.
  return choice < 0 ? -1 : 0;
}

}  // namespace quill
