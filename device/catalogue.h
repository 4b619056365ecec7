// The device catalogue: every supported device, its operating modes, clock ranges, kernel image
// ids, permitted boot rates, flash block maps and RAM emulation areas. Constant data; all
// address ranges are inclusive at both ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

struct ClockRange {
  uint32_t textId;     // label shown in the clock list
  uint32_t kernelId;   // FPCODE resource id of the kernel for this device, mode and range
  int32_t bootRateCount;
  const uint32_t* bootRates;  // bits per second, ascending
};

struct FlashBlock {
  const char* name;
  uint32_t start;
  uint32_t end;  // inclusive
};

struct RamEmulationArea {
  const char* blockName;
  uint32_t selectCode;
  uint32_t flashStart, flashEnd;
  uint32_t ramStart, ramEnd;
};

struct DeviceMode {
  uint32_t nameId;  // 0 when the device has a single mode (never shown)
  int32_t clockRangeCount;
  const ClockRange* clockRanges;
  int32_t blockCount;
  const FlashBlock* blocks;  // ascending and contiguous from flashLowest to flashHighest
  int32_t ramAreaCount;
  const RamEmulationArea* ramAreas;
  uint32_t flashLowest;
  uint32_t flashHighest;  // inclusive
  uint32_t reserved;      // carried with the record; nothing reads it
};

struct DeviceType {
  uint32_t nameId;
  int32_t modeCount;
  const DeviceMode* modes;

  // The model name as shown to the user and stored in the settings.
  std::string GetName() const;

  // Per-mode accessors; mode must be 0..modeCount-1.
  int32_t GetClockRangeCount(int mode) const { return modes[mode].clockRangeCount; }
  const ClockRange* GetClockRanges(int mode) const { return modes[mode].clockRanges; }
  int32_t GetBlockCount(int mode) const { return modes[mode].blockCount; }
  const FlashBlock* GetBlocks(int mode) const { return modes[mode].blocks; }
  uint32_t GetFlashLowest(int mode) const { return modes[mode].flashLowest; }
  uint32_t GetFlashHighest(int mode) const { return modes[mode].flashHighest; }
};

int GetDeviceCount();
// index must be 0..GetDeviceCount()-1.
const DeviceType* GetDevice(int index);
// The first device whose name equals text exactly (case-sensitive), or nullptr.
const DeviceType* FindDeviceByName(std::string_view text);
// The catalogue index of a device record, or -1 for a pointer not into the catalogue.
int GetDeviceIndex(const DeviceType* device);

int GetUserDataRateCount();
uint32_t GetUserDataRate(int index);

// Index of the first entry of list equal to name (exact, case-sensitive), or -1.
int FindBlockName(const std::vector<std::string>& list, std::string_view name);

}  // namespace quill
