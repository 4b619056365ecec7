// Hot-plug events for the programming station (Linux): the system's device events for serial
// devices (libudev's monitor: a USB serial adapter plugged in or pulled out) and the changes of
// the folder where simulated boards announce their ports (inotify). Both are descriptors the
// station's one poll() waits on; nothing here looks at the ports themselves.
#pragma once

#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace quill::cli {

class HotplugWatcher {
 public:
  HotplugWatcher() = default;
  ~HotplugWatcher();
  HotplugWatcher(const HotplugWatcher&) = delete;
  HotplugWatcher& operator=(const HotplugWatcher&) = delete;

  // Starts watching serial devices and announceFolder (which must exist). What cannot be
  // watched is said in *warnings; the rest is watched all the same.
  void Open(const std::string& announceFolder, std::vector<std::string>* warnings);
  // The descriptors to wait on for reading.
  std::vector<int> Descriptors() const;
  // Reads every pending event; true when one of them may have added or removed a port. The
  // paths of the ports removed are added to *removed, so a port pulled out and plugged in again
  // between two looks still counts as having gone.
  bool Drain(std::vector<std::string>* removed);

 private:
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
  int inotify_ = -1;
  std::string folder_;
};

}  // namespace quill::cli
