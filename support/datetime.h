#pragma once
// Date-times are doubles counting days since 30 December 1899 in local time, with the time of
// day as the fraction. Two date-times are the same when they differ by less than a millisecond.

#include <cstdint>
#include <string>

namespace kova {

using TDateTime = double;

constexpr double kMillisecondInDays = 1.0 / 86400000.0;

struct TDateFields {
  int Year = 1899;
  int Month = 12;
  int Day = 30;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

bool IsValidDate(int year, int month, int day);
// Raises EConvertError for fields outside the calendar.
// Days from 1970-01-01 of a proleptic Gregorian date, and the date of such a day number.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);
TDateTime EncodeDateTime(const TDateFields& f);
// Splits into calendar fields; the time is rounded to the nearest millisecond.
TDateFields DecodeDateTime(TDateTime t);

bool SameDateTime(TDateTime a, TDateTime b);

// The fixed text form, whatever the locale: "dd.mm.yyyy hh:nn:ss", the time left out when it is
// exactly midnight to the second; milliseconds are never written.
std::string DateTimeToText(TDateTime t);
// Reads the fixed text form (one- or two-digit day, month and time fields are accepted, the
// time is optional). Raises EConvertError "'%s' is not a valid date and time".
TDateTime TextToDateTime(const std::string& text);

// Whole days between two date-times, as a distance regardless of which is later.
std::int64_t WholeDaysBetween(TDateTime a, TDateTime b);

}  // namespace kova
