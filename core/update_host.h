#pragma once
// What an update run needs from its window: the information line, the two bars, the buttons,
// the news page, visibility, the notification balloon, message boxes and closing. The window
// implements it with GTK; kovaupdater-cli and the tests implement it without one.

#include <string>
#include <vector>

namespace kova {

// Message-box results, as the run tests them, with the numbers Windows gives them.
enum class TBoxResult : int {
  Ok = 1,
  Cancel = 2,
  Retry = 4,
  TimedOut = 32000,
};

// Which question a retry box asks; a console answers each by its retry policy.
enum class TBoxKind {
  CheckError,     // "Error while checking %s. Error code: %d"
  DownloadError,  // "Error while downloading patch for %s" (closes itself after 30 s)
  RunningGame,    // "Please, close running  %s to proceed"
};

class IUpdateHost {
 public:
  virtual ~IUpdateHost() = default;

  virtual void SetInfo(const std::string& text) = 0;
  // Why the run failed, or why a step of it did (the address and the cause), beside the line;
  // an empty reason takes the shown one away.
  virtual void ShowReason(const std::string& reason) = 0;
  virtual std::string Info() const = 0;
  // Both bars are 429 pixels wide; their maximum is their width.
  virtual void SetFileProgress(int position) = 0;
  virtual void SetTotalProgress(int position) = 0;
  virtual int TotalProgress() const = 0;
  // While a run downloads: what it has done and has left, its rate and the time left (empty:
  // nothing is being downloaded).
  virtual void SetTransfer(const std::string& text) = 0;
  virtual int ProgressMax() const { return 429; }
  // The notification-area icon's tip, after the title (empty: the title alone): what the
  // launcher does while its window is hidden.
  virtual void SetStatusTip(const std::string& text) { (void)text; }
  // Serves the window's pending messages and returns.
  virtual void ProcessMessages() = 0;
  virtual void EnableButtons(bool start, bool check) = 0;
  virtual bool NewsLoaded() const = 0;
  // Loads the news page from the first address, and from the next when one fails to load.
  virtual void NavigateNews(const std::vector<std::string>& addresses) = 0;
  virtual bool IsWindowVisible() const = 0;
  virtual void CloseWindow() = 0;
  virtual void ShowBalloon(const std::string& title, const std::string& text) = 0;
  // A modal Retry/Cancel box with the error icon; the download error box times out after 30 s
  // with TBoxResult::TimedOut.
  virtual TBoxResult RetryBox(TBoxKind kind, const std::string& text) = 0;
  // A modal box with the error icon and one OK button, the application title as its caption.
  virtual void ErrorBox(const std::string& text) = 0;
  // The running launcher's own file.
  virtual std::string ExecutablePath() const = 0;
};

}  // namespace kova
