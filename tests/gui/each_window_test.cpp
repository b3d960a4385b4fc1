// What the GTK window and the Windows one (under Wine) do alike, written once: this file is built
// into the window suite of each build, and each instantiates it for its own window.

#include <gtest/gtest.h>

#include <chrono>

#include "core/options.h"
#include "core/registry.h"
#include "platform/settings_store.h"
#include "tests/common/player_locale.h"
#include "tests/gui/window_fixture.h"
#include "ui/skin.h"

namespace kova::test {
namespace {

class TEachWindow : public TWindowFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    TWindowFixture::SetUp();
    if (std::string(GetParam()) != "win32") return;
#ifdef KOVA_WIN32_DIR
    ::setenv("WINEPREFIX", (std::string(KOVA_WIN32_DIR) + "/wineprefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    windows_ = true;
    launcherSource_ = std::string(KOVA_WIN32_DIR) + "/kovaupdater.exe";
    if (!WineCannotRun().empty()) GTEST_SKIP() << WineCannotRun();
    if (std::filesystem::exists(launcherSource_)) return;
    if (std::getenv("KOVA_REQUIRE_WIN32"))
      FAIL() << "the Windows programs are not built (scripts/build-win32)";
#endif
    GTEST_SKIP() << "the Windows programs are not built (scripts/build-win32)";
  }
  void TearDown() override {
    TWindowFixture::TearDown();
    // Whatever the test left (a message box, a second instance) goes with the Wine server.
    if (windows_) Shell("wineserver -k 2>/dev/null");
  }
};

TEST_P(TEachWindow, TheWindowIsTheBackgroundsSizeAndAfterARunBothBarsShowTheirColours) {
  Publish();
  InstallLauncher();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 60)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled")) << Window().Output();
  ExpectGameInstalled();
  ::usleep(500000);  // the last paint
  const std::string geometry = Shell("xwininfo -id " + windowId_);
  EXPECT_NE(geometry.find("Width: 800"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Height: 600"), std::string::npos) << geometry;
  const TShot shot = Screenshot();
  int ox = 0, oy = 0;
  Origin(ox, oy);
  // No frame: the background's own pixels fill the window to its corners.
  const ui::TImage background =
      ui::DecodePng(ReadFile(std::string(KOVA_SOURCE_DIR) + "/resources/skin/background.png"));
  for (const auto& [x, y] : {std::pair{0, 0}, {799, 0}, {0, 599}, {799, 599}, {400, 20}}) {
    const ui::TRgb want = background.Colour(x, y);
    EXPECT_EQ(shot.At(ox + x, oy + y), (TShot::TPixel{want.R, want.G, want.B})) << x << "," << y;
  }
  for (int row = 546; row < 551; ++row) {
    EXPECT_EQ(shot.At(ox + 127, oy + row), (TShot::TPixel{151, 66, 69}));
    EXPECT_EQ(shot.At(ox + 127 + 428, oy + row), (TShot::TPixel{151, 66, 53}));
    EXPECT_EQ(shot.At(ox + 127 + 214, oy + row), (TShot::TPixel{151, 66, 61}));
  }
  for (int x = 127; x < 127 + 429; x += 13)
    EXPECT_EQ(shot.At(ox + x, oy + 533), (TShot::TPixel{62, 91, 150}));
  EXPECT_NE(shot.At(ox + 127 + 429, oy + 533), (TShot::TPixel{62, 91, 150}));
  EXPECT_NE(shot.At(ox + 127, oy + 530), (TShot::TPixel{62, 91, 150}));
  EXPECT_TRUE(ShowsFrame(shot, ox, oy, 688, 487, "start.png", 0));
  EXPECT_TRUE(ShowsFrame(shot, ox, oy, 575, 506, "check.png", 0));
  EXPECT_TRUE(ShowsFrame(shot, ox, oy, 768, 15, "close.png", 0));
  if (const char* keep = std::getenv("KOVA_SCREENSHOT_TO"))
    Shell("import -silent -window " + windowId_ + " '" + keep + "'");
}

TEST_P(TEachWindow, StartShowsItsDisabledFrameWhenTheGameProgramIsMissingAndCheckStartsARun) {
  Publish();
  InstallLauncher("", "bin\\missing.exe");
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("buttons: start disabled, check enabled", 60)) << Window().Output();
  ::usleep(500000);
  const TShot shot = Screenshot();
  int ox = 0, oy = 0;
  Origin(ox, oy);
  EXPECT_TRUE(ShowsFrame(shot, ox, oy, 688, 487, "start.png", 3));
  EXPECT_TRUE(ShowsFrame(shot, ox, oy, 575, 506, "check.png", 0));
  Click(688 + 47, 487 + 46);
  ::usleep(300000);
  EXPECT_TRUE(Window().Running());
  EXPECT_EQ(CountTrace("start:"), 0u);
  // Check makes a run that reads every file again, and downloads none of them again.
  EXPECT_EQ(CountTrace("info: Checking data"), 0u);  // the fresh install had nothing to read
  Click(575 + 50, 506 + 13);
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 60, 1)) << Window().Output();
  EXPECT_GE(CountTrace("info: Checking data"), 2u);
  EXPECT_EQ(CountTrace("info: Downloading data"), 2u);
  ExpectGameInstalled();
}

TEST_P(TEachWindow, AGameTheSystemCannotStartIsReportedInABoxAndTheWindowStays) {
  Publish();
  InstallLauncher("", "bin\\broken.exe");
  // A file of the game folder that the system cannot run (no run bit, no program inside): as a
  // game whose manifest asks for administrator rights is refused on Windows.
  std::filesystem::create_directories(home_ + "/bin");
  WriteFile(home_ + "/bin/broken.exe", "not a program");
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 60)) << Window().Output();
  Click(688 + 47, 487 + 46);
  ASSERT_TRUE(WaitForTrace("box: Cannot start broken.exe. Error code: ", 10)) << Window().Output();
  ::usleep(300000);
  EXPECT_TRUE(Window().Running());
  EXPECT_EQ(CountTrace("window: closed"), 0u);
}

TEST_P(TEachWindow, InThePlayersLanguageTheInformationLineAndTheBoxesAreTranslated) {
  Publish();
  InstallLauncher("", "bin\\broken.exe");
  std::filesystem::create_directories(home_ + "/bin");
  WriteFile(home_ + "/bin/broken.exe", "not a program");
  // The same window in English and then in the player's Russian: the information line and the
  // two labels beside the bars, as drawn.
  std::vector<TShot::TPixel> drawn[2];
  for (const bool russian : {false, true}) {
    std::unique_ptr<TPlayerLocale> locale;
    if (russian) locale = std::make_unique<TPlayerLocale>("ru_RU.UTF-8");
    ASSERT_NO_FATAL_FAILURE(StartWindow());
    const std::string done = russian ? "Все файлы проверены" : "All files have been checked";
    ASSERT_TRUE(WaitForTrace("info: " + done, 60)) << Window().Output();
    ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled")) << Window().Output();
    ::usleep(500000);  // the last paint
    const TShot shot = Screenshot();
    int ox = 0, oy = 0;
    Origin(ox, oy);
    for (int y = 510; y < 556; ++y) {
      for (int x = 40; x < 330; ++x) drawn[russian].push_back(shot.At(ox + x, oy + y));
    }
    if (!russian) {
      Click(768 + 10, 15 + 10);
      ASSERT_EQ(Window().WaitExit(30), 0) << Window().Output();
      continue;
    }
    // A box is in the language too.
    Click(688 + 47, 487 + 46);
    EXPECT_TRUE(WaitForTrace("box: Не удалось запустить broken.exe. Код ошибки: ", 10))
        << Window().Output();
  }
  std::size_t differ = 0;
  for (std::size_t i = 0; i < drawn[0].size(); ++i) differ += drawn[0][i] != drawn[1][i];
  EXPECT_GT(differ, 200u) << "the Russian texts were not drawn";
}

TEST_P(TEachWindow, CancelDuringASlowDownloadShowsCancellingAtOnceAndTheWindowStays) {
  InstallLauncher("", "bin\\game.sh", PublishSlowly());
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: Downloading data", 60)) << Window().Output();
  ::usleep(500000);
  ASSERT_EQ(CountTrace("info: All files have been checked"), 0u)
      << "the transfer was not slow enough";
  const auto clicked = std::chrono::steady_clock::now();
  Click(575 + 50, 535 + 13);
  // A liveness check with a wide margin: the window answers the click during the transfer.
  ASSERT_TRUE(WaitForTrace("info: Cancelling...", 2)) << Window().Output();
  EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(2));
  ASSERT_TRUE(WaitForTrace("info: Check cancelled by user", 20)) << Window().Output();
  ::usleep(500000);
  EXPECT_TRUE(Window().Running());
  EXPECT_EQ(CountTrace("window: closed"), 0u);
  EXPECT_EQ(CountTrace("info: All files have been checked"), 0u);
}

TEST_P(TEachWindow, CloseDuringARunClosesTheWindowOnceTheRunHasEnded) {
  InstallLauncher("", "bin\\game.sh", PublishSlowly());
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: Downloading data", 60)) << Window().Output();
  Click(768 + 10, 15 + 10);
  EXPECT_EQ(Window().WaitExit(30), 0) << Window().Output();
  const std::string output = Window().Output();
  EXPECT_NE(output.find("kova: info: Check cancelled by user"), std::string::npos) << output;
  EXPECT_LT(output.find("kova: info: Check cancelled by user"),
            output.find("kova: window: closed"));
  EXPECT_EQ(output.find("kova: info: Cancelling..."), std::string::npos)
      << "Close does not show Cancelling";
}

TEST_P(TEachWindow, APreloadStopsForCheckAndWhenTheWindowClosesAndGoesOnAtTheNextStart) {
  Publish();
  const std::string slow = nginx_->Root() + "/slow/" + uid_;
  InstallLauncher("<next_patchlist rate=\"0\">" +
                  nginx_->Url("/slow/" + uid_ + "/patchlist.next.xml") + "</next_patchlist>\n");
  // The next version adds a file that comes at 256 KiB/s.
  WriteFile(source_ + "/data/video.bik", Bytes(3 << 20, 5));
  TChild next(KOVA_PUBLISH_EXE, {"--level", "0", "--next", source_, slow});
  ASSERT_EQ(next.WaitExit(120), 0);
  const std::size_t mark = LogMark();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("tray tip: Pre-loading the next version: ", 60)) << Window().Output();
  const std::string stage = home_ + "/.kovanext/files/data/video.bik";
  for (int i = 0; i < 200 && !(std::filesystem::exists(stage + ".lzma.part") &&
                               std::filesystem::file_size(stage + ".lzma.part") > 100000);
       ++i)
    ::usleep(50000);
  Click(768 + 10, 15 + 10);  // Close
  EXPECT_EQ(Window().WaitExit(30), 0) << Window().Output();
  EXPECT_TRUE(std::filesystem::exists(stage + ".lzma.part"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/video.bik"));
  // Started again: Check stops the pre-load, makes its run, and the pre-load then goes on where
  // it stopped.
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("tray tip: Pre-loading the next version: ", 60)) << Window().Output();
  Click(575 + 50, 506 + 13);
  EXPECT_TRUE(WaitForTrace("info: All files have been checked", 60, 1)) << Window().Output();
  if (!windows_) {
    // Start while it goes on: the game runs, the window steps aside, and it closes once the
    // next version is pre-loaded. (The Windows launcher cannot start the sample's script.)
    ASSERT_TRUE(WaitForTrace("tray tip: Pre-loading the next version: ", 60, 1));
    Click(688 + 47, 487 + 46);
    EXPECT_EQ(Window().WaitExit(60), 0) << Window().Output();
    const std::string output = Window().Output();
    EXPECT_NE(output.find("kova: start: "), std::string::npos) << output;
    EXPECT_LT(output.find("kova: tray tip: The next version is pre-loaded"),
              output.find("kova: window: closed"));
  }
  EXPECT_TRUE(WaitForTrace("tray tip: The next version is pre-loaded", 60)) << Window().Output();
  EXPECT_TRUE(ReadFile(stage) == ReadFile(source_ + "/data/video.bik"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/video.bik"));
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "video.bik.lzma HTTP/1.1|-|"), 1u) << testing::PrintToString(log);
  EXPECT_GE(CountContaining(log, "video.bik.lzma HTTP/1.1|bytes="), 1u);
}

TEST_P(TEachWindow, DraggingByTheBackgroundMovesTheWindowButAnEnabledButtonDoesNot) {
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  int x0 = 0, y0 = 0;
  Origin(x0, y0);
  auto drag = [&](int fromX, int fromY, int byX, int byY) {
    Shell("xdotool mousemove " + std::to_string(x0 + fromX) + " " + std::to_string(y0 + fromY) +
          " sleep 0.2 mousedown 1 sleep 0.3 mousemove_relative --sync -- " +
          std::to_string(byX / 2) + " " + std::to_string(byY / 2) +
          " sleep 0.2 mousemove_relative --sync -- " + std::to_string(byX - byX / 2) + " " +
          std::to_string(byY - byY / 2) + " sleep 0.3 mouseup 1");
    ::usleep(500000);
  };
  // On an enabled button the press belongs to the button.
  drag(575 + 50, 506 + 13, 60, 40);
  int x1 = 0, y1 = 0;
  Origin(x1, y1);
  EXPECT_EQ(x1, x0);
  EXPECT_EQ(y1, y0);
  // On the background it moves the window.
  drag(400, 20, -80, -50);
  int x2 = 0, y2 = 0;
  Origin(x2, y2);
  EXPECT_EQ(x2, x0 - 80);
  EXPECT_EQ(y2, y0 - 50);
}

TEST_P(TEachWindow, TheIconsMenuPausesAndResumesTheDownloadsAndKeepsTheSpeedLimitForTheGame) {
  TTray tray;
  InstallLauncher("", "bin\\game.sh", PublishSlowly(3 << 20));
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: Downloading " + Shown("data\\video.bik"), 60))
      << Window().Output();
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5)) << Window().Output();
  ::usleep(1000000);  // the icon is embedded
  // The menu: five limits, a separator, "Pause downloads" and "Resume downloads".
  auto choose = [&](std::size_t menusBefore, const std::string& keys) {
    tray.ClickIcon(3);
    if (!WaitForTrace("tray: menu", 10, menusBefore)) return false;
    ::usleep(500000);
    Shell("xdotool key --delay 150 " + keys);
    return true;
  };
  ASSERT_TRUE(choose(0, "Down Down Down Down Down Down Return")) << Window().Output();
  ASSERT_TRUE(WaitForTrace("downloads: paused", 5)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("info: Paused", 5)) << Window().Output();
  // Paused, the partial file stops growing, and the run waits with its state.
  const std::string part = home_ + "/data/video.bik.lzma.part";
  ::usleep(700000);
  const auto held = std::filesystem::file_size(part);
  ::usleep(1500000);
  EXPECT_EQ(std::filesystem::file_size(part), held);
  EXPECT_EQ(CountTrace("info: All files have been checked"), 0u);
  // "Resume downloads" is the last item, and the one of the two that can be chosen now.
  ASSERT_TRUE(choose(1, "Up Return")) << Window().Output();
  ASSERT_TRUE(WaitForTrace("downloads: resumed", 5)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("info: Downloading " + Shown("data\\video.bik"), 5, 1))
      << Window().Output();
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 90)) << Window().Output();
  ExpectGameInstalled();
  // "1 MB/s", the fifth item, is kept for this game in the settings store.
  ASSERT_TRUE(choose(2, "Down Down Down Down Down Return")) << Window().Output();
  ASSERT_TRUE(WaitForTrace("limit: 1024 KiB/s", 5)) << Window().Output();
  std::string kept;
  if (windows_) {
    kept = Shell("wine reg query 'HKCU\\Software\\Tessary\\KovaUpdater\\" + uid_ +
                 "' /v SpeedLimit 2>/dev/null");
    EXPECT_NE(kept.find("REG_SZ    1024"), std::string::npos) << kept;
  } else {
    platform::CloseSettingsStore();
    EXPECT_TRUE(
        RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\SpeedLimit", kept));
    EXPECT_EQ(kept, "1024");
  }
}

std::string BuildName(const ::testing::TestParamInfo<const char*>& info) {
  return info.param;
}

#ifdef KOVA_WIN32_DIR
INSTANTIATE_TEST_SUITE_P(Windows, TEachWindow, ::testing::Values("win32"), BuildName);
#else
INSTANTIATE_TEST_SUITE_P(Linux, TEachWindow, ::testing::Values("gtk"), BuildName);
#endif

}  // namespace
}  // namespace kova::test
