#include "net/proxy.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <vector>

#include "net/url.h"
#include "support/text.h"

namespace kova {
namespace {

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The pieces of `text` between any of `separators`, trimmed, the empty ones left out.
std::vector<std::string> SplitAny(const std::string& text, const char* separators) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
    std::string piece = TrimBlanks(text.substr(start, end - start));
    if (!piece.empty()) parts.push_back(std::move(piece));
    start = end + 1;
  }
  return parts;
}

std::string Unbracketed(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

// A pattern of Windows' bypass list: "*" stands for any run of characters.
bool WildcardMatches(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == text[t] && pattern[p] != '*')) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool SystemBypasses(const std::string& list, const std::string& host) {
  for (const std::string& entry : SplitAny(list, "; ,")) {
    if (entry == "<local>" ? host.find('.') == std::string::npos
                           : WildcardMatches(LowerCaseAscii(entry), host))
      return true;
  }
  return false;
}

// The system proxy for a scheme: "host:port" for all, or "http=...;https=..." per scheme.
std::string SystemProxyFor(const std::string& setting, bool secure) {
  std::string any;
  for (const std::string& entry : SplitAny(setting, "; ")) {
    const std::size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      any = entry;
    } else if (LowerCaseAscii(entry.substr(0, eq)) == (secure ? "https" : "http")) {
      return entry.substr(eq + 1);
    }
  }
  return any;
}

std::mutex noticeMutex;
std::function<void(const std::string&)> noticeSink;
std::set<std::string> noticed;

// A proxy setting as it may be shown: without its credentials.
std::string WithoutCredentials(const std::string& text) {
  const std::size_t start = text.find("://") == std::string::npos ? 0 : text.find("://") + 3;
  const std::size_t at = text.rfind('@');
  return at == std::string::npos || at < start ? text : text.substr(0, start) + text.substr(at + 1);
}

}  // namespace

bool ParseProxy(const std::string& text, TProxy& proxy, std::string& error) {
  proxy = TProxy();
  std::string rest = TrimBlanks(text);
  const std::size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    const std::string kind = LowerCaseAscii(rest.substr(0, scheme));
    if (kind != "http") {
      error =
          "the proxy " + WithoutCredentials(text) + " is not supported: only http:// proxies are";
      return false;
    }
    rest = rest.substr(scheme + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  const std::size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string user = rest.substr(0, at);
    const std::size_t colon = user.find(':');
    proxy.User = PercentDecode(user.substr(0, colon));
    if (colon != std::string::npos) proxy.Password = PercentDecode(user.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  std::size_t colon = rest.rfind(':');
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || (colon != std::string::npos && colon < close))
      colon = std::string::npos;
    proxy.Host = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    proxy.Host = rest.substr(0, colon);
  }
  proxy.Port = colon == std::string::npos ? "1080" : rest.substr(colon + 1);
  const bool bracketed = !rest.empty() && rest[0] == '[';
  const std::string why = proxy.Host.empty() ? "names no host"
                          : (!bracketed && proxy.Host.find(':') != std::string::npos) ||
                                  proxy.Host.find_first_of(" \t[]@") != std::string::npos
                              ? "names no valid host"
                          : proxy.Port.empty() || proxy.Port.size() > 5 ||
                                  proxy.Port.find_first_not_of("0123456789") != std::string::npos ||
                                  std::stol(proxy.Port) < 1 || std::stol(proxy.Port) > 65535
                              ? "names no port from 1 to 65535"
                              : "";
  if (!why.empty()) {
    error = "the proxy " + WithoutCredentials(text) + " " + why;
    proxy = TProxy();
    return false;
  }
  return true;
}

namespace {

// A numeric address as inet_pton reads it (IPv4: four decimal parts without leading zeros;
// IPv6: hex groups, one "::" at most, an IPv4 tail), into `bytes` (4 or 16 of them).
bool ParseIpv4(const std::string& text, std::vector<unsigned char>& bytes) {
  bytes.clear();
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 4)
      value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    if (at == start || value > 255 || (at - start > 1 && text[start] == '0')) return false;
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return at == text.size();
}

bool ParseIpv6(const std::string& text, std::vector<unsigned char>& bytes) {
  std::vector<unsigned char> head, tail;
  bool gap = false;
  std::size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = true;
    at = 2;
  }
  while (at < text.size()) {
    std::vector<unsigned char>& out = gap ? tail : head;
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string group = text.substr(at, end - at);
    if (group.find('.') != std::string::npos && end == text.size()) {
      std::vector<unsigned char> v4;
      if (!ParseIpv4(group, v4)) return false;
      out.insert(out.end(), v4.begin(), v4.end());
      at = end;
      break;
    }
    if (group.empty() || group.size() > 4 ||
        group.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    const unsigned long value = std::stoul(group, nullptr, 16);
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value & 0xff));
    at = end;
    if (at == text.size()) break;
    ++at;  // the ':'
    if (at < text.size() && text[at] == ':') {
      if (gap) return false;
      gap = true;
      ++at;
    } else if (at == text.size()) {
      return false;  // a lone ':' at the end
    }
  }
  const std::size_t given = head.size() + tail.size();
  if (given > 16 || (!gap && given != 16) || (gap && given == 16)) return false;
  bytes = head;
  bytes.resize(16 - tail.size(), 0);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return true;
}

// Whether `address` lies in `network`/`bits` (no bits, or 0: the address itself).
bool InNetwork(const std::vector<unsigned char>& address, const std::vector<unsigned char>& network,
               unsigned bits) {
  if (address.size() != network.size() || bits > address.size() * 8) return false;
  if (bits == 0) bits = static_cast<unsigned>(address.size() * 8);
  for (std::size_t i = 0; i < address.size() && bits > 0; ++i) {
    const unsigned take = std::min(bits, 8u);
    const auto mask = static_cast<unsigned char>(0xff << (8 - take));
    if ((address[i] & mask) != (network[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

}  // namespace

bool NoProxyMatches(const std::string& list, const std::string& host) {
  // As curl reads the variable: "*" alone reaches every host directly; otherwise names and
  // addresses separated by commas or blanks. A numeric host matches only an address or a
  // network ("10.0.0.0/8") of its kind; a host name matches a name equal to it or one of its
  // domains, a leading and a trailing dot aside.
  if (list == "*") return true;
  const std::string bare = Unbracketed(host);
  std::vector<unsigned char> address;
  const bool numeric = ParseIpv4(bare, address) || ParseIpv6(bare, address);
  std::string name = LowerCaseAscii(bare);
  if (!name.empty() && name.back() == '.') name.pop_back();
  for (std::string entry : SplitAny(list, ", \t")) {
    if (numeric) {
      const std::size_t slash = entry.find('/');
      unsigned bits = 0;
      if (slash != std::string::npos) {
        const std::string count = entry.substr(slash + 1);
        if (count.empty() || count.size() > 3 ||
            count.find_first_not_of("0123456789") != std::string::npos)
          continue;
        bits = static_cast<unsigned>(std::stoul(count));
        entry.resize(slash);
      }
      std::vector<unsigned char> network;
      if ((address.size() == 4 ? ParseIpv4(entry, network) : ParseIpv6(entry, network)) &&
          InNetwork(address, network, bits))
        return true;
      continue;
    }
    entry = LowerCaseAscii(entry);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

bool TProxyRules::For(bool secure, const std::string& host, TProxy& proxy,
                      std::string& error) const {
  proxy = TProxy();
  const std::string& own = secure ? settings_.Https : settings_.Http;
  const std::string& named = own.empty() ? settings_.All : own;
  if (!named.empty()) {
    if (NoProxyMatches(settings_.NoProxy, host)) return true;
    if (ParseProxy(named, proxy, error)) return true;
    error += " (the variable " +
             std::string(!own.empty() ? (secure ? "https_proxy" : "http_proxy") : "all_proxy") +
             ")";
    return false;
  }
  const std::string system = SystemProxyFor(settings_.SystemProxy, secure);
  if (system.empty()) {
    // A kind of proxy that is not followed (socks=) leaves the server reached directly: the
    // player is told, as a proxy that was set and skipped may be one the network needs.
    if (!settings_.SystemProxy.empty())
      NoticeProxyProblem("the system's proxy setting " + WithoutCredentials(settings_.SystemProxy) +
                         " names no HTTP proxy for " + (secure ? "https" : "http") +
                         " (only HTTP proxies are used); the server is reached directly");
    return true;
  }
  if (SystemBypasses(settings_.SystemBypass, LowerCaseAscii(host))) return true;
  if (ParseProxy(system, proxy, error)) return true;
  error += " (the system's proxy setting)";
  return false;
}

void SetProxyNotice(std::function<void(const std::string&)> notice) {
  std::lock_guard<std::mutex> lock(noticeMutex);
  noticeSink = std::move(notice);
}

void NoticeProxyProblem(const std::string& notice) {
  const std::string text = WithoutUserInfo(notice);
  std::lock_guard<std::mutex> lock(noticeMutex);
  if (noticeSink && noticed.insert(text).second) noticeSink(text);
}

}  // namespace kova
