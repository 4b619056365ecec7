// The file pages: the program file, its address offset and the lowest and highest address to
// program. Next validates the fields, checks that the file opens and is a valid S-record file
// whose data fits the device's flash, and collects the flash blocks the file will write. The
// boot and the user page differ only in their texts, their wizard buttons and what follows them.
#pragma once

#include <cstdint>
#include <string>

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quill {

class CFilePage : public CWizardPage {
  Q_OBJECT

 public:
  static constexpr int kAddressFieldLimit = 20;
  static constexpr int kPathFieldLimit = 512;
  static constexpr int kMaxProgramPath = 260;

  bool DoDataExchange(bool bSave) override;
  int OnWizardNext() override;
  // "Bro&wse...": the file-open dialog; the chosen folder is remembered at once.
  void OnBrowse();
  // The value group's "Browse...": the value list's file.
  void OnBrowseValueList();

  // The controls, with their template control ids.
  QLineEdit* m_editOffset = nullptr;   // 1016
  QLineEdit* m_editLowest = nullptr;   // 1017
  QLineEdit* m_editHighest = nullptr;  // 1018
  QLineEdit* m_editFile = nullptr;     // 1013
  QPushButton* m_btnBrowse = nullptr;  // 1014
  // The "Per-board value" group: checked when each board gets a value of its own.
  QGroupBox* m_groupValue = nullptr;
  QLineEdit* m_editValueAddress = nullptr;
  QComboBox* m_comboValueFormat = nullptr;  // editable: dec:N takes any N
  QRadioButton* m_radioCounter = nullptr;
  QLineEdit* m_editValueFrom = nullptr;
  QLineEdit* m_editValueStep = nullptr;
  QRadioButton* m_radioList = nullptr;
  QLineEdit* m_editValueList = nullptr;
  QPushButton* m_btnValueBrowse = nullptr;

  uint32_t m_dwFlashHighest = 0;
  uint32_t m_dwFlashLowest = 0;
  uint32_t m_dwOffset = 0;
  uint32_t m_dwLowest = 0;
  uint32_t m_dwHighest = 0;

 protected:
  CFilePage(int templateId, const QString& heading, const QString& footer);

 private:
  // Shows the message of a refused field, gives the field the focus with its text selected.
  bool RefuseField(QLineEdit* field, uint32_t messageId, const std::string& text);
  bool SaveAddress(QLineEdit* field, uint32_t& member);
  void SelectPathField();
  QWidget* MakeValueGroup();
  // The value group's settings into the state; false when one is refused (its message shown).
  bool SaveValueGroup(WizardState& state);
  // The value's settings and, after the file check, its place; false with the message shown.
  bool CheckValue(bool afterFileCheck);
};

class CBootFilePage : public CFilePage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::BootFile;
  CBootFilePage();
  bool OnSetActive() override;
};

class CUserFilePage : public CFilePage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserFile;
  CUserFilePage();
};

}  // namespace quill
