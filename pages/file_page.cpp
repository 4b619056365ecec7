#include "pages/file_page.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/user_prompt.h"
#include "app/wizard_value.h"
#include "progfile/address_field.h"
#include "progfile/load_file.h"
#include "progfile/program_image.h"
#include "resources/strings.h"

namespace quill {

namespace {


// The check's findings, told through the wizard's message boxes.
class PromptReporter final : public CheckReporter {
 public:
  explicit PromptReporter(QWidget* parent) : m_pParent(parent) {}
  void ShowMessage(uint32_t id, const std::string& text) override {
    Prompt().ShowMessage(m_pParent, id, text, MessageButtons::Ok);
  }
  bool AskYesNo(uint32_t id, const std::string& text) override {
    return Prompt().ShowMessage(m_pParent, id, text, MessageButtons::YesNo) == AnswerYes;
  }
  void ReportFileError(const std::string& text) override {
    Prompt().ShowMessage(m_pParent, 0, text, MessageButtons::Ok);
  }
  void BeginWaitCursor() override { QApplication::setOverrideCursor(Qt::WaitCursor); }
  void EndWaitCursor() override { QApplication::restoreOverrideCursor(); }

 private:
  QWidget* m_pParent;
};

// A filter text of the form "description|patterns|description|patterns||".
std::vector<FileFilter> ParseFilter(const std::string& text) {
  std::vector<FileFilter> filters;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t bar = text.find('|', pos);
    if (bar == std::string::npos || bar == pos) break;
    const std::size_t next = text.find('|', bar + 1);
    if (next == std::string::npos) break;
    filters.push_back({text.substr(pos, bar - pos), text.substr(bar + 1, next - bar - 1)});
    pos = next + 1;
  }
  return filters;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int limit) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setMaxLength(limit);
  return edit;
}

}  // namespace

CFilePage::CFilePage(int templateId, const QString& heading, const QString& footer)
    : CWizardPage(templateId, QStringLiteral("QUILL")) {
  QVBoxLayout* layout = MakePageLayout(heading);
  layout->addWidget(MakeText(QStringLiteral("Please enter the drive, path and filename of the file "
                                            "to be programmed into flash memory. This file must "
                                            "be in Motorola S-record format."),
                             this));

  m_editFile = MakeEdit(this, "edit1013", kPathFieldLimit);
  m_btnBrowse = new QPushButton(QStringLiteral("Bro&wse..."), this);
  m_btnBrowse->setObjectName(QStringLiteral("button1014"));
  m_editOffset = MakeEdit(this, "edit1016", kAddressFieldLimit);
  m_editLowest = MakeEdit(this, "edit1017", kAddressFieldLimit);
  m_editHighest = MakeEdit(this, "edit1018", kAddressFieldLimit);

  auto* fileLabel = new QLabel(QStringLiteral("&File to Program: "), this);
  fileLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  fileLabel->setBuddy(m_editFile);
  auto* offsetLabel = new QLabel(QStringLiteral("Address &Offset: "), this);
  offsetLabel->setBuddy(m_editOffset);
  auto* lowestLabel = new QLabel(QStringLiteral("&Lowest Address: "), this);
  lowestLabel->setObjectName(QStringLiteral("label1042"));
  lowestLabel->setBuddy(m_editLowest);
  auto* highestLabel = new QLabel(QStringLiteral("&Highest Address: "), this);
  highestLabel->setObjectName(QStringLiteral("label1043"));
  highestLabel->setBuddy(m_editHighest);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->addWidget(fileLabel, 0, 0);
  grid->addWidget(m_editFile, 0, 1, 1, 2);
  grid->addWidget(m_btnBrowse, 0, 3);
  grid->addWidget(offsetLabel, 1, 0);
  grid->addWidget(m_editOffset, 1, 1);
  grid->addWidget(lowestLabel, 2, 0);
  grid->addWidget(m_editLowest, 2, 1);
  grid->addWidget(highestLabel, 3, 0);
  grid->addWidget(m_editHighest, 3, 1);
  layout->addSpacing(6);
  layout->addLayout(grid);
  layout->addSpacing(4);
  layout->addWidget(MakeValueGroup());
  layout->addStretch(1);
  layout->addWidget(MakeText(footer, this));

  connect(m_btnBrowse, &QPushButton::clicked, this, &CFilePage::OnBrowse);
}

QWidget* CFilePage::MakeValueGroup() {
  m_groupValue = new QGroupBox(QStringLiteral("Per-board &value"), this);
  m_groupValue->setObjectName(QStringLiteral("valueGroup"));
  m_groupValue->setCheckable(true);
  m_editValueAddress = MakeEdit(m_groupValue, "valueAddress", kAddressFieldLimit);
  m_comboValueFormat = new QComboBox(m_groupValue);
  m_comboValueFormat->setObjectName(QStringLiteral("valueFormat"));
  m_comboValueFormat->setEditable(true);
  m_comboValueFormat->setInsertPolicy(QComboBox::NoInsert);
  m_comboValueFormat->addItems({QStringLiteral("u16le"), QStringLiteral("u16be"), QStringLiteral("u32le"),
                                QStringLiteral("u32be"), QStringLiteral("u64le"), QStringLiteral("u64be"),
                                QStringLiteral("dec:8"), QStringLiteral("mac")});
  m_radioCounter = new QRadioButton(QStringLiteral("&Counter from:"), m_groupValue);
  m_radioCounter->setObjectName(QStringLiteral("valueCounter"));
  m_editValueFrom = MakeEdit(m_groupValue, "valueFrom", kAddressFieldLimit + 4);
  m_editValueStep = MakeEdit(m_groupValue, "valueStep", kAddressFieldLimit + 4);
  m_radioList = new QRadioButton(QStringLiteral("Li&st file:"), m_groupValue);
  m_radioList->setObjectName(QStringLiteral("valueListChoice"));
  m_editValueList = MakeEdit(m_groupValue, "valueList", kPathFieldLimit);
  m_btnValueBrowse = new QPushButton(QStringLiteral("Browse..."), m_groupValue);
  m_btnValueBrowse->setObjectName(QStringLiteral("valueBrowse"));
  m_btnValueBrowse->setAutoDefault(false);

  auto* addressLabel = new QLabel(QStringLiteral("Address: "), m_groupValue);
  addressLabel->setBuddy(m_editValueAddress);
  auto* formatLabel = new QLabel(QStringLiteral("Format: "), m_groupValue);
  formatLabel->setBuddy(m_comboValueFormat);
  auto* stepLabel = new QLabel(QStringLiteral("step: "), m_groupValue);
  stepLabel->setBuddy(m_editValueStep);
  auto* grid = new QGridLayout(m_groupValue);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  grid->addWidget(addressLabel, 0, 0);
  grid->addWidget(m_editValueAddress, 0, 1);
  grid->addWidget(formatLabel, 0, 2);
  grid->addWidget(m_comboValueFormat, 0, 3, 1, 2);
  grid->addWidget(m_radioCounter, 1, 0);
  grid->addWidget(m_editValueFrom, 1, 1);
  grid->addWidget(stepLabel, 1, 2);
  grid->addWidget(m_editValueStep, 1, 3, 1, 2);
  grid->addWidget(m_radioList, 2, 0);
  grid->addWidget(m_editValueList, 2, 1, 1, 3);
  grid->addWidget(m_btnValueBrowse, 2, 4);

  // The source's fields follow the choice, within a checked group only.
  auto followSource = [this] {
    const bool on = m_groupValue->isChecked(), list = m_radioList->isChecked();
    m_editValueFrom->setEnabled(on && !list);
    m_editValueStep->setEnabled(on && !list);
    m_editValueList->setEnabled(on && list);
    m_btnValueBrowse->setEnabled(on && list);
  };
  connect(m_radioList, &QRadioButton::toggled, this, followSource);
  connect(m_groupValue, &QGroupBox::toggled, this, followSource);
  connect(m_btnValueBrowse, &QPushButton::clicked, this, &CFilePage::OnBrowseValueList);
  m_radioCounter->setChecked(true);
  followSource();
  return m_groupValue;
}

bool CFilePage::DoDataExchange(bool bSave) {
  WizardState& state = State();
  if (!bSave) {
    m_dwOffset = state.m_dwOffset;
    m_dwLowest = state.m_dwLowest;
    m_dwHighest = state.m_dwHighest;
    m_editOffset->setText(QString::fromStdString(FormatAddressField(m_dwOffset, true)));
    // The flash limits of the selected mode; a stored mode index beyond the device's modes reads
    // the nearest mode rather than outside the catalogue.
    const int mode = state.ModeIndex();
    m_dwFlashLowest = state.m_pDevice->GetFlashLowest(mode);
    m_dwFlashHighest = state.m_pDevice->GetFlashHighest(mode);
    m_dwLowest = std::clamp(m_dwLowest, m_dwFlashLowest, m_dwFlashHighest);
    m_dwHighest = std::clamp(m_dwHighest, m_dwLowest, m_dwFlashHighest);
    m_editLowest->setText(QString::fromStdString(FormatAddressField(m_dwLowest, true)));
    m_editHighest->setText(QString::fromStdString(FormatAddressField(m_dwHighest, true)));
    m_editFile->setText(QString::fromStdString(state.m_strFile));
    m_groupValue->setChecked(state.m_nValueOn != 0);
    m_editValueAddress->setText(QString::fromStdString(FormatAddressField(state.m_dwValueAddress, true)));
    m_comboValueFormat->setCurrentText(QString::fromStdString(state.m_strValueFormat));
    m_editValueFrom->setText(QString::fromStdString(state.m_strValueFrom));
    m_editValueStep->setText(QString::fromStdString(state.m_strValueStep));
    m_editValueList->setText(QString::fromStdString(state.m_strValueList));
    (state.m_strValueList.empty() ? m_radioCounter : m_radioList)->setChecked(true);
    return true;
  }

  // The fields' length limits make longer texts impossible, so no length check is needed here.
  if (!SaveAddress(m_editOffset, m_dwOffset)) return false;
  if (!SaveAddress(m_editLowest, m_dwLowest)) return false;
  RangeCheckResult range = CheckAddressRange(m_dwLowest, m_dwFlashLowest, m_dwFlashHighest);
  if (!range.ok) return RefuseField(m_editLowest, StrId::AddressRange, range.message);
  if (!SaveAddress(m_editHighest, m_dwHighest)) return false;
  range = CheckAddressRange(m_dwHighest, m_dwLowest, m_dwFlashHighest);
  if (!range.ok) return RefuseField(m_editHighest, StrId::AddressRange, range.message);

  if (!SaveValueGroup(state)) return false;

  state.m_strFile = m_editFile->text().trimmed().toStdString();
  state.m_dwOffset = m_dwOffset;
  state.m_dwLowest = m_dwLowest;
  state.m_dwHighest = m_dwHighest;
  return true;
}

bool CFilePage::SaveValueGroup(WizardState& state) {
  const bool on = m_groupValue->isChecked();
  uint32_t address = state.m_dwValueAddress;
  // An unchecked group keeps what it holds; a field of it that does not read is not held against it.
  if (on) {
    if (!SaveAddress(m_editValueAddress, address)) return false;
    if (m_radioList->isChecked() && m_editValueList->text().trimmed().isEmpty()) {
      return RefuseField(m_editValueList, 0, "Please enter the file of the per-board values, or choose the counter.");
    }
  } else if (const AddressFieldResult read = ParseAddressField(m_editValueAddress->text().toStdString(), true);
             read.ok) {
    address = read.value;
  }
  state.m_nValueOn = on ? 1 : 0;
  state.m_dwValueAddress = address;
  state.m_strValueFormat = m_comboValueFormat->currentText().trimmed().toStdString();
  state.m_strValueFrom = m_editValueFrom->text().trimmed().toStdString();
  state.m_strValueStep = m_editValueStep->text().trimmed().toStdString();
  state.m_strValueList = m_radioList->isChecked() ? m_editValueList->text().trimmed().toStdString() : std::string();
  return true;
}

bool CFilePage::CheckValue(bool afterFileCheck) {
  WizardState& state = State();
  if (afterFileCheck) {
    const std::string problem = CheckValuePlace(state, TemplateId() == PageId::BootFile);
    return problem.empty() || RefuseField(m_editValueAddress, 0, problem);
  }
  const ValueSettingProblem problem = CheckValueSettings(state);
  switch (problem.field) {
    case ValueSettingProblem::None:
      return true;
    case ValueSettingProblem::Format:
      Prompt().ShowMessage(this, 0, problem.message, MessageButtons::Ok);
      m_comboValueFormat->setFocus(Qt::OtherFocusReason);
      m_comboValueFormat->lineEdit()->selectAll();
      return false;
    case ValueSettingProblem::From:
      return RefuseField(m_editValueFrom, 0, problem.message);
    case ValueSettingProblem::Step:
      return RefuseField(m_editValueStep, 0, problem.message);
    case ValueSettingProblem::List:
      return RefuseField(m_editValueList, 0, problem.message);
    case ValueSettingProblem::Store:
      Prompt().ShowMessage(this, 0, problem.message, MessageButtons::Ok);
      return false;
  }
  return false;
}

bool CFilePage::SaveAddress(QLineEdit* field, uint32_t& member) {
  const AddressFieldResult result = SaveAddressField(field->text().toStdString(), true, member);
  if (result.ok) return true;
  return RefuseField(field, result.messageId, result.Message());
}

bool CFilePage::RefuseField(QLineEdit* field, uint32_t messageId, const std::string& text) {
  Prompt().ShowMessage(this, messageId, text, MessageButtons::Ok);
  field->setFocus(Qt::OtherFocusReason);
  field->selectAll();
  return false;
}

void CFilePage::SelectPathField() {
  m_editFile->setFocus(Qt::OtherFocusReason);
  m_editFile->selectAll();
}

void CFilePage::OnBrowseValueList() {
  WizardState& state = State();
  OpenFileRequest request;
  request.title = "Open the list of per-board values";
  request.filters = {{"Value lists (*.txt;*.csv)", "*.txt;*.csv"}, {"All Files (*.*)", "*.*"}};
  request.proposedName = m_editValueList->text().toStdString();
  request.initialFolder = state.m_strBrowsePath;
  const std::optional<std::string> chosen = Prompt().GetOpenFileName(this, request);
  if (chosen) m_editValueList->setText(QString::fromStdString(*chosen));
}

void CFilePage::OnBrowse() {
  WizardState& state = State();
  OpenFileRequest request;
  request.title = LoadString(StrId::OpenFileTitle);
  // Text 129's S-record entry, then Intel HEX, then all files.
  request.filters = ParseFilter(LoadString(StrId::ProgramFileFilter));
  request.proposedName = m_editFile->text().toStdString();
  request.initialFolder = state.m_strBrowsePath;
  const std::optional<std::string> chosen = Prompt().GetOpenFileName(this, request);
  if (!chosen) return;
  m_editFile->setText(QString::fromStdString(*chosen));
  const std::size_t slash = chosen->find_last_of('/');
  state.m_strBrowsePath = slash == std::string::npos ? std::string() : chosen->substr(0, slash + 1);
}

int CFilePage::OnWizardNext() {
  if (!UpdateData(true)) return -1;
  SelectPathField();
  WizardState& state = State();
  const std::string& path = state.m_strFile;
  if (path.empty()) {
    MessageBoxId(this, StrId::EnterPath);
    return -1;
  }
  if (path.size() > static_cast<std::size_t>(kMaxProgramPath)) {
    MessageBoxId(this, StrId::PathTooLong, MessageButtons::Ok, {int32_t{kMaxProgramPath}});
    return -1;
  }
  try {
    CLoadFile probe(path);
  } catch (const CFileException& e) {
    Prompt().ShowMessage(this, 0, e.Message(), MessageButtons::Ok);
    return -1;
  }
  if (!CheckValue(false)) return -1;
  PromptReporter reporter(this);
  if (!CheckProgramFile(state, path, reporter)) return -1;
  if (!CheckValue(true)) return -1;
  return 0;
}

CBootFilePage::CBootFilePage()
    : CFilePage(kTemplateId, QStringLiteral("Boot Mode File Specify"),
                QStringLiteral("Click \"Next\" to Continue. To abort click \"Back\" or \"Exit\".")) {}

bool CBootFilePage::OnSetActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  return CFilePage::OnSetActive();
}

CUserFilePage::CUserFilePage()
    : CFilePage(kTemplateId, QStringLiteral("User Mode Program File Specify"),
                QStringLiteral("Click \"Next\" to select flash memory blocks to program.\nTo "
                               "abort click \"Back\" or \"Exit\".")) {}

}  // namespace quill
