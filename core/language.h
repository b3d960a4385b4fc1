#pragma once
// Which language the launcher's texts are shown in.

#include <string>
#include <vector>

namespace kova {

// Shows the texts from the catalog of `requested` (an options document's "language") or, when
// that is empty, of the player's locale; English when there is none. Each language is looked
// for most precise first ("pt_BR", then "pt"): a catalog a publisher put in a folder of
// `folders` as "locale/NAME/LC_MESSAGES/kovaupdater.mo" before the one built into the program.
// Returns the name of the catalog used, empty for English.
std::string ChooseLanguage(const std::string& requested, const std::vector<std::string>& folders);

// The folders a publisher's catalogs are looked for in: the game folder, then the program's.
std::vector<std::string> LanguageFolders(const std::string& gameFolder, const std::string& exePath);

}  // namespace kova
