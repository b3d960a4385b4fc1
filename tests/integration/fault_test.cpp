// Faults on real processes and a real server: the updater killed in the middle of a repair, and
// a game folder on a file system that fills up. Each time a later run brings the folder to the
// published state, and no file is ever lost.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "tests/common/game_fixture.h"
#include "tests/common/small_disk.h"

namespace kova {
namespace {

using test::TChild;

bool Stopped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
}

class Faults : public test::TGameFixture {
 protected:
  // Starts kovaupdater-cli so that it stops itself (SIGSTOP) when it reaches `point`.
  std::unique_ptr<TChild> StartStoppingAt(const std::string& point) {
    ::setenv("KOVA_FAULT_STOP", point.c_str(), 1);
    auto cli = std::make_unique<TChild>(
        KOVA_CLI_EXE, std::vector<std::string>{"--options", work_ / "options.xml", "--home", home_,
                                               "--retries", "1"});
    ::unsetenv("KOVA_FAULT_STOP");
    return cli;
  }
  // A run that has stopped itself at `point`.
  std::unique_ptr<TChild> RunUntil(const std::string& point) {
    std::unique_ptr<TChild> cli = StartStoppingAt(point);
    EXPECT_TRUE(test::Eventually([&] { return Stopped(cli->Pid()); }, 30)) << cli->Output();
    return cli;
  }
  static void Kill(TChild& cli) {
    ::kill(cli.Pid(), SIGKILL);
    cli.WaitExit(10);
  }
  // A run whose disk fills (to `filler` bytes in the game folder) once it has judged the free
  // space, as when another program writes meanwhile.
  test::TCliRun RunWhileTheDiskFills(std::size_t filler) {
    std::unique_ptr<TChild> cli = StartStoppingAt("space-checked");
    EXPECT_TRUE(test::Eventually([&] { return Stopped(cli->Pid()); }, 30)) << cli->Output();
    test::WriteFile(home_ + "/filler", std::string(filler, 'f'));
    ::kill(cli->Pid(), SIGCONT);
    test::TCliRun run;
    run.Status = cli->WaitExit(60);
    run.Lines = test::Lines(cli->Output());
    return run;
  }
};

TEST_F(Faults, KilledAtEachStageOfARepairTheNextRunRestoresEverything) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::string file = home_ + "/data/textures.pak";
  for (const std::string point : {"download", "unpack", "after-backup", "before-final-move"}) {
    SCOPED_TRACE(point);
    test::WriteFile(file, "the player's old copy");
    Kill(*RunUntil(point));
    // Whatever the stage, the player's copy is in place or kept as the backup.
    const std::string backup = home_ + "/data/textures.pak.kovabak";
    EXPECT_TRUE(
        (std::filesystem::exists(file) && test::ReadFile(file) == "the player's old copy") ||
        (std::filesystem::exists(backup) && test::ReadFile(backup) == "the player's old copy"));
    const auto run = Cli();
    EXPECT_EQ(run.Status, 0) << run.Last();
    ExpectHomeMatchesSource();  // no ".kovanew", ".kovabak" or archive left behind
  }
}

TEST_F(Faults, AFileKeepsItsNameWhileItsArchiveUnpacksAndTwoFilesOfOneStemNeverShareABackup) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::string pak = home_ + "/data/textures.pak";
  test::WriteFile(pak, "the player's old copy");
  // Stopped while the archive unpacks: the old file is still there under its name.
  std::unique_ptr<TChild> unpacking = RunUntil("unpack");
  EXPECT_EQ(test::ReadFile(pak), "the player's old copy");
  Kill(*unpacking);
  // Killed just before the new copy takes the name: the old one is the backup.
  Kill(*RunUntil("before-final-move"));
  ASSERT_EQ(test::ReadFile(pak + ".kovabak"), "the player's old copy");
  // The next list adds textures.dat, repaired first; the server has lost textures.pak's
  // archive, so that file cannot be repaired in this run.
  test::WriteFile(source_ + "/data/textures.dat", "a new map");
  Publish();
  Touch(Served() + "/patchlist.xml");
  std::filesystem::remove(Served() + "/data/textures.pak.lzma");
  std::filesystem::remove(pak + ".lzma");
  EXPECT_EQ(Cli().Status, 1);
  EXPECT_EQ(test::ReadFile(home_ + "/data/textures.dat"), "a new map");
  EXPECT_TRUE(test::ReadFile(pak) == "the player's old copy" ||
              test::ReadFile(pak + ".kovabak") == "the player's old copy");
  Publish();
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
}

TEST_F(Faults, KilledWhileArchivesUnpackAheadOfTheirTurnEveryFileIsOldOrNew) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::vector<std::string> damaged{"/data/maps/level1.map", "/data/textures.pak",
                                         "/user.cfg"};
  for (const std::string& name : damaged) test::WriteFile(home_ + name, "the player's old copy");
  // Stopped as the first of the archives unpacks, its record's or one fetched ahead.
  std::unique_ptr<TChild> cli = RunUntil("unpack");
  for (const std::string& name : damaged)
    EXPECT_EQ(test::ReadFile(home_ + name), "the player's old copy") << name;
  Kill(*cli);
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();  // no copy unpacked ahead is left beside its file
}

TEST_F(Faults, KilledWhileAFileIsAssembledFromChunksTheOldFileStaysAndTheNextRunEndsIt) {
  const std::string old = test::Bytes(4 << 20, 7);
  test::WriteFile(source_ + "/data/pack.dat", old);
  PublishChunks();
  ASSERT_EQ(Cli().Status, 0);
  // A few chunks new, one round of requests: the chunks win whatever the link's round trip.
  test::WriteFile(source_ + "/data/pack.dat", old.substr(0, 3 << 20) + test::Bytes(1 << 18, 8) +
                                                  old.substr((3 << 20) + (1 << 18)));
  PublishChunks();
  std::unique_ptr<TChild> cli = StartStoppingAt("assembling");
  ASSERT_TRUE(test::Eventually([&] { return Stopped(cli->Pid()); }, 30)) << cli->Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker may have begun
  ::kill(cli->Pid(), SIGKILL);
  cli->WaitExit(10);
  EXPECT_EQ(test::ReadFile(home_ + "/data/pack.dat"), old);
  const std::size_t mark = LogMark();
  const auto run = Cli();
  EXPECT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  // The chunks fetched before the kill were kept: none is fetched again.
  EXPECT_EQ(CountContaining(LogSince(mark), "/chunks/"), 1u) << "only the index";
}

TEST_F(Faults, AnArchivePlantedWhileItsDownloadRunsIsNeverUnpacked) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::string file = home_ + "/data/textures.pak";
  test::WriteFile(file, "the player's old copy");
  std::unique_ptr<TChild> cli = StartStoppingAt("download");
  ASSERT_TRUE(test::Eventually([&] { return Stopped(cli->Pid()); }, 30)) << cli->Output();
  ASSERT_TRUE(std::filesystem::exists(file + ".lzma.part"));
  // A valid archive of other bytes at the archive's own name, as another program (or a run
  // killed earlier) could leave it: the move of the download used to fail on it unnoticed.
  test::WriteFile(work_ / "planted.pak", "planted content");
  ASSERT_EQ(
      std::system(
          ("xz --format=lzma -c '" + (work_ / "planted.pak") + "' > '" + file + ".lzma'").c_str()),
      0);
  ::kill(cli->Pid(), SIGCONT);
  EXPECT_EQ(cli->WaitExit(60), 0) << cli->Output();
  ExpectHomeMatchesSource();
}

TEST_F(Faults, TwoLaunchersNeverWorkOnOneGameFolderAtOnce) {
  Publish();
  std::unique_ptr<TChild> first = StartStoppingAt("download");
  ASSERT_TRUE(test::Eventually([&] { return Stopped(first->Pid()); }, 30)) << first->Output();
  // Another game's launcher (another uid) pointed at the same folder.
  const std::string options = test::ReadFile(work_ / "options.xml");
  test::WriteFile(work_ / "options.xml",
                  std::regex_replace(options, std::regex("<uid>"), "<uid>other-"));
  const auto second = Cli();
  EXPECT_EQ(second.Status, 1);
  EXPECT_EQ(second.Last(),
            "Another launcher is updating the game folder. Please Check files again");
  test::WriteFile(work_ / "options.xml", options);
  ::kill(first->Pid(), SIGCONT);
  EXPECT_EQ(first->WaitExit(60), 0) << first->Output();
  // The lock goes with the launcher that held it.
  EXPECT_EQ(Cli({"--check"}).Status, 0);
}

TEST_F(Faults, AFullDiskFailsClearlyKeepsTheOldFileAndTheRunAfterFreeingSpaceSucceeds) {
  test::WriteFile(source_ + "/data/big.pak", test::Bytes(600 << 10, 9));  // incompressible
  Publish();
  home_ = work_ / "small";
  test::TSmallFileSystem fs(home_, "2000k");
  if (!fs.Mounted()) GTEST_SKIP() << "no permission to mount a file system here";
  ASSERT_EQ(Cli().Status, 0);
  // The game takes about 1,050 KiB. With big.pak damaged and a filler of 1,300 KiB written after
  // the run judged the space, its archive (600 KiB) no longer fits.
  test::WriteFile(home_ + "/data/big.pak", "the player's old copy, small");
  const std::string filler = home_ + "/filler";
  const auto download = RunWhileTheDiskFills(1300 << 10);
  EXPECT_EQ(download.Status, 1);
  EXPECT_EQ(download.Last(), "Check cancelled due to an error");
  // The partial archive is given up, which frees its space.
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/big.pak.lzma"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/big.pak.lzma.part"));
  EXPECT_EQ(test::ReadFile(home_ + "/data/big.pak"), "the player's old copy, small");
  // Room for the archive but not for the unpacked copy beside it.
  std::filesystem::remove(filler);
  const auto unpack = RunWhileTheDiskFills(700 << 10);
  EXPECT_EQ(unpack.Status, 1);
  EXPECT_EQ(unpack.Last(), "One or more files could not be updated. Please Check files again");
  EXPECT_EQ(test::ReadFile(home_ + "/data/big.pak"), "the player's old copy, small");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/big.pak.kovanew"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/big.pak.kovabak"));
  // Space freed: the next run succeeds.
  std::filesystem::remove(filler);
  const auto freed = Cli();
  EXPECT_TRUE(unpack.Has("Unpacking data/big.pak")) << "the second run did not reach the unpack";
  EXPECT_EQ(freed.Status, 0) << freed.Last();
  ExpectHomeMatchesSource();
}

TEST_F(Faults, ADiskFullForTheLastPieceOfADownloadIsAFailedDownload) {
  // An archive of one piece: it is written to disk only when the whole body has arrived.
  test::WriteFile(source_ + "/data/small.pak", test::Bytes(40 << 10, 4));
  Publish();
  home_ = work_ / "small";
  test::TSmallFileSystem fs(home_, "2000k");
  if (!fs.Mounted()) GTEST_SKIP() << "no permission to mount a file system here";
  ASSERT_EQ(Cli().Status, 0);
  test::WriteFile(home_ + "/data/small.pak", "the player's old copy");
  struct statvfs st {};
  ASSERT_EQ(::statvfs(home_.c_str(), &st), 0);
  const auto run = RunWhileTheDiskFills(st.f_bavail * st.f_frsize - (8 << 10));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "Check cancelled due to an error");
  EXPECT_FALSE(run.Has("Unpacking data/small.pak"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/small.pak.lzma"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/small.pak.lzma.part"));
  EXPECT_EQ(test::ReadFile(home_ + "/data/small.pak"), "the player's old copy");
  std::filesystem::remove(home_ + "/filler");
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
}

TEST_F(Faults, AReadOnlyFolderFailsClearlyAndChangesNothing) {
  Publish();
  home_ = work_ / "small";
  test::TSmallFileSystem fs(home_, "4m");
  if (!fs.Mounted()) GTEST_SKIP() << "no permission to mount a file system here";
  ASSERT_EQ(Cli().Status, 0);
  test::WriteFile(home_ + "/user.cfg", "volume=11\n");
  ASSERT_EQ(::mount(nullptr, home_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const auto before = test::Snapshot(home_);
  const auto run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "Check cancelled due to an error");
  EXPECT_TRUE(test::Snapshot(home_) == before);
  ASSERT_EQ(::mount(nullptr, home_.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
}

TEST_F(Faults, AFolderWhereAGameFileBelongsIsKeptAndReported) {
  Publish();
  std::filesystem::create_directories(home_ + "/data/textures.pak");
  test::WriteFile(home_ + "/data/textures.pak/notes.txt", "the player's notes");
  const auto run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
  EXPECT_EQ(test::ReadFile(home_ + "/data/textures.pak/notes.txt"), "the player's notes");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak.kovabak"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak.kovanew"));
  EXPECT_EQ(test::ReadFile(home_ + "/user.cfg"), "volume=5\n");  // the others were installed
}

TEST_F(Faults, LinksWhereArchivesGoNeverLeadWritesOutside) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::string outside = work_ / "outside.bin", outsidePart = work_ / "outside.part";
  test::WriteFile(outside, "precious");
  test::WriteFile(outsidePart, "also precious");
  test::WriteFile(home_ + "/data/textures.pak", "damaged");
  std::filesystem::create_symlink(outside, home_ + "/data/textures.pak.lzma");
  test::WriteFile(home_ + "/user.cfg", "damaged");
  std::filesystem::create_symlink(outsidePart, home_ + "/user.cfg.lzma.part");
  const auto run = Cli();
  EXPECT_EQ(run.Status, 0) << run.Last();
  EXPECT_EQ(test::ReadFile(outside), "precious");
  EXPECT_EQ(test::ReadFile(outsidePart), "also precious");
  ExpectHomeMatchesSource();  // the links are gone, the files restored
}

TEST_F(Faults, ABrokenOrLockedSettingsStoreNeverStopsTheUpdate) {
  Publish();
  const std::string store = work_ / "registry.sqlite3";
  ASSERT_EQ(Cli().Status, 0);
  const std::string good = test::ReadFile(store);
  struct TCase {
    const char* What;
    std::function<void()> Make;
  };
  std::unique_ptr<TChild> holder;
  const std::vector<TCase> cases = {
      {"random bytes", [&] { test::WriteFile(store, test::Bytes(20000, 3)); }},
      {"cut in half", [&] { test::WriteFile(store, good.substr(0, good.size() / 2)); }},
      {"an empty file", [&] { test::WriteFile(store, ""); }},
      {"locked by another process",
       [&] {
         test::WriteFile(store, good);
         holder = std::make_unique<TChild>(
             "/usr/bin/python3",
             std::vector<std::string>{
                 "-c",
                 "import sqlite3, sys; db = sqlite3.connect(sys.argv[1], isolation_level=None);"
                 " db.execute('PRAGMA locking_mode=EXCLUSIVE'); db.execute('BEGIN EXCLUSIVE');"
                 " print('locked', flush=True); sys.stdin.read()",
                 store},
             std::string(), true);
         ASSERT_TRUE(holder->WaitForOutput("locked", 10));
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    std::filesystem::remove(store + "-wal");
    std::filesystem::remove(store + "-shm");
    c.Make();
    test::WriteFile(home_ + "/user.cfg", "damaged");
    const auto run = Cli();
    EXPECT_TRUE(run.Status == 0 || run.Status == 1) << "ended with " << run.Status;
    EXPECT_EQ(run.Last(), "All files have been checked");
    EXPECT_EQ(test::ReadFile(home_ + "/user.cfg"), "volume=5\n");
    holder.reset();
  }
}

}  // namespace
}  // namespace kova
