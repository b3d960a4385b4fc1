#pragma once
// The Wine suites' fixture: a published game (TGameFixture), Wine in a prefix of its own in the
// Windows build folder, and an X display (Wine's windows, the hidden ones that take broadcast
// messages included, need one).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "tests/common/display.h"
#include "tests/common/game_fixture.h"

namespace kova::test {

const std::string kWin32 = KOVA_WIN32_DIR;

// A Linux path as the Windows programs see it under Wine.
inline std::string Win(const std::string& path) {
  return "Z:" + path;
}

class TWine : public TGameFixture {
 protected:
  static void SetUpTestSuite() {
    TGameFixture::SetUpTestSuite();
    xvfb_ = new TXvfb;
    ::setenv("WINEPREFIX", (kWin32 + "/wineprefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("KOVA_TRACE", "1", 1);
  }
  static void TearDownTestSuite() {
    Shell("wineserver -k 2>/dev/null");
    delete xvfb_;
    xvfb_ = nullptr;
    TGameFixture::TearDownTestSuite();
  }
  void SetUp() override {
    TGameFixture::SetUp();
    if (!WineCannotRun().empty()) GTEST_SKIP() << WineCannotRun();
    if (!std::filesystem::exists(kWin32 + "/kovaupdater-cli.exe")) {
      if (std::getenv("KOVA_REQUIRE_WIN32"))
        FAIL() << "the Windows programs are not built (scripts/build-win32)";
      GTEST_SKIP() << "the Windows programs are not built (scripts/build-win32)";
    }
  }
  // `trace`: what the window traces on standard error comes with the output.
  std::unique_ptr<TChild> Wine(const std::string& exe, const std::vector<std::string>& args,
                               const std::string& directory = {}, bool trace = true) {
    std::vector<std::string> all{
        "-c", trace ? "exec /usr/bin/wine \"$0\" \"$@\" 2>&1" : "exec /usr/bin/wine \"$0\" \"$@\"",
        exe};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<TChild>("/bin/sh", all, directory);
  }
  // The console run of the Windows build over the fixture's game folder.
  TCliRun WinCli(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{
        "--options", Win(work_ / "options.xml"), "--home", Win(home_), "--retries", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto cli = Wine(kWin32 + "/kovaupdater-cli.exe", args, {}, false);
    TCliRun run;
    run.Status = cli->WaitExit(180);
    run.Lines = Lines(cli->Output());
    for (std::string& line : run.Lines) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return run;
  }
  // The files a run downloaded, in its order, named with "/" whatever the platform shows.
  static std::vector<std::string> Downloads(const TCliRun& run) {
    std::vector<std::string> out;
    for (std::string line : run.Lines) {
      if (line.rfind("Downloading ", 0) != 0 || line == "Downloading patchlist...") continue;
      std::replace(line.begin(), line.end(), '\\', '/');
      out.push_back(line);
    }
    return out;
  }
  // The window id of the launcher's help box once it shows (within 30 s), or empty.
  static std::string HelpBox() {
    std::string box;
    Eventually(
        [&] {
          box = Shell(
              "xdotool search --onlyvisible --name '^KovaUpdater - game launcher' 2>/dev/null | "
              "head -n 1");
          box.erase(box.find_last_not_of(" \n") + 1);
          return !box.empty();
        },
        30);
    return box;
  }
  std::string RegQuery(const std::string& key, int* status = nullptr) {
    return Shell("wine reg query '" + key + "' 2>/dev/null", status);
  }

  static inline TXvfb* xvfb_ = nullptr;
};

}  // namespace kova::test
