#pragma once
// Decoding the text of an HTTP date header ("Last-Modified") into a local date-time.

#include <string>

#include "support/datetime.h"

namespace kova {

// Accepts the customary forms (RFC 1123, RFC 850 with a two-digit year, asctime), numeric and
// named zones, and month names in several languages; the instant is moved into the computer's
// current local zone. An empty text gives 0; a text without a zone is local time.
TDateTime DecodeHttpDate(const std::string& text);

// As DecodeHttpDate, with the local offset and locale month names given.
TDateTime DecodeHttpDateAt(const std::string& text, int localOffsetMinutes,
                           const std::string (&localeMonths)[12]);

}  // namespace kova
