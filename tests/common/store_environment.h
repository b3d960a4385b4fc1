#pragma once
// Points the settings store at a fresh file for the whole test program, so tests never touch the
// user's own settings.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/settings_store.h"
#include "tests/common/temp_dir.h"

namespace kova::test {

class TStoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<TTempDir>();
#ifndef _WIN32  // the registry of the test's own Wine prefix serves there
    ::setenv("KOVA_REGISTRY", (*dir_ / "registry.sqlite3").c_str(), 1);
#endif
    platform::CloseSettingsStore();
  }
  void TearDown() override {
    platform::CloseSettingsStore();
    dir_.reset();
  }

 private:
  std::unique_ptr<TTempDir> dir_;
};

}  // namespace kova::test
