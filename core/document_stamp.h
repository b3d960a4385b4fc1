#pragma once
// What a signed document says of itself, on its top element: its place in the publisher's
// sequence ("serial"), the game it is for ("uid") and, optionally, the last day it may be used
// ("expires", YYYY-MM-DD in UTC). Its kind is the top element's name ("options", "list"). A
// document signed for one game, or as one kind, is refused anywhere else: the publisher's key
// signs every game and every kind alike.

#include <cstdint>
#include <string>
#include <string_view>

namespace kova {

class TXmlElement;

struct TDocumentStamp {
  std::string Kind;          // the top element's name; empty: the document had none
  std::int64_t Serial = -1;  // -1: none, or not a serial
  bool HasUid = false;
  std::string Uid;
  // The last day (days since 1970, UTC) the document may be used; kNoExpiry without one.
  std::int64_t ExpiresDay = kNoExpiry;
  bool ExpiresMalformed = false;

  static constexpr std::int64_t kNoExpiry = INT64_MAX;
};

// Serials are decimal and exact in any reader's arithmetic: at most 2^53.
constexpr std::int64_t kMaxSerial = 1ll << 53;
bool ParseSerial(std::string_view text, std::int64_t& serial);

void ReadDocumentStamp(const TXmlElement& top, TDocumentStamp& stamp);

// Why a document stamped so may not be taken as `kind` for the game `uid` on day `today` (an
// English text to translate); null when it may.
const char* StampMisfit(const TDocumentStamp& stamp, std::string_view kind, const std::string& uid,
                        std::int64_t today);
// Whether a document stamped so may be taken as `kind` for the game `uid` on day `today`.
bool StampFits(const TDocumentStamp& stamp, std::string_view kind, const std::string& uid,
               std::int64_t today);

// Days since 1970 of a "YYYY-MM-DD" date; false for anything else.
bool ParseIsoDay(std::string_view text, std::int64_t& day);
std::string IsoDay(std::int64_t day);
// Today's day number in UTC.
std::int64_t TodayUtc();

}  // namespace kova
