#include <gtest/gtest.h>

#include "link/results.h"
#include "resources/strings.h"

using namespace quill;

TEST(FormatErrorMessage, EchoErrorShowsTheByteIndexInHex) {
  const std::string text = FormatErrorMessage(ErrorBootLoadEcho, 2);
  EXPECT_EQ(text,
            "Downloaded byte at H'2 failed to verify correctly. Check for:\n\tExceeded the maxium "
            "number of TAVEO MCU program cycles.\n\tDevice connected correctly...etc.");
}

TEST(FormatErrorMessage, InternalErrorShowsDecimal) {
  EXPECT_EQ(FormatErrorMessage(ErrorInternal, 642),
            "An internal error has occurred (642). Please note the values displayed in this "
            "dialog and contact Velmora.");
}

TEST(FormatErrorMessage, TextsWithoutInsertIgnoreTheDetail) {
  EXPECT_EQ(FormatErrorMessage(ErrorFlashWriteTimeout, 0x1F000), LoadString(163));
  EXPECT_EQ(FormatErrorMessage(ErrorNone, 5), "No error.");
  EXPECT_EQ(FormatErrorMessage(ErrorUserAbort, 0), LoadString(145));
}

TEST(FormatErrorMessage, UnknownKindsUseTheFallback) {
  EXPECT_EQ(FormatErrorMessage(17, 0x1F000),
            "An unrecognized error #17 occurred at address H'1F000.");
  EXPECT_EQ(FormatErrorMessage(-1, 0), "An unrecognized error #-1 occurred at address H'0.");
}

TEST(FormatErrorMessage, EveryKindHasItsOwnText) {
  const uint32_t expect[] = {144, 145, 146, 155, 156, 119, 157, 158,
                             159, 411, 161, 162, 163, 118, 410, 430, 431};
  for (int32_t kind = 0; kind <= 16; ++kind) {
    EXPECT_EQ(ErrorMessageId(kind), expect[kind]) << kind;
    EXPECT_NE(FindString(expect[kind]), nullptr) << kind;
  }
}
