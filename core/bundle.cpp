#include "core/bundle.h"

#include <algorithm>
#include <vector>

#include "core/utility.h"
#include "platform/files.h"
#include "support/text.h"
#include "support/translation.h"

namespace kova {
namespace {

constexpr std::int64_t kBlock = 512;
// A pax header holds a name and a size: anything longer is no bundle of ours.
constexpr std::int64_t kMaxPaxHeader = 64 * 1024;

// An octal field: digits, then blanks or zero bytes; false for anything else or an empty one.
bool Octal(const char* field, std::size_t size, std::int64_t& value) {
  value = 0;
  std::size_t i = 0;
  while (i < size && field[i] == ' ') ++i;
  const std::size_t first = i;
  for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (value > (INT64_MAX >> 3)) return false;
    value = value * 8 + (field[i] - '0');
  }
  if (i == first) return false;
  for (; i < size; ++i)
    if (field[i] != ' ' && field[i] != '\0') return false;
  return true;
}

std::string Field(const char* field, std::size_t size) {
  return std::string(field, std::find(field, field + size, '\0'));
}

// "LEN key=value\n" records; the path and the size are the ones a bundle uses.
bool ReadPax(const std::string& records, std::string& path, std::int64_t& size) {
  for (std::size_t at = 0; at < records.size();) {
    const std::size_t blank = records.find(' ', at);
    std::int64_t length = 0;
    if (blank == std::string::npos || !ParseDecimal64(records.substr(at, blank - at), length) ||
        length <= 0 || static_cast<std::size_t>(length) > records.size() - at)
      return false;
    const std::string record = records.substr(blank + 1, at + length - blank - 1);
    if (record.empty() || record.back() != '\n') return false;
    const std::size_t equals = record.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = record.substr(0, equals);
    const std::string value = record.substr(equals + 1, record.size() - equals - 2);
    if (key == "path") path = value;
    if (key == "size" && (!ParseDecimal64(value, size) || size < 0)) return false;
    at += static_cast<std::size_t>(length);
  }
  return true;
}

}  // namespace

bool TBundle::Open(const std::string& path, std::string& why) {
  path_ = path;
  members_.clear();
  try {
    auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
    const std::int64_t total = in->Size();
    std::string paxPath;
    std::int64_t paxSize = -1;
    char h[kBlock];
    for (std::int64_t at = 0;;) {
      if (total - at < kBlock) {
        why = Tr("the bundle is cut short");
        return false;
      }
      in->Seek(at);
      if (in->Read(h, sizeof h) != sizeof h) {
        why = Tr("the bundle is cut short");
        return false;
      }
      if (std::all_of(h, h + kBlock, [](char c) { return c == '\0'; })) {
        // The end: a second block of zeros.
        char next[kBlock];
        if (total - at < 2 * kBlock || in->Read(next, sizeof next) != sizeof next) {
          why = Tr("the bundle is cut short");
          return false;
        }
        if (!std::all_of(next, next + kBlock, [](char c) { return c == '\0'; })) break;
        return true;
      }
      std::int64_t stored = 0, size = 0;
      unsigned sum = 0;
      for (std::int64_t i = 0; i < kBlock; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
      if (!Octal(h + 148, 8, stored) || stored != sum || !Octal(h + 124, 12, size)) break;
      if (paxSize >= 0) size = paxSize;
      const std::int64_t data = at + kBlock;
      if (size > total - data) {
        why = Tr("the bundle is cut short");
        return false;
      }
      const char type = h[156];
      if (type == 'x') {
        if (size > kMaxPaxHeader) break;
        std::string records(static_cast<std::size_t>(size), '\0');
        if (in->Read(records.data(), records.size()) != records.size() ||
            !ReadPax(records, paxPath, paxSize))
          break;
      } else {
        std::string name = paxPath;
        if (name.empty()) {
          const std::string prefix = Field(h + 345, 155);
          name = (prefix.empty() ? "" : prefix + "/") + Field(h, 100);
        }
        paxPath.clear();
        paxSize = -1;
        if (type == '0' || type == '\0') {
          if (name.empty() || name.size() > kMaxName || members_.size() >= kMaxMembers) break;
          members_[name] = TPlace{data, size};
        }
      }
      at = data + (size + kBlock - 1) / kBlock * kBlock;
    }
  } catch (const std::exception& e) {
    why = e.what();
    members_.clear();
    return false;
  }
  why = Tr("the bundle is not a tar archive of a publication");
  members_.clear();
  return false;
}

bool TBundle::Text(const std::string& member, std::int64_t most, std::string& out) const {
  const auto it = members_.find(member);
  if (it == members_.end() || it->second.Size > most) return false;
  try {
    auto in = platform::OpenFileStream(path_, platform::TFileMode::OpenRead);
    in->Seek(it->second.Offset);
    out.assign(static_cast<std::size_t>(it->second.Size), '\0');
    return in->Read(out.data(), out.size()) == out.size();
  } catch (const std::exception&) {
    return false;
  }
}

bool TBundle::CopyTo(const std::string& member, const std::string& target) const {
  const auto it = members_.find(member);
  if (it == members_.end()) return false;
  const std::string temp = target + kWholeWriteSuffix;
  try {
    platform::ForceDirectories(ExtractFilePath(target));
    auto in = platform::OpenFileStream(path_, platform::TFileMode::OpenRead);
    in->Seek(it->second.Offset);
    {
      auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
      std::vector<char> buffer(1 << 20);
      for (std::int64_t left = it->second.Size; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
        const std::size_t n = in->Read(buffer.data(), want);
        if (n == 0) throw std::runtime_error("the bundle changed while it was read");
        out->Write(buffer.data(), n);
        left -= static_cast<std::int64_t>(n);
      }
    }
    if (platform::MoveFileReplacing(temp, target)) return true;
  } catch (const std::exception&) {
  }
  platform::RemoveFile(temp);
  return false;
}

}  // namespace kova
