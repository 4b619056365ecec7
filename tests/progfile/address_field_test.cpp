#include <gtest/gtest.h>

#include "progfile/address_field.h"
#include "resources/strings.h"

using namespace quill;

namespace {

struct ParseCase {
  const char* text;
  bool ok;
  uint32_t value;  // what the member holds afterwards (starting from 0xDEADBEEF)
};

class AddressFieldSave : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AddressFieldSave, StoresAndReports) {
  const ParseCase& c = GetParam();
  uint32_t member = 0xDEADBEEF;
  const AddressFieldResult result = SaveAddressField(c.text, true, member);
  EXPECT_EQ(result.ok, c.ok) << '"' << c.text << '"';
  EXPECT_EQ(member, c.value) << '"' << c.text << '"';
  EXPECT_EQ(result.messageId, c.ok ? 0u : StrId::InvalidNumber);
  if (!c.ok) {
    EXPECT_EQ(result.Message(), LoadString(132));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AddressFieldSave,
    ::testing::Values(
        // Prefixes, case and blanks.
        ParseCase{"h'1f00", true, 0x1F00}, ParseCase{"H'1F00", true, 0x1F00},
        ParseCase{"  1f00\t", true, 0x1F00}, ParseCase{"0x1F00", true, 0x1F00},
        ParseCase{"D'7936", true, 0x1F00}, ParseCase{"d'7936", true, 0x1F00},
        ParseCase{"H' 1F", true, 0x1F}, ParseCase{"0", true, 0},
        // Signs: minus is the two's complement in 32 bits.
        ParseCase{"-1000", true, 0xFFFFF000}, ParseCase{"-10", true, 0xFFFFFFF0},
        ParseCase{"+10", true, 0x10}, ParseCase{"-0x10", true, 0xFFFFFFF0},
        ParseCase{"D'-1", true, 0xFFFFFFFF},
        // Overflow beyond 32 bits gives all ones, with or without a sign.
        ParseCase{"H'FFFFFFFF", true, 0xFFFFFFFF}, ParseCase{"100000000", true, 0xFFFFFFFF},
        ParseCase{"-FFFFFFFFF", true, 0xFFFFFFFF}, ParseCase{"D'4294967296", true, 0xFFFFFFFF},
        ParseCase{"D'4294967295", true, 0xFFFFFFFF}, ParseCase{"-FFFFFFFF", true, 1},
        // Invalid texts; a partial conversion stays stored, an empty text stores nothing.
        ParseCase{"", false, 0xDEADBEEF}, ParseCase{"   ", false, 0xDEADBEEF},
        ParseCase{"D'1F00", false, 1}, ParseCase{"H'", false, 0}, ParseCase{"D'", false, 0xD},
        ParseCase{"1F 00", false, 0x1F}, ParseCase{"D'0x10", false, 0},
        ParseCase{"0x", false, 0}, ParseCase{"0xG", false, 0}, ParseCase{"G", false, 0},
        ParseCase{"-", false, 0}, ParseCase{"+-1", false, 0}, ParseCase{"1G", false, 1}));

TEST(AddressFieldFormat, HexWithoutLeadingZerosOrDecimal) {
  EXPECT_EQ(FormatAddressField(0, true), "H'0");
  EXPECT_EQ(FormatAddressField(0x1FFFF, true), "H'1FFFF");
  EXPECT_EQ(FormatAddressField(0xFFFFFFFF, true), "H'FFFFFFFF");
  EXPECT_EQ(FormatAddressField(7936, false), "7936");
  EXPECT_EQ(FormatAddressField(0xFFFFFFFF, false), "4294967295");
  // What is shown reads back as the same value.
  for (const uint32_t v : {0u, 1u, 0x7FFFu, 0xFFFFF000u}) {
    EXPECT_EQ(ParseAddressField(FormatAddressField(v, true), true).value, v);
  }
}

TEST(AddressFieldDecimalDefault, TextWithoutPrefixIsDecimal) {
  EXPECT_EQ(ParseAddressField("7936", false).value, 7936u);
  EXPECT_FALSE(ParseAddressField("1F", false).ok);
  EXPECT_EQ(ParseAddressField("H'1F", false).value, 0x1Fu);
  EXPECT_FALSE(ParseAddressField("0x1F", false).ok);
}

TEST(AddressRange, BoundsInclusiveAndMessageShowsThemInHex) {
  EXPECT_TRUE(CheckAddressRange(0, 0, 0x1FFFF).ok);
  EXPECT_TRUE(CheckAddressRange(0x1FFFF, 0, 0x1FFFF).ok);
  const RangeCheckResult high = CheckAddressRange(0x20000, 0, 0x1FFFF);
  EXPECT_FALSE(high.ok);
  EXPECT_EQ(high.message,
            "Please enter a hexadecimal integer value between H'0 and  H'1FFFF. A decimal value "
            "can be entered if it is prefixed with D'.");
  const RangeCheckResult low = CheckAddressRange(0x0FFF, 0x1000, 0x7FFF);
  EXPECT_FALSE(low.ok);
  EXPECT_NE(low.message.find("between H'1000 and  H'7FFF."), std::string::npos) << low.message;
  EXPECT_FALSE(CheckAddressRange(0xFFFFFFFF, 0, 0xFFFFFFFE).ok);
}

}  // namespace
