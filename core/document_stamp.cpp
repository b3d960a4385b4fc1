#include "core/document_stamp.h"

#include <chrono>
#include <cstdio>

#include "support/datetime.h"
#include "support/text.h"
#include "support/translation.h"
#include "xml/xml_document.h"

namespace kova {

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
  if (!IsValidDate(y, m, d)) return false;
  day = DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
  return true;
}

std::string IsoDay(std::int64_t day) {
  int y = 0, m = 0, d = 0;
  CivilFromDays(day, y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
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

const char* StampMisfit(const TDocumentStamp& stamp, std::string_view kind, const std::string& uid,
                        std::int64_t today) {
  if (stamp.Kind != kind) return TrNoop("it is signed as another kind of document");
  if (!stamp.HasUid || stamp.Uid != uid) return TrNoop("it is signed for another game");
  if (stamp.Serial < 0) return TrNoop("it carries no serial");
  if (stamp.ExpiresMalformed || today > stamp.ExpiresDay)
    return TrNoop("its signature has expired");
  return nullptr;
}

bool StampFits(const TDocumentStamp& stamp, std::string_view kind, const std::string& uid,
               std::int64_t today) {
  return StampMisfit(stamp, kind, uid, today) == nullptr;
}

}  // namespace kova
