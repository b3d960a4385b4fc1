// The launcher's window under Xvfb: driven with xdotool, observed through screenshots and the
// lines it traces on standard error.

#include <gtest/gtest.h>

#include <chrono>

#include "tests/gui/window_fixture.h"
#include "ui/skin.h"

namespace kova::test {
namespace {

using TWindow = TWindowFixture;

TEST_F(TWindow, ADownloadErrorAsksInAModalBoxAndItsCancelEndsTheRun) {
  Publish();
  std::filesystem::remove(Served() + "/data/textures.pak.lzma");
  InstallLauncher();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("box: Error while downloading patch for data/textures.pak", 30))
      << Window().Output();
  // Why, beside the line: the address and the server's answer.
  EXPECT_EQ(CountTrace("reason: " + ListUrl().substr(0, ListUrl().rfind('/')) +
                       "/data/textures.pak.lzma: 404 Not Found"),
            1u)
      << Window().Output();
  // The box is a window of its own with the application title; Escape answers it like Cancel.
  std::string box;
  ASSERT_TRUE(Eventually(
      [&] {
        box = Shell("xdotool search --onlyvisible --name '^Window test " + uid_ +
                    "$' | grep -v '^" + windowId_ + "$' | head -n 1");
        return !box.empty();
      },
      10));
  box.erase(box.find_last_not_of(" \n") + 1);
  Shell("xdotool windowfocus --sync " + box + " key Escape");
  ASSERT_TRUE(WaitForTrace("info: Check cancelled due to an error", 10)) << Window().Output();
  EXPECT_TRUE(Window().Running());
}

TEST_F(TWindow, StartedWithoutAGameItSaysSoAndTheGamesDocumentOnTheCommandLineNamesTheGame) {
  // The installed program started from a folder that holds no game: it says so, and how.
  std::filesystem::create_symlink(KOVA_UPDATER_EXE, Launcher());
  ASSERT_NO_FATAL_FAILURE(
      StartWindow({}, "KovaUpdater - game launcher by the KovaUpdater developers"));
  EXPECT_TRUE(
      WaitForTrace("info: No game found: there is no kovaupdater.xml in " + home_ + "/", 10))
      << Window().Output();
  EXPECT_TRUE(
      WaitForTrace("reason: Start KovaUpdater in the game folder, or with the game's "
                   "options: kovaupdater GAME/kovaupdater.xml",
                   5))
      << Window().Output();
  EXPECT_EQ(CountTrace("info: Checking files..."), 0u);
  Window().Stop();
  // Given the game's document, the launcher brings that document's folder up to date.
  Publish();
  std::filesystem::remove(Launcher());
  InstallLauncher();
  std::filesystem::create_directory(home_ + "/game");
  std::filesystem::rename(home_ + "/kovaupdater.xml", home_ + "/game/kovaupdater.xml");
  ASSERT_NO_FATAL_FAILURE(StartWindow({home_ + "/game/kovaupdater.xml"}));
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 60)) << Window().Output();
  EXPECT_TRUE(std::filesystem::exists(home_ + "/game/data/textures.pak"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak"));
}

TEST_F(TWindow, ALauncherInstalledElsewhereUpdatesTheGameFolderItIsStartedIn) {
  Publish();
  // The publisher's launcher build is not for a launcher the system's packages keep.
  InstallLauncher("<updater>" + nginx_->Url("/" + uid_ + "/launcher.exe") + "</updater>\n");
  // The program stays where it was built, as an installed one stays in /usr/bin; the player
  // starts it from the game folder, which holds the game's options.
  std::filesystem::remove(Launcher());
  std::filesystem::create_symlink(KOVA_UPDATER_EXE, Launcher());
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 60)) << Window().Output();
  ExpectGameInstalled();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(KOVA_UPDATER_EXE).parent_path() /
                                       "data" / "textures.pak"));
  EXPECT_EQ(nginx_->AccessLog().find("launcher.exe"), std::string::npos);
  EXPECT_EQ(CountTrace("info: Checking for self-update..."), 0u);
}

TEST_F(TWindow, TheDownloadErrorBoxAnswersByItselfAfterThirtySecondsAndTheRunRetries) {
  Publish();
  std::filesystem::remove(Served() + "/data/textures.pak.lzma");
  InstallLauncher();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  const std::string box = "box: Error while downloading patch for data/textures.pak";
  ASSERT_TRUE(WaitForTrace(box, 30)) << Window().Output();
  const auto shown = std::chrono::steady_clock::now();
  // Unanswered, the box closes itself with the time-out result, which retries the download.
  ASSERT_TRUE(WaitForTrace(box, 40, 1)) << Window().Output();
  EXPECT_GE(std::chrono::steady_clock::now() - shown, std::chrono::seconds(29));
}

TEST_F(TWindow, WithoutANotificationAreaMinimiseIconifiesSoTheWindowCanComeBack) {
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: iconified", 5)) << Window().Output();
  EXPECT_EQ(CountTrace("window: hidden"), 0u);
  EXPECT_EQ(CountTrace("tray: shown"), 0u);
}

TEST_F(TWindow, CancelWhileIdleQuits) {
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  Click(575 + 50, 535 + 13);
  EXPECT_EQ(Window().WaitExit(10), 0) << Window().Output();
  EXPECT_EQ(CountTrace("info: Cancelling..."), 0u);
}

TEST_F(TWindow, MinimiseHidesIntoTheTrayAndAClickOnTheIconRestoresAndRequestsARun) {
  TTray tray;
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5)) << Window().Output();
  EXPECT_TRUE(Eventually([&] { return !WindowViewable(); }, 5));
  ::usleep(500000);  // the icon is embedded
  tray.ClickIcon();
  ASSERT_TRUE(WaitForTrace("window: shown", 5, 1)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("tray: hidden", 5));
  EXPECT_TRUE(Eventually([&] { return WindowViewable(); }, 5));
  // Showing the window again requests a run.
  EXPECT_TRUE(WaitForTrace("info: Downloading patchlist...", 10, 1)) << Window().Output();
}

TEST_F(TWindow, ARunEndingWhileTheWindowIsHiddenShowsTheProgressBalloon) {
  TTray tray;
  InstallLauncher("", "bin\\game.sh", PublishSlowly(1 << 20));
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("info: Downloading data", 60)) << Window().Output();
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("balloon: Progress: All files have been checked", 60))
      << Window().Output();
  ExpectGameInstalled();
  // A click on the icon clears the balloon and brings the window back.
  tray.ClickIcon();
  EXPECT_TRUE(WaitForTrace("window: shown", 5, 1)) << Window().Output();
}

TEST_F(TWindow, ASecondInstanceBringsTheHiddenWindowBackAndEnds) {
  TTray tray;
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5)) << Window().Output();
  TChild second(Launcher(), {}, home_);
  EXPECT_EQ(second.WaitExit(10), 0);
  ASSERT_TRUE(WaitForTrace("message: focus", 5)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("window: shown", 5, 1)) << Window().Output();
  EXPECT_TRUE(Eventually([&] { return WindowViewable(); }, 5));
  // While the window is visible the focus message only brings it to the front.
  const std::size_t shown = CountTrace("window: shown");
  TChild third(Launcher(), {}, home_);
  EXPECT_EQ(third.WaitExit(10), 0);
  ASSERT_TRUE(WaitForTrace("message: focus", 5, 1));
  EXPECT_EQ(CountTrace("window: shown"), shown);
}

TEST_F(TWindow, ANewsAddressThatFailsToLoadGivesWayToTheNext) {
  Publish();
  WriteFile(Served() + "/news.html", "<html><body>news</body></html>");
  const std::string good = nginx_->Url("/" + uid_ + "/news.html");
  // Nothing listening, then a 404, then the page.
  InstallLauncher("<news>http://127.0.0.1:" + std::to_string(FreePort()) +
                  "/news.html</news><news>" + nginx_->Url("/" + uid_ + "/gone.html") +
                  "</news><news>" + good + "</news>\n");
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("panel: shown", 30)) << Window().Output();
  EXPECT_EQ(CountTrace("news: failed"), 2u) << Window().Output();
  EXPECT_EQ(CountTrace("news: navigate " + good), 1u) << Window().Output();
}

TEST_F(TWindow, TheNewsPageLoadsOnceAndItsLinksGoToTheDesktopHandler) {
  Publish();
  WriteFile(Served() + "/news.html",
            "<html><body style='margin:0;background:#123'>"
            "<a href='http://news.example/elsewhere' "
            "style='display:block;height:300px;background:#345'>more</a>"
            "</body></html>");
  const std::string opened = work_ / "opened.txt";
  WriteFile(work_ / "handler.sh", "#!/bin/sh\necho \"$1\" >> '" + opened + "'\n");
  std::filesystem::permissions(work_ / "handler.sh", std::filesystem::perms::owner_all);
  ::setenv("KOVA_URL_HANDLER", (work_ / "handler.sh").c_str(), 1);
  InstallLauncher("<news>" + nginx_->Url("/" + uid_ + "/news.html") + "</news>\n");
  const std::size_t mark = LogMark();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ::unsetenv("KOVA_URL_HANDLER");
  ASSERT_TRUE(WaitForTrace("panel: shown", 30)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled")) << Window().Output();
  ::usleep(500000);
  Click(12 + 300, 42 + 100);
  ASSERT_TRUE(Eventually([&] { return ReadFile(opened) == "http://news.example/elsewhere\n"; }, 10))
      << Window().Output();
  // A right click shows no menu: the panel looks the same before and after.
  const TShot before = Screenshot();
  Click(12 + 300, 42 + 100, 3);
  ASSERT_TRUE(WaitForTrace("news: right button swallowed", 5)) << Window().Output();
  ::usleep(500000);
  const TShot after = Screenshot();
  int ox = 0, oy = 0;
  Origin(ox, oy);
  int differing = 0;
  for (int y = 42; y < 42 + 440; y += 2) {
    for (int x = 12; x < 12 + 775; x += 2)
      differing += before.At(ox + x, oy + y) == after.At(ox + x, oy + y) ? 0 : 1;
  }
  EXPECT_EQ(differing, 0);
  // A second run does not load the page again, and the page stayed.
  Click(575 + 50, 506 + 13);
  ASSERT_TRUE(WaitForTrace("info: All files have been checked", 30, 1)) << Window().Output();
  EXPECT_EQ(CountContaining(LogSince(mark), "/news.html"), 1u);
  EXPECT_EQ(CountContaining(LogSince(mark), "/news.html HTTP/1.1|-|KovaUpdater/1.0|200"), 1u)
      << "the browser's user agent";
  EXPECT_EQ(CountTrace("news: navigate"), 1u);
  EXPECT_EQ(CountTrace("news: loaded"), 1u);
}

TEST_F(TWindow, TheNewsPageShowsAtOnceOpensNoDialogAndOnlyTheClickedWindowGoesToTheDesktopHandler) {
  TScriptedServer server;
  Publish();
  // A page larger than the panel, with a picture that is slow to come, a log-in frame, a window it
  // opens by itself and one it opens on a click, a print button, a file field and a text.
  WriteFile(
      Served() + "/news.html",
      "<html><body style='margin:0;background:#123'>"
      "<button onclick=\"window.open('http://news.example/clicked')\" "
      "style='position:absolute;left:0;top:0;width:300px;height:80px;background:#345;border:0'>"
      "open</button>"
      "<button onclick='window.print()' "
      "style='position:absolute;left:0;top:100px;width:300px;height:80px;background:#456;border:0'>"
      "print</button>"
      "<input type='file' style='position:absolute;left:0;top:200px;width:300px;height:60px'>"
      "<p style='position:absolute;left:0;top:280px;margin:0;font:40px "
      "sans-serif;color:#fff'>Select this text</p>"
      "<button onclick=\"for (var i = 0; i < 1000; i++) window.open('http://news.example/flood' + "
      "i)\" "
      "style='position:absolute;left:450px;top:300px;width:300px;height:80px;background:#345;"
      "border:0'>flood</button>"
      "<iframe src='" +
          server.Url("/auth") +
          "' style='position:absolute;left:400px;top:0;width:100px;height:100px;border:0'></iframe>"
          "<img src='" +
          server.Url("/stallheaders") +
          "' style='position:absolute;left:400px;top:200px'>"
          "<div style='width:3000px;height:3000px'></div>"
          "<script>setTimeout(function(){window.open('http://news.example/timer')}, 1500)</script>"
          "</body></html>");
  const std::string opened = work_ / "opened.txt";
  WriteFile(work_ / "handler.sh", "#!/bin/sh\necho \"$1\" >> '" + opened + "'\n");
  std::filesystem::permissions(work_ / "handler.sh", std::filesystem::perms::owner_all);
  ::setenv("KOVA_URL_HANDLER", (work_ / "handler.sh").c_str(), 1);
  InstallLauncher("<news>" + nginx_->Url("/" + uid_ + "/news.html") + "</news>\n");
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ::unsetenv("KOVA_URL_HANDLER");
  // A picture that takes six seconds does not hold the panel back.
  ASSERT_TRUE(WaitForTrace("panel: shown", 3)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("news: authentication refused", 10)) << Window().Output();
  // The window the page opens by itself opens nothing; the one the player clicks for goes to the
  // desktop's browser.
  EXPECT_TRUE(WaitForTrace("news: refused http://news.example/timer", 10)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled")) << Window().Output();
  ::usleep(500000);
  Click(12 + 150, 42 + 40);
  EXPECT_TRUE(Eventually([&] { return ReadFile(opened) == "http://news.example/clicked\n"; }, 10))
      << ReadFile(opened);
  // A thousand windows from one click start the browser a few times, and no thread per start.
  ::usleep(1100000);
  Click(12 + 600, 42 + 340);
  ::usleep(1500000);
  const std::size_t floods = CountContaining(Lines(ReadFile(opened)), "flood");
  // Three a second: the loop itself may take a few seconds on a busy machine.
  EXPECT_GE(floods, 1u) << ReadFile(opened);
  EXPECT_LE(floods, 12u) << ReadFile(opened);
  const std::string status = ReadFile("/proc/" + std::to_string(Window().Pid()) + "/status");
  const std::size_t threads = std::stoul(status.substr(status.find("Threads:") + 8));
  EXPECT_LT(threads, 60u) << status;
  // Print and the file field open nothing: the launcher keeps its one window.
  auto windows = [&] {
    return Lines(Shell("xdotool search --onlyvisible --pid " + std::to_string(Window().Pid()) +
                       " 2>/dev/null"))
        .size();
  };
  EXPECT_EQ(windows(), 1u);
  Click(12 + 150, 42 + 140);
  EXPECT_TRUE(WaitForTrace("news: print refused", 10)) << Window().Output();  // printed once loaded
  Click(12 + 150, 42 + 230);
  EXPECT_TRUE(WaitForTrace("news: file chooser refused", 5)) << Window().Output();
  ::usleep(1000000);
  EXPECT_EQ(windows(), 1u);
  // Dragging across the text selects nothing, and no scroll bar is drawn at the panel's edges.
  int ox = 0, oy = 0;
  Origin(ox, oy);
  const TShot before = Screenshot();
  Shell("xdotool mousemove " + std::to_string(ox + 12 + 5) + " " + std::to_string(oy + 42 + 300) +
        " mousedown 1 sleep 0.2 mousemove " + std::to_string(ox + 12 + 300) + " " +
        std::to_string(oy + 42 + 310) + " sleep 0.2 mouseup 1 sleep 0.1 click --repeat 3 1");
  ::usleep(500000);
  const TShot after = Screenshot();
  int changed = 0;
  for (int y = 42 + 280; y < 42 + 340; ++y) {
    for (int x = 12; x < 12 + 380; ++x)
      changed += before.At(ox + x, oy + y) == after.At(ox + x, oy + y) ? 0 : 1;
  }
  EXPECT_EQ(changed, 0) << "the text was selected";
  // Scrolling by the wheel shows any scroll bar there is, overlaid ones included.
  Shell("xdotool mousemove " + std::to_string(ox + 12 + 700) + " " + std::to_string(oy + 42 + 400) +
        " click 5 sleep 0.1 click 5");
  ::usleep(150000);
  const TShot scrolled = Screenshot();
  const TShot::TPixel page{0x11, 0x22, 0x33};
  int scrollBar = 0;
  for (int y = 42; y < 42 + 425; ++y) {
    for (int x = 12 + 760; x < 12 + 775; ++x)
      scrollBar += scrolled.At(ox + x, oy + y) == page ? 0 : 1;
  }
  for (int x = 12; x < 12 + 690; ++x) {
    for (int y = 42 + 425; y < 42 + 440; ++y)
      scrollBar += scrolled.At(ox + x, oy + y) == page ? 0 : 1;
  }
  EXPECT_EQ(scrollBar, 0) << "a scroll bar is drawn";
}

}  // namespace
}  // namespace kova::test
