#pragma once
// The options document and the state kept between runs.
//
// TOptions holds what the document says: identifier, title, addresses, the game program, the
// check masks and four flags. TUpdaterOptions adds the settings kept in the store under
// "Software\Tessary\KovaUpdater\<Uid>": home folder and the dates of the last update and the last
// full check. While `Uid` is empty nothing is read from or written to the store.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/document_stamp.h"
#include "core/mask.h"
#include "core/registry.h"
#include "support/datetime.h"
#include "support/stream.h"

namespace kova {

enum TOptionFlag : std::uint8_t {
  ofReloadPatchList = 1u << 0,
  ofRestoreHomeDir = 1u << 1,
  ofCloseUpdater = 1u << 2,
  ofAllowMultipleRun = 1u << 3,
};

using TMaskList = std::vector<std::unique_ptr<TMaskPair>>;
// The most masks one "hard_check" or "soft_check" list may hold.
constexpr std::size_t kMaxMasks = 256;

class TOptions {
 public:
  TOptions() = default;
  virtual ~TOptions() = default;
  TOptions(const TOptions&) = delete;
  TOptions& operator=(const TOptions&) = delete;

  // Reads an options document over the current values: absent elements keep their fields, flags
  // only ever get set, and a "hard_check" or "soft_check" element replaces its whole list. Raises
  // on a malformed document, an invalid mask or a "days" that is no number; fields assigned
  // before the fault keep their new values.
  void LoadFromStream(TStream& stream);

  bool ReloadPatchList() const { return (Flags & ofReloadPatchList) != 0; }
  bool RestoreHomeDir() const { return (Flags & ofRestoreHomeDir) != 0; }
  bool CloseUpdater() const { return (Flags & ofCloseUpdater) != 0; }
  bool AllowMultipleRun() const { return (Flags & ofAllowMultipleRun) != 0; }

  std::string Uid;
  std::string Title;
  // The language the launcher's texts are shown in ("de", "pt_BR"), in place of the player's.
  std::string Language;
  std::string OptionsUrl;
  std::string NewsUrl;
  std::string PatchListUrl;
  std::string UpdaterUrl;
  // Further addresses of the same documents (mirrors), in the publisher's order; the list's
  // mirrors publish the archives under their own folders too.
  std::vector<std::string> OptionsMirrors;
  std::vector<std::string> NewsMirrors;
  std::vector<std::string> PatchListMirrors;
  std::vector<std::string> UpdaterMirrors;
  // The next version's list, to pre-load while the game is up to date (<next_patchlist>): its
  // address and mirrors, the rate the pre-load keeps to (bytes a second, 0: the player's limit
  // alone; the "rate" attribute in KiB/s) and the most its stage may take (bytes, 0: no cap
  // beyond keeping 5% of the disk free; "cap" in MiB).
  std::string NextPatchListUrl;
  std::vector<std::string> NextPatchListMirrors;
  std::int64_t PreloadRate = kDefaultPreloadRate;
  std::int64_t PreloadCap = 0;
  static constexpr std::int64_t kDefaultPreloadRate = 1 << 20;
  TMaskList HardCheckMasks;
  TMaskList SoftCheckMasks;
  std::int32_t FullCheckDays = 7;
  std::uint8_t Flags = ofCloseUpdater;
  std::string RunProgram;
  std::string RunParams;
  // The publisher's Ed25519 public key (base64) that downloads must be signed with; empty: none.
  // Only the document beside the program or the built-in one may set it: the update run keeps
  // it across every downloaded document.
  std::string PublicKey;
  // What the document last read says of itself (serial, uid, expiry, kind).
  TDocumentStamp Stamp;
  // The launcher build the publisher names for this game: its SHA-256 and its serial in the
  // sequence of builds ("sha256" and "serial" on "updater"); empty and -1 when not named. With a
  // key pinned no other build is ever written or started.
  std::string UpdaterSha256;
  std::int64_t UpdaterSerial = -1;
  // How many transfers may run at once ("connections"): the archive of the file being repaired
  // and those of the files after it, fetched ahead. 1 fetches one archive at a time.
  int Connections = kDefaultConnections;
  // For one run, from the command line: replaces what any document says (0: none).
  int ConnectionsOverride = 0;
  int TransferCount() const { return ConnectionsOverride > 0 ? ConnectionsOverride : Connections; }

  static constexpr int kDefaultConnections = 6;
  static constexpr int kMaxConnections = 16;
};

class TUpdaterOptions : public TOptions {
 public:
  TUpdaterOptions(TRootKey rootKey, std::string registryPath);

  void ResetDefaults();
  // Reads "HomeDir", "LastUpdate" and "LastFullCheck"; a missing or empty value leaves its field.
  // Every value is tried; a stored date that cannot be parsed leaves its field as it was and
  // raises EConvertError "'%s' is not a valid date and time" once the others are read.
  void LoadState();
  std::string SettingsKey() const { return RegistryPath + Uid; }

  const std::string& HomeDir() const { return homeDir_; }
  TDateTime LastUpdate() const { return lastUpdate_; }
  TDateTime LastFullCheck() const { return lastFullCheck_; }
  void SetHomeDir(const std::string& directory);
  void SetLastUpdate(TDateTime value);
  void SetLastFullCheck(TDateTime value);

  bool IsFullCheckDue() const;
  // As IsFullCheckDue, against a given current time.
  bool IsFullCheckDueAt(TDateTime now) const;
  bool IsHardCheck(const std::string& fileName) const;
  bool IsSoftCheck(const std::string& fileName) const;
  // Removes the settings key with its "PatchList" subkey.
  void CleanSettings();
  // The game program's local path (home folder and `RunProgram`); empty when `RunProgram` is
  // no name inside the game folder (absolute, climbing out with "..", and the like), which is
  // never started.
  std::string ProgramPath() const;

  const TRootKey RootKey;
  const std::string RegistryPath;

 private:
  void WriteValue(const std::string& name, const std::string& text);

  std::string homeDir_;
  TDateTime lastUpdate_ = 0;
  TDateTime lastFullCheck_ = 0;
};

// The one process-wide options object, created on first use.
TUpdaterOptions& UpdaterOptions();
void FreeUpdaterOptions();

extern const char* const kRegistryPath;  // "Software\Tessary\KovaUpdater\"

}  // namespace kova
