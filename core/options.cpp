#include "core/options.h"

#include <algorithm>

#include "core/patch_list.h"
#include "core/utility.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/error.h"
#include "support/signature.h"
#include "support/text.h"
#include "xml/xml_document.h"

namespace kova {

const char* const kRegistryPath = "Software\\Tessary\\KovaUpdater\\";

namespace {

void ReadMaskList(const TXmlElement& element, TMaskList& list) {
  list.clear();
  for (std::size_t i = 0; i < element.ChildCount(); ++i) {
    const TXmlNode* child = element.ChildAt(i);
    if (child->Kind() == xnkElement && child->Name() == "mask") {
      // Every mask is tried on every listed file: their number is bounded like their length.
      if (list.size() >= kMaxMasks) {
        throw EMaskError("More than " + std::to_string(kMaxMasks) + " masks in one list");
      }
      list.push_back(
          std::make_unique<TMaskPair>(static_cast<const TXmlElement*>(child)->ElementText()));
    }
  }
}

}  // namespace

void TOptions::LoadFromStream(TStream& stream) {
  auto document = NewXmlDocument();
  document->ReadFromStream(stream);
  const TXmlElement* root = document->FindChildElement("options");
  Stamp = TDocumentStamp();
  if (!root) return;
  ReadDocumentStamp(*root, Stamp);
  // An address element named again gives a mirror of the first: the document's first one of
  // each replaces the address and the mirrors held before.
  std::vector<std::string> named;
  auto address = [&named](const TXmlElement& element, std::string& primary,
                          std::vector<std::string>& mirrors) {
    if (std::find(named.begin(), named.end(), element.Name()) == named.end()) {
      named.push_back(element.Name());
      primary = element.ElementText();
      mirrors.clear();
      return true;
    }
    mirrors.push_back(element.ElementText());
    return false;
  };
  // A publication in zstd is named by <patchlist_zstd>, which launchers that cannot read zstd
  // pass over (they keep to <patchlist>, the same game in LZMA); this one takes it instead.
  bool zstdList = false;
  for (std::size_t i = 0; i < root->ChildCount(); ++i) {
    const TXmlNode* node = root->ChildAt(i);
    if (node->Kind() != xnkElement) continue;
    const auto& element = *static_cast<const TXmlElement*>(node);
    const std::string& name = element.Name();
    if (name == "patchlist_zstd") {
      zstdList = true;
      address(element, PatchListUrl, PatchListMirrors);
    } else if (name == "uid") {
      Uid = element.ElementText();
    } else if (name == "options") {
      address(element, OptionsUrl, OptionsMirrors);
    } else if (name == "news") {
      address(element, NewsUrl, NewsMirrors);
    } else if (name == "patchlist") {
      if (!zstdList) address(element, PatchListUrl, PatchListMirrors);
    } else if (name == "updater") {
      if (!address(element, UpdaterUrl, UpdaterMirrors)) continue;
      UpdaterSha256 = element.AttrText("sha256");
      if (!IsSha256Hex(UpdaterSha256)) UpdaterSha256.clear();
      if (!ParseSerial(element.AttrText("serial"), UpdaterSerial)) UpdaterSerial = -1;
    } else if (name == "full_check") {
      if (element.HasAttr("days")) FullCheckDays = element.AttrInt("days", 0);
      for (std::size_t j = 0; j < element.ChildCount(); ++j) {
        const TXmlNode* child = element.ChildAt(j);
        if (child->Kind() == xnkElement && child->Name() == "reload_patchlist")
          Flags |= ofReloadPatchList;
      }
    } else if (name == "restore_homedir") {
      Flags |= ofRestoreHomeDir;
    } else if (name == "public_key") {
      PublicKey = TrimBlanks(element.ElementText());
    } else if (name == "title") {
      Title = element.ElementText();
    } else if (name == "language") {
      Language = TrimBlanks(element.ElementText());
    } else if (name == "run") {
      for (std::size_t j = 0; j < element.ChildCount(); ++j) {
        const TXmlNode* child = element.ChildAt(j);
        if (child->Kind() != xnkElement) continue;
        const auto& item = *static_cast<const TXmlElement*>(child);
        if (item.Name() == "program")
          RunProgram = item.ElementText();
        else if (item.Name() == "params")
          RunParams = item.ElementText();
        else if (item.Name() == "close_updater")
          Flags |= ofCloseUpdater;
        else if (item.Name() == "allow_multiple_run")
          Flags |= ofAllowMultipleRun;
      }
    } else if (name == "next_patchlist") {
      if (!address(element, NextPatchListUrl, NextPatchListMirrors)) continue;
      // Numbers that are none leave the defaults.
      std::int64_t value = 0;
      PreloadRate = kDefaultPreloadRate;
      PreloadCap = 0;
      if (ParseDecimal64(TrimBlanks(element.AttrText("rate")), value) && value >= 0 &&
          value <= (1ll << 40))
        PreloadRate = value * 1024;
      if (ParseDecimal64(TrimBlanks(element.AttrText("cap")), value) && value >= 0 &&
          value <= (1ll << 30))
        PreloadCap = value << 20;
    } else if (name == "connections") {
      // A count that is no number leaves the one before; any other is kept within 1 to 16.
      std::int64_t count = 0;
      if (ParseDecimal64(TrimBlanks(element.ElementText()), count))
        Connections = static_cast<int>(std::clamp<std::int64_t>(count, 1, kMaxConnections));
    } else if (name == "hard_check") {
      ReadMaskList(element, HardCheckMasks);
    } else if (name == "soft_check") {
      ReadMaskList(element, SoftCheckMasks);
    }
  }
}

TUpdaterOptions::TUpdaterOptions(TRootKey rootKey, std::string registryPath)
    : RootKey(rootKey), RegistryPath(std::move(registryPath)) {
  ResetDefaults();
  LoadState();
}

void TUpdaterOptions::ResetDefaults() {
  FullCheckDays = 7;
  Flags = ofCloseUpdater;
  Connections = kDefaultConnections;
  HardCheckMasks.clear();
  SoftCheckMasks.clear();
}

void TUpdaterOptions::LoadState() {
  if (Uid.empty()) return;
  const std::string key = SettingsKey() + "\\";
  std::string text;
  if (RegReadString(RootKey, key + "HomeDir", text) && !text.empty()) {
    homeDir_ = platform::NormalisePath(text);
    if (homeDir_.back() != '/') homeDir_ += '/';
  }
  std::string firstError;
  for (auto [name, field] :
       {std::pair{"LastUpdate", &lastUpdate_}, std::pair{"LastFullCheck", &lastFullCheck_}}) {
    if (!RegReadString(RootKey, key + name, text) || text.empty()) continue;
    try {
      *field = TextToDateTime(text);
    } catch (const EConvertError& e) {
      if (firstError.empty()) firstError = e.what();
    }
  }
  if (!firstError.empty()) throw EConvertError(firstError);
}

void TUpdaterOptions::WriteValue(const std::string& name, const std::string& text) {
  if (!Uid.empty()) RegWriteString(RootKey, SettingsKey() + "\\" + name, text);
}

void TUpdaterOptions::SetHomeDir(const std::string& directory) {
  if (directory == homeDir_) return;
  // One spelling of the folder, with "/" separators, whatever the system gave or stored.
  homeDir_ = platform::NormalisePath(directory);
  if (homeDir_.empty() || homeDir_.back() != '/') homeDir_ += '/';
  WriteValue("HomeDir", homeDir_);
}

void TUpdaterOptions::SetLastUpdate(TDateTime value) {
  if (SameDateTime(value, lastUpdate_)) return;
  lastUpdate_ = value;
  WriteValue("LastUpdate", DateTimeToText(value));
}

void TUpdaterOptions::SetLastFullCheck(TDateTime value) {
  if (SameDateTime(value, lastFullCheck_)) return;
  lastFullCheck_ = value;
  WriteValue("LastFullCheck", DateTimeToText(value));
}

bool TUpdaterOptions::IsFullCheckDueAt(TDateTime now) const {
  if (FullCheckDays <= 0) return false;
  return WholeDaysBetween(now, lastFullCheck_) >= FullCheckDays;
}

bool TUpdaterOptions::IsFullCheckDue() const {
  return IsFullCheckDueAt(platform::NowLocal());
}

namespace {

bool AnyMatches(const TMaskList& list, const std::string& fileName) {
  for (const auto& pair : list) {
    if (pair->Matches(fileName)) return true;
  }
  return false;
}

}  // namespace

bool TUpdaterOptions::IsHardCheck(const std::string& fileName) const {
  return AnyMatches(HardCheckMasks, fileName);
}

bool TUpdaterOptions::IsSoftCheck(const std::string& fileName) const {
  return AnyMatches(SoftCheckMasks, fileName);
}

void TUpdaterOptions::CleanSettings() {
  if (Uid.empty()) return;
  // A key with subkeys cannot be deleted, so the cache goes first.
  RegDeleteKeyPath(RootKey, SettingsKey() + "\\PatchList");
  RegDeleteKeyPath(RootKey, SettingsKey());
}

std::string TUpdaterOptions::ProgramPath() const {
  // A downloaded document names the program too: one that leaves the game folder would have
  // Start run anything on the player's machine.
  if (!IsSafeRelativeName(RunProgram)) return {};
  return HomeDir() + BackslashToSlash(RunProgram);
}

namespace {
std::unique_ptr<TUpdaterOptions>& Instance() {
  static std::unique_ptr<TUpdaterOptions> instance;
  return instance;
}
}  // namespace

TUpdaterOptions& UpdaterOptions() {
  auto& instance = Instance();
  if (!instance) instance = std::make_unique<TUpdaterOptions>(kHkeyCurrentUser, kRegistryPath);
  return *instance;
}

void FreeUpdaterOptions() {
  Instance().reset();
}

}  // namespace kova
