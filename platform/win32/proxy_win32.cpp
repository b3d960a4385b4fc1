#include <windows.h>
#include <winhttp.h>

#include "platform/proxy.h"

namespace kova::platform {
namespace {

// Takes a string WinHTTP allocated: its text, and the string freed.
std::string TakeWide(LPWSTR text) {
  if (!text) return {};
  std::string out;
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size > 1) {
    out.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
  }
  GlobalFree(text);
  return out;
}

}  // namespace

TProxySettings ReadProxySettings() {
  TProxySettings settings = ReadProxyVariables();
  if (!settings.Http.empty() || !settings.Https.empty() || !settings.All.empty()) return settings;
  // The settings the user made for this account (Internet Options). A configuration script or
  // automatic detection is not followed: only a proxy named outright is used.
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return settings;
  TakeWide(config.lpszAutoConfigUrl);
  settings.SystemProxy = TakeWide(config.lpszProxy);
  settings.SystemBypass = TakeWide(config.lpszProxyBypass);
  return settings;
}

}  // namespace kova::platform
