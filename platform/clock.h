#pragma once
// Local time: conversions between the system clock and local calendar fields, and sleeping.

#include <cstdint>
#include <string>

#include "support/datetime.h"

namespace kova::platform {

// Seconds and nanoseconds since 1970 in UTC to local calendar fields (milliseconds dropped).
bool UnixToLocalFields(std::int64_t seconds, TDateFields& fields);
// Local calendar fields (milliseconds ignored) to seconds since 1970 in UTC.
bool LocalFieldsToUnix(const TDateFields& fields, std::int64_t& seconds);
// The current local date-time, with milliseconds.
TDateTime NowLocal();
void SleepMilliseconds(unsigned milliseconds);

}  // namespace kova::platform

namespace kova::platform {

// The current offset of local time from UTC, in minutes east (daylight saving included as the
// system reports it now).
int LocalUtcOffsetMinutes();
// The locale's short month names, January first; empty strings where it has none.
void LocaleShortMonthNames(std::string (&names)[12]);

}  // namespace kova::platform
