#include "pages/configure_page.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qt_text.h"
#include "app/user_prompt.h"
#include "kernels/kernel_import.h"
#include "kernels/kernel_store.h"
#include "link/control_lines.h"
#include "link/port_address.h"
#include "link/port_list.h"
#include "link/serial_port.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill {

namespace {


QComboBox* MakeList(QWidget* parent, const char* name) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(QString::fromLatin1(name));
  combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  combo->setMinimumContentsLength(30);
  return combo;
}

}  // namespace

CConfigurePage::CConfigurePage() : CWizardPage(kTemplateId, QStringLiteral("QUILL")) {
  QVBoxLayout* layout = MakePageLayout(QStringLiteral("Configuration"));
  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);

  m_cbDevice = MakeList(this, "combo1049");
  m_cbMode = MakeList(this, "combo1050");
  m_cbClock = MakeList(this, "combo1051");
  m_cbPort = MakeList(this, "combo1052");
  // A port served over the network is typed in (rfc2217://HOST:PORT, tcp://HOST:PORT).
  m_cbPort->setEditable(true);
  m_cbPort->setInsertPolicy(QComboBox::NoInsert);
  m_cbBootRate = MakeList(this, "combo1053");
  m_cbUserRate = MakeList(this, "combo1054");
  m_stMode = new QLabel(QStringLiteral("TAVEO &Operating Mode:"), this);
  m_stMode->setObjectName(QStringLiteral("label1044"));

  const struct {
    QLabel* label;
    QComboBox* list;
  } rows[] = {
      {new QLabel(QStringLiteral("&TAVEO MCU:"), this), m_cbDevice},
      {m_stMode, m_cbMode},
      {new QLabel(QStringLiteral("&Clock Frequency Range:"), this), m_cbClock},
      {new QLabel(QStringLiteral("Host Serial &Port:"), this), m_cbPort},
      {new QLabel(QStringLiteral("Boot Mode &Data Rate (bps)"), this), m_cbBootRate},
      {new QLabel(QStringLiteral("&User Mode Data Rate (bps)"), this), m_cbUserRate},
  };
  int row = 0;
  for (const auto& r : rows) {
    r.label->setBuddy(r.list);
    grid->addWidget(r.label, row, 0);
    grid->addWidget(r.list, row, 1);
    ++row;
  }
  layout->addSpacing(4);
  layout->addLayout(grid);

  AddKernelAndModeRows(layout);
  layout->addStretch(1);
  layout->addWidget(MakeText(QStringLiteral("Click \"Next\" to update configuration file or "
                                            "\"Back\" to abort without update."),
                             this));

  // The handlers run on the user's choice only, as a selection made by the page itself must not
  // trigger them.
  connect(m_cbDevice, &QComboBox::activated, this, &CConfigurePage::OnSelDevice);
  connect(m_cbMode, &QComboBox::activated, this, &CConfigurePage::OnSelMode);
  connect(m_cbClock, &QComboBox::activated, this, &CConfigurePage::ReadClockSelection);
  connect(m_cbPort, &QComboBox::activated, this, &CConfigurePage::ReadPortSelection);
  connect(m_cbBootRate, &QComboBox::activated, this, &CConfigurePage::ReadBootRateSelection);
  connect(m_cbUserRate, &QComboBox::activated, this, &CConfigurePage::ReadUserRateSelection);
  connect(m_btnImportKernels, &QPushButton::clicked, this, &CConfigurePage::OnImportKernels);
}

void CConfigurePage::AddKernelAndModeRows(QVBoxLayout* layout) {
  m_stKernel = new QLabel(this);
  m_stKernel->setObjectName(QStringLiteral("labelKernel"));
  m_stKernel->setWordWrap(true);
  m_btnImportKernels = new QPushButton(QStringLiteral("Import &Kernels..."), this);
  m_btnImportKernels->setObjectName(QStringLiteral("buttonImportKernels"));
  auto* kernelRow = new QHBoxLayout;
  kernelRow->addWidget(m_stKernel, 1);
  kernelRow->addWidget(m_btnImportKernels, 0, Qt::AlignTop);
  layout->addLayout(kernelRow);

  m_rbAutomatic = new QRadioButton(QStringLiteral("Au&tomatic Mode"), this);
  m_rbManual = new QRadioButton(QStringLiteral("&Manual Mode"), this);
  m_rbAutomatic->setObjectName(QStringLiteral("radio1055"));
  m_rbManual->setObjectName(QStringLiteral("radio1056"));
  m_edLineMap = new QLineEdit(this);
  m_edLineMap->setObjectName(QStringLiteral("editLineMap"));
  m_edLineMap->setPlaceholderText(QStringLiteral("vpp=dtr,mode=rts"));
  m_edLineMap->setMinimumWidth(
      m_edLineMap->fontMetrics().horizontalAdvance(QStringLiteral("vpp=dtr,mode=!rts")) + 16);
  m_edLineMap->setToolTip(QStringLiteral("Which serial control line drives the VPP switch and "
                                         "which the Mode switch (mode=!rts: inverted)"));
  // The map matters only in Automatic Mode.
  connect(m_rbAutomatic, &QRadioButton::toggled, m_edLineMap, &QLineEdit::setEnabled);
  auto* modes = new QHBoxLayout;
  modes->addWidget(m_rbAutomatic);
  modes->addWidget(m_edLineMap);
  modes->addSpacing(12);
  modes->addWidget(m_rbManual);
  modes->addStretch(1);
  layout->addLayout(modes);
}

bool CConfigurePage::OnInitDialog() {
  const WizardState& state = State();
  m_strMCUType = state.m_strMCUType;
  m_pDevice = state.m_pDevice;
  m_nMCUMode = state.m_nMCUMode;
  m_nClockSpeed = state.m_nClockSpeed;
  m_pClockRange = state.m_pClockRange;
  m_strComPort = state.m_strComPort;
  m_nComBootRate = state.m_nComBootRate;
  m_nComUserRate = state.m_nComUserRate;
  m_dwLowest = state.m_dwLowest;
  m_dwHighest = state.m_dwHighest;
  m_bAutomatic = state.m_bAutomatic;
  m_strLineMap = state.m_strLineMap;
  CWizardPage::OnInitDialog();
  return true;
}

bool CConfigurePage::OnSetActive() {
  SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
  return CWizardPage::OnSetActive();
}

int CConfigurePage::ModeIndex() const {
  return std::clamp<int32_t>(m_nMCUMode, 0, m_pDevice->modeCount - 1);
}

int CConfigurePage::NearestRateEntry(const uint32_t* rates, int count, int64_t remembered) {
  int selected = -1;
  int64_t best = 0;
  for (int i = 0; i < count; ++i) {
    const int64_t rate = rates[i];
    if (std::abs(rate - remembered) < std::abs(best - remembered)) {
      selected = i;
      best = rate;
    }
  }
  return selected;
}

void CConfigurePage::FillDeviceList() {
  m_cbDevice->clear();
  int selected = -1;
  for (int i = 0; i < GetDeviceCount(); ++i) {
    const std::string name = GetDevice(i)->GetName();
    m_cbDevice->addItem(QString::fromStdString(name), i);
    if (selected < 0 && name == m_strMCUType) selected = i;
  }
  if (selected < 0) {
    selected = 0;
    m_strMCUType = m_cbDevice->itemText(0).toStdString();
  }
  m_cbDevice->setCurrentIndex(selected);
}

void CConfigurePage::FillModeList() {
  m_cbMode->clear();
  const int count = m_pDevice->modeCount;
  if (count == 1) {
    m_cbMode->setEnabled(false);
    m_stMode->setEnabled(false);
    return;
  }
  m_cbMode->setEnabled(true);
  m_stMode->setEnabled(true);
  for (int i = 0; i < count; ++i) m_cbMode->addItem(Text(m_pDevice->modes[i].nameId));
  // Beyond the list the last mode shows; a negative stored index shows the first.
  m_cbMode->setCurrentIndex(ModeIndex());
}

void CConfigurePage::FillClockList() {
  m_cbClock->clear();
  const int mode = ModeIndex();
  const int count = m_pDevice->GetClockRangeCount(mode);
  const ClockRange* ranges = m_pDevice->GetClockRanges(mode);
  for (int i = 0; i < count; ++i) m_cbClock->addItem(Text(ranges[i].textId), i);
  // Beyond the list (the first start's 10000) the last, highest range shows; a negative stored
  // index shows the first, so the list always has a selection to save.
  m_cbClock->setCurrentIndex(count > 0 ? std::clamp<int32_t>(m_nClockSpeed, 0, count - 1) : -1);
}

void CConfigurePage::ReadClockSelection() {
  const int entry = m_cbClock->currentIndex();
  if (entry < 0) return;
  const int mode = ModeIndex();
  const int index = m_cbClock->itemData(entry).toInt();
  if (index < 0 || index >= m_pDevice->GetClockRangeCount(mode)) return;
  m_nClockSpeed = index;
  m_pClockRange = &m_pDevice->GetClockRanges(mode)[index];
  FillBootRateList();
  UpdateKernelLine();
}

void CConfigurePage::UpdateKernelLine() {
  if (!m_pClockRange) return m_stKernel->clear();
  const uint32_t id = m_pClockRange->kernelId;
  const KernelImage kernel = FindKernel(id);
  std::string text;
  switch (kernel.origin) {
    case KernelOrigin::Installed:
      text = FormatString(StrId::KernelReal, {id, kernel.path.string()});
      break;
    case KernelOrigin::StandIn: text = FormatString(StrId::KernelStandIn, {id}); break;
    case KernelOrigin::Missing: text = FormatString(StrId::KernelNone, {id}); break;
    case KernelOrigin::Unusable:
      text = FormatString(StrId::KernelBad, {id, kernel.path.string() + ": " + kernel.problem});
      break;
  }
  m_stKernel->setText(QString::fromStdString(text));
}

void CConfigurePage::OnImportKernels() {
  OpenFileRequest request;
  request.title = "Import Flash Kernels";
  request.filters = {{"Flash kernels and Windows programs carrying them (*.bin;*.exe;*.dll)",
                      "*.bin;*.exe;*.dll"},
                     {"All files (*.*)", "*.*"}};
  const std::optional<std::string> path = Prompt().GetOpenFileName(this, request);
  if (!path) return;
  KernelImportRequest import;
  import.paths = {*path};
  import.store = KernelStoreDirs::Default().user;
  KernelImportResult result = ImportKernels(import);
  // Refused only because different kernels are installed: the user may replace them.
  const bool differs = result.status == KernelImportResult::Refused &&
                       result.errors.size() == result.conflicts.size();
  std::string conflicts;
  for (const std::string& error : result.errors) conflicts += error + "\n";
  if (differs && MessageBoxId(this, StrId::KernelReplaceAsk, MessageButtons::YesNo,
                              {conflicts}) == AnswerYes) {
    import.replace = true;
    result = ImportKernels(import);
  } else if (differs) {
    return;
  }
  std::string details;
  if (result.status == KernelImportResult::Imported) {
    for (const auto& image : result.images)
      details += "kernel " + std::to_string(image.id) + " (" + DescribeKernelUse(image.id) +
                 "): " + image.action + "\n";
    for (const std::string& warning : result.warnings) details += "\n" + warning + "\n";
    MessageBoxId(this, StrId::KernelsImported, MessageButtons::Ok, {import.store.string(), details});
  } else {
    for (const std::string& error : result.errors) details += error + "\n";
    MessageBoxId(this, StrId::KernelsNotImported, MessageButtons::Ok, {details});
  }
  UpdateKernelLine();
}

void CConfigurePage::FillBootRateList() {
  m_cbBootRate->clear();
  if (!m_pClockRange) return;
  for (int i = 0; i < m_pClockRange->bootRateCount; ++i)
    m_cbBootRate->addItem(QString::number(m_pClockRange->bootRates[i]), i);
  m_cbBootRate->setCurrentIndex(
      NearestRateEntry(m_pClockRange->bootRates, m_pClockRange->bootRateCount, m_nComBootRate));
  ReadBootRateSelection();
}

void CConfigurePage::ReadBootRateSelection() {
  const int entry = m_cbBootRate->currentIndex();
  if (entry < 0 || !m_pClockRange) return;
  const int index = m_cbBootRate->itemData(entry).toInt();
  if (index >= 0 && index < m_pClockRange->bootRateCount)
    m_nComBootRate = static_cast<int32_t>(m_pClockRange->bootRates[index]);
}

void CConfigurePage::FillUserRateList() {
  m_cbUserRate->clear();
  uint32_t rates[16] = {};
  const int count = std::min(GetUserDataRateCount(), 16);
  for (int i = 0; i < count; ++i) {
    rates[i] = GetUserDataRate(i);
    m_cbUserRate->addItem(QString::number(rates[i]), i);
  }
  m_cbUserRate->setCurrentIndex(NearestRateEntry(rates, count, m_nComUserRate));
  ReadUserRateSelection();
}

void CConfigurePage::ReadUserRateSelection() {
  const int entry = m_cbUserRate->currentIndex();
  if (entry < 0) return;
  const int index = m_cbUserRate->itemData(entry).toInt();
  if (index >= 0 && index < GetUserDataRateCount())
    m_nComUserRate = static_cast<int32_t>(GetUserDataRate(index));
}

void CConfigurePage::FillPortList() {
  // Only the ports that are free now are offered; one held by another program, or that this user
  // may not open, is not. The list is learned without opening any port (an open would reset many
  // boards); where the system cannot tell without opening (Windows), every port is offered and the
  // operation's open finds one in use. Each entry shows what is known of the port beside its path;
  // the path is what is stored.
  m_cbPort->clear();
  int selected = -1;
  for (const SerialPortInfo& port : ListSerialPorts().ports) {
    if (port.access != PortAccess::Free && port.access != PortAccess::Unknown) continue;
    if (selected < 0 && port.path == m_strComPort) selected = m_cbPort->count();
    const std::string known = DescribePort(port, false);
    m_cbPort->addItem(QString::fromStdString(known.empty() ? port.path : port.path + "  (" + known + ")"),
                      QString::fromStdString(port.path));
  }
  // A remembered network port is offered as it was typed; nothing is opened to list it.
  PortAddress remembered;
  if (selected < 0 && ParsePortAddress(m_strComPort, &remembered, nullptr) && remembered.IsNetwork()) {
    selected = m_cbPort->count();
    m_cbPort->addItem(QString::fromStdString(m_strComPort), QString::fromStdString(m_strComPort));
  }
  if (selected < 0 && m_cbPort->count() > 0) selected = 0;
  m_cbPort->setCurrentIndex(selected);
}

void CConfigurePage::ReadPortSelection() {
  const int entry = m_cbPort->currentIndex();
  if (entry >= 0) m_strComPort = m_cbPort->itemData(entry).toString().toStdString();
}

void CConfigurePage::SetAddressWindowFromMode() {
  m_dwLowest = m_pDevice->GetFlashLowest(ModeIndex());
  m_dwHighest = m_pDevice->GetFlashHighest(ModeIndex());
}

bool CConfigurePage::DoDataExchange(bool bSave) {
  if (!bSave) {
    (m_bAutomatic ? m_rbAutomatic : m_rbManual)->setChecked(true);
    m_edLineMap->setText(QString::fromStdString(m_strLineMap));
    m_edLineMap->setEnabled(m_bAutomatic);
    if (m_strMCUType.empty()) m_strMCUType = GetDevice(0)->GetName();
    FillDeviceList();
    m_pDevice = GetDevice(m_cbDevice->currentData().toInt());
    FillModeList();
    FillClockList();
    ReadClockSelection();
    FillPortList();
    ReadPortSelection();
    FillBootRateList();
    FillUserRateList();
    if (m_cbPort->count() == 0) {
      // Shown once the page is on screen; the user stays on the page.
      QMetaObject::invokeMethod(this, &CConfigurePage::OnNoPorts, Qt::QueuedConnection);
    }
    return true;
  }

  const int device = m_cbDevice->currentIndex();
  if (device < 0) return false;
  const int deviceIndex = m_cbDevice->itemData(device).toInt();
  if (deviceIndex < 0 || deviceIndex >= GetDeviceCount()) return false;
  m_strMCUType = m_cbDevice->itemText(device).toStdString();
  m_pDevice = GetDevice(deviceIndex);

  const int mode = m_cbMode->currentIndex();
  m_nMCUMode = (mode >= 0 && mode < m_pDevice->modeCount) ? mode : 0;

  // Without a clock selection (a mode without clock ranges) nothing sensible can be handed
  // over, so the page stays.
  const int clock = m_cbClock->currentIndex();
  if (clock < 0) return false;
  const int clockIndex = m_cbClock->itemData(clock).toInt();
  if (clockIndex < 0 || clockIndex >= m_pDevice->GetClockRangeCount(m_nMCUMode)) return false;
  m_nClockSpeed = clockIndex;
  m_pClockRange = &m_pDevice->GetClockRanges(m_nMCUMode)[clockIndex];
  return true;
}

void CConfigurePage::OnSelDevice() {
  const int entry = m_cbDevice->currentIndex();
  if (entry < 0) return;
  const int index = m_cbDevice->itemData(entry).toInt();
  if (index < 0 || index >= GetDeviceCount()) return;
  const std::string text = m_cbDevice->itemText(entry).toStdString();
  if (text == m_strMCUType) return;
  m_strMCUType = text;
  m_pDevice = GetDevice(index);
  m_nMCUMode = 0;
  FillModeList();
  // The clock list stays; its selected entry is read against the new device's first mode.
  ReadClockSelection();
  SetAddressWindowFromMode();
}

void CConfigurePage::OnSelMode() {
  const int entry = m_cbMode->currentIndex();
  if (entry == m_nMCUMode) return;
  m_nMCUMode = (entry >= 0 && entry < m_pDevice->modeCount) ? entry : 0;
  FillClockList();
  ReadClockSelection();
  SetAddressWindowFromMode();
}

void CConfigurePage::OnNoPorts() { MessageBoxId(this, StrId::NoPorts); }

int CConfigurePage::OnWizardNext() {
  if (!UpdateData(true)) return -1;
  // The text in the box is the port: an entry of the list (shown with what is known of it), or
  // a network port typed in, checked here before anything would open it.
  const QString typed = m_cbPort->currentText().trimmed();
  const int entry = typed.isEmpty() ? -1 : m_cbPort->findText(typed, Qt::MatchExactly);
  std::string port;
  if (entry >= 0) {
    port = m_cbPort->itemData(entry).toString().toStdString();
  } else if (!typed.isEmpty()) {
    std::string error;
    PortAddress address;
    const bool valid = ParsePortAddress(typed.toStdString(), &address, &error);
    if (valid && address.IsNetwork()) {
      port = address.text;
    } else if (!valid) {
      MessageBoxId(this, StrId::NetworkPortInvalid, MessageButtons::Ok,
                   {typed.toStdString(), error});
      return -1;
    }
  }
  if (port.empty() || m_cbBootRate->currentIndex() < 0 || m_cbUserRate->currentIndex() < 0) {
    MessageBoxId(this, StrId::SelectPortAndRate);
    return -1;
  }
  // In Automatic Mode the map must be one the communication object can follow; it is kept as
  // typed in Manual Mode, where nothing drives the lines.
  const QString typedMap = m_edLineMap->text().trimmed();
  m_bAutomatic = m_rbAutomatic->isChecked();
  if (m_bAutomatic) {
    LineMap map;
    std::string error;
    if (!ParseLineMap(typedMap.toStdString(), &map, &error)) {
      MessageBoxId(this, StrId::LineMapInvalid, MessageButtons::Ok, {typedMap.toStdString(), error});
      m_edLineMap->setFocus();
      return -1;
    }
    m_strLineMap = FormatLineMap(map);
  } else {
    m_strLineMap = typedMap.toStdString();
  }
  m_strComPort = port;
  WizardState& state = State();
  state.m_strMCUType = m_strMCUType;
  state.m_pDevice = m_pDevice;
  state.m_nMCUMode = m_nMCUMode;
  state.m_nClockSpeed = m_nClockSpeed;
  state.m_pClockRange = m_pClockRange;
  state.m_strComPort = m_strComPort;
  state.m_nComBootRate = m_nComBootRate;
  state.m_nComUserRate = m_nComUserRate;
  state.m_dwLowest = m_dwLowest;
  state.m_dwHighest = m_dwHighest;
  state.m_bAutomatic = m_bAutomatic;
  state.m_strLineMap = m_strLineMap;
  return PageId::Operation;
}

}  // namespace quill
