// Files written by srec_cat (the srecord package) read back to exactly the bytes it was given.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "app/wizard_state.h"
#include "progfile/load_file.h"
#include "progfile/program_image.h"
#include "srec_test_util.h"

using namespace quill;
using namespace quill::testing;

namespace {

struct SrecCatCase {
  const char* name;
  int addressLength;  // 2, 3, 4: S1, S2, S3
  int blockSize;      // data bytes per record
  uint32_t offset;    // where srec_cat places the first byte
  int size;           // bytes of data
};

class SrecCatRoundTrip : public ::testing::TestWithParam<SrecCatCase> {};

TEST_P(SrecCatRoundTrip, ReadsBackTheBytesGiven) {
  const SrecCatCase& c = GetParam();
  TempDir dir;
  std::mt19937 random(static_cast<unsigned>(c.blockSize * 7919 + c.addressLength));
  std::vector<uint8_t> input(static_cast<std::size_t>(c.size));
  for (uint8_t& b : input) b = static_cast<uint8_t>(random());
  WriteBytes(dir.File("in.bin"), input);
  char offset[16];
  std::snprintf(offset, sizeof offset, "0x%X", c.offset);
  const std::string out = dir.File("out.s19");
  RunSrecCat(dir.File("in.bin") + " -binary -offset " + offset + " -o " + out +
             " -Motorola -address-length=" + std::to_string(c.addressLength) +
             " -Output_Block_Size " + std::to_string(c.blockSize));

  CLoadFile file(out);
  std::map<uint32_t, uint8_t> image;
  uint8_t data[kMaxRecordData];
  uint32_t address = 0;
  int records = 0;
  for (int n; (n = file.ReadRecord(address, data, kMaxRecordData)) >= 0; ++records) {
    ASSERT_LE(n, c.blockSize);
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(image.emplace(address + static_cast<uint32_t>(i), data[i]).second);
    }
  }
  EXPECT_EQ(file.m_nChecksumErrors, 0);
  EXPECT_EQ(file.GetPosition(), file.GetLength());
  EXPECT_GE(records, c.size / c.blockSize);
  ASSERT_EQ(image.size(), input.size());
  uint32_t expectAddress = c.offset;
  for (const auto& [at, value] : image) {
    ASSERT_EQ(at, expectAddress);
    ASSERT_EQ(value, input[at - c.offset]) << "at " << at;
    ++expectAddress;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, SrecCatRoundTrip,
    ::testing::Values(SrecCatCase{"S1_16", 2, 16, 0x0000, 1000},
                      SrecCatCase{"S1_32_offset", 2, 32, 0x1234, 3000},
                      SrecCatCase{"S1_252_largest", 2, 252, 0x0100, 5000},
                      SrecCatCase{"S2_64", 3, 64, 0x1F000, 4096},
                      SrecCatCase{"S2_200", 3, 200, 0xABCDE, 7001},
                      SrecCatCase{"S3_16_high", 4, 16, 0xFFFF0000, 4000},
                      SrecCatCase{"S3_250", 4, 250, 0x12345678, 9999}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SrecCatCheck, WholeFileInsideTheFlashCountsEveryByte) {
  TempDir dir;
  std::vector<uint8_t> input(0x1F000);  // TX-A10 up to the end of LB7
  std::mt19937 random(5);
  for (uint8_t& b : input) b = static_cast<uint8_t>(random());
  WriteBytes(dir.File("in.bin"), input);
  const std::string out = dir.File("out.s28");
  RunSrecCat(dir.File("in.bin") + " -binary -o " + out +
             " -Motorola -address-length=3 -Output_Block_Size 200");

  WizardState sheet;
  sheet.m_strMCUType = "TX-A10";
  sheet.DeriveCatalogueRefs();
  sheet.m_dwHighest = 0x1FFFF;
  RecordingReporter reporter;
  CheckSummary summary;
  ASSERT_TRUE(CheckProgramFile(sheet, out, reporter, &summary));
  EXPECT_EQ(summary.insideBytes, input.size());
  EXPECT_EQ(summary.outsideBytes, 0u);
  EXPECT_EQ(sheet.m_astrSelectedBlocks,
            (std::vector<std::string>{"LB0", "LB1", "LB2", "LB3", "LB4", "LB5", "LB6", "LB7"}));
  EXPECT_EQ(reporter.events, (std::vector<std::string>{"wait on", "wait off"}));
}

}  // namespace
