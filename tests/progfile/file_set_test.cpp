// Several program files as one image: read in order, checked together (blocks, counts, overlap),
// and a raw binary file whose length changed after the check.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "progfile/file_set.h"
#include "progfile/program_image.h"
#include "progfile/user_exception.h"
#include "resources/format.h"
#include "resources/strings.h"
#include "srec_test_util.h"

using namespace quill;
using namespace quill::testing;

namespace {

TEST(AddressRuns, MergeAndFindTheFirstSharedAddress) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> a, b;
    std::optional<uint32_t> shared;
    std::size_t runsOfA;
  };
  const Case cases[] = {
      {"disjoint", {{0, 9}}, {{10, 19}}, std::nullopt, 1},
      {"adjacent runs merge", {{0, 9}, {10, 19}, {30, 39}}, {{20, 29}}, std::nullopt, 2},
      {"a run added inside another", {{0, 99}, {10, 19}}, {{100, 100}}, std::nullopt, 1},
      {"a run bridging two", {{0, 9}, {20, 29}, {5, 25}}, {{26, 26}}, 26u, 1},
      {"overlap at the end of one", {{0x100, 0x1FF}}, {{0x1FF, 0x2FF}}, 0x1FFu, 1},
      {"the lowest of several", {{0x500, 0x5FF}, {0x100, 0x10F}}, {{0x50F, 0x510}, {0x108, 0x108}},
       0x108u, 2},
      {"up to the top", {{0xFFFFFFF0, 0xFFFFFFFF}}, {{0xFFFFFFFF, 0xFFFFFFFF}}, 0xFFFFFFFFu, 1},
      {"added out of order", {{30, 39}, {0, 9}, {10, 29}}, {{40, 49}}, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AddressRuns a, b;
    for (const auto& [first, last] : c.a) a.Add(first, last);
    for (const auto& [first, last] : c.b) b.Add(first, last);
    EXPECT_EQ(AddressRuns::FirstShared(a, b), c.shared);
    EXPECT_EQ(AddressRuns::FirstShared(b, a), c.shared);
    EXPECT_EQ(a.RunCount(), c.runsOfA);
  }
}

class FileSetCheck : public ::testing::Test {
 protected:
  FileSetCheck() {
    sheet.m_strMCUType = "TX-C30";
    sheet.DeriveCatalogueRefs();
    sheet.m_dwLowest = 0;
    sheet.m_dwHighest = sheet.Mode().flashHighest;
  }
  std::string Text(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    WriteText(dir.File(name), text);
    return dir.File(name);
  }
  std::string Binary(const std::string& name, int size) {
    WriteBytes(dir.File(name), Bytes(size, 0x40));
    return dir.File(name);
  }
  bool Check(const std::vector<ProgramFile>& files) {
    return CheckProgramFiles(sheet, files, reporter, &summary);
  }

  TempDir dir;
  WizardState sheet;
  RecordingReporter reporter;
  CheckSummary summary;
};

TEST_F(FileSetCheck, BlocksAreTheUnionAndCountsTheSums) {
  const std::string boot = Text("boot.mot", {Srec(1, 0x0000, Bytes(16))});
  const std::string app = Text("app.hex", {sim::MakeIntelHexLine(0, 0x1000, Bytes(32))});
  const std::string cal = Binary("cal.bin", 0x20);
  sheet.m_dwHighest = 0x100F;  // the application's last 16 bytes lie outside
  ASSERT_TRUE(Check({{boot}, {app}, {cal, FileFormat::Binary, 0x0E00}})) << reporter.texts.back();
  EXPECT_EQ(sheet.m_astrSelectedBlocks, (std::vector<std::string>{"SB0", "LB0", "SB7"}));
  EXPECT_EQ(summary.insideBytes, 16u + 16u + 0x20u);
  EXPECT_EQ(summary.outsideBytes, 16u);
  // The set as the programming pass reads it: formats recognised, lengths as checked.
  ASSERT_EQ(sheet.m_aProgramFiles.size(), 3u);
  EXPECT_EQ(sheet.m_aProgramFiles[0].format, FileFormat::SRecord);
  EXPECT_EQ(sheet.m_aProgramFiles[1].format, FileFormat::IntelHex);
  EXPECT_EQ(sheet.m_aProgramFiles[2].format, FileFormat::Binary);
  EXPECT_EQ(sheet.m_aProgramFiles[2].base, 0x0E00u);
  EXPECT_EQ(sheet.m_aProgramFiles[2].checkedLength, 0x20);
}

TEST_F(FileSetCheck, OverlapNamesBothFilesAndTheFirstSharedAddress) {
  struct Case {
    const char* name;
    uint32_t calBase;
    uint32_t highest;
    bool ok;
    uint32_t address;
    int first;  // the file the calibration data overlaps
  };
  // boot.mot: 0x000-0x00F and 0x200-0x20F; app.hex: 0x100-0x1FF.
  const Case cases[] = {
      {"touching the application's end", 0x1F0, 0x7FFF, false, 0x1F0, 1},
      {"across the boot loader's second run", 0x208, 0x7FFF, false, 0x208, 0},
      {"in the gap between them", 0x210, 0x7FFF, true, 0, 0},
      {"only outside the window", 0x1F0, 0x1EF, true, 0, 0},
  };
  const std::string boot = Text("boot.mot", {Srec(1, 0x000, Bytes(16)), Srec(1, 0x200, Bytes(16))});
  std::vector<std::string> hex;
  for (uint16_t a = 0x100; a < 0x200; a += 0x40) hex.push_back(sim::MakeIntelHexLine(0, a, Bytes(0x40)));
  const std::string app = Text("app.hex", hex);
  const std::string cal = Binary("cal.bin", 0x10);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sheet.m_dwHighest = c.highest;
    reporter.events.clear();
    reporter.texts.clear();
    EXPECT_EQ(Check({{boot}, {app}, {cal, FileFormat::Binary, c.calBase}}), c.ok);
    if (c.ok) continue;
    EXPECT_EQ(summary.outcome, CheckSummary::Overlap);
    EXPECT_EQ(summary.address, c.address);
    EXPECT_EQ(summary.file, c.first);
    EXPECT_EQ(summary.otherFile, 2);
    EXPECT_EQ(reporter.events.back(), "message " + std::to_string(StrId::FilesOverlap));
    EXPECT_EQ(reporter.texts.back(),
              FormatString(StrId::FilesOverlap, {c.first == 0 ? boot : app, cal, c.address}));
    EXPECT_TRUE(sheet.m_aProgramFiles.empty());
  }
}

TEST_F(FileSetCheck, TheSameFileTwiceOverlapsItself) {
  const std::string app = Text("app.mot", {Srec(2, 0x4000, Bytes(8))});
  EXPECT_FALSE(Check({{app}, {app}}));
  EXPECT_EQ(summary.outcome, CheckSummary::Overlap);
  EXPECT_EQ(summary.address, 0x4000u);
}

TEST_F(FileSetCheck, AFileThatFailsIsTheOneNamed) {
  const std::string good = Text("good.mot", {Srec(1, 0, Bytes(4))});
  const std::string bad = Text("bad.hex", {":0000000600FA"});
  EXPECT_FALSE(Check({{good}, {bad}}));
  EXPECT_EQ(summary.outcome, CheckSummary::FormatError);
  EXPECT_EQ(summary.file, 1);
  EXPECT_EQ(reporter.texts.back(), FormatString(StrId::IntelHexFormatError, {bad, 1}));

  EXPECT_FALSE(Check({{good}, {dir.File("missing.mot")}}));
  EXPECT_EQ(summary.outcome, CheckSummary::FileError);
  EXPECT_NE(reporter.texts.back().find(dir.File("missing.mot")), std::string::npos);

  const std::string outside = Text("outside.mot", {Srec(1, 0x8000, Bytes(4))});
  sheet.m_dwOffset = 0;
  EXPECT_TRUE(Check({{good}, {outside}})) << "outside the window is skipped, not refused";
}

// Any content is valid raw binary: the programming pass knows a changed binary file by its length.
TEST(FileSetRead, BinaryOfAnotherLengthThanCheckedIsRefused) {
  TempDir dir;
  const std::string path = dir.File("cal.bin");
  for (const int now : {0x30, 0x50}) {
    SCOPED_TRACE(now);
    WriteBytes(path, Bytes(now));
    CProgramFileSet set;
    set.Open({{path, FileFormat::Binary, 0x100, 0x40}});
    uint8_t data[kMaxRecordData];
    ProgramRecord record;
    try {
      set.ReadRecord(record, data, kMaxRecordData);
      FAIL() << "read a changed file";
    } catch (const CUserException& e) {
      EXPECT_EQ(e.GetReason(), CUserException::Changed);
    }
  }
  WriteBytes(path, Bytes(0x40));
  CProgramFileSet set;
  set.Open({{path, FileFormat::Binary, 0x100, 0x40}});
  uint8_t data[kMaxRecordData];
  ProgramRecord record;
  EXPECT_EQ(set.ReadRecord(record, data, kMaxRecordData), 0x40);
  EXPECT_EQ(set.ReadRecord(record, data, kMaxRecordData), -1);
}

TEST(FileSetRead, FilesComeInOrderWithTheirIndexAndOnePosition) {
  TempDir dir;
  WriteText(dir.File("a.hex"), sim::MakeIntelHexLine(0, 0x10, {1, 2}) + "\n");
  WriteBytes(dir.File("b.bin"), {3, 4, 5});
  WriteText(dir.File("c.mot"), Srec(1, 0x30, {6}) + "\n");
  CProgramFileSet set;
  set.Open({{dir.File("a.hex")}, {dir.File("b.bin"), FileFormat::Binary, 0x20}, {dir.File("c.mot")}});
  const uint64_t total = set.GetLength();
  EXPECT_EQ(total, 16u + 3u + 13u);
  uint8_t data[kMaxRecordData];
  ProgramRecord record;
  std::vector<std::pair<int, uint32_t>> seen;
  std::vector<uint64_t> positions;
  for (int n; (n = set.ReadRecord(record, data, kMaxRecordData)) >= 0;) {
    seen.push_back({record.file, record.address});
    positions.push_back(set.GetPosition());
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int, uint32_t>>{{0, 0x10}, {1, 0x20}, {2, 0x30}}));
  EXPECT_EQ(positions, (std::vector<uint64_t>{16, 19, 32}));
  EXPECT_EQ(set.GetPosition(), total);
}

}  // namespace
