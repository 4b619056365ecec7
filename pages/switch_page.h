// The switch instruction pages: before an operation that touches the target, they tell the user
// how to set the Mode and VPP switches of the flash adapter board. Next moves on to the progress
// page, which starts the operation; nothing is checked.
#pragma once

#include <cstdint>
#include <string>

#include "link/control_lines.h"

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QLabel;

namespace quill {

class CStartSwitchesPage : public CWizardPage {
  Q_OBJECT

 public:
  // Loading shows the person's instructions in Manual Mode and, in Automatic Mode, what QUILL
  // will do with the serial port's control lines.
  bool DoDataExchange(bool bSave) override;

  // What Automatic Mode does before and after the operation, line by line in order, for a
  // board started in the boot ROM (boot) or in its user program.
  static std::string AutomaticInstructions(const LineMap& map, bool boot);

  QString m_strInstructions;
  QLabel* m_staticInstructions = nullptr;  // 1061
  QLabel* m_staticFooter = nullptr;

 protected:
  CStartSwitchesPage(int templateId, const QString& heading, uint32_t instructionsId,
                     const QString& footer, bool boot);

 private:
  QString m_strFooter;
  bool m_bBoot;
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
