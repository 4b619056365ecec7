// The check reads any file in bounded memory: neither many records nor one giant line make it
// hold more than a line and a record.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>

#include "app/wizard_state.h"
#include "progfile/program_image.h"
#include "srec_test_util.h"
#include "tests/sanitized.h"

using namespace quill;
using namespace quill::testing;

namespace {

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

constexpr std::size_t kFileBytes = 20u << 20;
constexpr long kAllowedGrowthKiB = 2048;

WizardState TxA10Sheet() {
  WizardState sheet;
  sheet.m_strMCUType = "TX-A10";
  sheet.DeriveCatalogueRefs();
  sheet.m_dwHighest = 0x1FFFF;
  return sheet;
}

TEST(CheckMemory, TwentyMegabytesOfRecords) {
  TempDir dir;
  const std::string path = dir.File("big.s37");
  uint64_t dataBytes = 0;
  {
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> data = Bytes(64, 0x11);
    std::size_t written = 0;
    for (uint32_t address = 0; written < kFileBytes; address = (address + 64) & 0x1FFFF) {
      const std::string line = Srec(3, address, data) + "\r\n";
      out << line;
      written += line.size();
      dataBytes += 64;
    }
  }
  ASSERT_GE(std::filesystem::file_size(path), kFileBytes);
  WizardState sheet = TxA10Sheet();
  RecordingReporter reporter;
  CheckSummary summary;
  const long before = PeakRssKiB();
  ASSERT_TRUE(CheckProgramFile(sheet, path, reporter, &summary));
  // A sanitizer's allocator keeps freed memory in quarantine, so the bound holds without one.
  if (!quill::test::kSanitized) {
    EXPECT_LT(PeakRssKiB() - before, kAllowedGrowthKiB);
  }
  EXPECT_EQ(summary.insideBytes, dataBytes);
  EXPECT_EQ(sheet.m_astrSelectedBlocks.size(), 16u);
}

TEST(CheckMemory, OneGiantLine) {
  TempDir dir;
  const std::string path = dir.File("line.s19");
  {
    std::ofstream out(path, std::ios::binary);
    out << Srec(1, 0x0, Bytes(16));
    const std::string junk(1 << 16, ' ');
    for (std::size_t n = 0; n < kFileBytes; n += junk.size()) out << junk;
    out << "\n" << Srec(2, 0x1F000, Bytes(16)) << "\n";
  }
  WizardState sheet = TxA10Sheet();
  RecordingReporter reporter;
  CheckSummary summary;
  const long before = PeakRssKiB();
  ASSERT_TRUE(CheckProgramFile(sheet, path, reporter, &summary));
  EXPECT_LT(PeakRssKiB() - before, kAllowedGrowthKiB);
  EXPECT_EQ(sheet.m_astrSelectedBlocks, (std::vector<std::string>{"LB0", "SB0"}));
}

}  // namespace
