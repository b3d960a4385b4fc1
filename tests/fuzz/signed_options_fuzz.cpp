// A downloaded options document with a key pinned, from arbitrary bytes: the input splits at its
// first NUL into the document and its signature text. Reading it either succeeds or raises; its
// stamp is judged against a game; the signature check is refused for all but a real signature
// (the key is fixed, and no input can hold its signature of itself by chance).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/document_stamp.h"
#include "core/options.h"
#include "support/signature.h"
#include "support/stream.h"

namespace {

const std::string& PinnedKey() {
  static const std::string key = [] {
    std::string secret, pub;
    kova::MakeKeyPair(secret, pub);
    return pub;
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string document = input.substr(0, split);
  const std::string signature =
      split == std::string::npos ? std::string() : input.substr(split + 1);
  if (kova::VerifySignature(document, signature, PinnedKey())) std::abort();
  kova::TOptions options;
  try {
    kova::TMemoryStream stream(document);
    options.LoadFromStream(stream);
  } catch (const std::exception&) {
    return 0;
  }
  const kova::TDocumentStamp& stamp = options.Stamp;
  const bool fits = kova::StampFits(stamp, "options", "game-1", kova::TodayUtc());
  // What fits must be a whole stamp: an options document for this game with a usable serial.
  if (fits && (stamp.Kind != "options" || stamp.Uid != "game-1" || stamp.Serial < 0 ||
               stamp.Serial > kova::kMaxSerial || stamp.ExpiresMalformed))
    std::abort();
  if (!options.UpdaterSha256.empty() && !kova::IsSha256Hex(options.UpdaterSha256)) std::abort();
  if (options.UpdaterSerial > kova::kMaxSerial) std::abort();
  return 0;
}
