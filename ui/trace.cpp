#include "ui/trace.h"

#include <cstdio>
#include <cstdlib>

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
  std::fprintf(stderr, "kova: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace kova::ui
