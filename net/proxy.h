#pragma once
// Which proxy a request goes through, from the user's settings: the variables as curl reads
// them (a scheme's own proxy, else all_proxy; no_proxy names the hosts reached directly), or on
// Windows the user's system proxy and its bypass list. Only HTTP proxies are used: plain
// requests go to them with the whole address, secure ones through a CONNECT tunnel.

#include <functional>
#include <string>

#include "platform/proxy.h"

namespace kova {

struct TProxy {
  std::string Host;  // empty: no proxy, the server is reached directly
  std::string Port;
  std::string User;  // with a password, sent as Basic credentials
  std::string Password;
  bool IsSet() const { return !Host.empty(); }
  std::string Name() const { return Host + ":" + Port; }
};

class TProxyRules {
 public:
  explicit TProxyRules(platform::TProxySettings settings) : settings_(std::move(settings)) {}

  // The proxy for a request to `host` (over TLS when `secure`); false with `error` set when the
  // setting names a proxy that cannot be used (another kind than HTTP, no host).
  bool For(bool secure, const std::string& host, TProxy& proxy, std::string& error) const;

 private:
  platform::TProxySettings settings_;
};

// Reads a proxy as the variables give it: "[http://][user[:password]@]host[:port][/]", the port
// 1080 when none is given; false with `error` set for any other kind.
bool ParseProxy(const std::string& text, TProxy& proxy, std::string& error);
// Whether `host` is reached directly by a no_proxy list: "*", or comma-separated names (each
// matches itself and the names below it, a leading dot or not) and IP addresses.
bool NoProxyMatches(const std::string& list, const std::string& host);

// Where a proxy's refusal is told (a wrong password, a proxy of a kind not supported): the
// console program prints it; each distinct text once.
void SetProxyNotice(std::function<void(const std::string&)> notice);
void NoticeProxyProblem(const std::string& text);

}  // namespace kova
