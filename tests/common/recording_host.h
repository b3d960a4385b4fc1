#pragma once
// An update-run host that records what the run shows and answers its boxes as a test says.

#include <functional>
#include <string>
#include <vector>

#include "core/update_host.h"
#include "platform/main_loop.h"

namespace kova::test {

class TRecordingHost : public IUpdateHost {
 public:
  void SetInfo(const std::string& text) override {
    info = text;
    lines.push_back(text);
    if (onInfo) onInfo(text);
  }
  std::string Info() const override { return info; }
  void SetFileProgress(int position) override {
    file = position;
    if (onFile) onFile(position);
  }
  void SetTotalProgress(int position) override {
    total = position;
    if (onTotal) onTotal(position);
  }
  int TotalProgress() const override { return total; }
  void SetTransfer(const std::string& text) override {
    if (!text.empty()) transfers.push_back(text);
  }
  void ShowReason(const std::string& text) override {
    if (!text.empty()) reasons.push_back(text);
  }
  void ProcessMessages() override { platform::ServePendingMessages(); }
  void EnableButtons(bool start, bool check) override {
    startEnabled = start;
    checkEnabled = check;
  }
  bool NewsLoaded() const override { return newsLoaded; }
  void NavigateNews(const std::vector<std::string>& addresses) override {
    news = addresses.front();
  }
  bool IsWindowVisible() const override { return visible; }
  void CloseWindow() override { closed = true; }
  void ShowBalloon(const std::string& title, const std::string& text) override {
    balloon = title + ": " + text;
  }
  TBoxResult RetryBox(TBoxKind kind, const std::string& text) override {
    boxes.push_back(text);
    return onBox ? onBox(kind, text) : TBoxResult::Cancel;
  }
  void ErrorBox(const std::string& text) override { boxes.push_back(text); }
  std::string ExecutablePath() const override { return executable; }

  std::string info, news, balloon, executable = "/nonexistent/kovaupdater";
  std::vector<std::string> lines, boxes, transfers, reasons;
  int file = 0, total = 0;
  bool startEnabled = false, checkEnabled = false, newsLoaded = false, visible = true,
       closed = false;
  std::function<void(const std::string&)> onInfo;
  std::function<void(int)> onFile, onTotal;
  std::function<TBoxResult(TBoxKind, const std::string&)> onBox;
};

}  // namespace kova::test
