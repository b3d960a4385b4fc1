// The resolution of a redirect's Location against the address that answered, from arbitrary
// bytes split at the first NUL. The result's path holds no "." or ".." segment, and a reference
// without a scheme or authority of its own never leaves the base's origin.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/url.h"

namespace {

bool HasDotSegment(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t start = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (start == std::string::npos) return false;
  const std::string path = url.substr(start, url.find('?', start) - start);
  for (std::size_t at = 0; at < path.size();) {
    const std::size_t end = std::min(path.find('/', at + 1), path.size());
    const std::string segment = path.substr(at + 1, end - at - 1);
    if (segment == "." || segment == "..") return true;
    at = end;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string base = "http://" + input.substr(0, split);
  const std::string reference =
      split == std::string::npos ? std::string() : input.substr(split + 1);
  const std::string target = kova::ResolveReference(base, reference);
  // Only an http or https address is ever requested: its path is what a server is asked for.
  if (target.rfind("http://", 0) != 0 && target.rfind("https://", 0) != 0) return 0;
  if (HasDotSegment(target)) std::abort();
  const kova::TUrlParts parts = kova::ParseUrl(target);
  // A path reference ("a/b", "/a", "?q", "") stays on the base's host and port.
  const bool pathOnly = reference.find(':') == std::string::npos && reference.rfind("//", 0) != 0;
  if (pathOnly) {
    const kova::TUrlParts from = kova::ParseUrl(base);
    if (parts.Host != from.Host || parts.Port != from.Port) std::abort();
  }
  kova::IsSendableUrl(parts);
  return 0;
}
