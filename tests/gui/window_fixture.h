#pragma once
// The real launcher window under Xvfb: a display for the test suite, a published game served by
// nginx, the launcher copied into the game folder beside its options document, xdotool for the
// mouse, and screenshots read back as pixels. The window reports what it does on standard error
// (KOVA_TRACE), which the fixture reads.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/display.h"
#include "tests/common/game_fixture.h"

namespace kova::test {

// The screen area of a sprite button at (left, top) of the window at (ox, oy) equals the given
// frame of its sprite.
::testing::AssertionResult ShowsFrame(const TShot& shot, int ox, int oy, int left, int top,
                                      const std::string& sprite, int frame);

// A notification area (trayer, an XEmbed tray) at the top left of the screen.
class TTray {
 public:
  TTray();
  ~TTray();
  TTray(const TTray&) = delete;
  TTray& operator=(const TTray&) = delete;
  // Clicks the first icon in the tray (with `button` 3: the right button).
  void ClickIcon(int button = 1);

 private:
  TChild child_;
};

// A real window manager for the suites that need one: openbox, which minimises, maps and
// focuses windows as a desktop does.
class TWindowManager {
 public:
  TWindowManager();
  ~TWindowManager();

 private:
  std::unique_ptr<TChild> child_;
};

class TWindowFixture : public TGameFixture {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Writes the launcher and its sidecar options into the game folder; `extra` goes into the
  // options element.
  void InstallLauncher(const std::string& extra = "", const std::string& program = "bin\\game.sh",
                       const std::string& listUrl = "");
  // Publishes the game where nginx serves it at 256 KiB/s, with a large file added so that its
  // download lasts several seconds; returns the patch list's URL.
  std::string PublishSlowly(std::size_t largeFileSize = 6 << 20);
  // Starts the launcher (from the game folder) with `args`; its trace comes back as output.
  // The window is found by its title: the one the options give, unless `title` is another.
  void StartWindow(const std::vector<std::string>& args = {}, const std::string& title = {});
  TChild& Window() { return *window_; }
  // Publishes the game, installs the launcher and starts it, and waits until its first run has
  // installed the game.
  void StartOnPublishedGame();
  // Waits until more than `after` trace lines contain `line`.
  bool WaitForTrace(const std::string& line, double seconds = 30, std::size_t after = 0);
  std::size_t CountTrace(const std::string& line);
  // The window's top-left corner on the screen.
  void Origin(int& x, int& y);
  void Click(int x, int y, int button = 1);
  // Whether the window is mapped and on the screen.
  bool WindowViewable();
  // The window's state as the window manager records it (WM_STATE): "Normal", "Iconic", or
  // empty when it has none (withdrawn).
  std::string WmState();
  // The launcher in the game folder: the Linux program, or the Windows one run under Wine.
  std::string Launcher() const { return home_ + (windows_ ? "/kovaupdater.exe" : "/kovaupdater"); }
  // A listed name as the launcher shows it: with '/' on Linux, as listed on Windows.
  std::string Shown(std::string listed) const {
    if (!windows_) std::replace(listed.begin(), listed.end(), '\\', '/');
    return listed;
  }
  // The published files are all in the game folder, as published.
  void ExpectGameInstalled();

  // Set by the suites that drive the Windows launcher under Wine.
  bool windows_ = false;
  std::string launcherSource_ = KOVA_UPDATER_EXE;
  std::unique_ptr<TChild> window_;
  std::string windowId_;
  static TXvfb* xvfb_;
};

}  // namespace kova::test
