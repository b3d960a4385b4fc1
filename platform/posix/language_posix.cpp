#include <cstdlib>

#include "platform/language.h"

namespace kova::platform {

std::vector<std::string> PlayerLocales() {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::vector<std::string> locales;
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string rest = list;
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      if (colon != 0) locales.push_back(rest.substr(0, colon));
      if (colon == std::string::npos) break;
      rest.erase(0, colon + 1);
    }
  }
  locales.push_back(locale);
  return locales;
}

void UseUtf8Console() {}

}  // namespace kova::platform
