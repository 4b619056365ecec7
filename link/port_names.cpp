#include "link/port_names.h"

#include <unistd.h>

#include <cstdlib>

namespace quill {

std::string PortAnnounceDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = (runtime && *runtime) ? std::string(runtime)
                                           : "/tmp/quill-" + std::to_string(::getuid());
  return base + "/quill/ports";
}

}  // namespace quill
