// Date-times: the fixed text form stored in the settings, and whole-day distances.

#include "support/datetime.h"

#include <gtest/gtest.h>

#include "support/error.h"

namespace kova {
namespace {

TEST(DateTime, EncodesDaysSinceTheEndOf1899) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_EQ(EncodeDateTime({1900, 1, 1, 0, 0, 0, 0}), 2.0);
  EXPECT_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
  EXPECT_THROW(EncodeDateTime({2023, 2, 29, 0, 0, 0, 0}), EConvertError);
  const TDateFields f = DecodeDateTime(EncodeDateTime({2024, 2, 29, 23, 59, 59, 999}));
  EXPECT_EQ(f.Year, 2024);
  EXPECT_EQ(f.Month, 2);
  EXPECT_EQ(f.Day, 29);
  EXPECT_EQ(f.Hour, 23);
  EXPECT_EQ(f.Second, 59);
  EXPECT_EQ(f.Millisecond, 999);
}

TEST(DateTime, FixedTextLeavesOutMidnightAndMilliseconds) {
  EXPECT_EQ(DateTimeToText(EncodeDateTime({2024, 3, 9, 14, 5, 7, 0})), "09.03.2024 14:05:07");
  EXPECT_EQ(DateTimeToText(EncodeDateTime({2024, 3, 9, 0, 0, 0, 0})), "09.03.2024");
  EXPECT_EQ(DateTimeToText(EncodeDateTime({2024, 3, 9, 0, 0, 0, 400})), "09.03.2024");
  EXPECT_EQ(DateTimeToText(EncodeDateTime({2024, 3, 9, 0, 0, 1, 999})), "09.03.2024 00:00:01");
  EXPECT_EQ(DateTimeToText(EncodeDateTime({1999, 12, 31, 23, 59, 59, 0})), "31.12.1999 23:59:59");
}

TEST(DateTime, ReadsTheFixedTextBack) {
  for (TDateFields f : {TDateFields{2024, 3, 9, 14, 5, 7, 0}, TDateFields{2001, 1, 1, 0, 0, 0, 0},
                        TDateFields{2100, 12, 31, 23, 59, 59, 0}}) {
    const TDateTime t = EncodeDateTime(f);
    EXPECT_TRUE(SameDateTime(TextToDateTime(DateTimeToText(t)), t)) << DateTimeToText(t);
  }
  EXPECT_EQ(TextToDateTime("01.03.2024"), EncodeDateTime({2024, 3, 1, 0, 0, 0, 0}));  // midnight
  EXPECT_EQ(TextToDateTime("1.3.2024 9:05"), EncodeDateTime({2024, 3, 1, 9, 5, 0, 0}));
}

TEST(DateTime, RejectsTextThatIsNoDate) {
  for (const char* bad : {"", "yesterday", "2024-03-01", "32.01.2024", "29.02.2023", "01.13.2024",
                          "01.01.2024 24:00:00", "01.01.2024 10", "01.01.2024 10:61", "01.01.2024x",
                          "01.01.2024 10:00:00 extra"}) {
    try {
      TextToDateTime(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid date and time");
    }
  }
}

TEST(DateTime, SamenessIsWithinOneMillisecond) {
  EXPECT_TRUE(SameDateTime(100.0, 100.0 + kMillisecondInDays * 0.9));
  EXPECT_FALSE(SameDateTime(100.0, 100.0 + kMillisecondInDays * 1.1));
}

TEST(DateTime, WholeDaysDropTheFractionAndIgnoreDirection) {
  EXPECT_EQ(WholeDaysBetween(10.0, 3.0), 7);
  EXPECT_EQ(WholeDaysBetween(3.0, 10.0), 7);
  EXPECT_EQ(WholeDaysBetween(3.0, 9.999), 6);
  // 7 days computed from values that are not exactly representable still give 7.
  const TDateTime a = EncodeDateTime({2026, 12, 1, 13, 17, 23, 0});
  const TDateTime b = EncodeDateTime({2026, 12, 8, 13, 17, 23, 0});
  EXPECT_EQ(WholeDaysBetween(a, b), 7);
  EXPECT_GT(WholeDaysBetween(0.0, EncodeDateTime({2026, 1, 1, 0, 0, 0, 0})), 36500);
}

}  // namespace
}  // namespace kova
