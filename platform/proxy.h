#pragma once
// The user's proxy settings, as the system keeps them: the variables curl and most other
// programs read, on every system; on Windows, where no variable names a proxy, the user's own
// WinHTTP settings. What they mean for one address is decided above, in net/.

#include <string>

namespace kova::platform {

struct TProxySettings {
  std::string Http;     // http_proxy (only in lower case: a web server sets HTTP_PROXY for CGI)
  std::string Https;    // https_proxy, else HTTPS_PROXY
  std::string All;      // all_proxy, else ALL_PROXY
  std::string NoProxy;  // no_proxy, else NO_PROXY
  // Windows: the user's proxy ("host:port", or "http=host:port;https=host:port") and the names
  // that bypass it ("<local>;*.example.com"); empty elsewhere, or when a variable is set.
  std::string SystemProxy;
  std::string SystemBypass;
};

TProxySettings ReadProxySettings();

// The variables alone; each system's reader starts from them.
TProxySettings ReadProxyVariables();

}  // namespace kova::platform
