// A simulated board's announcement: a link to its pseudo-terminal in PortAnnounceDirectory(),
// which the wizard's and quill-cli's port lists offer, with a description of what the board
// simulates beside it.
#pragma once

#include <string>

namespace quill::sim {

class PortAnnouncement {
 public:
  // Links name (empty: "sim-<pid>-<n>") to portPath, after writing the description; false with
  // the reason in error. A link of that name left behind by a board that did not end cleanly is
  // replaced; anything else there is not.
  bool Make(std::string name, const std::string& portPath, const std::string& description,
            std::string* error);
  // Removes the link and the description, while the link still points at the port.
  void Remove();
  // The link's full path; empty when none was made.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string portPath_;
};

}  // namespace quill::sim
