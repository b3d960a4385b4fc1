#pragma once
// The player's language, as the system names it.

#include <string>
#include <vector>

namespace kova::platform {

// The player's locale names in the order of preference ("de_DE.UTF-8", "de"); none when the
// player asked for the program's own texts ("C", or nothing set). On POSIX systems it is read
// as gettext reads it: LC_ALL, LC_MESSAGES or LANG names the locale, and LANGUAGE, a list
// separated by colons, goes before it unless the locale is "C". On Windows it is the user's
// interface language.
std::vector<std::string> PlayerLocales();

// Lets a console show the UTF-8 texts a console program writes: Windows' console otherwise reads
// them in its own code page. Nothing to do on POSIX systems.
void UseUtf8Console();

}  // namespace kova::platform
