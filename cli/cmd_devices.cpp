// quill-cli devices: the catalogue as text.
#include <cstdio>
#include <iostream>
#include <string>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "device/catalogue.h"
#include "resources/strings.h"

namespace quill::cli {

namespace {

std::string BlockAddress(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "H'%8.8X", static_cast<unsigned>(value));
  return text;
}

void PrintMode(const DeviceType& device, int mode, const std::string& indent) {
  std::cout << indent << "flash: " << BlockAddress(device.GetFlashLowest(mode)) << " - "
            << BlockAddress(device.GetFlashHighest(mode)) << '\n';
  std::cout << indent << "blocks:\n";
  const FlashBlock* blocks = device.GetBlocks(mode);
  for (int i = 0; i < device.GetBlockCount(mode); ++i) {
    std::cout << indent << "  " << blocks[i].name << "  " << BlockAddress(blocks[i].start) << "  "
              << BlockAddress(blocks[i].end) << '\n';
  }
  std::cout << indent << "clock ranges:\n";
  const ClockRange* ranges = device.GetClockRanges(mode);
  for (int i = 0; i < device.GetClockRangeCount(mode); ++i) {
    std::string label = LoadString(ranges[i].textId);
    label.resize(std::max<std::size_t>(label.size(), 20), ' ');
    std::cout << indent << "  " << i << "  " << label << "  boot rates:";
    for (int r = 0; r < ranges[i].bootRateCount; ++r) std::cout << ' ' << ranges[i].bootRates[r];
    std::cout << '\n';
  }
}

}  // namespace

int RunDevices(const std::vector<std::string>& args) {
  const Options options = ParseOptions("devices", args, {{"--json", false}});
  if (!options.positional.empty()) {
    throw UsageError("unexpected argument '" + options.positional.front() +
                     "': devices takes none");
  }
  if (options.Has("--json")) {
    std::cout << JsonLine(DevicesJson());
    return kExitSuccess;
  }
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType& device = *GetDevice(d);
    std::cout << device.GetName() << '\n';
    if (device.modeCount == 1) {
      PrintMode(device, 0, "  ");  // a single mode has no name to show
      continue;
    }
    for (int m = 0; m < device.modeCount; ++m) {
      std::cout << "  " << LoadString(device.modes[m].nameId) << '\n';
      PrintMode(device, m, "    ");
    }
  }
  std::cout << "user-mode rates:";
  for (int i = 0; i < GetUserDataRateCount(); ++i) std::cout << ' ' << GetUserDataRate(i);
  std::cout << '\n';
  return kExitSuccess;
}

}  // namespace quill::cli
