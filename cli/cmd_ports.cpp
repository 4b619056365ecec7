// quill-cli ports: the serial ports with what is known of each, so a fixture with several
// identical adapters can tell them apart and choose one by its serial number.
#include <iostream>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "link/port_list.h"

namespace quill::cli {

int RunPorts(const std::vector<std::string>& args) {
  const Options options = ParseOptions("ports", args, {{"--json", false}});
  if (!options.positional.empty()) {
    throw UsageError("unexpected argument '" + options.positional.front() + "': ports takes none");
  }
  const PortListing listing = ListSerialPorts();
  for (const std::string& warning : listing.warnings) std::cerr << "quill-cli: warning: " << warning << '\n';
  if (options.Has("--json")) {
    std::cout << JsonLine(PortsJson(listing));
    return kExitSuccess;
  }
  if (listing.ports.empty()) std::cerr << "no serial ports found\n";
  for (const SerialPortInfo& port : listing.ports) {
    std::cout << port.path << "  " << DescribePort(port) << '\n';
  }
  return kExitSuccess;
}

}  // namespace quill::cli
