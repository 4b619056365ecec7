#include "gui_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <QtTest/QTest>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "link/port_list.h"
#ifndef _WIN32
#include "link/port_names.h"
#endif
#include "link/serial_port.h"

namespace quill::test {

TempSettings::TempSettings() {
  if (!m_dir.isValid()) throw std::runtime_error("no temporary folder");
}

// Pseudo-terminals exist on POSIX systems only; the Windows build runs the tests without them.
#ifndef _WIN32
AnnouncedPort::AnnouncedPort(const std::string& name) {
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
    throw std::runtime_error("no pseudo-terminal");
  const std::string slave = ::ptsname(m_master);
  const std::string folder = PortAnnounceDirectory();
  std::filesystem::create_directories(folder);
  m_link = folder + "/" + name;
  std::filesystem::remove(m_link);
  std::filesystem::create_symlink(slave, m_link);
}

AnnouncedPort::~AnnouncedPort() {
  std::error_code ignored;
  std::filesystem::remove(m_link, ignored);
  if (m_holder > 0) {
    ::kill(m_holder, SIGKILL);
    ::waitpid(m_holder, nullptr, 0);
  }
  if (m_master >= 0) ::close(m_master);
}

void AnnouncedPort::Hold() {
  // Another process: this one holds the master, which makes it the far end of the line.
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("cannot hold the port");
  m_holder = ::fork();
  if (m_holder == 0) {
    ::close(m_master);
    const int fd = ::open(m_link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    for (;;) ::pause();
  }
  char ok = 'n';
  ::close(ready[1]);
  if (m_holder < 0 || ::read(ready[0], &ok, 1) != 1 || ok != 'y') {
    ::close(ready[0]);
    throw std::runtime_error("cannot hold the port");
  }
  ::close(ready[0]);
}

HeldPort::HeldPort(const std::string& path) {
  m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
    throw std::runtime_error("cannot hold " + path);
}

HeldPort::~HeldPort() {
  if (m_fd >= 0) ::close(m_fd);
}

#endif

std::vector<std::string> AvailablePorts() {
  std::vector<std::string> ports;
  for (const SerialPortInfo& port : ListSerialPorts().ports)
    if (port.access == PortAccess::Free) ports.push_back(port.path);
  return ports;
}

void Click(QAbstractButton* button) {
  const QPoint at(std::min(8, button->width() / 2), button->height() / 2);
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

void Choose(QComboBox* combo, int index) {
  combo->setFocus();
  for (int guard = 0; guard <= combo->count() && combo->currentIndex() < index; ++guard)
    QTest::keyClick(combo, Qt::Key_Down);
  for (int guard = 0; guard <= combo->count() && combo->currentIndex() > index; ++guard)
    QTest::keyClick(combo, Qt::Key_Up);
}

void Screenshot(QWidget* widget, const QString& name) {
  const QString folder = QStringLiteral(QUILL_BINARY_DIR "/screenshots");
  QDir().mkpath(folder);
  widget->grab().save(folder + "/" + name + ".png");
}

}  // namespace quill::test
