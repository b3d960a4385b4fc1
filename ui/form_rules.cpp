#include "ui/form_rules.h"

#include <chrono>
#include <deque>

#include "core/options.h"
#include "core/registry.h"
#include "core/startup.h"
#include "core/utility.h"
#include "net/proxy.h"
#include "platform/files.h"
#include "platform/main_loop.h"
#include "platform/process.h"
#include "support/text.h"
#include "support/translation.h"
#include "ui/trace.h"

namespace kova::ui {

bool TFormBase::FormCloseQuery() {
  if (!run_.IsRunning()) return true;
  // A pre-load is no run of the player's: it stops, and the window closes once it has.
  if (run_.IsPreloading()) {
    CloseButtonClick(false);
    return false;
  }
  run_.SetCancelled(true);
  SetInfo(Tr("Cancelling..."));
  return false;
}

TFormBase::TFormBase() {
  // A proxy that refuses the run's requests is named in the trace; the window shows the run's
  // own text.
  SetProxyNotice([](const std::string& text) { Trace("proxy: " + text); });
}

TFormBase::~TFormBase() {
  SetProxyNotice(nullptr);
}

void TFormBase::CloseRequest() {
  if (closed_ || !FormCloseQuery()) return;
  closed_ = true;
  HideWindow();
  Trace("window: closed");
  platform::WakeGuiThread();
}

void TFormBase::FormShow() {
  closeAfterPreload_ = false;  // the player has the window back
  ApplyKeptSpeedLimit();
  run_.SetBundle(BundlePath);
  run_.SetPreload(true);
  const TUpdaterOptions& o = UpdaterOptions();
  if (!NoGameIn.empty() && !IsWebUrl(o.OptionsUrl) && !IsWebUrl(o.PatchListUrl)) {
    SetInfo(TrFormat(kNoGame, {NoGameIn}));
    ShowReason(Tr(kNoGameHint));
    return;
  }
  StartRunTimer();
}

void TFormBase::StartButtonClick() {
  std::string failure;
  const bool close = StartGameProgram(failure);
  if (!failure.empty()) {
    ErrorBox(failure);
  } else if (close && run_.IsPreloading()) {
    // The game runs, and the pre-load goes on from the notification area until it ends; the
    // window then closes as it would have now.
    closeAfterPreload_ = true;
    HideToTray();
  } else if (close) {
    CloseRequest();
  }
}

void TFormBase::RunFromTimer() {
  if (closed_) return;
  run_.UpdateRun(true);
  CloseIfPreloaded();
}

void TFormBase::CheckButtonClick() {
  run_.CheckButtonClick();
  CloseIfPreloaded();
}

void TFormBase::CloseIfPreloaded() {
  if (closeAfterPreload_ && !run_.IsRunning() && !closed_) CloseRequest();
}

void TFormBase::CloseButtonClick(bool fromTimer) {
  if (run_.IsRunning()) {
    run_.SetCancelled(true);
    if (!fromTimer && !closeTimer_) closeTimer_ = StartCloseTimer();
    return;
  }
  if (fromTimer) {
    StopCloseTimer();
    closeTimer_ = false;
  }
  CloseRequest();
}

void TFormBase::ApplicationEventsMessage(unsigned message) {
  if (message == FocusMessage) {
    Trace("message: focus");
    TrayIconClick();
    PresentWindow();
  } else if (message == CloseMessage) {
    Trace("message: close");
    CloseRequest();
  }
}

void TFormBase::ApplyKeptSpeedLimit() {
  const TUpdaterOptions& o = UpdaterOptions();
  std::string kept;
  std::int64_t limit = 0;
  if (o.Uid.empty() || !RegReadString(o.RootKey, o.SettingsKey() + "\\SpeedLimit", kept) ||
      !ParseDecimal64(kept, limit) || limit < 0)
    limit = 0;
  speedLimit_ = limit;
  run_.SetSpeedLimit(limit * 1024);
}

void TFormBase::SpeedLimitChosen(std::int64_t kibPerSecond) {
  speedLimit_ = kibPerSecond;
  run_.SetSpeedLimit(kibPerSecond * 1024);
  const TUpdaterOptions& o = UpdaterOptions();
  if (!o.Uid.empty())
    RegWriteString(o.RootKey, o.SettingsKey() + "\\SpeedLimit", std::to_string(kibPerSecond));
  Trace("limit: " + std::to_string(kibPerSecond) + " KiB/s");
}

void TFormBase::PauseChosen(bool paused) {
  run_.SetPaused(paused);
  Trace(paused ? "downloads: paused" : "downloads: resumed");
}

void TFormBase::ProcessMessages() {
  platform::ServePendingMessages();
}

std::string TFormBase::ExecutablePath() const {
  return platform::ExecutablePath();
}

namespace {
// What Windows answers for a program whose manifest asks for administrator rights.
constexpr int kElevationRequired = 740;
}  // namespace

bool StartGameProgram(std::string& failure) {
  const TUpdaterOptions& o = UpdaterOptions();
  const std::string program = o.ProgramPath();
  if (program.empty()) return false;  // no program of the game folder: nothing is started
  if (!o.AllowMultipleRun() && FindProcessByPath(program) != 0) return false;
  if (platform::FileExists(program)) {
    Trace("start: " + program);
    if (!ExecuteFile(program, o.RunParams, ExtractFilePath(program))) {
      // Silence would leave the player pressing Start again and again.
      const int code = platform::LastStartError();
      const std::string name = ExtractFileName(program), number = std::to_string(code);
      failure = code == kElevationRequired
                    ? TrFormat(
                          "Cannot start %s. Error code: %d. The game asks to be run as "
                          "administrator.",
                          {name, number})
                    : TrFormat("Cannot start %s. Error code: %d", {name, number});
      return false;
    }
  }
  return o.CloseUpdater();
}

void TraceButtons(bool start, bool check) {
  Trace(std::string("buttons: start ") + (start ? "enabled" : "disabled") + ", check " +
        (check ? "enabled" : "disabled"));
}

bool MayOpenWithHandler(const std::string& url) {
  const std::size_t colon = url.find(':');
  const std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
  const bool web = SameTextAscii(scheme, "http") || SameTextAscii(scheme, "https") ||
                   SameTextAscii(scheme, "mailto");
  static std::deque<std::chrono::steady_clock::time_point> recent;
  const auto now = std::chrono::steady_clock::now();
  while (!recent.empty() && now - recent.front() > std::chrono::seconds(1)) recent.pop_front();
  if (!web || recent.size() >= kMaxHandlerStartsPerSecond) {
    Trace("news: refused " + url);
    return false;
  }
  recent.push_back(now);
  return true;
}

}  // namespace kova::ui
