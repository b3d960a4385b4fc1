#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace kova::platform {

bool UnixToLocalFields(std::int64_t seconds, TDateFields& fields) {
  const auto t = static_cast<time_t>(seconds);
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return false;
  fields.Year = tm.tm_year + 1900;
  fields.Month = tm.tm_mon + 1;
  fields.Day = tm.tm_mday;
  fields.Hour = tm.tm_hour;
  fields.Minute = tm.tm_min;
  fields.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  fields.Millisecond = 0;
  return true;
}

bool LocalFieldsToUnix(const TDateFields& fields, std::int64_t& seconds) {
  struct tm tm {};
  tm.tm_year = fields.Year - 1900;
  tm.tm_mon = fields.Month - 1;
  tm.tm_mday = fields.Day;
  tm.tm_hour = fields.Hour;
  tm.tm_min = fields.Minute;
  tm.tm_sec = fields.Second;
  tm.tm_isdst = -1;
  errno = 0;
  const time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1) && errno != 0) return false;
  seconds = static_cast<std::int64_t>(t);
  return true;
}

TDateTime NowLocal() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  TDateFields f;
  if (!UnixToLocalFields(ts.tv_sec, f)) return 0;
  f.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return EncodeDateTime(f);
}

void SleepMilliseconds(unsigned milliseconds) {
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace kova::platform

#include <langinfo.h>

namespace kova::platform {

int LocalUtcOffsetMinutes() {
  const time_t now = time(nullptr);
  struct tm tm {};
  if (!localtime_r(&now, &tm)) return 0;
  return static_cast<int>(tm.tm_gmtoff / 60);
}

void LocaleShortMonthNames(std::string (&names)[12]) {
  static const nl_item kItems[12] = {ABMON_1, ABMON_2, ABMON_3, ABMON_4,  ABMON_5,  ABMON_6,
                                     ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  for (int i = 0; i < 12; ++i) {
    const char* name = nl_langinfo(kItems[i]);
    names[i] = name ? name : "";
  }
}

}  // namespace kova::platform
