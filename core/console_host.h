#pragma once
// The update run's host without a window: information lines on standard output, reasons and
// progress on standard error (one line redrawn in place on a terminal, at most a line a second
// otherwise, nothing in a run's first second), retry boxes answered by a policy.

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
  void SetTransfer(const std::string& text) override;
  void ShowReason(const std::string& reason) override;
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
  std::string transfer_;
  // What the last progress line said, and when (ms); a line waits until the host has been up a
  // second, so a launch that changes nothing writes none.
  std::string lastLine_;
  std::int64_t lastLineMs_ = 0;
  const std::int64_t startMs_;
  bool barShown_ = false;
  bool closeRequested_ = false;
  bool unflushed_ = false;
  std::int64_t lastFlushMs_ = 0;
  std::map<std::string, int> answers_;
};

}  // namespace kova
