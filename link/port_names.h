// Where serial ports are found: the system's serial devices, and the ports that running
// simulated boards announce.
#pragma once

#include <string>

namespace quill {

// The folder in which a simulated board announces its port as a symbolic link to its
// pseudo-terminal: quill/ports under $XDG_RUNTIME_DIR, or under /tmp/quill-<uid> where that
// variable is unset or empty. The folder need not exist.
std::string PortAnnounceDirectory();

// Whether the announcements in PortAnnounceDirectory() may be believed: every folder from the
// base ($XDG_RUNTIME_DIR or /tmp/quill-<uid>) down to the ports folder is a real folder (not a
// link) that belongs to this user and that neither the group nor others may write, so no other
// account can plant a port in the list. With create, missing folders are made first, mode 0700.
// False with the reason in *problem otherwise; false without a problem when the folder does not
// exist and create is not set.
bool TrustAnnounceDirectory(bool create, std::string* problem);

}  // namespace quill
