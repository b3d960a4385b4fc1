#include <gtest/gtest.h>

#include <cstdlib>

// The launcher started by these tests runs without its window, whatever display the test run
// happens to have; the window has tests of its own.
namespace {
class THeadless : public ::testing::Environment {
 public:
  void SetUp() override {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
  }
};
::testing::Environment* const kHeadless = ::testing::AddGlobalTestEnvironment(new THeadless);
}  // namespace
