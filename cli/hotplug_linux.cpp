#include "cli/hotplug.h"

#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quill::cli {

HotplugWatcher::~HotplugWatcher() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
  if (inotify_ >= 0) ::close(inotify_);
}

void HotplugWatcher::Open(const std::string& announceFolder, std::vector<std::string>* warnings) {
  auto warn = [warnings](const std::string& text) {
    if (warnings) warnings->push_back(text);
  };
  udev_ = udev_new();
  // "udev": the events after udev's rules ran, so the node, its by-id link and (usually) its
  // permissions are in place when the event arrives.
  if (udev_ != nullptr) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    warn(std::string("USB serial adapters plugged in later are not noticed: the system's device "
                     "events cannot be received (") + std::strerror(errno) + ")");
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
  if (announceFolder.empty()) return;
  folder_ = announceFolder;
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // A board announces with a new link and withdraws by removing it; a rename brings the
  // description beside it.
  if (inotify_ < 0 ||
      ::inotify_add_watch(inotify_, announceFolder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB) < 0) {
    warn("simulated boards announced later are not noticed: " + announceFolder + ": " +
         std::strerror(errno));
    if (inotify_ >= 0) ::close(inotify_);
    inotify_ = -1;
  }
}

std::vector<int> HotplugWatcher::Descriptors() const {
  std::vector<int> fds;
  if (monitor_ != nullptr) fds.push_back(udev_monitor_get_fd(monitor_));
  if (inotify_ >= 0) fds.push_back(inotify_);
  return fds;
}

bool HotplugWatcher::Drain(std::vector<std::string>* removed) {
  bool changed = false;
  if (monitor_ != nullptr) {
    // The monitor's socket does not block: NULL once every pending event is read.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(device);
      if (action != nullptr && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 ||
                                std::strcmp(action, "change") == 0)) {
        changed = true;
        const char* node = udev_device_get_devnode(device);
        if (std::strcmp(action, "remove") == 0 && node != nullptr && removed) removed->push_back(node);
      }
      udev_device_unref(device);
    }
  }
  if (inotify_ >= 0) {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(inotify_, buffer, sizeof buffer)) > 0;) {
      changed = true;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && event->len > 0 && removed) {
          removed->push_back(folder_ + "/" + event->name);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
  return changed;
}

}  // namespace quill::cli
