#include "app/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "device/catalogue.h"

namespace quill {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About QUILL"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(QIcon(QStringLiteral(":/quill/icon-128.png")).pixmap(32, 32));
  auto* product = new QLabel(QStringLiteral("QUILL - Velmora TAVEO Flash Programmer Utility"), this);
  auto* version = new QLabel(QStringLiteral("Version 1.2a"), this);
  auto* heading = new QLabel(QStringLiteral("Velmora TAVEO devices supported by this version:"), this);

  m_listDevices = new QListWidget(this);
  m_listDevices->setObjectName(QStringLiteral("devices"));
  m_listDevices->setSortingEnabled(true);
  for (int i = 0; i < GetDeviceCount(); ++i)
    m_listDevices->addItem(QString::fromStdString(GetDevice(i)->GetName()));
  m_listDevices->setMaximumHeight(90);

  auto* ok = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  ok->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(ok, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QGridLayout(this);
  layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
  layout->addWidget(product, 0, 1);
  layout->addWidget(version, 1, 1);
  layout->addWidget(heading, 2, 1);
  layout->addWidget(m_listDevices, 3, 1);
  layout->addWidget(ok, 0, 2, 2, 1, Qt::AlignTop);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace quill
