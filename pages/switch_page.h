// The switch instruction pages: before an operation that touches the target, they tell the user
// how to set the Mode and VPP switches of the flash adapter board. Next moves on to the progress
// page, which starts the operation; nothing is checked.
#pragma once

#include <cstdint>

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QLabel;

namespace quill {

class CStartSwitchesPage : public CWizardPage {
  Q_OBJECT

 public:
  bool DoDataExchange(bool bSave) override;

  QString m_strInstructions;
  QLabel* m_staticInstructions = nullptr;  // 1061

 protected:
  CStartSwitchesPage(int templateId, const QString& heading, uint32_t instructionsId,
                     const QString& footer);
};

class CBootStartSwitchesPage : public CStartSwitchesPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::BootStartSwitches;
  CBootStartSwitchesPage();
};

class CUserStartSwitchesPage : public CStartSwitchesPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserStartSwitches;
  CUserStartSwitchesPage();
};

class CEraseStartSwitchesPage : public CStartSwitchesPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::EraseStartSwitches;
  CEraseStartSwitchesPage();
};

}  // namespace quill
