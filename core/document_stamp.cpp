#include "core/document_stamp.h"

#include <chrono>
#include <cstdio>

#include "support/text.h"
#include "xml/xml_document.h"

namespace kova {

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date, and back (H. Hinnant's civil algorithms).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

bool ParseSerial(std::string_view text, std::int64_t& serial) {
  if (text.empty() || text.size() > 16) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  std::int64_t value = 0;
  if (!ParseDecimal64(text, value) || value < 0 || value > kMaxSerial) return false;
  serial = value;
  return true;
}

bool ParseIsoDay(std::string_view t, std::int64_t& day) {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
  int fields[3] = {};
  const std::size_t starts[3] = {0, 5, 8}, lengths[3] = {4, 2, 2};
  for (int i = 0; i < 3; ++i) {
    for (std::size_t k = 0; k < lengths[i]; ++k) {
      const char c = t[starts[i] + k];
      if (c < '0' || c > '9') return false;
      fields[i] = fields[i] * 10 + (c - '0');
    }
  }
  const int y = fields[0], m = fields[1], d = fields[2];
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
  day = DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
  return true;
}

std::string IsoDay(std::int64_t day) {
  const std::int64_t z = day + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  return text;
}

std::int64_t TodayUtc() {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  return seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
}

void ReadDocumentStamp(const TXmlElement& top, TDocumentStamp& stamp) {
  stamp = TDocumentStamp();
  stamp.Kind = TXmlNameTable::Shared().IdToName(top.NameId());
  static const int serialId = TXmlNameTable::Shared().NameToId("serial");
  static const int uidId = TXmlNameTable::Shared().NameToId("uid");
  static const int expiresId = TXmlNameTable::Shared().NameToId("expires");
  if (const std::string* serial = top.FindById(serialId)) {
    if (!ParseSerial(*serial, stamp.Serial)) stamp.Serial = -1;
  }
  if (const std::string* uid = top.FindById(uidId)) {
    stamp.HasUid = true;
    stamp.Uid = *uid;
  }
  if (const std::string* expires = top.FindById(expiresId)) {
    std::int64_t day = 0;
    if (ParseIsoDay(*expires, day))
      stamp.ExpiresDay = day;
    else
      stamp.ExpiresMalformed = true;
  }
}

bool StampFits(const TDocumentStamp& stamp, std::string_view kind, const std::string& uid,
               std::int64_t today) {
  return stamp.Kind == kind && stamp.Serial >= 0 && stamp.HasUid && stamp.Uid == uid &&
         !stamp.ExpiresMalformed && today <= stamp.ExpiresDay;
}

}  // namespace kova
