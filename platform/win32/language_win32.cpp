#include <windows.h>

#include <cstdlib>

#include "platform/language.h"

namespace kova::platform {

std::vector<std::string> PlayerLocales() {
  const LCID id = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
  char language[16] = {}, country[16] = {};
  if (GetLocaleInfoA(id, LOCALE_SISO639LANGNAME, language, sizeof language) <= 1) return {};
  std::string locale = language;
  if (GetLocaleInfoA(id, LOCALE_SISO3166CTRYNAME, country, sizeof country) > 1)
    locale += std::string("_") + country;
  return {locale};
}

namespace {
UINT consoleCodePage = 0;
}  // namespace

void UseUtf8Console() {
  // The console outlives the program: its own code page is given back at the end.
  consoleCodePage = GetConsoleOutputCP();
  if (consoleCodePage == 0 || consoleCodePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  std::atexit([] { SetConsoleOutputCP(consoleCodePage); });
}

}  // namespace kova::platform
