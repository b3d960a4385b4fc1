#pragma once
// A message box for programs without a window toolkit.

#include <string>

namespace kova::platform {

// Shows `text` (lines joined by a carriage return) with `caption` and the information icon and
// returns when it is dismissed; where the system has no message box of its own (a POSIX
// system without a toolkit), the two go to standard output.
void InformationBox(const std::string& caption, const std::string& text);

}  // namespace kova::platform
