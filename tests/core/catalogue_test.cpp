#include <gtest/gtest.h>

#include <set>

#include "device/catalogue.h"
#include "resources/fpcode.h"
#include "resources/strings.h"

using namespace quill;

namespace {

struct ModeCase {
  int device;
  int mode;
  const char* modeName;  // nullptr for a single-mode device
  uint32_t flashHighest;
  int blocks;
  int ramAreas;
  uint32_t kernelIds[9];
  std::size_t kernelSize;
};

const ModeCase kModes[] = {
    {0, 0, nullptr, 0x1FFFF, 16, 8, {186, 148, 149, 150, 151, 152, 153, 154, 155}, 1725},
    {1, 0, nullptr, 0x7FFF, 12, 3, {190, 191, 192, 193, 194, 195, 196, 197, 198}, 896},
    {2, 0, "Mode 2", 0xEF7F, 15, 3, {199, 200, 201, 202, 203, 204, 205, 206, 207}, 1040},
    {2, 1, "Mode 3", 0xF77F, 16, 3, {208, 209, 210, 211, 212, 213, 214, 215, 216}, 1046},
};

}  // namespace

TEST(Catalogue, DevicesInDisplayOrder) {
  ASSERT_EQ(GetDeviceCount(), 3);
  EXPECT_EQ(GetDevice(0)->GetName(), "TX-A10");
  EXPECT_EQ(GetDevice(1)->GetName(), "TX-C30");
  EXPECT_EQ(GetDevice(2)->GetName(), "TX-C31");
  EXPECT_EQ(GetDevice(0)->modeCount, 1);
  EXPECT_EQ(GetDevice(1)->modeCount, 1);
  EXPECT_EQ(GetDevice(2)->modeCount, 2);
  EXPECT_EQ(GetDevice(0)->modes[0].reserved, 0x70u);
  EXPECT_EQ(GetDevice(2)->modes[1].reserved, 0u);
}

TEST(Catalogue, NameLookupIsExactAndCaseSensitive) {
  EXPECT_EQ(FindDeviceByName("TX-C31"), GetDevice(2));
  EXPECT_EQ(FindDeviceByName("TX-A10"), GetDevice(0));
  EXPECT_EQ(FindDeviceByName("tx-c31"), nullptr);
  EXPECT_EQ(FindDeviceByName(""), nullptr);
  EXPECT_EQ(FindDeviceByName("TX-C31 "), nullptr);
  EXPECT_EQ(FindDeviceByName("TX-C3"), nullptr);
  EXPECT_EQ(GetDeviceIndex(GetDevice(1)), 1);
  EXPECT_EQ(GetDeviceIndex(nullptr), -1);
}

TEST(Catalogue, EveryModeMatchesItsTable) {
  std::set<uint32_t> kernelIds;
  for (const ModeCase& c : kModes) {
    SCOPED_TRACE(testing::Message() << "device " << c.device << " mode " << c.mode);
    const DeviceType* device = GetDevice(c.device);
    const DeviceMode& mode = device->modes[c.mode];
    if (c.modeName) {
      EXPECT_EQ(LoadString(mode.nameId), c.modeName);
    } else {
      EXPECT_EQ(mode.nameId, 0u);
    }
    EXPECT_EQ(device->GetFlashLowest(c.mode), 0u);
    EXPECT_EQ(device->GetFlashHighest(c.mode), c.flashHighest);
    EXPECT_EQ(device->GetBlockCount(c.mode), c.blocks);
    EXPECT_EQ(mode.ramAreaCount, c.ramAreas);
    ASSERT_EQ(device->GetClockRangeCount(c.mode), 9);
    const ClockRange* ranges = device->GetClockRanges(c.mode);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(ranges[i].kernelId, c.kernelIds[i]) << "range " << i;
      EXPECT_TRUE(kernelIds.insert(ranges[i].kernelId).second) << "kernel id used twice";
      const auto image = FindResource("FPCODE", ranges[i].kernelId);
      EXPECT_EQ(image.size(), c.kernelSize) << "kernel " << ranges[i].kernelId;
      EXPECT_LE(image.size(), 3088u);
      EXPECT_FALSE(LoadString(ranges[i].textId).empty());
    }
  }
  EXPECT_EQ(kernelIds.size(), 36u);
}

TEST(Catalogue, BlockMapsAreContiguousOverTheFlash) {
  for (const ModeCase& c : kModes) {
    const DeviceType* device = GetDevice(c.device);
    const FlashBlock* blocks = device->GetBlocks(c.mode);
    const int count = device->GetBlockCount(c.mode);
    std::set<std::string> names;
    EXPECT_EQ(blocks[0].start, device->GetFlashLowest(c.mode));
    for (int i = 0; i < count; ++i) {
      EXPECT_LE(blocks[i].start, blocks[i].end);
      EXPECT_TRUE(names.insert(blocks[i].name).second) << blocks[i].name << " listed twice";
      if (i > 0) {
        EXPECT_EQ(blocks[i].start, blocks[i - 1].end + 1) << blocks[i].name;
      }
    }
    EXPECT_EQ(blocks[count - 1].end, device->GetFlashHighest(c.mode));
  }
}

TEST(Catalogue, TwoTxC31ModesShareTheirLowerMap) {
  const DeviceType* c31 = GetDevice(2);
  const FlashBlock* m2 = c31->GetBlocks(0);
  const FlashBlock* m3 = c31->GetBlocks(1);
  for (int i = 0; i < 15; ++i) {
    EXPECT_STREQ(m2[i].name, m3[i].name);
    EXPECT_EQ(m2[i].start, m3[i].start);
    EXPECT_EQ(m2[i].end, m3[i].end);
  }
  EXPECT_STREQ(m2[14].name, "LB6");
  EXPECT_EQ(m2[14].end, 0xEF7Fu);
  EXPECT_STREQ(m3[15].name, "LB7");
  EXPECT_EQ(m3[15].start, 0xEF80u);
}

TEST(Catalogue, BootRatesFollowTheClockRange) {
  const ClockRange* ranges = GetDevice(1)->GetClockRanges(0);
  const int expectCount[9] = {1, 1, 2, 2, 3, 3, 3, 3, 3};
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(ranges[i].bootRateCount, expectCount[i]);
    for (int r = 0; r < ranges[i].bootRateCount; ++r) {
      EXPECT_EQ(ranges[i].bootRates[r], 2400u << r);
    }
  }
  EXPECT_EQ(LoadString(ranges[0].textId), ">= 1 MHz, < 2 MHz");
  EXPECT_EQ(LoadString(ranges[8].textId), ">= 16 MHz");
}

TEST(Catalogue, UserDataRates) {
  ASSERT_EQ(GetUserDataRateCount(), 8);
  const uint32_t expect[] = {2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(GetUserDataRate(i), expect[i]);
}

TEST(Catalogue, FindBlockName) {
  EXPECT_EQ(FindBlockName({}, "LB0"), -1);
  EXPECT_EQ(FindBlockName({"SB1", "LB0", "LB0"}, "LB0"), 1);
  EXPECT_EQ(FindBlockName({"SB1", "LB0"}, "lb0"), -1);
}

TEST(KernelImages, CarryTheirOwnHeaderAndDiffer) {
  std::set<std::vector<unsigned char>> contents;
  for (int i = 0; i < kFpcodeImageCount; ++i) {
    const FpcodeImage& image = kFpcodeImages[i];
    ASSERT_GE(image.size, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data), 4), "QKRN");
    EXPECT_EQ((image.data[8] << 8) | image.data[9], static_cast<int>(image.id));
    EXPECT_EQ(static_cast<std::size_t>((image.data[10] << 8) | image.data[11]), image.size);
    contents.insert(std::vector<unsigned char>(image.data, image.data + image.size));
  }
  EXPECT_EQ(kFpcodeImageCount, 36);
  EXPECT_EQ(contents.size(), 36u);
}

TEST(KernelImages, LoadResourceDataKeepsToTheCapacity) {
  unsigned char buffer[1725];
  std::size_t length = sizeof buffer;
  ASSERT_TRUE(LoadResourceData("FPCODE", 186, buffer, length));
  EXPECT_EQ(length, 1725u);
  length = 1724;
  EXPECT_FALSE(LoadResourceData("FPCODE", 186, buffer, length));
  EXPECT_EQ(length, 1724u);
  length = sizeof buffer;
  EXPECT_FALSE(LoadResourceData("FPCODE", 147, buffer, length));
  EXPECT_FALSE(LoadResourceData("RCDATA", 186, buffer, length));
}
