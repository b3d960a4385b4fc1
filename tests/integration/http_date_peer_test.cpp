// HTTP dates against an independent decoder: Python's email.utils, with the time zone pinned
// through TZ (POSIX zone strings, so no zone database is needed).

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <sstream>

#include "net/http_date.h"
#include "tests/common/child_process.h"

namespace kova {
namespace {

const std::vector<std::string> kDates = {
    "Sun, 06 Nov 1994 08:49:37 GMT",   "Sunday, 06-Nov-94 08:49:37 GMT",
    "Sun Nov  6 08:49:37 1994",        "Tue, 29 Feb 2000 23:59:59 GMT",
    "Wed, 01 Jan 2025 00:00:00 +0300", "Thu, 15 May 2025 12:30:00 -0700",
    "Fri, 31 Dec 1999 23:59:59 -0000", "Mon, 07 Dec 2026 06:05:04 +0545",
    "Sat, 01 Jul 2023 18:00:00 EST",   "Saturday, 01-Jul-23 18:00:00 GMT",
    "Mon Jan  2 03:04:05 2006"};

// Python's local calendar fields for each date, in the zone `tz`. Texts without a zone, and those
// with "-0000", are local time to the launcher; Python is told so with an "L|" mark.
bool IsLocalForm(const std::string& date) {
  return date.find("GMT") == std::string::npos && date.find('+') == std::string::npos &&
         date.find(" -") == std::string::npos && date.find("EST") == std::string::npos;
}

std::vector<TDateTime> PeerDecode(const std::string& tz) {
  std::string script =
      "import email.utils, time, sys\n"
      "for line in sys.argv[1:]:\n"
      "    local = line.startswith('L|')\n"
      "    t = email.utils.parsedate_tz(line[2:] if local else line)\n"
      "    secs = time.mktime(t[:8] + (-1,)) if local else email.utils.mktime_tz(t)\n"
      "    print(time.strftime('%Y %m %d %H %M %S', time.localtime(secs)))\n";
  std::vector<std::string> args{"-c", script};
  for (const std::string& date : kDates) {
    const bool minusZero = date.size() > 5 && date.compare(date.size() - 5, 5, "-0000") == 0;
    args.push_back(IsLocalForm(date) || minusZero ? "L|" + date : date);
  }
  ::setenv("TZ", tz.c_str(), 1);
  test::TChild python("/usr/bin/python3", args);
  EXPECT_EQ(python.WaitExit(30), 0);
  std::istringstream in(python.Output());
  std::vector<TDateTime> out;
  TDateFields f;
  while (in >> f.Year >> f.Month >> f.Day >> f.Hour >> f.Minute >> f.Second)
    out.push_back(EncodeDateTime(f));
  return out;
}

TEST(HttpDatePeer, AgreesWithPythonsEmailUtilsInSeveralZones) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  for (const std::string tz : {"UTC0", "EET-2", "EST5", "NPT-5:45"}) {
    const std::vector<TDateTime> expected = PeerDecode(tz);
    ASSERT_EQ(expected.size(), kDates.size()) << tz;
    ::setenv("TZ", tz.c_str(), 1);
    ::tzset();
    for (std::size_t i = 0; i < kDates.size(); ++i) {
      const TDateTime got = DecodeHttpDate(kDates[i]);
      EXPECT_TRUE(SameDateTime(got, expected[i]))
          << tz << ": " << kDates[i] << " gave " << DateTimeToText(got) << ", Python "
          << DateTimeToText(expected[i]);
    }
  }
  if (saved)
    ::setenv("TZ", restore.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace kova
