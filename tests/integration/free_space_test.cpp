#include <gtest/gtest.h>

#include "tests/common/small_disk.h"

namespace kova::test {
namespace {

using FreeSpace = TGameFixture;

TEST_F(FreeSpace, AnUpdateTheDiskCannotHoldEndsBeforeAnyFileIsTouched) {
  Publish();
  ExpectTheUpdateOnlyWhereTheDiskHoldsIt(
      source_, work_.Path(), home_,
      {KOVA_CLI_EXE, "--options", work_ / "options.xml", "--home", home_, "--retries", "1"});
}

}  // namespace
}  // namespace kova::test
