// The About box: product, version and the devices this version supports, sorted.
#pragma once

#include <QDialog>

class QListWidget;

namespace quill {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 130;

  explicit CAboutDlg(QWidget* parent = nullptr);

  QListWidget* m_listDevices = nullptr;  // control 1001; sorts its entries itself
};

}  // namespace quill
