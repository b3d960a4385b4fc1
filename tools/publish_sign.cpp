#include "tools/publish_sign.h"

#include <lzma.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/document_stamp.h"
#include "core/options.h"
#include "core/patch_list.h"
#include "core/utility.h"
#include "platform/files.h"
#include "support/aligned_buffer.h"
#include "support/error.h"
#include "support/signature.h"
#include "support/text.h"
#include "support/version.h"
#include "workers/chunks.h"
#include "workers/crc32.h"
#include "workers/zstd_frame.h"

namespace kova::publish {

std::string FileSha256(const std::string& path) {
  auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
  TAlignedBuffer buffer(kBlock);
  TSha256 hash;
  for (std::size_t n; (n = in->Read(buffer.Data(), kBlock)) > 0;) hash.Update(buffer.Data(), n);
  return hash.HexDigest();
}

// The secret key in KEYFILE (base64 of its 64 bytes); raises when there is none.
std::string ReadSecretKey(const std::string& path) {
  std::string key;
  if (!FromBase64(platform::ReadFileWhole(path), key) || key.size() != 64)
    throw EStreamError(path + " holds no secret key");
  return key;
}

// Writes FILE.sig beside FILE; raises on failure.
void WriteSignature(const std::string& file, const std::string& data, const std::string& key) {
  const std::string text = SignMessage(data, key) + "\n";
  WriteFileWhole(file + ".sig", text);
}

int KeyGen(const std::string& path) {
  std::string secret, pub;
  MakeKeyPair(secret, pub);
  if (!platform::CreatePrivateFile(path, ToBase64(secret) + "\n")) {
    std::fprintf(stderr, "kova-publish: cannot create %s (an existing key is never overwritten)\n",
                 path.c_str());
    return 1;
  }
  std::printf("%s\n", ToBase64(pub).c_str());
  return 0;
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The serial a document gets when none is given: the next after `previous`, and never below the
// current time in seconds.
std::int64_t NextSerial(std::int64_t previous) {
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  return std::max(previous + 1, now);
}

std::string ExpiryAttr(std::int64_t days) {
  return days < 0 ? std::string() : IsoDay(TodayUtc() + days);
}

// Sets attributes on the first start tag of `element` in `text`, replacing those of the same
// names; false when there is no such tag.
bool SetTagAttributes(std::string& text, const std::string& element,
                      const std::vector<std::pair<std::string, std::string>>& values) {
  std::size_t at = 0;
  for (;; ++at) {
    at = text.find("<" + element, at);
    if (at == std::string::npos) return false;
    const char after = at + 1 + element.size() < text.size() ? text[at + 1 + element.size()] : 0;
    if (after == '>' || after == '/' || after == ' ' || after == '\t' || after == '\r' ||
        after == '\n')
      break;
  }
  // The tag's end, past quoted values; its attributes kept unless named again.
  std::size_t pos = at + 1 + element.size();
  std::string kept;
  for (;;) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= text.size()) return false;
    if (text[pos] == '>' || text[pos] == '/') break;
    const std::size_t nameStart = pos;
    while (pos < text.size() && text[pos] != '=' && text[pos] != '>' &&
           !std::isspace(static_cast<unsigned char>(text[pos])))
      ++pos;
    const std::string name = text.substr(nameStart, pos - nameStart);
    while (pos < text.size() &&
           (text[pos] == '=' || std::isspace(static_cast<unsigned char>(text[pos]))))
      ++pos;
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return false;
    const std::size_t close = text.find(text[pos], pos + 1);
    if (close == std::string::npos) return false;
    const std::string attribute = text.substr(nameStart, close + 1 - nameStart);
    pos = close + 1;
    bool replaced = false;
    for (const auto& value : values) replaced = replaced || value.first == name;
    if (!replaced) kept += " " + attribute;
  }
  for (const auto& [name, value] : values) kept += " " + name + "=\"" + value + "\"";
  text.replace(at + 1 + element.size(), pos - (at + 1 + element.size()), kept);
  return true;
}

int SignFile(const std::string& keyPath, const std::string& file, const TStampArgs& stamp) {
  try {
    const std::string key = ReadSecretKey(keyPath);
    std::string data = platform::ReadFileWhole(file);
    if (stamp.Any()) {
      if (stamp.Uid.empty()) return Usage("stamping an options document needs --uid");
      if (stamp.Updater.empty() != (stamp.UpdaterSerial < 0))
        return Usage("--updater and --updater-serial go together");
      TMemoryStream in(data);
      TOptions previous;
      previous.LoadFromStream(in);
      if (previous.Stamp.Kind != "options") return Usage(file + " is no options document");
      std::vector<std::pair<std::string, std::string>> values{
          {"serial",
           std::to_string(stamp.Serial >= 0 ? stamp.Serial : NextSerial(previous.Stamp.Serial))},
          {"uid", XmlEscape(stamp.Uid)}};
      if (stamp.ExpiresDays >= 0) values.emplace_back("expires", ExpiryAttr(stamp.ExpiresDays));
      if (!SetTagAttributes(data, "options", values))
        return Usage("cannot find the options element of " + file);
      if (!stamp.Updater.empty() &&
          !SetTagAttributes(data, "updater",
                            {{"sha256", FileSha256(stamp.Updater)},
                             {"serial", std::to_string(stamp.UpdaterSerial)}}))
        return Usage(file + " names no updater");
      WriteFileWhole(file, data);
    }
    WriteSignature(file, data, key);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova-publish: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace kova::publish
