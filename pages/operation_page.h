// Page 0 of the wizard for the whole run: the choice of Configuration, Boot programming or User
// programming. Boot and User programming are offered only once a serial port is configured.
#pragma once

#include "app/page_ids.h"
#include "app/wizard_page.h"
#include "pages/choice_list.h"

class QRadioButton;

namespace quill {

class COperationPage : public CWizardPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::Operation;

  explicit COperationPage(WizardContext* pWizard);

  bool DoDataExchange(bool bSave) override;
  bool OnSetActive() override;
  int OnWizardNext() override;

  // The radio button of an operation value (0..2), or nullptr.
  QRadioButton* Radio(int nOperation) const { return m_choices.Radio(nOperation); }
  // The operation of the checked radio button, or -1 when none is checked.
  int CheckedOperation() const { return m_choices.Checked(); }

  // Page 0 is built before it is added to the wizard, and asks it before its first activation.
  WizardContext* const m_pWizard;

 private:
  QRadioButton* m_rbConfiguration = nullptr;  // 1045
  QRadioButton* m_rbBoot = nullptr;           // 1046
  QRadioButton* m_rbUser = nullptr;           // 1047
  CChoiceList m_choices;                      // the three above, by operation value
};

}  // namespace quill
