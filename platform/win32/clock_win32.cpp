// Local time through the system's time-zone information.

#include <windows.h>

#include "platform/clock.h"

namespace kova::platform {
namespace {

constexpr std::int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970

FILETIME ToFileTime(std::int64_t seconds) {
  const auto ticks = static_cast<std::uint64_t>((seconds + kEpochDifference) * 10000000);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

std::int64_t FromFileTime(const FILETIME& ft) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - kEpochDifference;
}

}  // namespace

bool UnixToLocalFields(std::int64_t seconds, TDateFields& fields) {
  if (seconds < -kEpochDifference) return false;
  const FILETIME ft = ToFileTime(seconds);
  SYSTEMTIME utc, local;
  // The daylight-saving rule of the date itself, as on the other systems.
  if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return false;
  fields.Year = local.wYear;
  fields.Month = local.wMonth;
  fields.Day = local.wDay;
  fields.Hour = local.wHour;
  fields.Minute = local.wMinute;
  fields.Second = local.wSecond;
  fields.Millisecond = 0;
  return true;
}

bool LocalFieldsToUnix(const TDateFields& fields, std::int64_t& seconds) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(fields.Year);
  local.wMonth = static_cast<WORD>(fields.Month);
  local.wDay = static_cast<WORD>(fields.Day);
  local.wHour = static_cast<WORD>(fields.Hour);
  local.wMinute = static_cast<WORD>(fields.Minute);
  local.wSecond = static_cast<WORD>(fields.Second);
  SYSTEMTIME utc;
  FILETIME ft;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft))
    return false;
  seconds = FromFileTime(ft);
  return true;
}

TDateTime NowLocal() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  TDateFields f;
  f.Year = local.wYear;
  f.Month = local.wMonth;
  f.Day = local.wDay;
  f.Hour = local.wHour;
  f.Minute = local.wMinute;
  f.Second = local.wSecond;
  f.Millisecond = local.wMilliseconds;
  return EncodeDateTime(f);
}

void SleepMilliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}

int LocalUtcOffsetMinutes() {
  TIME_ZONE_INFORMATION tz;
  const DWORD which = GetTimeZoneInformation(&tz);
  LONG bias = tz.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
  return static_cast<int>(-bias);
}

void LocaleShortMonthNames(std::string (&names)[12]) {
  for (int i = 0; i < 12; ++i) {
    char buffer[80];
    const int n =
        GetLocaleInfoA(LOCALE_USER_DEFAULT, static_cast<LCTYPE>(LOCALE_SABBREVMONTHNAME1 + i),
                       buffer, sizeof buffer);
    names[i] = n > 1 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : std::string();
  }
}

}  // namespace kova::platform
