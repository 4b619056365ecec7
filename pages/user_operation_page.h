// Page 1 of the User programming path: the choice between programming the selected flash blocks
// with block pre-erase, programming them without it, and erasing them. Its Next builds the pages
// of the chosen operation behind it.
#pragma once

#include "app/page_ids.h"
#include "app/wizard_page.h"
#include "pages/choice_list.h"

class QRadioButton;

namespace quill {

class CUserOperationPage : public CWizardPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserOperation;

  CUserOperationPage();

  bool DoDataExchange(bool bSave) override;
  bool OnSetActive() override;
  int OnWizardNext() override;

  // The radio button of a user operation value (0..2), or nullptr.
  QRadioButton* Radio(int nUserOperation) const { return m_choices.Radio(nUserOperation); }
  // The user operation of the checked radio button, or -1 when none is checked.
  int CheckedOperation() const { return m_choices.Checked(); }

 private:
  // 1057 program with pre-erase, 1058 program without, 1059 erase, by user operation value
  CChoiceList m_choices;
};

}  // namespace quill
