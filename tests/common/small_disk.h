#pragma once
// The game folder on a small disk of its own, so a test can show what a run does when the disk is
// short.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <functional>

#include "tests/common/game_fixture.h"

namespace kova::test {

// A small file system mounted for the test process itself (which needs the right to mount),
// removed after it.
class TSmallFileSystem {
 public:
  TSmallFileSystem(const std::string& path, const std::string& size) : path_(path) {
    std::filesystem::create_directories(path);
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~TSmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// Runs `argv` in a mount namespace of its own (no privilege needed) with `home` on a tmpfs of
// `size` holding a copy of `before`, and copies what the folder holds afterwards to `after`. Status
// 99: no tmpfs could be mounted.
inline TCliRun RunOnSmallDisk(const std::vector<std::string>& argv, const std::string& home,
                              const std::string& size, const std::string& before,
                              const std::string& after) {
  std::filesystem::create_directories(after);
  const std::string script = "mount -t tmpfs -o size=" + size +
                             " kova \"$1\" || exit 99\ncp -a \"$2\"/. \"$1\"/ || exit 98\n"
                             "shift 3\n\"$@\"\nstatus=$?\ncp -a \"$home\"/. \"$after\"/\n"
                             "exit $status\n";
  std::vector<std::string> args{"--user",  "--map-root-user",
                                "--mount", "/bin/sh",
                                "-c",      "home=$1 after=$3; " + script,
                                "sh",      home,
                                before,    after};
  args.insert(args.end(), argv.begin(), argv.end());
  TChild child("/usr/bin/unshare", args);
  TCliRun run;
  run.Status = child.WaitExit(180);
  run.Lines = Lines(child.Output());
  for (std::string& line : run.Lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return run;
}

// The game's source with an older version in `before` (one file of another size, one changed,
// one missing): on a disk that cannot hold the update the run ends with the text before any
// file is touched; on one that can, the update goes through. `cli` gives the console run's
// command line.
inline void ExpectTheUpdateOnlyWhereTheDiskHoldsIt(const std::string& source,
                                                   const std::string& work, const std::string& home,
                                                   const std::vector<std::string>& cli) {
  const std::string before = work + "/before";
  std::filesystem::copy(source, before, std::filesystem::copy_options::recursive);
  WriteFile(before + "/data/textures.pak", Bytes(200000, 9));
  WriteFile(before + "/user.cfg", "volume=1\n");
  std::filesystem::remove(before + "/data/maps/level1.map");

  TCliRun run = RunOnSmallDisk(cli, home, "640k", before, work + "/after-small");
  if (run.Status == 99) GTEST_SKIP() << "no tmpfs can be mounted in a namespace here";
  EXPECT_NE(run.Status, 0);
  // About 0.7 MB: the growth of two files, and the larger one's archive and old copy.
  EXPECT_TRUE(run.Last().rfind("Not enough free disk space: 0.", 0) == 0 &&
              run.Last().find(" MB needed, 0.4 MB free") != std::string::npos)
      << run.Last();
  EXPECT_TRUE(Snapshot(work + "/after-small") == Snapshot(before)) << "a file was touched";

  run = RunOnSmallDisk(cli, home, "4m", before, work + "/after-large");
  EXPECT_EQ(run.Status, 0) << run.Last();
  EXPECT_TRUE(Snapshot(work + "/after-large") == Snapshot(source));
}

}  // namespace kova::test
