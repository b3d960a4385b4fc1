#pragma once
// The update run's host without a window: information lines on standard output, progress on
// standard error (a bar on a terminal, plain lines otherwise), retry boxes answered by a policy.

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "core/update_host.h"

namespace kova {

class TConsoleHost : public IUpdateHost {
 public:
  // `retries`: how many times each question about one file is answered with Retry before Cancel.
  TConsoleHost(int retries, std::FILE* out, std::FILE* err, bool terminal);
  ~TConsoleHost() override;

  void SetInfo(const std::string& text) override;
  std::string Info() const override { return info_; }
  void SetFileProgress(int position) override;
  void SetTotalProgress(int position) override;
  int TotalProgress() const override { return total_; }
  void ProcessMessages() override;
  void EnableButtons(bool, bool) override {}
  // There is no news page to load.
  bool NewsLoaded() const override { return true; }
  void NavigateNews(const std::vector<std::string>&) override {}
  bool IsWindowVisible() const override { return true; }
  void CloseWindow() override { closeRequested_ = true; }
  void ShowBalloon(const std::string&, const std::string&) override {}
  TBoxResult RetryBox(TBoxKind kind, const std::string& text) override;
  void ErrorBox(const std::string& text) override;
  std::string ExecutablePath() const override;

  bool CloseRequested() const { return closeRequested_; }
  // Milliseconds waited before a Retry answer, as a person would take before answering.
  int RetryDelayMs = 500;

 private:
  void DrawProgress();
  void ClearBar();
  // Lines reach standard output at least every 50 ms: a run over thousands of files would
  // otherwise spend more time writing lines one by one than checking the files.
  void FlushSoon();
  void FlushNow();

  int retries_;
  std::FILE* out_;
  std::FILE* err_;
  bool terminal_;
  std::string info_;
  int file_ = 0;
  int total_ = 0;
  int lastPlainPercent_ = -1;
  bool barShown_ = false;
  bool closeRequested_ = false;
  bool unflushed_ = false;
  std::int64_t lastFlushMs_ = 0;
  std::map<std::string, int> answers_;
};

}  // namespace kova
