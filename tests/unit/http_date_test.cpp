// HTTP dates: the customary forms, zones, month tables and the inputs that give nothing. The
// local offset and locale months are given explicitly, so no test depends on the machine's zone.

#include "net/http_date.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/error.h"

namespace kova {
namespace {

const std::string kNoLocale[12];

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, 0});
}

TDateTime Decode(const std::string& text, int localOffset = 0) {
  return DecodeHttpDateAt(text, localOffset, kNoLocale);
}

struct TDateCase {
  const char* Text;
  TDateTime Expected;
};

class HttpDateTable : public ::testing::TestWithParam<TDateCase> {};

TEST_P(HttpDateTable, DecodesToUtcWhenLocalTimeIsUtc) {
  const TDateTime got = Decode(GetParam().Text);
  EXPECT_TRUE(SameDateTime(got, GetParam().Expected))
      << GetParam().Text << " gave " << DateTimeToText(got);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HttpDateTable,
    ::testing::Values(
        TDateCase{"Sun, 06 Nov 1994 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37)},
        TDateCase{"Sunday, 06-Nov-94 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37)},
        TDateCase{"Sun Nov  6 08:49:37 1994", At(1994, 11, 6, 8, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 +0300", At(1994, 11, 6, 5, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 -0130", At(1994, 11, 6, 10, 19, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 -0000", At(1994, 11, 6, 8, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 +03",
                  At(1994, 11, 6, 8, 49, 37)},  // too short: no effect
        TDateCase{"Sun, 06 Nov 1994 08:49:37 EST", At(1994, 11, 6, 13, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 PDT", At(1994, 11, 6, 15, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 CEST", At(1994, 11, 6, 6, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 JST", At(1994, 11, 5, 23, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 NZDT", At(1994, 11, 5, 19, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 IDLW", At(1994, 11, 6, 20, 49, 37)},
        TDateCase{"Sun, 06 Nov 1994 08:49:37 CET DST", At(1994, 11, 6, 6, 49, 37)},
        TDateCase{"06 Nov 1994 08:49:37GMT", At(1994, 11, 6, 8, 49, 37)},
        TDateCase{"6 nov 2024 23:59:59 utc", At(2024, 11, 6, 23, 59, 59)},
        TDateCase{"Mon, 31 Dec 2029 23:00:00 EST", At(2030, 1, 1, 4, 0, 0)},
        TDateCase{"1 janvier", At(1980, 1, 1)},
        TDateCase{"12 f\xE9v 2021 10:00:00 GMT", At(2021, 2, 12, 10, 0, 0)},
        TDateCase{"12 ao\xFB 2021", At(2021, 8, 12)},
        TDateCase{"3 Okt 2021 08:00:00 MESZ", At(2021, 10, 3, 6, 0, 0)},
        TDateCase{"3 M\xE4r 2021", At(2021, 3, 3)},
        TDateCase{"3 M\xC4R 2021", At(2021, 1, 3)},  // only ASCII letters fold: no month
        TDateCase{"5 \xDAno 2021", At(2021, 2, 5)},
        TDateCase{"5 \xD8\xED"
                  "j 2021",
                  At(2021, 10, 5)},
        TDateCase{"31 Feb 2023", At(2023, 2, 28)},  // past the end of the month: its last day
        TDateCase{"29 Feb 2024", At(2024, 2, 29)}, TDateCase{"Nov 2024", At(2024, 11, 1)},
        TDateCase{"2024 5", At(2024, 1, 5)},
        TDateCase{"5 13", At(2013, 1, 5)},  // two-digit years count from 2000 below 32
        TDateCase{"5 Nov 45", At(1945, 11, 5)}, TDateCase{"10:11:12", At(1980, 1, 1, 10, 11, 12)},
        TDateCase{"6 Nov 1994 25:61:00 GMT", At(1994, 11, 6)},  // an unparsable time is ignored
        TDateCase{"garbage", At(1980, 1, 1)}));

TEST(HttpDate, EmptyTextGivesNothing) {
  EXPECT_EQ(Decode(""), 0.0);
}

TEST(HttpDate, AYearNoDateCanHoldIsADecodingError) {
  for (const char* text : {"Sun, 06 Nov 10000 08:49:37 GMT", "Sun, 06 Nov 99999 08:49:37 GMT",
                           "6 Nov 1994 1234567890", "Sun, 06 Nov 2147483648 08:49:37 GMT"}) {
    EXPECT_THROW(Decode(text), EConvertError) << text;
  }
  EXPECT_TRUE(SameDateTime(Decode("Fri, 31 Dec 9999 23:59:59 GMT"), At(9999, 12, 31, 23, 59, 59)));
}

TEST(HttpDate, MovesTheInstantIntoTheLocalZone) {
  // Two hours east of UTC: 08:49:37 GMT is 10:49:37 local.
  EXPECT_TRUE(
      SameDateTime(Decode("Sun, 06 Nov 1994 08:49:37 GMT", 120), At(1994, 11, 6, 10, 49, 37)));
  // Without a zone, or with -0000, the text is local time already.
  EXPECT_TRUE(SameDateTime(Decode("Sun Nov  6 08:49:37 1994", 120), At(1994, 11, 6, 8, 49, 37)));
  EXPECT_TRUE(
      SameDateTime(Decode("Sun, 06 Nov 1994 08:49:37 -0000", -300), At(1994, 11, 6, 8, 49, 37)));
  // +0300 moves three hours back, then to local (one hour east).
  EXPECT_TRUE(
      SameDateTime(Decode("Sun, 06 Nov 1994 08:49:37 +0300", 60), At(1994, 11, 6, 6, 49, 37)));
}

TEST(HttpDate, TheLocalesShortMonthNamesCount) {
  std::string months[12];
  months[4] = "Tra";  // a fifth month called "Tra" in some locale
  EXPECT_TRUE(SameDateTime(DecodeHttpDateAt("7 tra 2022", 0, months), At(2022, 5, 7)));
  EXPECT_TRUE(SameDateTime(Decode("7 tra 2022"), At(2022, 1, 7)));
}

}  // namespace
}  // namespace kova
