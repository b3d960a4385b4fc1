#pragma once
// Names cross to Windows through its wide ("W") functions. The program holds every name as UTF-8
// (the lists, the options and the command line are UTF-8), which the "A" functions would read in
// the system's code page instead: "café" would be written as "cafÃ©".

#include <string>

namespace kova::platform {

// A name for a "W" function. A byte that starts no UTF-8 character (a name written in the
// system's code page by an older publisher's tool) is read in that code page, as before.
std::wstring Wide(const std::string& name);
// A name a "W" function gave back, as UTF-8.
std::string Utf8(const wchar_t* wide, std::size_t length);
inline std::string Utf8(const std::wstring& wide) {
  return Utf8(wide.data(), wide.size());
}
inline std::string Utf8(const wchar_t* wide) {
  return Utf8(std::wstring(wide));
}

}  // namespace kova::platform
