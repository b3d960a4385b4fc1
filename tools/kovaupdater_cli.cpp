// kovaupdater-cli: the update run with a console in place of the window.
//
//   kovaupdater-cli [--options FILE] [--home DIR] [--check] [--retries N] [--connections N]
//   [--jobs N] [--limit-rate KIB_S]
//
// Information lines go to standard output, one per line, and nothing else; progress goes to
// standard error. The exit status is 0 when the run checked every file and left each as listed
// (or had nothing to check) and was not cancelled, 1 otherwise, 2 for a bad command line.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/console_host.h"
#include "core/language.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run.h"
#include "core/utility.h"
#include "net/proxy.h"
#include "platform/files.h"
#include "platform/language.h"
#include "platform/main_loop.h"
#include "platform/process.h"
#include "support/version.h"

namespace {

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "kovaupdater-cli: %s\n", message);
  std::fprintf(stderr,
               "usage: kovaupdater-cli [--options FILE] [--home DIR] [--check] [--bundle FILE] "
               "[--preload] [--retries N] [--connections N] [--jobs N] [--limit-rate KIB_S]\n"
               "       kovaupdater-cli --version\n");
  return 2;
}

// What --help prints: every option and what it does, and how the run ends.
int Help() {
  std::printf(
      "usage: kovaupdater-cli [OPTION]...\n"
      "Brings a game folder up to date from its publisher's server, as the launcher's window\n"
      "does, with information lines on standard output and progress on standard error.\n"
      "\n"
      "  --options FILE      the options document (by default kovaupdater.xml beside the\n"
      "                      program, then in the game folder)\n"
      "  --home DIR          the game folder (the current folder by default)\n"
      "  --check             checks every file by its CRC-32, whatever the last run noted\n"
      "  --bundle FILE       takes the list and the archives from FILE (kova-publish bundle),\n"
      "                      checked as the server's; what it lacks comes from the server\n"
      "  --preload           then, when the options name a next version, fetches what it\n"
      "                      needs into the game folder's stage (.kovanext) and ends when\n"
      "                      the stage holds it all; the game's files stay as they are\n"
      "  --retries N         answers an error box with Retry up to N times (3 by default)\n"
      "  --connections N     up to N transfers at once, 1 to 16 (6 by default); a server that\n"
      "                      speaks HTTP/2 takes up to 128 on one connection\n"
      "  --jobs N            unpacks up to N files at once, 1 to 8 (one per core)\n"
      "  --limit-rate KIB_S  caps all downloads together, in KiB/s (0: no limit)\n"
      "  --version           prints the version\n"
      "  -h, --help          prints this help\n"
      "\n"
      "Exit status: 0 when every file has been checked and left as listed (and with\n"
      "--preload, the next version is staged, or none is named); 1 when the run or the\n"
      "pre-load failed or was cancelled; 2 for a command line it cannot use.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kova;
  // The arguments as UTF-8, as every name is held here (Windows hands `argv` in its code page).
  kova::platform::TUtf8Arguments arguments(argc, argv);
  argc = arguments.Count();
  argv = arguments.Argv();
  std::string optionsFile;
  std::string home;
  bool check = false;
  bool preload = false;
  int retries = 3;
  int connections = 0;
  int jobs = 0;
  std::int64_t limitRate = 0;
  std::string bundle;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // The argument after an option, or null when the command line ends.
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--options") {
      const char* v = value();
      if (!v) return Usage("--options needs a file");
      optionsFile = v;
    } else if (arg == "--home") {
      const char* v = value();
      if (!v) return Usage("--home needs a folder");
      home = v;
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--preload") {
      preload = true;
    } else if (arg == "--bundle") {
      const char* v = value();
      if (!v) return Usage("--bundle needs a file");
      bundle = v;
    } else if (arg == "--retries") {
      const char* v = value();
      char* end = nullptr;
      const long n = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end != '\0' || n < 0 || n > 1000000)
        return Usage("--retries needs a number from 0");
      retries = static_cast<int>(n);
    } else if (arg == "--connections") {
      const char* v = value();
      char* end = nullptr;
      const long n = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end != '\0' || n < 1 || n > TOptions::kMaxConnections)
        return Usage("--connections needs a number from 1 to 16");
      connections = static_cast<int>(n);
    } else if (arg == "--jobs") {
      const char* v = value();
      char* end = nullptr;
      const long n = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end != '\0' || n < 1 || n > TUpdateRun::kMaxJobs)
        return Usage("--jobs needs a number from 1 to 8");
      jobs = static_cast<int>(n);
    } else if (arg == "--limit-rate") {
      const char* v = value();
      char* end = nullptr;
      const long long n = v ? std::strtoll(v, &end, 10) : -1;
      if (!v || *end != '\0' || n < 0 || n > 100ll * 1024 * 1024)
        return Usage("--limit-rate needs a number of KiB/s from 0 (no limit)");
      limitRate = n * 1024;
    } else if (arg == "--help" || arg == "-h") {
      return Help();
    } else if (arg == "--version") {
      std::printf("kovaupdater-cli %s\n", KOVA_VERSION);
      return 0;
    } else {
      return Usage(("unknown argument: " + arg).c_str());
    }
  }

  const std::string folder = platform::AbsolutePath(home.empty() ? "." : home);
  if (folder.empty() || !platform::DirectoryExists(folder)) {
    std::fprintf(stderr, "kovaupdater-cli: the game folder %s does not exist\n",
                 (folder.empty() ? home : folder).c_str());
    return 2;
  }
  std::string homeDir = folder;
  if (homeDir.empty() || homeDir.back() != '/') homeDir += '/';

  // The options named, else the document beside the program, else the game's own document in
  // its folder (a program installed away from the game), else the built-in one.
  TUpdaterOptions& options = UpdaterOptions();
  const std::string exePath = platform::ExecutablePath();
  try {
    if (optionsFile.empty()) optionsFile = OptionsDocumentFor(exePath, homeDir);
    LoadOptionsDocument(optionsFile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kovaupdater-cli: cannot read the options %s: %s\n", optionsFile.c_str(),
                 e.what());
    return 1;
  }
  // Without a document that names a list there is no game to bring up to date: a run would
  // check nothing and call that a success.
  if (optionsFile.empty() && options.PatchListUrl.empty()) {
    std::fprintf(stderr,
                 "kovaupdater-cli: no game found: there is no kovaupdater.xml in %s; start it in "
                 "the game folder, or name the game's kovaupdater.xml with --options\n",
                 folder.c_str());
    return 1;
  }
  ChooseLanguage(options.Language, LanguageFolders(homeDir, exePath));
  platform::UseUtf8Console();
  // Two runs over one folder at once would undo each other's repairs.
  if (MutexExists(options.Uid)) {
    std::fprintf(stderr, "kovaupdater-cli: KovaUpdater is already running for %s\n",
                 options.Uid.c_str());
    return 1;
  }
  try {
    options.LoadState();
  } catch (const std::exception&) {
    // A corrupt stored date leaves its default.
  }
  options.SetHomeDir(homeDir);

  options.ConnectionsOverride = connections;
  TConsoleHost host(retries, stdout, stderr, ::isatty(STDERR_FILENO) != 0);
  // A proxy that refuses the run's requests is named, or the player sees only a failed download.
  SetProxyNotice([](const std::string& text) {
    std::fprintf(stderr, "kovaupdater-cli: %s\n", text.c_str());
    std::fflush(stderr);
  });
  TUpdateRun run(host);
  run.SetSpeedLimit(limitRate);
  run.SetJobs(jobs);
  run.SetBundle(bundle);
  run.SetPreload(preload);
  platform::OnInterrupt([&run] {
    if (run.IsRunning()) run.SetCancelled(true);
  });
  // A launcher started for the same game while this run holds it asks for its window in vain:
  // the player learns why here, and a close message cancels the run as it would the window's.
  const std::string uid = options.Uid;
  if (InstanceMutex) {
    InstanceMutex->ServeMessages(
        {FocusMessageName(uid), CloseMessageName(uid)}, [&run, uid](const std::string& message) {
          if (message == CloseMessageName(uid)) {
            std::fprintf(stderr, "kovaupdater-cli: a close was requested; cancelling the run\n");
            if (run.IsRunning()) run.SetCancelled(true);
          } else {
            std::fprintf(stderr,
                         "kovaupdater-cli: KovaUpdater was started for %s, but this console run is "
                         "updating the game "
                         "folder; it can open once this run has ended\n",
                         uid.c_str());
          }
          std::fflush(stderr);
        });
  }
  if (check)
    run.CheckButtonClick();
  else
    run.UpdateRun(false);

  const bool succeeded = run.LastRunSucceeded() && (!preload || run.LastPreloadComplete());
  if (preload && !run.LastPreloadText().empty()) {
    std::printf("%s\n", run.LastPreloadText().c_str());
    std::fflush(stdout);
  }
  InstanceMutex.reset();
  FreeUpdaterOptions();
  return succeeded ? 0 : 1;
}
