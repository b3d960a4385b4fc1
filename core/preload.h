#pragma once
// The stage a pre-load fills inside the game folder: the next version's files (and what of
// their archives and chunks is on its way) under "files", beside the next list they are for
// ("list.xml"). Nothing outside it changes before the release; the release takes each file
// from it, checked as one just unpacked.

#include <string>

#include "core/patch_list.h"

namespace kova {

// The next version's list as kova-publish --next writes it, and the folder beside it its own
// archives are published under (a changed file's archive for the list keeps its name until the
// release).
inline const char* const kNextListName = "patchlist.next.xml";
inline const char* const kNextFolder = "next/";

// The stage's folder in the game folder.
inline const char* const kStageFolder = ".kovanext";

// The stage of the game folder `home` (with its trailing separator).
std::string StageFolder(const std::string& home);
// The stage's files' folder, when the stage is there and may be used for the list `map` (no
// link in its place, and no record of the list inside it); empty otherwise.
std::string UsableStage(const std::string& home, TPatchMap& map);
// Whether a list names a file inside the stage's folder, which is then the game's own.
bool NamesStage(TPatchMap& map);
// Whether a list names a file inside the game folder's folder `top`.
bool NamesFolder(TPatchMap& map, const char* top);
// The folder the old copies of replaced files are removed from.
inline const char* const kTrashFolder = ".kovatrash";
// Whether two records describe the same file: its name, size, CRC-32 and SHA-256 (however its
// archive was made).
bool SameTarget(const TPatchItem& a, const TPatchItem& b);
// Removes what the stage holds for one record: its file, its archive and partial archive, its
// new copy and its fetched chunks.
void RemoveStagedPieces(const std::string& files, const TPatchItem& item);

}  // namespace kova
