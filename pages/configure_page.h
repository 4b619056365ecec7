// The configuration page: device model, operating mode, clock-frequency range, serial port and
// the two data rates. It edits a working copy and hands it to the sheet only when it is left
// with Next, after which the wizard returns to the operation page.
#pragma once

#include <cstdint>
#include <string>

#include "app/page_ids.h"
#include "app/wizard_page.h"
#include "device/catalogue.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class QVBoxLayout;

namespace quill {

class CConfigurePage : public CWizardPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::Configure;

  CConfigurePage();

  bool OnInitDialog() override;
  bool DoDataExchange(bool bSave) override;
  bool OnSetActive() override;
  int OnWizardNext() override;

  // The entry of a rate list to select for the remembered rate: the first entry nearest to it,
  // or -1 when none is nearer than the rate 0 (a remembered 0, for instance).
  static int NearestRateEntry(const uint32_t* rates, int count, int64_t remembered);

  // The controls, with their template control ids.
  QComboBox* m_cbUserRate = nullptr;  // 1054
  QComboBox* m_cbBootRate = nullptr;  // 1053
  QComboBox* m_cbPort = nullptr;      // 1052
  QComboBox* m_cbClock = nullptr;     // 1051
  QLabel* m_stMode = nullptr;         // 1044
  QComboBox* m_cbMode = nullptr;      // 1050
  QComboBox* m_cbDevice = nullptr;    // 1049
  QRadioButton* m_rbAutomatic = nullptr;  // 1055
  QRadioButton* m_rbManual = nullptr;     // 1056
  // Beside "Automatic Mode": which control line drives which switch ("vpp=dtr,mode=rts").
  QLineEdit* m_edLineMap = nullptr;
  // Which flash kernel the selected clock range has, and the button that imports kernels.
  QLabel* m_stKernel = nullptr;
  QPushButton* m_btnImportKernels = nullptr;

  // The working copy of the configuration.
  std::string m_strMCUType;
  const DeviceType* m_pDevice = nullptr;
  int32_t m_nMCUMode = 0;
  int32_t m_nClockSpeed = 0;
  const ClockRange* m_pClockRange = nullptr;
  std::string m_strComPort;
  int32_t m_nComBootRate = 0;
  int32_t m_nComUserRate = 0;
  uint32_t m_dwLowest = 0;
  uint32_t m_dwHighest = 0;
  bool m_bAutomatic = false;
  std::string m_strLineMap;

 private:
  // Below the lists: the kernel line with "Import Kernels...", then the mode radio buttons.
  void AddKernelAndModeRows(QVBoxLayout* layout);
  void OnSelDevice();
  void OnSelMode();
  void OnNoPorts();
  void OnImportKernels();
  void UpdateKernelLine();

  // m_nMCUMode clamped into the device's modes, for every catalogue look-up before the page is
  // saved (a stored mode index may lie beyond them).
  int ModeIndex() const;
  void FillDeviceList();
  void FillModeList();
  void FillClockList();
  void FillPortList();
  void FillBootRateList();
  void FillUserRateList();
  void ReadClockSelection();
  void ReadBootRateSelection();
  void ReadUserRateSelection();
  void ReadPortSelection();
  void SetAddressWindowFromMode();
};

}  // namespace quill
