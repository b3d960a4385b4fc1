#pragma once
// Byte-string helpers. Texts are 8-bit bytes with no character-set conversion; only the ASCII
// letters a to z take part in case folding.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

constexpr char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
constexpr char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string UpperCaseAscii(std::string_view s);
std::string LowerCaseAscii(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

// Trims bytes up to and including 0x20 at both ends.
std::string TrimBlanks(std::string_view s);

// "%08X"-style upper-case hexadecimal with zero padding.
std::string HexUpper8(std::uint32_t value);

// Strict conversions used by the document readers. Each returns false on text that is not
// entirely a number of the named form or does not fit.
bool ParseHex32(std::string_view s, std::uint32_t& value);     // 1+ hex digits, no prefix
bool ParseDecimal64(std::string_view s, std::int64_t& value);  // optional sign, 1+ digits
bool ParseInteger32(std::string_view s, std::int32_t& value);  // decimal, or $/0x hex

// Splits a parameter text as the program's command line is split: runs of bytes up to 0x20
// separate, a double quote starts a stretch running to the next one in which blanks do not
// separate, the quotes are dropped, and an empty pair of quotes where a parameter would start is
// skipped.
std::vector<std::string> SplitCommandLine(const std::string& text);

}  // namespace kova
