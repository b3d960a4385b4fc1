#include "support/datetime.h"

#include <cmath>
#include <cstdio>

#include "support/error.h"

namespace kova {

// Howard Hinnant's algorithms.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

namespace {

// 1899-12-30 relative to 1970-01-01.
constexpr std::int64_t kEpochOffset = -25569;

}  // namespace

bool IsValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + ((month == 2 && leap) ? 1 : 0);
}

TDateTime EncodeDateTime(const TDateFields& f) {
  if (!IsValidDate(f.Year, f.Month, f.Day) || f.Hour < 0 || f.Hour > 23 || f.Minute < 0 ||
      f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Millisecond < 0 || f.Millisecond > 999) {
    throw EConvertError("Invalid argument to date encode");
  }
  const std::int64_t days =
      DaysFromCivil(f.Year, static_cast<unsigned>(f.Month), static_cast<unsigned>(f.Day)) -
      kEpochOffset;
  const double time =
      (((f.Hour * 60.0 + f.Minute) * 60.0 + f.Second) * 1000.0 + f.Millisecond) / 86400000.0;
  // Before the epoch the fraction still counts forward from midnight of the day.
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

TDateFields DecodeDateTime(TDateTime t) {
  TDateFields f;
  const double whole = std::trunc(t);
  auto ms = static_cast<std::int64_t>(std::llround(std::fabs(t - whole) * 86400000.0));
  auto days = static_cast<std::int64_t>(whole);
  if (ms >= 86400000) {
    ms -= 86400000;
    days += t >= 0 ? 1 : -1;
  }
  CivilFromDays(days + kEpochOffset, f.Year, f.Month, f.Day);
  f.Hour = static_cast<int>(ms / 3600000);
  f.Minute = static_cast<int>(ms / 60000 % 60);
  f.Second = static_cast<int>(ms / 1000 % 60);
  f.Millisecond = static_cast<int>(ms % 1000);
  return f;
}

bool SameDateTime(TDateTime a, TDateTime b) {
  return std::fabs(a - b) < kMillisecondInDays;
}

std::string DateTimeToText(TDateTime t) {
  const TDateFields f = DecodeDateTime(t);
  char buf[64];
  if (f.Hour == 0 && f.Minute == 0 && f.Second == 0) {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", f.Day, f.Month, f.Year);
  } else {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", f.Day, f.Month, f.Year, f.Hour,
                  f.Minute, f.Second);
  }
  return buf;
}

namespace {

bool ReadNumber(const std::string& s, std::size_t& i, int maxDigits, int& value) {
  int digits = 0;
  value = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < maxDigits) {
    value = value * 10 + (s[i] - '0');
    ++i;
    ++digits;
  }
  return digits > 0;
}

bool ParseFixed(const std::string& s, TDateTime& out) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  TDateFields f;
  if (!ReadNumber(s, i, 2, f.Day) || i >= s.size() || s[i++] != '.') return false;
  if (!ReadNumber(s, i, 2, f.Month) || i >= s.size() || s[i++] != '.') return false;
  if (!ReadNumber(s, i, 4, f.Year)) return false;
  std::size_t j = i;
  while (j < s.size() && s[j] == ' ') ++j;
  if (j < s.size() && j > i) {
    i = j;
    if (!ReadNumber(s, i, 2, f.Hour) || i >= s.size() || s[i++] != ':') return false;
    if (!ReadNumber(s, i, 2, f.Minute)) return false;
    if (i < s.size() && s[i] == ':') {
      ++i;
      if (!ReadNumber(s, i, 2, f.Second)) return false;
    }
  }
  while (i < s.size() && s[i] == ' ') ++i;
  if (i != s.size()) return false;
  if (!IsValidDate(f.Year, f.Month, f.Day) || f.Hour > 23 || f.Minute > 59 || f.Second > 59)
    return false;
  out = EncodeDateTime(f);
  return true;
}

}  // namespace

TDateTime TextToDateTime(const std::string& text) {
  TDateTime t = 0;
  if (!ParseFixed(text, t)) throw EConvertError("'" + text + "' is not a valid date and time");
  return t;
}

std::int64_t WholeDaysBetween(TDateTime a, TDateTime b) {
  // Half a millisecond of slack keeps 7.0 days from truncating to 6 through rounding noise.
  return static_cast<std::int64_t>(std::trunc(std::fabs(a - b) + kMillisecondInDays / 2));
}

}  // namespace kova
