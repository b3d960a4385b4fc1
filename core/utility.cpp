#include "core/utility.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/error.h"
#include "support/text.h"
#include "support/translation.h"

namespace kova {

int FindProcessByPath(const std::string& path) {
  return platform::FindProcessByExecutable(path);
}

std::int64_t GetFileSize64(const std::string& path) {
  return platform::FileSize(path);
}

std::int32_t PackDosDate(std::int64_t seconds) {
  TDateFields f;
  if (!platform::UnixToLocalFields(seconds, f)) return -1;
  if (f.Year < 1980 || f.Year > 2107) return -1;
  const auto date = static_cast<std::uint32_t>(((f.Year - 1980) << 9) | (f.Month << 5) | f.Day);
  const auto time = static_cast<std::uint32_t>((f.Hour << 11) | (f.Minute << 5) | (f.Second / 2));
  return static_cast<std::int32_t>((date << 16) | time);
}

std::int32_t GetFileDosDate(const std::string& path) {
  std::int64_t seconds = 0;
  return platform::FileModifySeconds(path, seconds) ? PackDosDate(seconds) : -1;
}

bool GetFileSizeAndDosDate(const std::string& path, std::int64_t& size, std::int32_t& dosDate) {
  std::int64_t seconds = 0;
  bool readable = false;
  if (!platform::ProbeFile(path, size, seconds, readable)) return false;
  dosDate = readable ? PackDosDate(seconds) : -1;
  return true;
}

bool ExecuteFile(const std::string& program, const std::string& parameters,
                 const std::string& directory) {
  return platform::StartProgram(program, parameters, directory);
}

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time

}  // namespace

// A file's time becomes a local date-time through the offset from UTC in force now, not the one
// of its own date: HTTP dates are decoded the same way, so a build dated with the server's date
// reads back as exactly that date in every season, and the self-update never fetches it again
// because daylight saving began or ended since.
bool IsAheadOfClock(TDateTime date) {
  return date > platform::NowLocal() + 1.0;
}

TDateTime GetFileModifyTime(const std::string& path) {
  std::int64_t seconds = 0;
  if (!platform::FileModifySeconds(path, seconds)) return -1;
  const std::int64_t local = seconds + std::int64_t{platform::LocalUtcOffsetMinutes()} * 60;
  const double days = kUnixEpochDays + static_cast<double>(local) / 86400.0;
  return days >= 0 ? days : -1;  // before 1900 the date-time's fraction would run backwards
}

bool SetFileModifyTime(const std::string& path, TDateTime time) {
  if (!std::isfinite(time) || time < 0 || time > 3e6) return false;
  TDateFields f = DecodeDateTime(time);
  f.Millisecond = 0;
  if (!IsValidDate(f.Year, f.Month, f.Day)) return false;
  const std::int64_t local = std::llround((EncodeDateTime(f) - kUnixEpochDays) * 86400.0);
  return platform::SetFileModifySeconds(
      path, local - std::int64_t{platform::LocalUtcOffsetMinutes()} * 60);
}

std::size_t LastCharPos(char c, const std::string& s) {
  const std::size_t pos = s.rfind(c);
  return pos == std::string::npos ? 0 : pos + 1;
}

std::vector<std::string> SplitByChar(char c, const std::string& s) {
  std::vector<std::string> fields{s};
  std::size_t start = 0;
  for (;;) {
    const std::size_t pos = s.find(c, start);
    if (pos == std::string::npos) {
      fields.push_back(s.substr(start));
      return fields;
    }
    fields.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

bool IsWebUrl(const std::string& s) {
  return LowerCaseAscii(s.substr(0, 7)) == "http://" ||
         LowerCaseAscii(s.substr(0, 8)) == "https://";
}

std::string BackslashToSlash(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::size_t LastDelimiterPos(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (platform::IsPathDelimiter(path[i - 1])) return i - 1;
  return std::string::npos;
}

std::string ExtractFilePath(const std::string& path) {
  const std::size_t slash = LastDelimiterPos(path);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  const std::size_t slash = LastDelimiterPos(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& extension) {
  const std::size_t slash = LastDelimiterPos(path);
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + extension;
  return path.substr(0, dot) + extension;
}

}  // namespace kova

namespace kova {

void RemoveTree(const std::string& folder) {
  if (folder.empty()) return;
  std::string root = folder;
  while (root.size() > 1 && platform::IsPathDelimiter(root.back())) root.pop_back();
  if (platform::IsSymbolicLink(root)) {
    platform::RemoveFile(root);
    platform::RemoveEmptyFolder(root);  // a folder link on Windows
    return;
  }
  std::vector<std::string> files, links, folders;
  if (!platform::ListFiles(root, files, links, &folders)) return;
  for (const std::string& f : files) platform::RemoveFile(root + "/" + f);
  for (const std::string& l : links) {
    platform::RemoveFile(root + "/" + l);
    platform::RemoveEmptyFolder(root + "/" + l);
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it)
    platform::RemoveEmptyFolder(root + "/" + *it);
  platform::RemoveEmptyFolder(root);
}

void WriteFileWhole(const std::string& path, const std::string& data) {
  const std::string temporary = path + kWholeWriteSuffix;
  try {
    {
      auto out = platform::OpenFileStream(temporary, platform::TFileMode::Create);
      out->Write(data.data(), data.size());
      out->Flush();
    }
    if (!platform::MoveFileReplacing(temporary, path)) throw EStreamError("cannot replace " + path);
  } catch (...) {
    platform::RemoveFile(temporary);
    throw;
  }
}

std::string FitText(const std::string& text, std::size_t most) {
  if (text.size() <= most || most < 8) return text;
  const auto starts = [&](std::size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
  };
  std::size_t head = most * 2 / 5, tail = text.size() - (most - head - 3);
  while (head > 0 && !starts(head)) --head;
  while (tail < text.size() && !starts(tail)) ++tail;
  return text.substr(0, head) + "..." + text.substr(tail);
}

std::string Megabytes(std::int64_t bytes, bool up) {
  // In whole tenths of a MiB, without overflow for the largest sizes.
  constexpr std::int64_t kMiB = 1024 * 1024;
  bytes = std::max<std::int64_t>(0, bytes);
  const std::int64_t rest = bytes % kMiB * 10;
  std::int64_t tenths = bytes / kMiB * 10 + rest / kMiB;
  if (up && rest % kMiB != 0) ++tenths;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%lld", static_cast<long long>(tenths / 10),
                static_cast<long long>(tenths % 10));
  return text;
}

std::string TransferText(std::int64_t done, std::int64_t total, double rate) {
  total = std::max(total, done);
  const std::string doneText = Megabytes(done, false), totalText = Megabytes(total, true);
  if (!(rate > 0)) return TrFormat("%s of %s MB done", {doneText, totalText});
  char rateText[32];
  std::snprintf(rateText, sizeof rateText, "%.1f", rate / (1024 * 1024));
  // Whole seconds, rounded up: "0:00 left" only once nothing is.
  const double seconds = std::ceil(static_cast<double>(total - done) / rate);
  const auto left = static_cast<long long>(std::min(seconds, 99.0 * 3600));
  char leftText[32];
  if (left >= 3600)
    std::snprintf(leftText, sizeof leftText, "%lld:%02lld:%02lld", left / 3600, left / 60 % 60,
                  left % 60);
  else
    std::snprintf(leftText, sizeof leftText, "%lld:%02lld", left / 60, left % 60);
  return TrFormat("%s of %s MB done, %s MB/s, %s left", {doneText, totalText, rateText, leftText});
}

}  // namespace kova
