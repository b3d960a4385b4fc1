#include "core/console_host.h"

#include <chrono>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/main_loop.h"
#include "support/translation.h"

namespace kova {

TConsoleHost::TConsoleHost(int retries, std::FILE* out, std::FILE* err, bool terminal)
    : retries_(retries), out_(out), err_(err), terminal_(terminal) {}

TConsoleHost::~TConsoleHost() {
  ClearBar();
  FlushNow();
}

namespace {

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

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

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
  std::fprintf(err_, "\r%-78s\r", "");
  std::fflush(err_);
  barShown_ = false;
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

void TConsoleHost::DrawProgress() {
  const int max = ProgressMax();
  const int filePercent = file_ * 100 / max;
  const int totalPercent = total_ * 100 / max;
  if (terminal_) {
    constexpr int kWidth = 40;
    const int filled = total_ * kWidth / max;
    std::fprintf(err_, "\r[%s%s] total %3d%%  file %3d%%",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), totalPercent,
                 filePercent);
    std::fflush(err_);
    barShown_ = true;
  } else if (totalPercent != lastPlainPercent_) {
    lastPlainPercent_ = totalPercent;
    std::fprintf(err_, "progress: total %d%%\n", totalPercent);
    std::fflush(err_);
  }
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
