#pragma once
// Program start: where the options come from, the command-line commands ("/?", "/clean", and
// the two halves of the self-update handshake, "/update" and "/delete"), and the single-instance
// rule with its two message names.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/instance.h"
#include "support/datetime.h"
#include "support/translation.h"

namespace kova {

// Last-write time of the running executable, local time; -1 when it cannot be read.
extern TDateTime ExeFileDate;
// Ids of "CLOSE==" + Uid and "FOCUS==" + Uid.
extern unsigned CloseMessage;
extern unsigned FocusMessage;
// The single-instance lock this instance holds; null when another instance holds it, or none
// could be taken (an empty Uid gives no protection).
extern std::unique_ptr<platform::TInstanceLock> InstanceMutex;
// The game folder the options were found for, ending with a path delimiter: the program's own
// folder, or the folder an installed launcher was started in when it found the game's
// options there. Set by StartUp.
extern std::string GameFolder;
// Set by StartUp when it found no game: the folder it looked in for the game's kovaupdater.xml.
extern std::string NoGameIn;
// The bundle the command line names (--bundle FILE) for the runs to take their pieces from.
extern std::string BundlePath;
// What the window says then, and how to start it for a game.
inline const char* const kNoGame = TrNoop("No game found: there is no kovaupdater.xml in %s");
inline const char* const kNoGameHint = TrNoop(
    "Start KovaUpdater in the game folder, or with the game's options: kovaupdater "
    "GAME/kovaupdater.xml");

extern const char* const kApplicationName;     // "KovaUpdater"
extern const char* const kApplicationCaption;  // name with the author notice

struct TStartUpHost {
  // Shows an information box and waits until it is dismissed.
  std::function<void(const std::string& caption, const std::string& text)> ShowInformation;
};

// Runs the command in `params` (the parameters after the program's own name). Returns Stop:
// true when the program must end without showing its window.
bool StartUp(const std::vector<std::string>& params, const TStartUpHost& host);

// True when another instance holds the lock `name`; otherwise this instance keeps it.
bool MutexExists(const std::string& name);

// The help text, lines joined by a single carriage return.
std::string HelpText(TDateTime exeFileDate);
// The options document beside the executable: its extension replaced by ".xml".
std::string SidecarPath(const std::string& exePath);
// The options document for a game: the one beside the program, else the game's own in
// `gameFolder` (ending with a delimiter), for a program installed away from the game; empty:
// the built-in one.
std::string OptionsDocumentFor(const std::string& exePath, const std::string& gameFolder);
// Reads the options document at `path` into the options object, or the built-in one when `path`
// is empty. Raises when the file cannot be read or the document is refused.
void LoadOptionsDocument(const std::string& path);

// Message names delivered over the instance lock.
std::string CloseMessageName(const std::string& uid);
std::string FocusMessageName(const std::string& uid);

// Reads the persisted state once the identifier is known and settles the home folder: the
// stored one when RestoreHomeDir is set and it still exists, else `folder` (GameFolder). A
// corrupt stored date is ignored here, so it never keeps the program from starting.
void InitHomeState(const std::string& folder);

// Waits and retries while `attempt` fails: 133 ms sleeps out of a 5,000 ms budget, so at most
// 38 attempts. Returns whether one succeeded.
bool RetryForFiveSeconds(const std::function<bool()>& attempt);

}  // namespace kova
