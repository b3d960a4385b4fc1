#include <cstdlib>

#include "platform/proxy.h"

namespace kova::platform {
namespace {

std::string Variable(const char* lower, const char* upper) {
  if (const char* value = std::getenv(lower); value && *value) return value;
  if (upper == nullptr) return {};
  if (const char* value = std::getenv(upper); value && *value) return value;
  return {};
}

}  // namespace

TProxySettings ReadProxyVariables() {
  TProxySettings settings;
  settings.Http = Variable("http_proxy", nullptr);
  settings.Https = Variable("https_proxy", "HTTPS_PROXY");
  settings.All = Variable("all_proxy", "ALL_PROXY");
  settings.NoProxy = Variable("no_proxy", "NO_PROXY");
  return settings;
}

}  // namespace kova::platform
