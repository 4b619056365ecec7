#include <gtest/gtest.h>

#include "resources/format.h"
#include "resources/strings.h"

using namespace quill;

TEST(StringTable, SortedAndUnique) {
  for (int i = 1; i < kStringTableSize; ++i) {
    EXPECT_LT(kStringTable[i - 1].id, kStringTable[i].id) << "at id " << kStringTable[i].id;
  }
  EXPECT_EQ(FindString(99999), nullptr);
  EXPECT_EQ(LoadString(99999), "");
  EXPECT_STREQ(FindString(109), "QUILL TAVEO Flash Programmer");
}

TEST(StringTable, TimeoutTextsAreSeparateEntriesThatReadAlike) {
  for (uint32_t id : {157u, 159u, 161u, 163u}) EXPECT_EQ(LoadString(id), LoadString(155)) << id;
  EXPECT_NE(LoadString(146), LoadString(155));
}

TEST(FormatMessage, Conversions) {
  EXPECT_EQ(FormatMessage("H'%1!lX!", {0x1f00u}), "H'1F00");
  EXPECT_EQ(FormatMessage("H'%1!lX!", {0u}), "H'0");
  EXPECT_EQ(FormatMessage("(%1!ld!)", {642u}), "(642)");
  EXPECT_EQ(FormatMessage("#%1!d!", {int32_t{-1}}), "#-1");
  EXPECT_EQ(FormatMessage("#%1!d!", {0xFFFFFFFFu}), "#-1");  // 32-bit pattern read as signed
  EXPECT_EQ(FormatMessage("%1!lX!", {int32_t{-1}}), "FFFFFFFF");
  EXPECT_EQ(FormatMessage("%1!8.8lX!", {0x1F000u}), "0001F000");
  EXPECT_EQ(FormatMessage("'%1'", {"a b.s"}), "'a b.s'");
  EXPECT_EQ(FormatMessage("%2 %1", {"x", "y"}), "y x");
}

TEST(FormatMessage, LiteralTextAndBadInsertsPassThrough) {
  EXPECT_EQ(FormatMessage("100%% sure", {}), "100% sure");
  EXPECT_EQ(FormatMessage("%3!d! and %1", {7u}), "%3!d! and 7");   // no third argument
  EXPECT_EQ(FormatMessage("%1!q!", {7u}), "%1!q!");                // unknown conversion
  EXPECT_EQ(FormatMessage("%1!d", {7u}), "%1!d");                  // unterminated
  EXPECT_EQ(FormatMessage("%1!s!", {7u}), "7");
  EXPECT_EQ(FormatMessage("%1!d!", {"text"}), "%1!d!");           // a text is not a number
  EXPECT_EQ(FormatMessage("tail %", {}), "tail %");
  EXPECT_EQ(FormatMessage("%0 %x", {1u}), "%0 %x");
  EXPECT_EQ(FormatMessage("a\n\tb", {}), "a\n\tb");
}

TEST(FormatMessage, RangeMessageKeepsItsTwoBlanks) {
  EXPECT_EQ(FormatString(165, {0x20000u, 0u, 0x1FFFFu}),
            "Please enter a hexadecimal integer value between H'0 and  H'1FFFF. A decimal value "
            "can be entered if it is prefixed with D'.");
}

TEST(FormatMessage, CountsMessage) {
  EXPECT_EQ(FormatString(167, {0x1F00u, 0x10u}),
            "H'1F00 bytes inside the address range were programmed.\n"
            "H'10 bytes outside the address range were skipped.");
}

// A precision asks for that many digits or characters; the insert is never cut short of it.
TEST(FormatMessage, PrecisionBeyondTheUsualLengthIsKeptWhole) {
  EXPECT_EQ(FormatMessage("%1!.100d!", {5u}), std::string(99, '0') + "5");
  EXPECT_EQ(FormatMessage("[%1!.80lX!]", {0xABCu}), "[" + std::string(77, '0') + "ABC]");
  EXPECT_EQ(FormatMessage("%1!5.90u!", {7u}).size(), 90u);
}
