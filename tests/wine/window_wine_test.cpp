// The Windows launcher's window under Wine and Xvfb, driven with xdotool and read from
// screenshots and its trace, as the GTK window is: the same skin, texts and behaviour.

#include <gtest/gtest.h>

#include <chrono>

#include "tests/gui/window_fixture.h"
#include "ui/skin.h"

namespace kova::test {
namespace {

class TWineWindow : public TWindowFixture {
 protected:
  static void SetUpTestSuite() {
    TWindowFixture::SetUpTestSuite();
    ::setenv("WINEPREFIX", (std::string(KOVA_WIN32_DIR) + "/wineprefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
  }
  static void TearDownTestSuite() {
    Shell("wineserver -k 2>/dev/null");
    TWindowFixture::TearDownTestSuite();
  }
  void SetUp() override {
    TWindowFixture::SetUp();
    windows_ = true;
    launcherSource_ = std::string(KOVA_WIN32_DIR) + "/kovaupdater.exe";
    if (!WineCannotRun().empty()) GTEST_SKIP() << WineCannotRun();
    if (!std::filesystem::exists(launcherSource_)) {
      if (std::getenv("KOVA_REQUIRE_WIN32"))
        FAIL() << "the Windows programs are not built (scripts/build-win32)";
      GTEST_SKIP() << "the Windows programs are not built (scripts/build-win32)";
    }
  }
  void TearDown() override {
    TWindowFixture::TearDown();
    // Whatever the test left (a message box, a second instance) goes with the Wine server.
    Shell("wineserver -k 2>/dev/null");
  }
  // The visible windows with the test's title other than the launcher's own (a message box).
  std::string OtherWindow() {
    std::string id = Shell("xdotool search --onlyvisible --name '^Window test " + uid_ +
                           "$' 2>/dev/null | grep -v '^" + windowId_ + "$' | head -n 1");
    id.erase(id.find_last_not_of(" \n") + 1);
    return id;
  }
};

TEST_F(TWineWindow, ABackgroundReskinnedWithLimeAreasHasHolesThere) {
  Publish();
  InstallLauncher();
  // The publisher's own background: the shipped one with a lime square, put into the launcher's
  // resources as a resource editor does.
  const std::string skin = work_ / "background.png";
  Shell("convert '" + std::string(KOVA_SOURCE_DIR) +
        "/resources/skin/background.png' -fill '#00ff00' -draw 'rectangle 300,150 359,209' "
        "PNG32:'" +
        skin + "'");
  TChild replace("/usr/bin/wine", {std::string(KOVA_WIN32_DIR) + "/kova_replace_resource.exe",
                                   Launcher(), "BACKGROUND", skin});
  ASSERT_EQ(replace.WaitExit(60), 0) << replace.Output();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 60)) << Window().Output();
  ::usleep(500000);
  const TShot shot = Screenshot();
  int ox = 0, oy = 0;
  Origin(ox, oy);
  ASSERT_GE(ox, 5);
  // What lies below the window shows through the square; around it, the background.
  const TShot::TPixel below = shot.At(ox - 5, oy + 180);
  EXPECT_EQ(shot.At(ox + 330, oy + 180), below);
  EXPECT_EQ(shot.At(ox + 300, oy + 150), below);
  EXPECT_EQ(shot.At(ox + 359, oy + 209), below);
  const ui::TImage background = ui::DecodePng(ReadFile(skin));
  for (const auto& [x, y] : {std::pair{299, 180}, {360, 180}, {330, 149}, {330, 210}}) {
    const ui::TRgb want = background.Colour(x, y);
    EXPECT_EQ(shot.At(ox + x, oy + y), (TShot::TPixel{want.R, want.G, want.B})) << x << "," << y;
  }
}

TEST_F(TWineWindow, MinimiseHidesIntoTheTrayAClickOnTheIconRestoresAndASecondInstanceToo) {
  TTray tray;
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("tray: shown", 5)) << Window().Output();
  EXPECT_TRUE(Eventually([&] { return !WindowViewable(); }, 5));
  ::usleep(1000000);  // the icon is embedded
  tray.ClickIcon();
  ASSERT_TRUE(WaitForTrace("window: shown", 5, 1)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("tray: hidden", 5));
  EXPECT_TRUE(Eventually([&] { return WindowViewable(); }, 5));
  EXPECT_TRUE(WaitForTrace("info: Downloading patchlist...", 10, 1)) << Window().Output();
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 30, 1)) << Window().Output();

  // Hidden again, a second start of the launcher brings it back through the focus message and
  // ends.
  Click(748 + 10, 15 + 10);
  ASSERT_TRUE(WaitForTrace("window: hidden", 5, 1)) << Window().Output();
  EXPECT_TRUE(Eventually([&] { return !WindowViewable(); }, 5));
  // Windows lets only the program the player last used bring a window forward. Wine has no such
  // lock, so what is checked is what the second start asks of the system, in Wine's relay log:
  // it hands that right on to any process before it broadcasts the focus message.
  TChild second("/bin/sh",
                {"-c",
                 "{ WINEDEBUG=+relay /usr/bin/wine \"$0\" 2>&1; echo \"exit=$?\"; } | "
                 "grep -E 'user32\\.(AllowSetForegroundWindow|PostMessageA)\\(|^exit='",
                 Launcher()},
                home_);
  ASSERT_EQ(second.WaitExit(120), 0);
  const std::string relay = second.Output();
  EXPECT_NE(relay.find("exit=0"), std::string::npos) << relay;
  const std::size_t allow = relay.find("Call user32.AllowSetForegroundWindow(ffffffff)");
  const std::size_t broadcast = relay.find("Call user32.PostMessageA(0000ffff,");
  EXPECT_NE(allow, std::string::npos) << relay;
  EXPECT_LT(allow, broadcast) << relay;
  ASSERT_TRUE(WaitForTrace("message: focus", 10)) << Window().Output();
  EXPECT_TRUE(WaitForTrace("window: shown", 5, 2)) << Window().Output();
  EXPECT_TRUE(Eventually([&] { return WindowViewable(); }, 5));
}

TEST_F(TWineWindow, TheDownloadErrorBoxIsAMessageBoxThatAnswersByItselfAfterThirtySeconds) {
  Publish();
  std::filesystem::remove(Served() + "/data/textures.pak.lzma");
  InstallLauncher();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  const std::string box = "box: Error while downloading patch for data\\textures.pak";
  ASSERT_TRUE(WaitForTrace(box, 60)) << Window().Output();
  const auto shown = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually([&] { return !OtherWindow().empty(); }, 10)) << "no message box";
  // Unanswered, the box closes itself with the time-out result, which retries the download.
  ASSERT_TRUE(WaitForTrace(box, 45, 1)) << Window().Output();
  EXPECT_GE(std::chrono::steady_clock::now() - shown, std::chrono::seconds(29));
  // Escape answers the next one like Cancel, which ends the run.
  std::string id;
  ASSERT_TRUE(Eventually([&] { return !(id = OtherWindow()).empty(); }, 10));
  Shell("xdotool windowfocus --sync " + id + " key Escape");
  ASSERT_TRUE(WaitForTrace("info: Check cancelled due to an error", 10)) << Window().Output();
  EXPECT_TRUE(Window().Running());
}

TEST_F(TWineWindow, WithoutAUidTheWindowStillAnswersTheCloseMessage) {
  Publish();
  // A later "uid" element overrides the fixture's: no single instance, but messages still come.
  InstallLauncher("<uid></uid>\n");
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 60)) << Window().Output();
  TChild broadcast("/usr/bin/wine",
                   {std::string(KOVA_WIN32_DIR) + "/kova_broadcast.exe", "CLOSE=="});
  EXPECT_EQ(broadcast.WaitExit(60), 0);
  EXPECT_EQ(Window().WaitExit(30), 0) << Window().Output();
  EXPECT_NE(Window().Output().find("kova: window: closed"), std::string::npos) << Window().Output();
}

TEST_F(TWineWindow, WithoutABrowserEngineThePanelStaysHiddenAndNoDialogAppears) {
  Publish();
  WriteFile(Served() + "/news.html", "<html><body>news</body></html>");
  InstallLauncher("<news>" + nginx_->Url("/" + uid_ + "/news.html") + "</news>\n");
  const std::size_t mark = LogMark();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("news: navigate", 30)) << Window().Output();
  // The control's navigation sounds are switched off for the process before it is made.
  EXPECT_EQ(CountTrace("news: navigation sounds off"), 1u) << Window().Output();
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 60)) << Window().Output();
  ::usleep(2000000);
  EXPECT_EQ(CountTrace("panel: shown"), 0u);
  // The only window on the screen is the launcher's.
  const std::string windows = Shell("xdotool search --onlyvisible --name '.' 2>/dev/null");
  EXPECT_EQ(Lines(windows).size(), 1u) << windows;
  ExpectGameInstalled();
  // The control asked for the page with the launcher's user agent.
  bool asked = false;
  for (const std::string& line : LogSince(mark)) {
    if (line.find("/news.html") != std::string::npos) {
      asked = true;
      EXPECT_NE(line.find("|KovaUpdater/1.0|"), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(asked);
}

}  // namespace
}  // namespace kova::test
