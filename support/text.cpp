#include "support/text.h"

#include <limits>

namespace kova {

std::string UpperCaseAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

std::string LowerCaseAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

std::string TrimBlanks(std::string_view s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && static_cast<unsigned char>(s[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(s[end - 1]) <= 0x20) --end;
  return std::string(s.substr(begin, end - begin));
}

std::string HexUpper8(std::uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits only, accumulated with an overflow check against `limit`.
bool ParseUnsigned(std::string_view s, int base, std::uint64_t limit, std::uint64_t& value) {
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    int d = base == 16 ? HexDigit(c) : ((c >= '0' && c <= '9') ? c - '0' : -1);
    if (d < 0) return false;
    if (v > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
      return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  value = v;
  return true;
}

}  // namespace

bool ParseHex32(std::string_view s, std::uint32_t& value) {
  std::uint64_t v = 0;
  if (!ParseUnsigned(s, 16, 0xFFFFFFFFu, v)) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

namespace {

// An optional sign, then digits of `base` (an integer of at most `max` in magnitude, one more when
// negative).
bool ParseSigned(std::string_view s, bool allowHexPrefix, std::uint64_t max, std::int64_t& value) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (allowHexPrefix && !s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (allowHexPrefix && s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  std::uint64_t v = 0;
  if (!ParseUnsigned(s, base, negative ? max + 1 : max, v)) return false;
  value = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  return true;
}

}  // namespace

bool ParseDecimal64(std::string_view s, std::int64_t& value) {
  return ParseSigned(s, false, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
                     value);
}

bool ParseInteger32(std::string_view s, std::int32_t& value) {
  std::int64_t v = 0;
  if (!ParseSigned(s, true, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()),
                   v))
    return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

std::vector<std::string> SplitCommandLine(const std::string& text) {
  auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  std::vector<std::string> params;
  std::size_t p = 0;
  for (;;) {
    for (;;) {
      while (p < text.size() && byte(p) <= ' ') ++p;
      if (byte(p) == '"' && byte(p + 1) == '"')
        p += 2;
      else
        break;
    }
    std::string param;
    while (p < text.size() && byte(p) > ' ') {
      if (text[p] == '"') {
        ++p;
        while (p < text.size() && text[p] != '"') param += text[p++];
        if (p < text.size()) ++p;
      } else {
        param += text[p++];
      }
    }
    if (param.empty()) return params;
    params.push_back(param);
  }
}

}  // namespace kova
