// The window under a real window manager (openbox) beside a notification area: whatever way the
// window leaves the screen, it must come back on it, not iconic, and stay there.

#include <gtest/gtest.h>

#include "tests/gui/window_fixture.h"

namespace kova::test {
namespace {

class TWindowUnderWm : public TWindowFixture {
 protected:
  static void SetUpTestSuite() {
    TWindowFixture::SetUpTestSuite();
    wm_ = new TWindowManager;
  }
  static void TearDownTestSuite() {
    delete wm_;
    wm_ = nullptr;
    TWindowFixture::TearDownTestSuite();
  }

  static inline TWindowManager* wm_ = nullptr;
};

TEST_F(TWindowUnderWm, TheWindowComesBackFromTheTrayWhicheverWayItWasMinimised) {
  TTray tray;
  ASSERT_NO_FATAL_FAILURE(StartOnPublishedGame());
  enum class TWay { Button, WindowManagerThenIcon, WindowManagerThenSecondInstance };
  for (const TWay way :
       {TWay::Button, TWay::WindowManagerThenIcon, TWay::WindowManagerThenSecondInstance}) {
    SCOPED_TRACE(static_cast<int>(way));
    const std::size_t hidden = CountTrace("window: hidden");
    const std::size_t shown = CountTrace("window: shown");
    const std::size_t runs = CountTrace("buttons: start enabled, check enabled");
    if (way == TWay::Button) {
      Click(748 + 10, 15 + 10);
    } else {
      Shell("xdotool windowminimize " + windowId_);  // as a taskbar click or a shortcut does
    }
    ASSERT_TRUE(WaitForTrace("window: hidden", 5, hidden)) << Window().Output();
    EXPECT_TRUE(Eventually([&] { return !WindowViewable(); }, 5));
    ::usleep(500000);  // the icon is embedded
    if (way == TWay::WindowManagerThenSecondInstance) {
      TChild second(Launcher(), {}, home_);
      EXPECT_EQ(second.WaitExit(10), 0);
    } else {
      tray.ClickIcon();
    }
    ASSERT_TRUE(WaitForTrace("window: shown", 5, shown)) << Window().Output();
    EXPECT_TRUE(Eventually([&] { return WindowViewable() && WmState() == "Normal"; }, 5))
        << WmState();
    // It stays: nothing hides it again, and the one run it requested ends.
    ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled", 30, runs))
        << Window().Output();
    ::usleep(500000);
    EXPECT_TRUE(WindowViewable());
    EXPECT_EQ(WmState(), "Normal");
    EXPECT_EQ(CountTrace("window: hidden"), hidden + 1) << Window().Output();
    EXPECT_EQ(CountTrace("window: shown"), shown + 1) << Window().Output();
  }
}

}  // namespace
}  // namespace kova::test
