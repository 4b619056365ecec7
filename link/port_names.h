// Where serial ports are found: the system's serial devices, and the ports that running
// simulated boards announce.
#pragma once

#include <string>

namespace quill {

// The folder in which a simulated board announces its port as a symbolic link to its
// pseudo-terminal: quill/ports under $XDG_RUNTIME_DIR, or under /tmp/quill-<uid> where that
// variable is unset or empty. The folder need not exist.
std::string PortAnnounceDirectory();

}  // namespace quill
