#include "core/console_host.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/main_loop.h"
#include "support/translation.h"

namespace kova {

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A text as a terminal may show it: control bytes (an escape sequence, a line feed that would
// forge a line of its own) are written as \xNN.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// A terminal line of the bar: short enough for an 80-column terminal.
constexpr std::size_t kBarLine = 79;

}  // namespace

TConsoleHost::TConsoleHost(int retries, std::FILE* out, std::FILE* err, bool terminal)
    : retries_(retries), out_(out), err_(err), terminal_(terminal), startMs_(NowMs()) {}

TConsoleHost::~TConsoleHost() {
  ClearBar();
  FlushNow();
}

void TConsoleHost::FlushNow() {
  if (unflushed_) std::fflush(out_);
  unflushed_ = false;
  lastFlushMs_ = NowMs();
}

void TConsoleHost::FlushSoon() {
  if (unflushed_ && NowMs() - lastFlushMs_ >= 50) FlushNow();
}

void TConsoleHost::ClearBar() {
  if (!barShown_) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(kBarLine), "");
  std::fflush(err_);
  barShown_ = false;
  lastLine_.clear();
}

void TConsoleHost::SetInfo(const std::string& text) {
  info_ = text;
  if (text.empty()) return;
  ClearBar();
  std::fprintf(out_, "%s\n", Printable(text).c_str());
  unflushed_ = true;
  FlushSoon();
  DrawProgress();
}

void TConsoleHost::SetFileProgress(int position) {
  file_ = position;
  FlushSoon();
  DrawProgress();
}

void TConsoleHost::SetTotalProgress(int position) {
  total_ = position;
  DrawProgress();
}

void TConsoleHost::SetTransfer(const std::string& text) {
  transfer_ = text;
  DrawProgress();
}

void TConsoleHost::ShowReason(const std::string& reason) {
  if (reason.empty()) return;
  ClearBar();
  FlushNow();
  std::fprintf(err_, "%s\n", Printable(reason).c_str());
  std::fflush(err_);
  lastLine_.clear();
  DrawProgress();
}

void TConsoleHost::DrawProgress() {
  const std::int64_t now = NowMs();
  if (now - startMs_ < 1000) return;
  const int max = ProgressMax();
  const int totalPercent = std::clamp(total_ * 100 / max, 0, 100);
  std::string line = std::to_string(totalPercent) + "%";
  if (!transfer_.empty()) line += ", " + Printable(transfer_);
  if (line == lastLine_) return;
  if (terminal_) {
    // One line, redrawn in place, a few times a second at most.
    if (barShown_ && now - lastLineMs_ < 100) return;
    constexpr int kWidth = 20;
    const int filled = std::clamp(total_ * kWidth / max, 0, kWidth);
    std::string bar = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + line;
    if (bar.size() > kBarLine + 1) bar.resize(kBarLine + 1);
    bar += std::string(kBarLine + 1 - bar.size(), ' ');
    std::fputs(bar.c_str(), err_);
    barShown_ = true;
  } else {
    if (now - lastLineMs_ < 1000) return;
    std::fprintf(err_, "progress: %s\n", line.c_str());
  }
  std::fflush(err_);
  lastLine_ = line;
  lastLineMs_ = now;
}

void TConsoleHost::ProcessMessages() {
  platform::ServePendingMessages();
}

void TConsoleHost::ErrorBox(const std::string& text) {
  ClearBar();
  FlushNow();
  std::fprintf(err_, "%s [%s]\n", Printable(text).c_str(), Tr("OK"));
  std::fflush(err_);
}

TBoxResult TConsoleHost::RetryBox(TBoxKind, const std::string& text) {
  ClearBar();
  FlushNow();
  int& given = answers_[text];
  const bool retry = given < retries_;
  std::fprintf(err_, "%s [%s]\n", Printable(text).c_str(), retry ? Tr("Retry") : Tr("Cancel"));
  std::fflush(err_);
  if (!retry) return TBoxResult::Cancel;
  ++given;
  // Waiting serves the loop, so a Ctrl-C during the pause is seen.
  for (int waited = 0; waited < RetryDelayMs; waited += 50) {
    platform::ServePendingMessages();
    platform::SleepMilliseconds(50);
  }
  return TBoxResult::Retry;
}

std::string TConsoleHost::ExecutablePath() const {
  return platform::ExecutablePath();
}

}  // namespace kova
