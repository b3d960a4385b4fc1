#include <windows.h>

#include "platform/win32/shown_text.h"
#include "platform/win32/wide_path.h"

namespace kova::platform {

namespace {

// The length of the well-formed UTF-8 character at `text[at]` and its code point; 0 when none
// starts there (overlong forms and surrogates are no characters).
std::size_t Utf8Character(const std::string& text, std::size_t at, char32_t& point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, least = 0x80, point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, least = 0x800, point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, least = 0x10000, point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    point = (point << 6) | (byte(at + i) & 0x3F);
  }
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::wstring ShownText(const std::string& text) {
  std::wstring shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t point = 0;
    if (const std::size_t length = Utf8Character(text, at, point)) {
      if (point >= 0x10000) {
        point -= 0x10000;
        shown += static_cast<wchar_t>(0xD800 + (point >> 10));
        shown += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
      } else {
        shown += static_cast<wchar_t>(point);
      }
      at += length;
      continue;
    }
    wchar_t wide = L'?';
    MultiByteToWideChar(CP_ACP, 0, &text[at], 1, &wide, 1);
    shown += wide;
    ++at;
  }
  return shown;
}

std::wstring Wide(const std::string& name) {
  return ShownText(name);
}

std::string Utf8(const wchar_t* wide, std::size_t length) {
  if (length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), out.data(), n, nullptr,
                        nullptr);
  return out;
}

}  // namespace kova::platform
