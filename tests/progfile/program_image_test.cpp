#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "progfile/program_image.h"
#include "resources/format.h"
#include "resources/strings.h"
#include "srec_test_util.h"

using namespace quill;
using namespace quill::testing;

namespace {

struct ClipCase {
  const char* name;
  uint32_t address;
  int count;
  uint32_t offset, lowest, highest;
  uint32_t inside, first, index;
};

class ClipRecordRule : public ::testing::TestWithParam<ClipCase> {};

TEST_P(ClipRecordRule, InsidePartAndOutsideCount) {
  const ClipCase& c = GetParam();
  const ClippedRecord clip = ClipRecord(c.address, c.count, c.offset, c.lowest, c.highest);
  EXPECT_EQ(clip.insideCount, c.inside);
  EXPECT_EQ(clip.outsideCount, static_cast<uint32_t>(c.count) - c.inside);
  if (c.inside > 0) {
    EXPECT_EQ(clip.first, c.first);
    EXPECT_EQ(clip.last, c.first + c.inside - 1);
    EXPECT_EQ(clip.dataIndex, static_cast<int>(c.index));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Window, ClipRecordRule,
    ::testing::Values(
        ClipCase{"AllInside", 0x1000, 16, 0, 0, 0x7FFF, 16, 0x1000, 0},
        ClipCase{"OffsetAddedFirst", 0x0000, 16, 0x1000, 0x1000, 0x1FFF, 16, 0x1000, 0},
        ClipCase{"OffsetWrapsToZero", 0x1000, 16, 0xFFFFF000, 0, 0x7FFF, 16, 0x0000, 0},
        ClipCase{"StraddlesLowest", 0xF8, 16, 0, 0x100, 0x1FF, 8, 0x100, 8},
        ClipCase{"StraddlesHighest", 0x1F8, 16, 0, 0x100, 0x1FF, 8, 0x1F8, 0},
        ClipCase{"StraddlesBoth", 0xF0, 64, 0, 0x100, 0x10F, 16, 0x100, 16},
        ClipCase{"EndsJustBelow", 0xF0, 16, 0, 0x100, 0x1FF, 0, 0, 0},
        ClipCase{"StartsJustAbove", 0x200, 16, 0, 0x100, 0x1FF, 0, 0, 0},
        ClipCase{"LastByteOnLowest", 0xF1, 16, 0, 0x100, 0x1FF, 1, 0x100, 15},
        // A record that runs past 0xFFFFFFFF keeps those bytes outside; it does not come round
        // into a window at the bottom of the address space.
        ClipCase{"PastTopStaysOutside", 0xFFFFFFF8, 16, 0, 0xFFFFFF00, 0xFFFFFFFF, 8, 0xFFFFFFF8, 0},
        ClipCase{"PastTopDoesNotWrapIntoLowWindow", 0xFFF8, 16, 0xFFFF0000, 0, 0x7FFF, 0, 0, 0},
        ClipCase{"InvertedWindowHoldsNothing", 0x0, 0x300, 0, 0x200, 0x100, 0, 0, 0},
        ClipCase{"NoData", 0x100, 0, 0, 0, 0xFFFFFFFF, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

const DeviceType& Device(const char* name) { return *FindDeviceByName(name); }

TEST(CollectTouchedBlocks, RangeAcrossABoundaryAddsBothInMapOrder) {
  std::vector<std::string> list;
  EXPECT_TRUE(CollectTouchedBlocks(0x0FF0, 0x100F, Device("TX-C30"), 0, list));
  EXPECT_EQ(list, (std::vector<std::string>{"SB7", "LB0"}));
  EXPECT_TRUE(CollectTouchedBlocks(0x1800, 0x1801, Device("TX-C30"), 0, list));
  EXPECT_EQ(list.size(), 2u) << "a block already listed is not added again";
  EXPECT_TRUE(CollectTouchedBlocks(0x0000, 0x0000, Device("TX-C30"), 0, list));
  EXPECT_EQ(list.back(), "SB0") << "new names go to the end";
}

TEST(CollectTouchedBlocks, RangeBeyondTheMapFailsAndKeepsWhatItAdded) {
  std::vector<std::string> list;
  EXPECT_FALSE(CollectTouchedBlocks(0x7FF0, 0x8010, Device("TX-C30"), 0, list));
  EXPECT_EQ(list, (std::vector<std::string>{"LB3"}));
  list.clear();
  EXPECT_FALSE(CollectTouchedBlocks(0x9000, 0x9001, Device("TX-C30"), 0, list));
  EXPECT_TRUE(list.empty());
  // Only "Mode 3" of TX-C31 reaches LB7.
  EXPECT_FALSE(CollectTouchedBlocks(0xEF80, 0xEF80, Device("TX-C31"), 0, list));
  EXPECT_TRUE(CollectTouchedBlocks(0xEF80, 0xF77F, Device("TX-C31"), 1, list));
  EXPECT_EQ(list, (std::vector<std::string>{"LB7"}));
}

class ProgramFileCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    sheet_.m_strMCUType = "TX-C30";
    sheet_.DeriveCatalogueRefs();
    sheet_.m_dwLowest = 0;
    sheet_.m_dwHighest = 0x7FFF;
    sheet_.m_astrSelectedBlocks = {"stale"};
  }
  bool Check(const std::string& text, RecordingReporter& reporter) {
    path_ = dir_.File("p.s19");
    WriteText(path_, text);
    return CheckProgramFile(sheet_, path_, reporter, &summary_);
  }
  std::vector<std::string> Blocks() const { return sheet_.m_astrSelectedBlocks; }

  TempDir dir_;
  std::string path_;
  WizardState sheet_;
  CheckSummary summary_;
};

TEST_F(ProgramFileCheck, WindowClipsRecordsAndBlocksComeInOrderOfFirstTouch) {
  sheet_.m_dwLowest = 0x100;
  sheet_.m_dwHighest = 0x1FF;
  RecordingReporter reporter;
  ASSERT_TRUE(Check("S0030000FC\n" + Srec(1, 0x1F8, Bytes(16)) + "\n" + Srec(1, 0xF8, Bytes(16)) +
                        "\n" + Srec(1, 0x1F0, Bytes(4)) + "\nS9030000FC\n",
                    reporter));
  EXPECT_EQ(Blocks(), (std::vector<std::string>{"SB3", "SB2"}));
  EXPECT_EQ(summary_.insideBytes, 20u);
  EXPECT_EQ(summary_.outsideBytes, 16u);
  EXPECT_EQ(reporter.events, (std::vector<std::string>{"wait on", "wait off"}));
}

TEST_F(ProgramFileCheck, OnlyTheUpperStraddlingRecordDoesNotAsk) {
  sheet_.m_dwLowest = 0x100;
  sheet_.m_dwHighest = 0x1FF;
  RecordingReporter reporter;
  ASSERT_TRUE(Check(Srec(1, 0x1F8, Bytes(16)) + "\n", reporter));
  EXPECT_EQ(Blocks(), (std::vector<std::string>{"SB3"}));
  EXPECT_EQ(summary_.outcome, CheckSummary::Passed);
}

TEST_F(ProgramFileCheck, NothingInsideAsksAndTheAnswerDecides) {
  for (const bool answer : {true, false}) {
    RecordingReporter reporter(answer);
    EXPECT_EQ(Check("S0030000FC\nS9030000FC\n", reporter), answer);
    EXPECT_EQ(reporter.events,
              (std::vector<std::string>{"wait on", "wait off", "question 140"}));
    EXPECT_EQ(reporter.texts.back(), LoadString(140));
    EXPECT_TRUE(Blocks().empty());
  }
  // Data only outside the window, and records without data, program nothing either.
  sheet_.m_dwHighest = 0xFF;
  RecordingReporter reporter;
  EXPECT_TRUE(Check(Srec(1, 0x100, Bytes(16)) + "\nS1030000FC\n", reporter));
  EXPECT_EQ(reporter.events.back(), "question 140");
  EXPECT_EQ(summary_.outcome, CheckSummary::PassedEmpty);
  EXPECT_EQ(summary_.outsideBytes, 16u);
}

TEST_F(ProgramFileCheck, OffsetMovesDataAndWrapsAtTheTop) {
  sheet_.m_dwOffset = 0xFFFFF000;  // -1000
  RecordingReporter reporter;
  ASSERT_TRUE(Check(Srec(1, 0x1000, Bytes(16)) + "\n" + Srec(1, 0x2000, Bytes(16)) + "\n", reporter));
  EXPECT_EQ(Blocks(), (std::vector<std::string>{"SB0", "LB0"}));
}

TEST_F(ProgramFileCheck, DataInsideTheWindowButOutsideTheFlashIsRefused) {
  sheet_.m_dwHighest = 0xFFFFFFFF;  // as after a first start
  RecordingReporter reporter;
  EXPECT_FALSE(Check(Srec(1, 0x7FF0, Bytes(32)) + "\n" + Srec(1, 0x0000, Bytes(4)) + "\n", reporter));
  EXPECT_EQ(reporter.events, (std::vector<std::string>{"wait on", "wait off", "message 137"}));
  EXPECT_EQ(reporter.texts.back(), FormatString(137, {path_}));
  EXPECT_EQ(summary_.outcome, CheckSummary::OutsideFlash);
  EXPECT_EQ(Blocks(), (std::vector<std::string>{"LB3"})) << "the check stops at once";
}

TEST_F(ProgramFileCheck, FormatErrorShowsMessage136AndStops) {
  RecordingReporter reporter;
  EXPECT_FALSE(Check(Srec(1, 0x0, Bytes(4)) + "\n\n" + Srec(1, 0x9000, Bytes(4)) + "\n", reporter));
  EXPECT_EQ(reporter.events.back(), "message 136");
  EXPECT_EQ(reporter.texts.back(), FormatString(136, {path_}));
  EXPECT_EQ(summary_.line, 2);
}

TEST_F(ProgramFileCheck, ChecksumMismatchFailsWithItsLine) {
  RecordingReporter reporter;
  EXPECT_FALSE(Check("S0030000FC\n" + Srec(1, 0x0, Bytes(16)) + "\n" + Srec(1, 0x10, Bytes(16), 3) +
                         "\n" + Srec(1, 0x20, Bytes(16), 1) + "\n",
                     reporter));
  EXPECT_EQ(reporter.events.back(), "message 400");
  EXPECT_EQ(reporter.texts.back(),
            "The file '" + path_ + "' has a checksum error in line 3. The file may be damaged; "
            "nothing has been programmed from it. Please regenerate the file and try again, or "
            "choose another file.");
  EXPECT_EQ(summary_.outcome, CheckSummary::ChecksumMismatch);
}

TEST_F(ProgramFileCheck, ChecksumMismatchInARecordWithoutDataAlsoFails) {
  // "S113..." with its count byte damaged to 03: the 16 data bytes would vanish unnoticed.
  std::string damaged = Srec(1, 0x0, Bytes(16));
  damaged[2] = '0';
  RecordingReporter reporter;
  EXPECT_FALSE(Check(damaged + "\n", reporter));
  EXPECT_EQ(reporter.events.back(), "message 400");
}

TEST_F(ProgramFileCheck, LongRecordsAreAccepted) {
  RecordingReporter reporter;
  ASSERT_TRUE(Check(Srec(1, 0x0, Bytes(200)) + "\n" + Srec(3, 0x7F80, Bytes(250)) + "\n", reporter));
  EXPECT_EQ(summary_.insideBytes, 200u + 0x80u);
  EXPECT_EQ(summary_.outsideBytes, 250u - 0x80u);
  EXPECT_EQ(Blocks(), (std::vector<std::string>{"SB0", "SB1", "LB3"}));
}

TEST_F(ProgramFileCheck, MissingFileIsAFileError) {
  RecordingReporter reporter;
  const std::string missing = dir_.File("nope.s19");
  EXPECT_FALSE(CheckProgramFile(sheet_, missing, reporter, &summary_));
  EXPECT_EQ(reporter.events, (std::vector<std::string>{"wait on", "wait off", "file error"}));
  EXPECT_EQ(reporter.texts.back(),
            "The file '" + missing + "' could not be opened: No such file or directory.");
  EXPECT_EQ(summary_.outcome, CheckSummary::FileError);
  EXPECT_TRUE(Blocks().empty());
}

}  // namespace
