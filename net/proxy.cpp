#include "net/proxy.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <vector>

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
  if (proxy.Host.empty() || proxy.Port.empty()) {
    error = "the proxy " + WithoutCredentials(text) + " names no host";
    proxy = TProxy();
    return false;
  }
  return true;
}

bool NoProxyMatches(const std::string& list, const std::string& host) {
  const std::string name = LowerCaseAscii(Unbracketed(host));
  for (std::string entry : SplitAny(list, ", ")) {
    if (entry == "*") return true;
    entry = LowerCaseAscii(Unbracketed(entry));
    while (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    while (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

const TProxyRules& TProxyRules::Process() {
  static const TProxyRules rules(platform::ReadProxySettings());
  return rules;
}

bool TProxyRules::For(bool secure, const std::string& host, TProxy& proxy,
                      std::string& error) const {
  proxy = TProxy();
  const std::string& own = secure ? settings_.Https : settings_.Http;
  const std::string& named = own.empty() ? settings_.All : own;
  if (!named.empty()) {
    if (NoProxyMatches(settings_.NoProxy, host)) return true;
    return ParseProxy(named, proxy, error);
  }
  const std::string system = SystemProxyFor(settings_.SystemProxy, secure);
  if (system.empty() || SystemBypasses(settings_.SystemBypass, LowerCaseAscii(host))) return true;
  return ParseProxy(system, proxy, error);
}

void SetProxyNotice(std::function<void(const std::string&)> notice) {
  std::lock_guard<std::mutex> lock(noticeMutex);
  noticeSink = std::move(notice);
}

void NoticeProxyProblem(const std::string& text) {
  std::lock_guard<std::mutex> lock(noticeMutex);
  if (noticeSink && noticed.insert(text).second) noticeSink(text);
}

}  // namespace kova
