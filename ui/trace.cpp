#include "ui/trace.h"

#include <cstdio>
#include <cstdlib>

#include "net/url.h"

namespace kova::ui {

bool TraceEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("KOVA_TRACE");
    return value && *value && std::string(value) != "0";
  }();
  return enabled;
}

void Trace(const std::string& line) {
  if (!TraceEnabled()) return;
  // An address may carry a user name and password (the news page's, say): they are never shown.
  std::fprintf(stderr, "kova: %s\n", WithoutUserInfo(line).c_str());
  std::fflush(stderr);
}

}  // namespace kova::ui
