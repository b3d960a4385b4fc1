#pragma once
// What kova-publish signs with: the publisher's key, signatures beside documents, and the stamp
// a signed document carries on its top element.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kova::publish {

// Read in blocks of this size.
constexpr std::size_t kBlock = 1 << 20;

// What is stamped on the top element of a signed document.
struct TStampArgs {
  std::string Uid;
  std::int64_t Serial = -1;
  std::int64_t ExpiresDays = -1;
  std::string Updater;
  std::int64_t UpdaterSerial = -1;
  bool Any() const {
    return !Uid.empty() || Serial >= 0 || ExpiresDays >= 0 || !Updater.empty() ||
           UpdaterSerial >= 0;
  }
};

// Prints `message` (when there is one) and how kova-publish is called; the exit status 2.
int Usage(const std::string& message);
// The SHA-256 of a whole file (lower-case hex); raises when it cannot be read.
std::string FileSha256(const std::string& path);
// The secret key in KEYFILE (base64 of its 64 bytes); raises when there is none.
std::string ReadSecretKey(const std::string& path);
// Writes FILE.sig beside FILE; raises on failure.
void WriteSignature(const std::string& file, const std::string& data, const std::string& key);
// `kova-publish keygen KEYFILE`: the exit status.
int KeyGen(const std::string& path);
// `s` with the characters XML gives a meaning escaped.
std::string XmlEscape(const std::string& s);
// The serial a document gets when none is given: the next after `previous`, and never below the
// current time in seconds.
std::int64_t NextSerial(std::int64_t previous);
// The expiry day `days` from today ("YYYY-MM-DD"); empty for a negative count (none).
std::string ExpiryAttr(std::int64_t days);
// Sets attributes on the first start tag of `element` in `text`, replacing those of the same
// names; false when there is no such tag.
bool SetTagAttributes(std::string& text, const std::string& element,
                      const std::vector<std::pair<std::string, std::string>>& values);
// `kova-publish sign KEYFILE FILE`: stamps the document when asked, then signs it; the exit
// status.
int SignFile(const std::string& keyPath, const std::string& file, const TStampArgs& stamp);

}  // namespace kova::publish
