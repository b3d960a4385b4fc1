#pragma once
// A player's locale for the programs a test starts, as a desktop sets it: the locale is compiled
// with glibc's localedef into a folder of the test's own (LOCPATH), since a test machine has
// none but C. Wine reads the user's interface language from it as well.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/common/display.h"

namespace kova::test {

class TPlayerLocale {
 public:
  // `name` as "ru_RU.UTF-8"; the programs started from now on run in it.
  explicit TPlayerLocale(const std::string& name) {
    static const std::string folder = [] {
      char pattern[] = "/tmp/kova-locales-XXXXXX";
      return std::string(::mkdtemp(pattern) ? pattern : "");
    }();
    const std::string language = name.substr(0, name.find('.'));
    int status = 0;
    Shell("test -d '" + folder + "/" + name + "' || localedef -i " + language + " -f UTF-8 '" +
              folder + "/" + name + "' 2>&1",
          &status);
    EXPECT_EQ(status, 0) << "localedef could not make " << name << " (package locales)";
    if (const char* before = std::getenv("LC_ALL")) before_ = before;
    ::setenv("LOCPATH", folder.c_str(), 1);
    ::setenv("LC_ALL", name.c_str(), 1);
  }
  ~TPlayerLocale() {
    ::unsetenv("LOCPATH");
    if (before_.empty())
      ::unsetenv("LC_ALL");
    else
      ::setenv("LC_ALL", before_.c_str(), 1);
  }
  TPlayerLocale(const TPlayerLocale&) = delete;
  TPlayerLocale& operator=(const TPlayerLocale&) = delete;

 private:
  std::string before_;
};

}  // namespace kova::test
