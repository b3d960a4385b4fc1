#pragma once
// Text shown to the player through the system's wide ("W") functions, so that a translation
// draws the same whatever the system's code page.

#include <string>

namespace kova::platform {

// The launcher's texts and their translations are UTF-8. A byte that starts no UTF-8 character
// (a file name of the patch list, written in the system's code page) is read in that code page,
// so a name put into a translated text still looks as it does in Explorer.
std::wstring ShownText(const std::string& text);

}  // namespace kova::platform
