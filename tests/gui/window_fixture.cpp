#include "tests/gui/window_fixture.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "ui/skin.h"

namespace kova::test {

TXvfb* TWindowFixture::xvfb_ = nullptr;

void TWindowFixture::SetUpTestSuite() {
  TGameFixture::SetUpTestSuite();
  xvfb_ = new TXvfb;
}

void TWindowFixture::TearDownTestSuite() {
  delete xvfb_;
  xvfb_ = nullptr;
  TGameFixture::TearDownTestSuite();
}

void TWindowFixture::SetUp() {
  TGameFixture::SetUp();
  ::setenv("KOVA_TRACE", "1", 1);
}

void TWindowFixture::TearDown() {
  if (window_ && window_->Running()) {
    window_->Stop(10);
  }
  window_.reset();
  TGameFixture::TearDown();
}

void TWindowFixture::InstallLauncher(const std::string& extra, const std::string& program,
                                     const std::string& listUrl) {
  std::filesystem::copy_file(launcherSource_, Launcher(),
                             std::filesystem::copy_options::overwrite_existing);
  WriteFile(home_ + "/kovaupdater.xml",
            "<options>\n <uid>" + uid_ + "</uid>\n <title>Window test " + uid_ +
                "</title>\n <patchlist>" + (listUrl.empty() ? ListUrl() : listUrl) +
                "</patchlist>\n <run><program>" + program + "</program></run>\n" + extra +
                "</options>\n");
}

std::string TWindowFixture::PublishSlowly(std::size_t largeFileSize) {
  std::string noise(largeFileSize, '\0');
  unsigned state = 12345;
  for (char& c : noise) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  WriteFile(source_ + "/data/video.bik", noise);
  const std::string folder = nginx_->Root() + "/slow/" + uid_;
  TChild publish(KOVA_PUBLISH_EXE, {"--level", "0", source_, folder});
  EXPECT_EQ(publish.WaitExit(120), 0);
  return nginx_->Url("/slow/" + uid_ + "/patchlist.xml");
}

void TWindowFixture::StartWindow(const std::vector<std::string>& args, const std::string& title) {
  std::string command = std::string("exec ") + (windows_ ? "wine " : "") + "'" + Launcher() + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  window_ =
      std::make_unique<TChild>("/bin/sh", std::vector<std::string>{"-c", command + " 2>&1"}, home_);
  int status = 0;
  windowId_.clear();
  for (int attempt = 0; attempt < 100 && windowId_.empty(); ++attempt) {
    windowId_ =
        Shell("xdotool search --onlyvisible --name '^" +
                  (title.empty() ? "Window test " + uid_ : title) + "$' 2>/dev/null | head -n 1",
              &status);
    while (!windowId_.empty() && (windowId_.back() == '\n' || windowId_.back() == ' '))
      windowId_.pop_back();
    if (windowId_.empty()) ::usleep(100000);
  }
  ASSERT_FALSE(windowId_.empty()) << "the window did not appear; output:\n" << window_->Output();
}

void TWindowFixture::StartOnPublishedGame() {
  Publish();
  InstallLauncher();
  ASSERT_NO_FATAL_FAILURE(StartWindow());
  ASSERT_TRUE(WaitForTrace("buttons: start enabled, check enabled")) << Window().Output();
}

bool TWindowFixture::WaitForTrace(const std::string& line, double seconds, std::size_t after) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (CountTrace(line) <= after) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

std::size_t TWindowFixture::CountTrace(const std::string& line) {
  window_->WaitForOutput("\x01", 0.05);  // take in what has arrived
  return CountContaining(Lines(window_->Output()), "kova: " + line);
}

void TWindowFixture::Origin(int& x, int& y) {
  WindowPosition(windowId_, x, y);
}

void TWindowFixture::Click(int x, int y, int button) {
  int ox = 0, oy = 0;
  Origin(ox, oy);
  Shell("xdotool mousemove " + std::to_string(ox + x) + " " + std::to_string(oy + y) +
        " sleep 0.1 click " + std::to_string(button));
}

bool TWindowFixture::WindowViewable() {
  return Shell("xwininfo -id " + windowId_ + " 2>/dev/null").find("Map State: IsViewable") !=
         std::string::npos;
}

std::string TWindowFixture::WmState() {
  const std::string text = Shell("xprop -id " + windowId_ + " WM_STATE 2>/dev/null");
  const std::size_t at = text.find("window state: ");
  if (at == std::string::npos) return {};
  const std::size_t start = at + std::strlen("window state: ");
  return text.substr(start, text.find('\n', start) - start);
}

::testing::AssertionResult ShowsFrame(const TShot& shot, int ox, int oy, int left, int top,
                                      const std::string& sprite, int frame) {
  const ui::TImage image =
      ui::DecodePng(ReadFile(std::string(KOVA_SOURCE_DIR) + "/resources/skin/" + sprite));
  const std::vector<ui::TImage> frames = ui::SliceImage(image, 4, 1);
  const ui::TImage& f = frames[static_cast<std::size_t>(frame)];
  int differing = 0;
  for (int y = 0; y < f.Height; ++y) {
    for (int x = 0; x < f.Width; ++x) {
      const ui::TRgb want = f.Colour(x, y);
      const TShot::TPixel got = shot.At(ox + left + x, oy + top + y);
      if (got.R != want.R || got.G != want.G || got.B != want.B) ++differing;
    }
  }
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << differing << " pixels differ from frame " << frame << " of " << sprite;
}

TTray::TTray()
    : child_("/usr/bin/trayer",
             {"--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "48",
              "--height", "32", "--SetDockType", "false", "--transparent", "false"}) {
  Eventually([] { return !Shell("xdotool search --class trayer 2>/dev/null").empty(); }, 20);
  ::usleep(300000);
}

TTray::~TTray() {
  child_.Stop(5);
}

void TTray::ClickIcon(int button) {
  int x = 0, y = 0;
  WindowPosition(Shell("xdotool search --class trayer 2>/dev/null | head -n 1"), x, y);
  Shell("xdotool mousemove " + std::to_string(x + 8) + " " + std::to_string(y + 12) +
        " sleep 0.1 click " + std::to_string(button));
}

TWindowManager::TWindowManager() {
  child_ = std::make_unique<TChild>("/usr/bin/openbox", std::vector<std::string>{"--sm-disable"});
  // openbox owns the WM_S0 selection once it manages the screen.
  if (!Eventually(
          [] {
            return Shell("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null").find("window id") !=
                   std::string::npos;
          },
          20)) {
    throw std::runtime_error("openbox did not start");
  }
}

TWindowManager::~TWindowManager() {
  child_->Stop(5);
}

void TWindowFixture::ExpectGameInstalled() {
  for (const auto& [name, content] : Snapshot(source_)) {
    EXPECT_EQ(ReadFile(home_ + "/" + name), content) << name;
  }
}

}  // namespace kova::test
