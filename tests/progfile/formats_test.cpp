// Intel HEX and raw binary beside S-records: recognising the format, reading each record kind,
// refusing damaged ones, and files made by srec_cat reading back equal to the S-record path.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <random>

#include "app/wizard_state.h"
#include "progfile/file_set.h"
#include "progfile/load_file.h"
#include "progfile/program_image.h"
#include "progfile/record_reader.h"
#include "progfile/user_exception.h"
#include "resources/strings.h"
#include "srec_test_util.h"

using namespace quill;
using namespace quill::testing;

namespace {

using Image = std::map<uint32_t, uint8_t>;

std::string Hex(int type, uint16_t offset, const std::vector<uint8_t>& data, int delta = 0) {
  return sim::MakeIntelHexLine(type, offset, data, delta);
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Every record of the set as (address, bytes), in the order read.
struct Read {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
  int pastTop = 0;  // bytes beyond 0xFFFFFFFF
};

Read ReadSet(const std::vector<ProgramFile>& files, int capacity = kMaxRecordData) {
  CProgramFileSet set;
  set.Open(files);
  Read read;
  uint8_t data[kMaxRecordData];
  ProgramRecord record;
  for (int n; (n = set.ReadRecord(record, data, capacity)) >= 0;) {
    EXPECT_LE(n, capacity);
    if (record.pastTop) {
      read.pastTop += n;
    } else {
      read.records.push_back({record.address, std::vector<uint8_t>(data, data + n)});
    }
  }
  EXPECT_EQ(set.GetPosition(), set.GetLength());
  return read;
}

Image ImageOf(const std::vector<ProgramFile>& files) {
  Image image;
  for (const auto& [address, bytes] : ReadSet(files).records) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      image[static_cast<uint32_t>(address + i)] = bytes[i];
    }
  }
  return image;
}

TEST(FileFormat, IsRecognisedFromTheFirstNonBlankLine) {
  struct Case {
    const char* name;
    std::string content;
    FileFormat expect;
  };
  const Case cases[] = {
      {"S-record", "S9030000FC\n", FileFormat::SRecord},
      {"Intel HEX", ":00000001FF\n", FileFormat::IntelHex},
      {"Intel HEX after blank lines", "\n  \r\n\t\n:00000001FF\n", FileFormat::IntelHex},
      {"S-record after a blank line, CR LF", "\r\nS9030000FC\r\n", FileFormat::SRecord},
      {"a line that starts with blanks", "  S9030000FC\n", FileFormat::Unknown},
      {"lower-case s", "s9030000fc\n", FileFormat::Unknown},
      {"text", "hello\n", FileFormat::Unknown},
      {"binary", std::string("\x7F" "ELF\x02\x01", 6), FileFormat::Unknown},
      {"empty", "", FileFormat::SRecord},
      {"only blank lines", "\n\n \n", FileFormat::SRecord},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(dir.File("f"), c.content);
    CLoadFile file(dir.File("f"));
    EXPECT_EQ(file.GetFormat(), c.expect);
    EXPECT_EQ(file.GetPosition(), 0u) << "detection reads the file again from its start";
    // The name never matters: an explicit format is taken as given.
    CLoadFile binary(dir.File("f"), FileFormat::Binary);
    EXPECT_EQ(binary.GetFormat(), FileFormat::Binary);
  }
}

// A program file in memory, for the readers of the format table alone.
class MemoryInput final : public RecordInput {
 public:
  explicit MemoryInput(std::string text) : text_(std::move(text)) {}
  bool NextLine(std::string& line) override {
    if (at_ >= text_.size()) return false;
    const std::size_t end = std::min(text_.find('\n', at_), text_.size());
    line = text_.substr(at_, end - at_);
    at_ = end + 1;
    ++lines_;
    return true;
  }
  int LineNumber() const override { return lines_; }
  std::size_t ReadBytes(uint8_t* data, std::size_t want) override {
    const std::size_t n = std::min(want, text_.size() - at_);
    std::memcpy(data, text_.data() + at_, n);
    at_ += n;
    return n;
  }
  uint64_t Position() const override { return at_; }
  void ChecksumMismatch(int lineNo) override { mismatches.push_back(lineNo); }
  std::vector<int> mismatches;

 private:
  std::string text_;
  std::size_t at_ = 0;
  int lines_ = 0;
};

TEST(FormatTable, EveryRowReadsTheSameDataThroughTheReaderInterface) {
  const std::vector<uint8_t> first = {0x00, 0xFF, 0x0D, 0x0A, 0x53, 0x3A};
  const std::vector<uint8_t> second = {0x11, 0x22};
  const std::map<FileFormat, std::string> content = {
      // The second record's checksum is off by one: counted, and read as usual.
      {FileFormat::SRecord, Lines({Srec(1, 0x2000, first), Srec(1, 0x2006, second, 1),
                                   "S9030000FC"})},
      {FileFormat::IntelHex,
       Lines({Hex(0, 0x2000, first), Hex(0, 0x2006, second, 1), Hex(1, 0, {})})},
      {FileFormat::Binary, std::string(first.begin(), first.end()) + "\x11\x22"},
  };
  std::set<char> detected;
  for (const FormatEntry& entry : FormatTable()) {
    SCOPED_TRACE(static_cast<int>(entry.format));
    EXPECT_EQ(FindFormat(entry.format), &entry);
    if (entry.firstCharacter != '\0') {
      EXPECT_TRUE(detected.insert(entry.firstCharacter).second) << "two formats, one character";
    }
    ASSERT_EQ(content.count(entry.format), 1u) << "a format without a row in this test";
    MemoryInput input(content.at(entry.format));
    const auto reader = entry.make(0x2000);  // the base places raw binary alone
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    uint8_t data[kMaxRecordData];
    uint32_t address = 0;
    for (int n; (n = reader->Next(input, address, data, 6)) >= 0 && records.size() < 3;) {
      records.push_back({address, std::vector<uint8_t>(data, data + n)});
      EXPECT_FALSE(reader->PastTop());
    }
    EXPECT_EQ(records, (decltype(records){{0x2000, first}, {0x2006, second}}));
    EXPECT_EQ(input.mismatches, entry.firstCharacter ? std::vector<int>{2} : std::vector<int>{});
  }
  EXPECT_EQ(FindFormat(FileFormat::Detect), nullptr);
  EXPECT_EQ(FindFormat(FileFormat::Unknown), nullptr);
}

TEST(IntelHex, RecordKindsGiveTheirAddresses) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expect;
  };
  const Case cases[] = {
      {"data at its offset", {Hex(0, 0x1234, {1, 2, 3}), Hex(1, 0, {})}, {{0x1234, {1, 2, 3}}}},
      {"extended linear address sets the upper half",
       {Hex(4, 0, {0x12, 0x34}), Hex(0, 0x5678, {9}), Hex(4, 0, {0, 1}), Hex(0, 0x10, {8})},
       {{0x12345678, {9}}, {0x10010, {8}}}},
      {"extended segment address is the paragraph",
       {Hex(2, 0, {0x10, 0x00}), Hex(0, 0x0004, {7})}, {{0x10004, {7}}}},
      {"a segment's offsets wrap within its 64 KB",
       {Hex(2, 0, {0x10, 0x00}), Hex(0, 0xFFFE, {1, 2, 3, 4})},
       {{0x1FFFE, {1, 2}}, {0x10000, {3, 4}}}},
      {"a linear record runs on past 64 KB",
       {Hex(4, 0, {0, 2}), Hex(0, 0xFFFE, {1, 2, 3, 4})}, {{0x2FFFE, {1, 2, 3, 4}}}},
      {"start address records are ignored",
       {Hex(3, 0, {0, 0, 1, 0}), Hex(5, 0, {0, 0, 1, 0}), Hex(0, 0, {5})}, {{0, {5}}}},
      {"lines after the end-of-file record are read",
       {Hex(0, 0, {1}), Hex(1, 0, {}), Hex(0, 0x10, {2})}, {{0, {1}}, {0x10, {2}}}},
      {"a record without data", {Hex(0, 0x20, {})}, {{0x20, {}}}},
      {"lower-case digits and CR LF", {":01002000419e\r"}, {{0x20, {0x41}}}},
      {"text after the checksum is ignored", {Hex(0, 0, {6}) + " ; note"}, {{0, {6}}}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(dir.File("f.hex"), Lines(c.lines));
    const Read read = ReadSet({{dir.File("f.hex")}});
    EXPECT_EQ(read.records, c.expect);
  }
}

// Damaged files of each kind are refused with the message of their format, naming the line.
TEST(DamagedFiles, AreRefusedWithTheirMessage) {
  struct Case {
    const char* name;
    std::string content;
    CheckSummary::Outcome outcome;
    uint32_t message;
    int line;
  };
  const std::string data = Hex(0, 0, {1, 2});
  const Case cases[] = {
      {"HEX unknown record type", Lines({data, ":0000000600FA"}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 2},
      {"HEX checksum", Lines({data, Hex(0, 2, {3}, 1)}), CheckSummary::ChecksumMismatch,
       StrId::ChecksumError, 2},
      {"HEX checksum of an address record", Lines({Hex(4, 0, {0, 1}, -1), data}),
       CheckSummary::ChecksumMismatch, StrId::ChecksumError, 1},
      {"HEX line cut short", Lines({data, data.substr(0, 12)}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 2},
      {"HEX count longer than the line", Lines({":05000000010203F5"}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 1},
      {"HEX not a digit", Lines({data, ":01000000G1FE"}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 2},
      {"HEX blank line", Lines({data, "", data}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 2},
      {"HEX S-record line", Lines({data, Srec(1, 0, {1})}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 2},
      {"HEX linear address record of three bytes", Lines({Hex(4, 0, {0, 1, 2}), data}),
       CheckSummary::FormatError, StrId::IntelHexFormatError, 1},
      {"HEX end-of-file record with data", Lines({Hex(1, 0, {1})}), CheckSummary::FormatError,
       StrId::IntelHexFormatError, 1},
      {"S-record with a HEX line", Lines({Srec(1, 0, {1}), data}), CheckSummary::FormatError, 136,
       2},
      {"S-record checksum", Lines({Srec(3, 0, {1}, 2)}), CheckSummary::ChecksumMismatch,
       StrId::ChecksumError, 1},
      {"neither format", "\x01\x02\x03\x04", CheckSummary::UnknownFormat, StrId::UnknownFileFormat,
       0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(dir.File("f"), c.content);
    WizardState sheet;
    sheet.m_strMCUType = "TX-C30";
    sheet.DeriveCatalogueRefs();
    sheet.m_dwLowest = 0;
    sheet.m_dwHighest = sheet.Mode().flashHighest;
    RecordingReporter reporter;
    CheckSummary summary;
    EXPECT_FALSE(CheckProgramFile(sheet, dir.File("f"), reporter, &summary));
    EXPECT_EQ(summary.outcome, c.outcome);
    if (c.line > 0) {
      EXPECT_EQ(summary.line, c.line);
    }
    ASSERT_EQ(reporter.events.back(), "message " + std::to_string(c.message));
    EXPECT_NE(reporter.texts.back().find(dir.File("f")), std::string::npos);
    if (c.message == StrId::IntelHexFormatError) {
      EXPECT_NE(reporter.texts.back().find("(line " + std::to_string(c.line) + ")"),
                std::string::npos)
          << reporter.texts.back();
    }
    EXPECT_TRUE(sheet.m_aProgramFiles.empty()) << "a refused file is never programmed";
  }
}

TEST(RawBinary, IsPlacedAtItsBaseInPiecesOfAtMostTheBuffer) {
  TempDir dir;
  const std::vector<uint8_t> bytes = Bytes(300, 1);
  WriteBytes(dir.File("b.bin"), bytes);
  const Read read = ReadSet({{dir.File("b.bin"), FileFormat::Binary, 0x4000}}, 64);
  ASSERT_EQ(read.records.size(), 5u);
  uint32_t expect = 0x4000;
  std::vector<uint8_t> all;
  for (const auto& [address, data] : read.records) {
    EXPECT_EQ(address, expect);
    expect += static_cast<uint32_t>(data.size());
    all.insert(all.end(), data.begin(), data.end());
  }
  EXPECT_EQ(all, bytes);
}

// Bytes that would pass 0xFFFFFFFF never come round into a low window, in any format.
TEST(TopOfTheAddressSpace, IsNeverPassed) {
  TempDir dir;
  WriteBytes(dir.File("b.bin"), Bytes(0x30));
  WriteText(dir.File("l.hex"), Lines({Hex(4, 0, {0xFF, 0xFF}), Hex(0, 0xFFF0, Bytes(0x30))}));
  WriteText(dir.File("s.mot"), Lines({Srec(3, 0xFFFFFFF0, Bytes(0x30))}));

  const Read binary = ReadSet({{dir.File("b.bin"), FileFormat::Binary, 0xFFFFFFF0}}, 64);
  ASSERT_EQ(binary.records.size(), 1u);
  EXPECT_EQ(binary.records[0].first, 0xFFFFFFF0u);
  EXPECT_EQ(binary.records[0].second.size(), 0x10u) << "a piece ends at the top";
  EXPECT_EQ(binary.pastTop, 0x20);

  for (const ProgramFile& file : std::vector<ProgramFile>{
           {dir.File("b.bin"), FileFormat::Binary, 0xFFFFFFF0}, {dir.File("l.hex")},
           {dir.File("s.mot")}}) {
    SCOPED_TRACE(file.path);
    WizardState sheet;
    sheet.m_strMCUType = "TX-C30";
    sheet.DeriveCatalogueRefs();
    sheet.m_dwLowest = 0;
    sheet.m_dwHighest = sheet.Mode().flashHighest;
    RecordingReporter reporter(false);
    CheckSummary summary;
    EXPECT_FALSE(CheckProgramFiles(sheet, {file}, reporter, &summary));
    EXPECT_EQ(summary.outcome, CheckSummary::DeclinedEmpty);
    EXPECT_EQ(summary.insideBytes, 0u);
    EXPECT_EQ(summary.outsideBytes, 0x30u);
  }
}

// srec_cat writes the same random data as S-records, as Intel HEX of each address width and as
// raw binary; every one reads back to the same image.
struct WidthCase {
  const char* name;
  int width;          // -address-length: 2 (no extended records), 3 (segments), 4 (linear)
  uint32_t address;   // of the first byte
  int size;
};

class SrecCatFormats : public ::testing::TestWithParam<WidthCase> {};

TEST_P(SrecCatFormats, ReadBackEqualToTheSRecordPath) {
  const WidthCase& c = GetParam();
  TempDir dir;
  std::mt19937 random(static_cast<unsigned>(c.address + c.size));
  std::vector<uint8_t> input(static_cast<std::size_t>(c.size));
  for (uint8_t& b : input) b = static_cast<uint8_t>(random());
  WriteBytes(dir.File("in.bin"), input);
  char offset[16];
  std::snprintf(offset, sizeof offset, "0x%X", c.address);
  const std::string source = dir.File("in.bin") + " -binary -offset " + offset;
  const std::string width = " -address-length=" + std::to_string(c.width);
  RunSrecCat(source + " -o " + dir.File("out.s") + " -Motorola -address-length=4");
  RunSrecCat(source + " -o " + dir.File("out.hex") + " -Intel" + width);

  const Image srec = ImageOf({{dir.File("out.s")}});
  ASSERT_EQ(srec.size(), input.size());
  EXPECT_EQ(srec.begin()->first, c.address);
  EXPECT_EQ(ImageOf({{dir.File("out.hex")}}), srec);
  EXPECT_EQ(ImageOf({{dir.File("in.bin"), FileFormat::Binary, c.address}}), srec);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, SrecCatFormats,
    ::testing::Values(WidthCase{"i8hex", 2, 0x0100, 3000},
                      WidthCase{"i16hex_across_64K", 3, 0xFF00, 70000},
                      WidthCase{"i16hex_high", 3, 0xE0000, 5000},
                      WidthCase{"i32hex_across_64K", 4, 0x1FFF0, 1000},
                      WidthCase{"i32hex_high", 4, 0x12345678, 4000}),
    [](const ::testing::TestParamInfo<WidthCase>& info) { return std::string(info.param.name); });

}  // namespace
