#include "core/startup.h"

#include "core/language.h"
#include "core/options.h"
#include "core/utility.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/resources.h"
#include "support/text.h"
#include "support/translation.h"
#include "support/version.h"

namespace kova {

TDateTime ExeFileDate = 0;
unsigned CloseMessage = 0;
unsigned FocusMessage = 0;
std::unique_ptr<platform::TInstanceLock> InstanceMutex;
std::string GameFolder;
std::string NoGameIn;
std::string BundlePath;

const char* const kApplicationName = "KovaUpdater";
const char* const kApplicationCaption =
    TrNoop("KovaUpdater - game launcher by the KovaUpdater developers");

std::string CloseMessageName(const std::string& uid) {
  return "CLOSE==" + uid;
}
std::string FocusMessageName(const std::string& uid) {
  return "FOCUS==" + uid;
}

std::string SidecarPath(const std::string& exePath) {
  return ChangeFileExt(exePath, ".xml");
}

std::string HelpText(TDateTime exeFileDate) {
  const char cr = '\r';
  std::string text = std::string("KovaUpdater ") + KOVA_VERSION;
  text += cr;
  text += TrFormat("version date: %s", {DateTimeToText(exeFileDate)});
  text += cr;
  text += cr;
  text += Tr("/? - Display command line parameters.");
  text += cr;
  text += Tr("/clean - Clean updater settings from registry.");
  text += cr;
  text += cr;
  text += Tr("Written by the KovaUpdater developers.");
  return text;
}

namespace {
// The name of a game's options document in its folder, for a launcher installed elsewhere.
constexpr char kGameOptionsName[] = "kovaupdater.xml";
}  // namespace

std::string OptionsDocumentFor(const std::string& exePath, const std::string& gameFolder) {
  for (const std::string& path : {SidecarPath(exePath), gameFolder + kGameOptionsName}) {
    if (platform::FileExists(path)) return path;
  }
  return {};
}

void LoadOptionsDocument(const std::string& path) {
  TUpdaterOptions& options = UpdaterOptions();
  if (!path.empty()) {
    auto stream = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
    options.LoadFromStream(*stream);
    return;
  }
  std::string_view builtIn;
  if (platform::FindResourceData("OPTIONS", builtIn)) {
    TMemoryStream stream{std::string(builtIn)};
    options.LoadFromStream(stream);
  }
}

bool RetryForFiveSeconds(const std::function<bool()>& attempt) {
  int budget = 5000;
  do {
    if (attempt()) return true;
    platform::SleepMilliseconds(133);
    budget -= 133;
  } while (budget > 0);
  return false;
}

bool MutexExists(const std::string& name) {
  platform::TInstanceLock::TResult result{};
  auto lock = platform::TInstanceLock::TryAcquire(name, result);
  if (result == platform::TInstanceLock::TResult::HeldElsewhere) return true;
  InstanceMutex = std::move(lock);  // null when it could not be taken: run without one
  return false;
}

namespace {

// Reads the options and settles the folder they belong to. A launcher beside its game reads the
// document beside it; one installed away from any game (in /usr/bin) reads the game's
// "kovaupdater.xml" in the folder it was started in, which is then the game folder; else the
// built-in document. Any failure leaves the options as far as they were read; start-up goes on
// quietly.
// A document named on the command line (GAME/kovaupdater.xml) names its game's folder.
void ReadOptions(const std::string& exePath, const std::string& named) {
  const std::string here = ExtractFilePath(platform::AbsolutePath(kGameOptionsName));
  const std::string path =
      named.empty() ? OptionsDocumentFor(exePath, here) : platform::AbsolutePath(named);
  GameFolder =
      named.empty()
          ? (!path.empty() && path != SidecarPath(exePath) ? here : ExtractFilePath(exePath))
          : ExtractFilePath(path);
  NoGameIn = path.empty() ? here : std::string();
  try {
    LoadOptionsDocument(path);
  } catch (const std::exception&) {
  }
  ChooseLanguage(UpdaterOptions().Language, LanguageFolders(GameFolder, exePath));
}

std::string Param(const std::vector<std::string>& params, std::size_t index) {
  return index < params.size() ? params[index] : std::string();
}

}  // namespace

bool StartUp(const std::vector<std::string>& params, const TStartUpHost& host) {
  const std::string exePath = platform::ExecutablePath();
  const std::string first = Param(params, 0);
  const bool namesOptions = first.size() > 4 &&
                            LowerCaseAscii(first.substr(first.size() - 4)) == ".xml" &&
                            platform::FileExists(first);
  ReadOptions(exePath, namesOptions ? first : std::string());
  for (std::size_t i = 0; i + 1 < params.size(); ++i)
    if (params[i] == "--bundle") BundlePath = platform::AbsolutePath(params[i + 1]);
  ExeFileDate = GetFileModifyTime(exePath);
  const std::string& uid = UpdaterOptions().Uid;
  CloseMessage = platform::RegisterMessage(CloseMessageName(uid));
  FocusMessage = platform::RegisterMessage(FocusMessageName(uid));

  bool stop = false;
  const std::string command = LowerCaseAscii(TrimBlanks(Param(params, 0)));
  // The spellings a player tries first answer too, instead of starting an update run.
  if (command == "/?" || command == "--help" || command == "-h") {
    if (host.ShowInformation) host.ShowInformation(Tr(kApplicationCaption), HelpText(ExeFileDate));
    stop = true;
  } else if (command == "--version") {
    if (host.ShowInformation)
      host.ShowInformation(Tr(kApplicationCaption), std::string("kovaupdater ") + KOVA_VERSION);
    stop = true;
  } else if (command == "/update") {
    const std::string target = Param(params, 1);
    if (platform::FileExists(target)) {
      const std::string parameters = "/delete \"" + exePath + "\" " + Param(params, 2);
      // The build is copied once; while the old launcher still runs only the move is retried.
      if (platform::CopyBeside(exePath, target)) {
        const bool replaced = RetryForFiveSeconds([&] {
          if (!platform::PutCopyInPlace(target)) return false;
          ExecuteFile(target, parameters, ExtractFilePath(target));
          return true;
        });
        if (!replaced) platform::RemoveFile(target + platform::kCopySuffix);
      }
    }
    stop = true;
  } else if (command == "/delete") {
    const std::string victim = Param(params, 1);
    const std::string option = LowerCaseAscii(TrimBlanks(Param(params, 2)));
    if (platform::FileExists(victim))
      RetryForFiveSeconds([&] { return platform::RemoveFile(victim); });
    stop = option == "/exit";
  } else if (command == "/clean") {
    UpdaterOptions().CleanSettings();
    stop = true;
  }

  if (MutexExists(uid)) {
    platform::SendInstanceMessage(uid, FocusMessageName(uid));
    stop = true;
  }
  return stop;
}

void InitHomeState(const std::string& folder) {
  TUpdaterOptions& options = UpdaterOptions();
  try {
    options.LoadState();
  } catch (const std::exception&) {
    // A corrupt stored date keeps its field as it was; it must not stop the program.
  }
  if (!options.RestoreHomeDir() || !platform::DirectoryExists(options.HomeDir())) {
    options.SetHomeDir(folder);
  }
}

}  // namespace kova
