// HTTP dates from arbitrary text: a date or the "not a date" result, never a crash, whatever
// the local offset and month names.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "net/http_date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int offset = (static_cast<int>(data[0]) - 128) * 7;  // about -15 h .. +15 h
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  static const std::string months[12] = {"janv.", "févr.", "mars",  "avr.", "mai",  "juin",
                                         "juil.", "août",  "sept.", "oct.", "nov.", "déc."};
  try {
    const kova::TDateTime a = kova::DecodeHttpDateAt(text, offset, months);
    const kova::TDateTime b = kova::DecodeHttpDate(text);
    if (!std::isfinite(a) || !std::isfinite(b)) std::abort();  // a date, or the zero of no date
  } catch (const std::exception&) {
    // A date whose parts are out of range is refused like any other conversion.
  }
  return 0;
}
