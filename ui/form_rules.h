#pragma once
// What both windows (GTK and Windows) decide the same way, without a toolkit: the handlers of
// the buttons and of the instance messages, closing while a run goes on, starting the game
// program, the trace of the buttons, and which links of the news page may reach the browser.
#include <cstdint>
#include <string>

#include "core/update_host.h"
#include "core/update_run.h"
#include "support/translation.h"

namespace kova::ui {

// The window's part that needs no toolkit; each window adds the toolkit's part. The update run
// executes on the GUI thread inside these handlers, so every handler may run nested inside a run.
class TFormBase : public IUpdateHost {
 public:
  TFormBase(const TFormBase&) = delete;
  TFormBase& operator=(const TFormBase&) = delete;

  // True once the window has closed: the program ends.
  bool Closed() const { return closed_; }

  // Handlers.
  // Starts the first run soon; started without a game, says so and how to start it for one.
  void FormShow();
  // While a run goes on, asks it to stop instead of letting the window close.
  bool FormCloseQuery();
  void StartButtonClick();
  void CheckButtonClick();
  // The run the start timer makes (a pre-load after it included).
  void RunFromTimer();
  void CancelButtonClick() { CloseRequest(); }
  void MinimizeButtonClick() { HideToTray(); }
  // Close waits for a running run to stop, looking again every 50 ms, then closes.
  void CloseButtonClick(bool fromTimer);
  virtual void TrayIconClick() = 0;
  // The notification-area icon's menu: a limit for all downloads together (KiB/s, 0: none),
  // kept for the game, and pause or resume.
  void SpeedLimitChosen(std::int64_t kibPerSecond);
  void PauseChosen(bool paused);
  std::int64_t SpeedLimit() const { return speedLimit_; }
  bool Paused() const { return run_.IsPaused(); }
  // An instance message (the focus or the close message) by its registered id.
  void ApplicationEventsMessage(unsigned message);

  // IUpdateHost, the part without a toolkit.
  void ProcessMessages() override;
  void CloseWindow() override { CloseRequest(); }
  std::string ExecutablePath() const override;

 protected:
  TFormBase();
  ~TFormBase() override;
  void CloseRequest();

  // The toolkit's part. An update run 333 ms from now, unless the window has closed by then.
  virtual void StartRunTimer() = 0;
  // CloseButtonClick(true) every 50 ms from now on; false when no timer could be made.
  virtual bool StartCloseTimer() = 0;
  virtual void StopCloseTimer() = 0;
  // Hides the window and the notification-area icon for good.
  virtual void HideWindow() = 0;
  virtual void HideToTray() = 0;
  // Brings the window to the front.
  virtual void PresentWindow() = 0;

  TUpdateRun run_{*this};
  bool closed_ = false;

 private:
  void ApplyKeptSpeedLimit();
  // Closes the window that Start left open for a pre-load, once it has ended.
  void CloseIfPreloaded();
  bool closeTimer_ = false;
  bool closeAfterPreload_ = false;
  std::int64_t speedLimit_ = 0;
};

// The speed limits the icon's menu offers, in its order.
struct TSpeedChoice {
  const char* Label;
  std::int64_t KiBPerSecond;
};
inline constexpr TSpeedChoice kSpeedChoices[] = {{TrNoop("Unlimited"), 0},
                                                 {TrNoop("10 MB/s"), 10240},
                                                 {TrNoop("5 MB/s"), 5120},
                                                 {TrNoop("2 MB/s"), 2048},
                                                 {TrNoop("1 MB/s"), 1024}};
constexpr const char* kPauseLabel = TrNoop("Pause downloads");
constexpr const char* kResumeLabel = TrNoop("Resume downloads");

// Start: starts the game program unless it is missing from the game folder or already running
// (and only one copy may run). True when the window must then close (CloseUpdater), which a
// running copy prevents. When the system cannot start it, `failure` receives the text to show
// the player, and the window stays.
bool StartGameProgram(std::string& failure);
// The trace line of the two buttons' enabled states.
void TraceButtons(bool start, bool check);
// Whether `url` may be opened with the desktop's handler now: a web or mail address, and at most
// kMaxHandlerStartsPerSecond a second (a page looping over window.open opens nothing more).
bool MayOpenWithHandler(const std::string& url);
constexpr std::size_t kMaxHandlerStartsPerSecond = 3;

}  // namespace kova::ui
