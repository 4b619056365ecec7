#include "device/catalogue.h"

#include "resources/strings.h"

namespace quill {
namespace {

constexpr uint32_t kRates1[] = {2400};
constexpr uint32_t kRates2[] = {2400, 4800};
constexpr uint32_t kRates3[] = {2400, 4800, 9600};

// Nine clock ranges per mode: label ids start at firstText, kernels as listed.
#define QUILL_CLOCK_RANGES(t, k0, k1, k2, k3, k4, k5, k6, k7, k8) \
  {                                                               \
    {(t) + 0, k0, 1, kRates1}, {(t) + 1, k1, 1, kRates1},         \
    {(t) + 2, k2, 2, kRates2}, {(t) + 3, k3, 2, kRates2},         \
    {(t) + 4, k4, 3, kRates3}, {(t) + 5, k5, 3, kRates3},         \
    {(t) + 6, k6, 3, kRates3}, {(t) + 7, k7, 3, kRates3},         \
    {(t) + 8, k8, 3, kRates3},                                    \
  }

// The lowest TX-A10 range uses kernel 186; 148..155 serve ranges 1..8.
constexpr ClockRange kClockA[] = QUILL_CLOCK_RANGES(StrId::ClockLabelsA, 186, 148, 149, 150, 151, 152, 153, 154, 155);
constexpr ClockRange kClockB[] = QUILL_CLOCK_RANGES(StrId::ClockLabelsB, 190, 191, 192, 193, 194, 195, 196, 197, 198);
constexpr ClockRange kClockC[] = QUILL_CLOCK_RANGES(StrId::ClockLabelsC, 199, 200, 201, 202, 203, 204, 205, 206, 207);
constexpr ClockRange kClockD[] = QUILL_CLOCK_RANGES(StrId::ClockLabelsC, 208, 209, 210, 211, 212, 213, 214, 215, 216);
#undef QUILL_CLOCK_RANGES

constexpr FlashBlock kMapA[] = {
    {"LB0", 0x00000, 0x03FFF}, {"LB1", 0x04000, 0x07FFF}, {"LB2", 0x08000, 0x0BFFF},
    {"LB3", 0x0C000, 0x0FFFF}, {"LB4", 0x10000, 0x13FFF}, {"LB5", 0x14000, 0x17FFF},
    {"LB6", 0x18000, 0x1BFFF}, {"LB7", 0x1C000, 0x1EFFF}, {"SB0", 0x1F000, 0x1F1FF},
    {"SB1", 0x1F200, 0x1F3FF}, {"SB2", 0x1F400, 0x1F5FF}, {"SB3", 0x1F600, 0x1F7FF},
    {"SB4", 0x1F800, 0x1F9FF}, {"SB5", 0x1FA00, 0x1FBFF}, {"SB6", 0x1FC00, 0x1FDFF},
    {"SB7", 0x1FE00, 0x1FFFF},
};

// Maps B, C and D share their first blocks; C and D end later.
#define QUILL_SMALL_MAP_HEAD                                                                 \
  {"SB0", 0x0000, 0x007F}, {"SB1", 0x0080, 0x00FF}, {"SB2", 0x0100, 0x017F},                 \
      {"SB3", 0x0180, 0x01FF}, {"SB4", 0x0200, 0x03FF}, {"SB5", 0x0400, 0x07FF},             \
      {"SB6", 0x0800, 0x0BFF}, {"SB7", 0x0C00, 0x0FFF}, {"LB0", 0x1000, 0x1FFF},             \
      {"LB1", 0x2000, 0x3FFF}, {"LB2", 0x4000, 0x5FFF}, {"LB3", 0x6000, 0x7FFF}
constexpr FlashBlock kMapB[] = {QUILL_SMALL_MAP_HEAD};
constexpr FlashBlock kMapC[] = {QUILL_SMALL_MAP_HEAD, {"LB4", 0x8000, 0x9FFF},
                                {"LB5", 0xA000, 0xBFFF}, {"LB6", 0xC000, 0xEF7F}};
constexpr FlashBlock kMapD[] = {QUILL_SMALL_MAP_HEAD,    {"LB4", 0x8000, 0x9FFF},
                                {"LB5", 0xA000, 0xBFFF}, {"LB6", 0xC000, 0xEF7F},
                                {"LB7", 0xEF80, 0xF77F}};
#undef QUILL_SMALL_MAP_HEAD

// Each TX-A10 small block can be emulated by the same 512-byte RAM window.
constexpr RamEmulationArea kRamA[] = {
    {"SB0", 0x78, 0x1F000, 0x1F1FF, 0xFFF000, 0xFFF1FF},
    {"SB1", 0x79, 0x1F200, 0x1F3FF, 0xFFF000, 0xFFF1FF},
    {"SB2", 0x7A, 0x1F400, 0x1F5FF, 0xFFF000, 0xFFF1FF},
    {"SB3", 0x7B, 0x1F600, 0x1F7FF, 0xFFF000, 0xFFF1FF},
    {"SB4", 0x7C, 0x1F800, 0x1F9FF, 0xFFF000, 0xFFF1FF},
    {"SB5", 0x7D, 0x1FA00, 0x1FBFF, 0xFFF000, 0xFFF1FF},
    {"SB6", 0x7E, 0x1FC00, 0x1FDFF, 0xFFF000, 0xFFF1FF},
    {"SB7", 0x7F, 0x1FE00, 0x1FFFF, 0xFFF000, 0xFFF1FF},
};
constexpr RamEmulationArea kRamB[] = {
    {"SB0", 0xC0, 0x000, 0x07F, 0x000, 0x07F},
    {"SB1", 0x80, 0x080, 0x0FF, 0x080, 0x0FF},
    {"SB1-SB2", 0x40, 0x080, 0x17F, 0x080, 0x17F},
};

template <typename T, int N>
constexpr int32_t Count(const T (&)[N]) {
  return N;
}

constexpr DeviceMode kModesA10[] = {
    {0, Count(kClockA), kClockA, Count(kMapA), kMapA, Count(kRamA), kRamA, 0x0, 0x1FFFF, 0x70}};
constexpr DeviceMode kModesC30[] = {
    {0, Count(kClockB), kClockB, Count(kMapB), kMapB, Count(kRamB), kRamB, 0x0, 0x7FFF, 0}};
constexpr DeviceMode kModesC31[] = {
    {StrId::ModeName2, Count(kClockC), kClockC, Count(kMapC), kMapC, Count(kRamB), kRamB, 0x0, 0xEF7F, 0},
    {StrId::ModeName3, Count(kClockD), kClockD, Count(kMapD), kMapD, Count(kRamB), kRamB, 0x0, 0xF77F, 0},
};

constexpr DeviceType kDevices[] = {
    {StrId::DeviceTxA10, Count(kModesA10), kModesA10},
    {StrId::DeviceTxC30, Count(kModesC30), kModesC30},
    {StrId::DeviceTxC31, Count(kModesC31), kModesC31},
};

constexpr uint32_t kUserDataRates[] = {2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};

}  // namespace

std::string DeviceType::GetName() const { return LoadString(nameId); }

int GetDeviceCount() { return Count(kDevices); }

const DeviceType* GetDevice(int index) { return &kDevices[index]; }

const DeviceType* FindDeviceByName(std::string_view text) {
  for (const DeviceType& device : kDevices) {
    if (device.GetName() == text) return &device;
  }
  return nullptr;
}

int GetDeviceIndex(const DeviceType* device) {
  for (int i = 0; i < Count(kDevices); ++i) {
    if (device == &kDevices[i]) return i;
  }
  return -1;
}

int GetUserDataRateCount() { return Count(kUserDataRates); }

uint32_t GetUserDataRate(int index) { return kUserDataRates[index]; }

int FindBlockName(const std::vector<std::string>& list, std::string_view name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == name) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace quill
