#include "net/url.h"

#include <algorithm>
#include <vector>

#include "support/text.h"

namespace kova {

TUrlParts ParseUrl(const std::string& url) {
  TUrlParts parts;
  std::string rest = url;
  const std::size_t scheme = url.find("://");
  if (scheme != std::string::npos) {
    parts.Protocol = url.substr(0, scheme);
    rest = url.substr(scheme + 3);
  }
  const std::string upper = UpperCaseAscii(parts.Protocol);
  if (upper == "HTTPS") parts.Port = "443";
  if (upper == "FTP") parts.Port = "21";

  const std::size_t slash = rest.find('/');
  const std::size_t at = rest.find('@');
  if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
    const std::string userInfo = rest.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    parts.User = userInfo.substr(0, colon);
    if (colon != std::string::npos) parts.Password = userInfo.substr(colon + 1);
    rest = rest.substr(at + 1);
  }
  const std::size_t pathStart = rest.find('/');
  std::string hostPart = rest.substr(0, pathStart);
  const std::string path =
      pathStart == std::string::npos ? std::string() : rest.substr(pathStart + 1);

  if (!hostPart.empty() && hostPart[0] == '[') {
    const std::size_t close = hostPart.find(']');
    parts.Host = hostPart.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < hostPart.size() && hostPart[close + 1] == ':') {
      parts.Port = hostPart.substr(close + 2);
    }
  } else {
    const std::size_t colon = hostPart.find(':');
    parts.Host = hostPart.substr(0, colon);
    if (colon != std::string::npos) parts.Port = hostPart.substr(colon + 1);
  }
  parts.Uri = "/" + path;
  const std::size_t question = parts.Uri.find('?');
  parts.Path = parts.Uri.substr(0, question);
  if (question != std::string::npos) parts.Query = parts.Uri.substr(question + 1);
  if (parts.Host.empty()) parts.Host = "localhost";
  return parts;
}

namespace {

// "." and ".." segments taken out of a path, as a browser does before it sends a request: a
// server would otherwise be asked for "/a/../b", which some map outside the folder they serve.
std::string RemoveDotSegments(const std::string& path) {
  std::vector<std::string> out;
  std::size_t start = 1;  // the path begins with "/"
  bool trailing = false;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string segment = path.substr(start, slash - start);
    trailing = slash == path.size() && (segment == "." || segment == "..");
    if (segment == "..") {
      if (!out.empty()) out.pop_back();
    } else if (segment != ".") {
      out.push_back(segment);
    }
    start = slash + 1;
  }
  std::string result;
  for (const std::string& segment : out) result += "/" + segment;
  if (trailing || result.empty()) result += "/";
  return result;
}

// Whether `text` up to `end` is a scheme: a letter, then letters, digits, "+", "-" or ".".
bool IsScheme(const std::string& text, std::size_t end) {
  if (end == 0 || end == std::string::npos) return false;
  for (std::size_t i = 0; i < end; ++i) {
    const char c = text[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
      return false;
  }
  return true;
}

// The URL with the dot segments of its path removed; the query is left as it is. Only a URL with
// an authority has a path to tidy: elsewhere taking out "/." could make one ("x:/.//h").
std::string WithoutDotSegments(const std::string& url) {
  const std::size_t schemeEnd = url.find("://");
  if (!IsScheme(url, schemeEnd)) return url;
  const std::size_t authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  const std::size_t pathStart = url.find('/', authorityStart);
  if (pathStart == std::string::npos) return url;
  const std::size_t query = url.find('?', pathStart);
  const std::string path =
      url.substr(pathStart, query == std::string::npos ? query : query - pathStart);
  return url.substr(0, pathStart) + RemoveDotSegments(path) +
         (query == std::string::npos ? std::string() : url.substr(query));
}

std::string JoinReference(const std::string& base, const std::string& ref) {
  if (IsScheme(ref, ref.find(':'))) return ref;  // it has a scheme of its own
  const std::size_t schemeEnd = base.find("://");
  const std::string scheme = schemeEnd == std::string::npos ? "http" : base.substr(0, schemeEnd);
  if (ref.rfind("//", 0) == 0) return scheme + ":" + ref;
  const std::size_t authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  const std::size_t pathStart = base.find('/', authorityStart);
  const std::string origin = base.substr(0, pathStart);
  if (!ref.empty() && ref[0] == '/') return origin + ref;
  std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
  path = path.substr(0, path.find('?'));
  if (ref.empty() || ref[0] == '?') return origin + path + ref;
  return origin + path.substr(0, path.rfind('/') + 1) + ref;
}

}  // namespace

std::string ResolveReference(const std::string& base, const std::string& reference) {
  return WithoutDotSegments(JoinReference(base, reference.substr(0, reference.find('#'))));
}

bool IsSendableUrl(const TUrlParts& parts) {
  auto clean = [](const std::string& s) {
    for (const char c : s) {
      const auto b = static_cast<unsigned char>(c);
      if (b <= 0x20 || b == 0x7F) return false;
    }
    return true;
  };
  if (parts.Port.empty() || parts.Port.size() > 5) return false;
  long port = 0;
  for (const char c : parts.Port) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 && clean(parts.Host) && clean(parts.Uri) && clean(parts.User) &&
         clean(parts.Password);
}

std::string EncodeBase64(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(data[i]) << 16) |
                       (static_cast<unsigned char>(data[i + 1]) << 8) |
                       static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < data.size()) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PercentEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                            (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
    if (unreserved || b == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string WithoutUserInfo(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t scheme; (scheme = text.find("://", at)) != std::string::npos;) {
    const std::size_t start = scheme + 3;
    const std::size_t end = std::min(text.find_first_of("/?# \t\r\n", start), text.size());
    const std::size_t user = text.rfind('@', end == 0 ? 0 : end - 1);
    out.append(text, at, start - at);
    at = user != std::string::npos && user >= start && user < end ? user + 1 : start;
  }
  return out + text.substr(at);
}

}  // namespace kova
