#include "net/http_date.h"

#include <cstdint>
#include <vector>

#include "platform/clock.h"
#include "support/error.h"
#include "support/text.h"

namespace kova {
namespace {

struct TZoneName {
  const char* Name;
  int Hours;
};

const TZoneName kZones[] = {
    {"UT", 0},     {"UTC", 0},   {"GMT", 0},    {"WET", 0},    {"CET", 1},   {"FWT", 1},
    {"MET", 1},    {"MEWT", 1},  {"SWT", 1},    {"EET", 2},    {"MEST", 2},  {"MESZ", 2},
    {"SST", 2},    {"FST", 2},   {"CEST", 2},   {"BT", 3},     {"ZP4", 4},   {"ZP5", 5},
    {"ZP6", 6},    {"WAST", 7},  {"CCT", 8},    {"WADT", 8},   {"JST", 9},   {"GST", 10},
    {"EADT", 11},  {"IDLE", 12}, {"NZST", 12},  {"NZT", 12},   {"NZDT", 13}, {"WAT", -1},
    {"BST", -1},   {"AT", -2},   {"ADT", -3},   {"AST", -4},   {"EDT", -4},  {"EST", -5},
    {"CDT", -5},   {"CST", -6},  {"MDT", -6},   {"MST", -7},   {"PDT", -7},  {"PST", -8},
    {"YDT", -8},   {"YST", -9},  {"HDT", -9},   {"AHST", -10}, {"CAT", -10}, {"HST", -10},
    {"EAST", -10}, {"NT", -11},  {"IDLW", -12},
};

// January to December; French and German in Windows-1252, Czech in Windows-1250.
const char* const kMonthLists[][12] = {
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"jan", "f\xE9v", "mar", "avr", "mai", "jun", "jul", "ao\xFB", "sep", "oct", "nov",
     "d\xE9"
     "c"},
    {"jan", "fev", "mar", "avr", "mai", "jun", "jul", "aou", "sep", "oct", "nov", "dec"},
    {"Jan", "Feb", "Mar", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Led", "\xDAno",
     "B\xF8"
     "e",
     "Dub", "Kv\xEC",
     "\xC8"
     "en",
     "\xC8"
     "ec",
     "Srp", "Z\xE1\xF8",
     "\xD8\xED"
     "j",
     "Lis", "Pro"},
};

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int DigitsValue(const std::string& s) {
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

int DaysInMonth(int year, int month) {
  for (int d = 31; d > 28; --d) {
    if (IsValidDate(year, month, d)) return d;
  }
  return 28;
}

// "hh:nn:ss" (any field may have one or two digits); false when unparsable.
bool ParseTime(const std::string& text, double& fraction) {
  int fields[3] = {0, 0, 0};
  int count = 0;
  std::size_t start = 0;
  while (count < 3) {
    const std::size_t colon = text.find(':', start);
    const std::string part =
        text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (!AllDigits(part) || part.size() > 2) return false;
    fields[count++] = DigitsValue(part);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (count < 2 || fields[0] > 23 || fields[1] > 59 || fields[2] > 59) return false;
  fraction = ((fields[0] * 60.0 + fields[1]) * 60.0 + fields[2]) / 86400.0;
  return true;
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
  return s;
}

}  // namespace

TDateTime DecodeHttpDateAt(const std::string& text, int localOffsetMinutes,
                           const std::string (&localeMonths)[12]) {
  if (text.empty()) return 0;
  std::string s = ReplaceAll(text, " -", " #");
  for (char& c : s) {
    if (c == '-') c = ' ';
  }
  s = ReplaceAll(s, " #", " -");

  int zone = localOffsetMinutes;
  int day = 0, month = 0, year = 0;
  double time = 0;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t end = s.find(' ', pos);
    const std::string token =
        UpperCaseAscii(s.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? s.size() : end + 1;
    if (token.empty()) continue;

    if (token[0] == '+' || token[0] == '-') {
      if (token == "-0000") {
        zone = localOffsetMinutes;
      } else if (token.size() > 4) {
        const int minutes = DigitsValue(token.substr(1, 2)) * 60 + DigitsValue(token.substr(3, 2));
        zone = token[0] == '-' ? -minutes : minutes;
      }
      continue;
    }
    bool named = false;
    for (const TZoneName& z : kZones) {
      if (token == z.Name) {
        zone = z.Hours * 60;
        named = true;
        break;
      }
    }
    if (named) continue;
    // A number no date has room for (a year past 9999, ten digits or more) makes the text no
    // date at all, rather than one clamped to a far future that would then be kept.
    if (AllDigits(token) && token.size() >= 10)
      throw EConvertError("'" + text + "' is not a valid date");
    if (AllDigits(token) && DigitsValue(token) > 0) {
      const int value = DigitsValue(token);
      if (value < 32 && day == 0) {
        day = value;
      } else if (year == 0 && (month != 0 || value > 12)) {
        year = value;
        if (year < 32) year += 2000;
        if (year < 1000) year += 1900;
      }
      continue;
    }
    const std::size_t firstColon = token.find(':');
    const std::size_t lastColon = token.rfind(':');
    if (firstColon != std::string::npos && firstColon != lastColon) {
      double t = 0;
      if (ParseTime(token.substr(0, lastColon + 3), t)) time = t;
      continue;
    }
    if (token == "DST") {
      zone += 60;
      continue;
    }
    if (month == 0) {
      for (int m = 0; m < 12 && month == 0; ++m) {
        for (const auto& list : kMonthLists) {
          if (token == UpperCaseAscii(list[m])) {
            month = m + 1;
            break;
          }
        }
        if (month == 0 && !localeMonths[m].empty() && token == UpperCaseAscii(localeMonths[m]))
          month = m + 1;
      }
    }
  }
  if (year == 0) year = 1980;
  if (month == 0) month = 1;
  if (day == 0) day = 1;
  if (year > 9999) throw EConvertError("'" + text + "' is not a valid date");
  if (day > DaysInMonth(year, month)) day = DaysInMonth(year, month);
  const TDateTime date = EncodeDateTime(TDateFields{year, month, day, 0, 0, 0, 0});
  return date + time - (zone - localOffsetMinutes) / 1440.0;
}

TDateTime DecodeHttpDate(const std::string& text) {
  std::string months[12];
  platform::LocaleShortMonthNames(months);
  return DecodeHttpDateAt(text, platform::LocalUtcOffsetMinutes(), months);
}

}  // namespace kova
