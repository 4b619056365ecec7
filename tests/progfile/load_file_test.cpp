#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "progfile/load_file.h"
#include "progfile/user_exception.h"
#include "srec_test_util.h"

using namespace quill;
using namespace quill::testing;

namespace {

struct Record {
  int count;
  uint32_t address;
  std::vector<uint8_t> data;
};

// Every data record of text, read as the check reads them.
std::vector<Record> ReadAll(const std::string& text, CLoadFile* keep = nullptr) {
  TempDir dir;
  const std::string path = dir.File("p.s19");
  WriteText(path, text);
  CLoadFile local;
  CLoadFile& file = keep ? *keep : local;
  file.Open(path);
  std::vector<Record> records;
  uint8_t data[kMaxRecordData];
  uint32_t address = 0;
  for (int n; (n = file.ReadRecord(address, data, kMaxRecordData)) >= 0;) {
    records.push_back({n, address, std::vector<uint8_t>(data, data + n)});
  }
  return records;
}

// The reason and line of the format error text raises, or fails.
std::pair<CUserException::Reason, int> FormatErrorOf(const std::string& text) {
  try {
    ReadAll(text);
  } catch (const CUserException& e) {
    return {e.GetReason(), e.GetLine()};
  }
  ADD_FAILURE() << "no format error for: " << text;
  return {CUserException::Abort, 0};
}

}  // namespace

TEST(LoadFileRecords, SixteenByteRecordYieldsAddressAndData) {
  CLoadFile file;
  const auto records = ReadAll(Srec(1, 0x0000, Bytes(16)) + "\n", &file);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Srec(1, 0, Bytes(16)).substr(0, 4), "S113");
  EXPECT_EQ(records[0].count, 16);
  EXPECT_EQ(records[0].address, 0u);
  EXPECT_EQ(records[0].data, Bytes(16));
  EXPECT_EQ(file.m_nChecksumErrors, 0);
  EXPECT_EQ(file.m_nLines, 1);
}

TEST(LoadFileRecords, ChecksumMismatchIsCountedAndRecordStillReturned) {
  CLoadFile file;
  const auto records = ReadAll("S0030000FC\n" + Srec(1, 0x10, Bytes(16)) + "\n" +
                                   Srec(1, 0x20, Bytes(16), 1) + "\n" + Srec(1, 0x30, Bytes(4)) + "\n",
                               &file);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].address, 0x20u);
  EXPECT_EQ(records[1].data, Bytes(16));
  EXPECT_EQ(file.m_nChecksumErrors, 1);
  EXPECT_EQ(file.m_nLastChecksumErrorLine, 3);
  EXPECT_EQ(file.m_nLines, 4);
}

TEST(LoadFileRecords, AddressLengthsAndLowerCaseDigits) {
  std::string s3 = Srec(3, 0x89ABCDEF, Bytes(3, 0xAA));
  for (char& c : s3) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  s3[0] = 'S';  // only the record mark must stay upper case
  const auto records = ReadAll(Srec(2, 0x123456, Bytes(2)) + "\n" + s3 + "\n");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].address, 0x123456u);
  EXPECT_EQ(records[1].address, 0x89ABCDEFu);
  EXPECT_EQ(records[1].data, Bytes(3, 0xAA));
}

TEST(LoadFileRecords, ZeroDataRecordsAndRecordsWithShortCounts) {
  // Count 03: a 2-byte address and the checksum, no data. Count 01 leaves "negative" room: the
  // address is still read and nothing is stored.
  const auto records = ReadAll("S1030010EC\nS1010010EE\n");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].count, 0);
  EXPECT_EQ(records[0].address, 0x10u);
  EXPECT_EQ(records[1].count, 0);
}

TEST(LoadFileRecords, NonDataRecordsAreSkippedAndReadingGoesOnAfterTermination) {
  CLoadFile file;
  const auto records = ReadAll("S0 anything at all\nS5030001FB\nS9030000FC\n" +
                                   Srec(1, 0x40, Bytes(1)) + "\nS4\nS6zz\nS7\nS8\n",
                               &file);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].address, 0x40u);
  EXPECT_EQ(file.m_nLines, 8);
}

TEST(LoadFileRecords, CrLfLineEndsReadAlikeAndPositionCountsEveryByte) {
  const std::string text = Srec(1, 0x100, Bytes(8)) + "\r\n" + Srec(1, 0x108, Bytes(8)) + "\r\n";
  CLoadFile file;
  const auto records = ReadAll(text, &file);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].address, 0x108u);
  EXPECT_EQ(file.GetPosition(), text.size());
}

TEST(LoadFileRecords, TextAfterTheChecksumAndMissingFinalTerminator) {
  const auto records = ReadAll(Srec(1, 0x0, Bytes(2)) + "  ; comment\n" + Srec(1, 0x2, Bytes(2)));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].address, 2u);
}

TEST(LoadFileRecords, LargestRecordsFitTheSharedBufferSize) {
  // Count byte FF: 252 data bytes in S1, 250 in S3.
  const auto records = ReadAll(Srec(1, 0x0, Bytes(252)) + "\n" + Srec(3, 0x1000, Bytes(250)) + "\n");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].count, 252);
  EXPECT_EQ(records[1].data, Bytes(250));
}

TEST(LoadFileFormat, LinesThatAreNotRecords) {
  const std::string good = Srec(1, 0, Bytes(4)) + "\n";
  EXPECT_EQ(FormatErrorOf(good + "\n" + good), std::make_pair(CUserException::FormatError, 2))
      << "blank line";
  EXPECT_EQ(FormatErrorOf(good + "\r\n").second, 2) << "blank CRLF line";
  EXPECT_EQ(FormatErrorOf("s" + good.substr(1)).second, 1) << "lower-case record mark";
  EXPECT_EQ(FormatErrorOf(" " + good).second, 1) << "leading blank";
  EXPECT_EQ(FormatErrorOf("S\n").second, 1) << "no type";
  EXPECT_EQ(FormatErrorOf("SA030000FC\n").second, 1) << "type not a digit";
  EXPECT_EQ(FormatErrorOf("S1070000F8\n").second, 1) << "line ends where data is expected";
  EXPECT_EQ(FormatErrorOf("S10300G0EC\n").second, 1) << "not a hex digit";
  EXPECT_EQ(FormatErrorOf("S1030000\n").second, 1) << "no checksum";
  EXPECT_EQ(FormatErrorOf("S10300000\n").second, 1) << "half a checksum";
}

TEST(LoadFileFormat, NothingAfterTheOffendingLineIsRead) {
  TempDir dir;
  const std::string path = dir.File("p.s19");
  WriteText(path, Srec(1, 0, Bytes(4)) + "\nbad\n" + Srec(1, 4, Bytes(4)) + "\n");
  CLoadFile file(path);
  uint8_t data[kMaxRecordData];
  uint32_t address = 0;
  EXPECT_EQ(file.ReadRecord(address, data, kMaxRecordData), 4);
  EXPECT_THROW(file.ReadRecord(address, data, kMaxRecordData), CUserException);
  EXPECT_EQ(file.m_nLines, 2);
}

TEST(LoadFileFormat, RecordLongerThanTheCallersBufferNeverOverrunsIt) {
  TempDir dir;
  const std::string path = dir.File("p.s19");
  WriteText(path, Srec(1, 0, Bytes(64)) + "\n" + Srec(1, 0x40, Bytes(65, 0x80)) + "\n");
  CLoadFile file(path);
  uint8_t buffer[64 + 16];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint32_t address = 0;
  EXPECT_EQ(file.ReadRecord(address, buffer, 64), 64);
  try {
    file.ReadRecord(address, buffer, 64);
    FAIL() << "a 65-byte record was accepted into a 64-byte buffer";
  } catch (const CUserException& e) {
    EXPECT_EQ(e.GetReason(), CUserException::RecordTooLong);
    EXPECT_EQ(e.GetLine(), 2);
  }
  for (std::size_t i = 64; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
}

TEST(LoadFileLines, GiantLineIsReadInPiecesAndKeptShort) {
  TempDir dir;
  const std::string path = dir.File("p.s19");
  {
    std::ofstream out(path, std::ios::binary);
    out << Srec(1, 0, Bytes(8));
    const std::string junk(65536, 'x');
    for (int i = 0; i < 64; ++i) out << junk;  // 4 MB after the checksum
    out << "\r\n" << Srec(1, 8, Bytes(8)) << "\n";
  }
  CLoadFile file(path);
  std::string line;
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line.size(), CLoadFile::kMaxLineKept);
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, Srec(1, 8, Bytes(8)));
  EXPECT_EQ(file.GetPosition(), file.GetLength());
  EXPECT_FALSE(file.ReadString(line));

  file.Open(path);
  uint8_t data[kMaxRecordData];
  uint32_t address = 0;
  EXPECT_EQ(file.ReadRecord(address, data, kMaxRecordData), 8);
  EXPECT_EQ(file.ReadRecord(address, data, kMaxRecordData), 8);
  EXPECT_EQ(address, 8u);
  EXPECT_EQ(file.ReadRecord(address, data, kMaxRecordData), -1);
  EXPECT_EQ(file.m_nLines, 2);
}

TEST(LoadFileErrors, MissingFileAndFolderNameThePathAndTheReason) {
  TempDir dir;
  const std::string missing = dir.File("missing.s19");
  try {
    CLoadFile file(missing);
    FAIL() << "opened a missing file";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.GetCause(), CFileException::OpenFailed);
    EXPECT_EQ(e.Message(), "The file '" + missing + "' could not be opened: No such file or directory.");
  }
  const std::string folder = dir.File("");
  try {
    CLoadFile file(folder);
    FAIL() << "opened a folder";
  } catch (const CFileException& e) {
    EXPECT_NE(e.Message().find(std::strerror(EISDIR)), std::string::npos) << e.Message();
  }
}

TEST(LoadFileErrors, EmptyFileHasNoRecords) {
  CLoadFile file;
  EXPECT_TRUE(ReadAll("", &file).empty());
  EXPECT_EQ(file.m_nLines, 0);
}
