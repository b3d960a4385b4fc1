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

TEST_F(FreeSpace, AFileThatFallsBackFromChunksToItsArchiveIsHeldToTheSameCheck) {
  WriteFile(source_ + "/data/pack.dat", Bytes(2 << 20, 3));
  PublishChunks();
  std::filesystem::remove_all(Served() + "/chunks");  // the server lacks them: the archive it is
  const std::string before = work_ / "before";
  std::filesystem::copy(source_, before, std::filesystem::copy_options::recursive);
  WriteFile(before + "/data/pack.dat", Bytes(2 << 20, 4));
  // About 2.5 MB free: the chunks would have needed the new copy's 2 MB, the archive needs 4.
  const TCliRun run = RunOnSmallDisk(
      {KOVA_CLI_EXE, "--options", work_ / "options.xml", "--home", home_, "--retries", "1"}, home_,
      "5m", before, work_ / "after");
  if (run.Status == 99) GTEST_SKIP() << "no tmpfs can be mounted in a namespace here";
  EXPECT_NE(run.Status, 0);
  EXPECT_EQ(run.Last().rfind("Not enough free disk space: 4.", 0), 0u) << run.Last();
  EXPECT_TRUE(Snapshot(work_ / "after") == Snapshot(before)) << "a file was touched";
}

}  // namespace
}  // namespace kova::test
