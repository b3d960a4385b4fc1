// The update run driven in this process through a recording host: cancellation at its two kinds
// of points, the running-game box, a replacement that cannot take the file's place, and the
// self-update of a real launcher process.

#include "core/update_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <optional>

#include "core/options.h"
#include "core/registry.h"
#include "core/startup.h"
#include "core/utility.h"
#include "platform/instance.h"
#include "support/signature.h"
#include "tests/common/game_fixture.h"
#include "tests/common/recording_host.h"
#include "tests/common/small_disk.h"

namespace kova {
namespace {

using test::TRecordingHost;

class UpdateRunInProcess : public test::TGameFixture {
 protected:
  void SetUp() override {
    test::TGameFixture::SetUp();
    FreeUpdaterOptions();
  }
  void TearDown() override {
    FreeUpdaterOptions();
    test::TGameFixture::TearDown();
  }
  void LoadOptions(const std::string& extra = "") {
    WriteOptions(extra);
    FreeUpdaterOptions();
    TMemoryStream stream(test::ReadFile(work_ / "options.xml"));
    UpdaterOptions().LoadFromStream(stream);
    UpdaterOptions().SetHomeDir(home_);
  }
  bool Has(const TRecordingHost& host, const std::string& line) {
    return std::find(host.lines.begin(), host.lines.end(), line) != host.lines.end();
  }
};

TEST_F(UpdateRunInProcess, ACompleteRunFillsBothBarsAndEnablesTheButtons) {
  Publish();
  LoadOptions(" <news>http://127.0.0.1:1/news.html</news>\n");
  TRecordingHost host;
  host.visible = false;  // hidden to the notification area
  TUpdateRun run(host);
  run.UpdateRun(false);
  EXPECT_EQ(host.info, "All files have been checked");
  EXPECT_EQ(host.file, 429);
  EXPECT_EQ(host.total, 429);
  EXPECT_EQ(host.balloon, "Progress: All files have been checked");
  EXPECT_EQ(host.news, "http://127.0.0.1:1/news.html");
  EXPECT_TRUE(host.startEnabled);  // bin/game.sh exists now
  EXPECT_TRUE(host.checkEnabled);
  EXPECT_FALSE(run.IsRunning());
  ExpectHomeMatchesSource();
}

TEST_F(UpdateRunInProcess, AnUpdateTheDiskCannotHoldIsToldInTheRunsErrorBox) {
  Publish();
  home_ = work_ / "small";
  test::TSmallFileSystem fs(home_, "400k");
  if (!fs.Mounted()) GTEST_SKIP() << "no permission to mount a file system here";
  LoadOptions();
  TRecordingHost host;
  TUpdateRun run(host);
  run.UpdateRun(false);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].rfind("Not enough free disk space: 0.", 0), 0u) << host.boxes[0];
  EXPECT_EQ(host.info, host.boxes[0]);
  EXPECT_TRUE(std::filesystem::is_empty(home_));
}

TEST_F(UpdateRunInProcess, ACancelAfterAWorkerEndsTheRunWithTheBarsReset) {
  Publish();
  LoadOptions();
  TRecordingHost host;
  TUpdateRun run(host);
  bool checking = false;
  host.onInfo = [&](const std::string& text) { checking = text.rfind("Downloading data", 0) == 0; };
  host.onFile = [&](int position) {
    if (checking && position > 0 && !run.IsCancelled())
      run.SetCancelled(true);  // as the Cancel button does
  };
  run.UpdateRun(false);
  EXPECT_EQ(host.info, "Check cancelled by user");
  EXPECT_EQ(host.total, 0);
  EXPECT_EQ(host.file, 0);
  EXPECT_FALSE(run.IsCancelled());  // cleared by the end of the run
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser,
                                 std::string(kRegistryPath) + uid_ + "\\PatchList", names));
}

TEST_F(UpdateRunInProcess, ACancelBetweenRecordsStillKeepsTheFreshList) {
  Publish();
  LoadOptions();
  TRecordingHost host;
  TUpdateRun run(host);
  // The game's files in the folder, without archives and new copies.
  auto installed = [&] {
    std::size_t count = 0;
    for (const auto& [name, content] : test::Snapshot(home_)) {
      const std::string ext = std::filesystem::path(name).extension().string();
      if (ext != ".lzma" && ext != ".part" && ext != ".kovanew") ++count;
    }
    return count;
  };
  // Cancelled as the total bar steps past a record that has taken its place: between records.
  host.onTotal = [&](int position) {
    if (position > 0 && !run.IsCancelled() && !host.lines.empty() &&
        host.lines.back().rfind("Unpacking", 0) == 0 && installed() > 0)
      run.SetCancelled(true);
  };
  run.UpdateRun(false);
  EXPECT_EQ(host.info, "Check cancelled by user");
  EXPECT_EQ(host.total, 0);
  std::vector<std::string> names;
  EXPECT_TRUE(RegListValueNames(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\PatchList",
                                names));
  EXPECT_EQ(names.size(), 5u);
  // Game files only: archives fetched ahead before the cancel stay for the next run.
  const std::size_t present = installed();
  EXPECT_GE(present, 1u);
  EXPECT_LT(present, 5u);
  // The next run finds the list not newer, loads the cache and finishes the rest.
  TRecordingHost again;
  TUpdateRun next(again);
  next.UpdateRun(false);
  EXPECT_EQ(again.info, "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(UpdateRunInProcess, WaitsWhileTheGameRuns) {
  Publish();
  LoadOptions();
  UpdaterOptions().RunProgram = "bin\\runner";
  std::filesystem::create_directories(home_ + "/bin");
  std::filesystem::copy_file("/bin/sleep", home_ + "/bin/runner");
  auto game = std::make_unique<test::TChild>(home_ + "/bin/runner", std::vector<std::string>{"60"});
  ASSERT_TRUE(test::Eventually([&] { return FindProcessByPath(home_ + "/bin/runner") != 0; }, 5));
  TRecordingHost host;
  host.onBox = [&](TBoxKind kind, const std::string&) {
    EXPECT_EQ(kind, TBoxKind::RunningGame);
    game.reset();  // the player closes the game, then answers Retry
    return TBoxResult::Retry;
  };
  TUpdateRun run(host);
  run.UpdateRun(false);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0], "Please, close running  runner to proceed");
  EXPECT_EQ(host.info, "All files have been checked");

  std::filesystem::remove(home_ + "/user.cfg");
  game = std::make_unique<test::TChild>(home_ + "/bin/runner", std::vector<std::string>{"60"});
  ASSERT_TRUE(test::Eventually([&] { return FindProcessByPath(home_ + "/bin/runner") != 0; }, 5));
  TRecordingHost cancel;
  TUpdateRun second(cancel);
  second.UpdateRun(false);
  EXPECT_EQ(cancel.info, "Check cancelled by user");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
}

TEST_F(UpdateRunInProcess, ADownloadedDocumentCanNeitherPointStartOutsideNorChangeTheInstallation) {
  Publish();
  // Another game's cache, which a changed identifier would have deleted and rewritten.
  const std::string other = std::string(kRegistryPath) + "other-game\\PatchList\\1";
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, other, "archive|x|00000001|00000002|3|4"));
  test::WriteFile(work_ / "outside.sh", "#!/bin/sh\n");
  test::WriteFile(Served() + "/options.xml",
                  "<options><uid>other-game</uid><run><program>..\\outside.sh</program>"
                  "<params>-c evil</params></run></options>");
  LoadOptions("<options>" + nginx_->Url("/" + uid_ + "/options.xml") + "</options>");
  TRecordingHost host;
  TUpdateRun run(host);
  run.UpdateRun(false);
  EXPECT_EQ(host.info, "All files have been checked");
  EXPECT_EQ(UpdaterOptions().Uid, uid_);
  std::string kept;
  EXPECT_TRUE(RegReadString(kHkeyCurrentUser, other, kept));
  EXPECT_EQ(kept, "archive|x|00000001|00000002|3|4");
  // The program the document names lies outside the game folder: Start stays disabled.
  EXPECT_EQ(UpdaterOptions().RunProgram, "..\\outside.sh");
  EXPECT_EQ(UpdaterOptions().ProgramPath(), "");
  EXPECT_FALSE(host.startEnabled);
  EXPECT_TRUE(host.checkEnabled);
}

TEST_F(UpdateRunInProcess, AGameScriptThatRunsIsWaitedForToo) {
  Publish();
  LoadOptions();
  UpdaterOptions().RunProgram = "bin\\play.sh";
  std::filesystem::create_directories(home_ + "/bin");
  test::WriteFile(home_ + "/bin/play.sh",
                  "#!/bin/sh\nexec >/dev/null 2>&1\nwhile :; do sleep 1; done\n");
  std::filesystem::permissions(home_ + "/bin/play.sh", std::filesystem::perms(0755));
  test::TChild game(home_ + "/bin/play.sh", {});
  ASSERT_TRUE(
      test::Eventually([&] { return FindProcessByPath(home_ + "/bin/play.sh") == game.Pid(); }, 5));
  TRecordingHost host;
  TUpdateRun run(host);
  run.UpdateRun(false);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0], "Please, close running  play.sh to proceed");
  EXPECT_EQ(host.info, "Check cancelled by user");
}

TEST_F(UpdateRunInProcess, ANewCopyThatCannotTakeTheFilesPlaceIsReportedAndUndone) {
  Publish();
  LoadOptions();
  {
    TRecordingHost host;
    TUpdateRun run(host);
    run.UpdateRun(false);
    ASSERT_EQ(host.info, "All files have been checked");
  }
  // A folder under the backup name: the file cannot move aside, so the new copy cannot move in.
  std::filesystem::create_directories(home_ + "/data/textures.pak.kovabak");
  test::WriteFile(home_ + "/data/textures.pak", "damaged");
  TRecordingHost host;
  TUpdateRun run(host);
  run.CheckButtonClick();
  EXPECT_EQ(host.info, "One or more files could not be updated. Please Check files again");
  EXPECT_EQ(test::ReadFile(home_ + "/data/textures.pak"), "damaged");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak.kovanew"));
  EXPECT_TRUE(std::filesystem::exists(home_ + "/data/textures.pak.lzma"));  // kept for the next run
  std::string lastFullCheck;
  EXPECT_TRUE(RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\LastFullCheck",
                            lastFullCheck));
  std::filesystem::remove(home_ + "/data/textures.pak.kovabak");
  TRecordingHost retry;
  TUpdateRun again(retry);
  again.CheckButtonClick();
  EXPECT_EQ(retry.info, "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(UpdateRunInProcess, TheButtonsFollowTheOptions) {
  FreeUpdaterOptions();
  TMemoryStream stream("<options><patchlist>ftp://files/list.xml</patchlist></options>");
  UpdaterOptions().LoadFromStream(stream);
  UpdaterOptions().SetHomeDir(home_);
  TRecordingHost host;
  TUpdateRun run(host);
  run.UpdateButtons();
  EXPECT_FALSE(host.checkEnabled);  // another scheme counts as no address
  EXPECT_FALSE(host.startEnabled);
  run.UpdateRun(false);
  EXPECT_EQ(host.info, "");  // nothing to check
  EXPECT_TRUE(host.balloon.empty());
}

TEST(UpdateRunHelpers, DisplayNamesAndBarPositions) {
  EXPECT_EQ(DisplayName(std::string(40, 'a')), std::string(40, 'a'));
  const std::string name41 = "data\\" + std::string(36, 'b');
  EXPECT_EQ(DisplayName(name41), "..." + name41);
  EXPECT_EQ(DisplayName(std::string(10, 'x') + name41), "..." + name41);
  // Never half a character: the cut moves on to where one begins.
  EXPECT_EQ(DisplayName("x\xD0\xB4" + std::string(40, 'c')), "..." + std::string(40, 'c'));
  EXPECT_EQ(ShownName("data\\levels/level 046.pak"), "data/levels/level 046.pak");
  // A long reason keeps its start and its cause, never half a character.
  EXPECT_EQ(FitText("https://cdn.example.com/game/patchlist.xml: 404 Not Found", 40),
            "https://cdn.exam...st.xml: 404 Not Found");
  const std::string cyrillic = "ab\xD0\xB4" + std::string(20, 'c') + "\xD0\xB4z";
  EXPECT_EQ(FitText(cyrillic, 8), "ab...z");
  EXPECT_EQ(FitText(cyrillic, 9), "ab...\xD0\xB4z");
  EXPECT_EQ(FitText(cyrillic, 27), cyrillic);
  // What the downloads did and have left.
  EXPECT_EQ(TransferText(0, 3 << 20, 0), "0.0 of 3.0 MB done");
  EXPECT_EQ(TransferText(5 << 20, 10 << 20, 1 << 20), "5.0 of 10.0 MB done, 1.0 MB/s, 0:05 left");
  EXPECT_EQ(TransferText(0, std::int64_t{4000} << 20, 1 << 20),
            "0.0 of 4000.0 MB done, 1.0 MB/s, 1:06:40 left");
  EXPECT_EQ(TransferText(7 << 20, 5 << 20, 1 << 20), "7.0 of 7.0 MB done, 1.0 MB/s, 0:00 left");
  EXPECT_EQ(BarPosition(429, 0, 0), 0);
  EXPECT_EQ(BarPosition(429, 1, 2), 214);  // 214.5 rounds to even
  EXPECT_EQ(BarPosition(429, 3, 2), 429);
  EXPECT_EQ(BarPosition(429, 5000000000, 10000000000), 214);
}

// The one rule the record in its turn and the transfers ahead of it share: what a look at a
// file's size says of the archive its record needs.
TEST(UpdateRunHelpers, WhatAFilesSizeTellsOfTheArchiveItsRecordNeeds) {
  test::TTempDir dir;
  const std::string home = dir.Path() + "/";
  TFileItem plain;
  plain.FileName = "data\\a.bin";
  plain.Size = 10;
  TFileItem chunked = plain;
  chunked.ChunkIndex = "ab";
  const struct {
    const TFileItem* target;
    bool exists;
    std::int64_t size;
    bool softCheck, olderCopies;
    TArchiveNeed need;
  } rows[] = {
      {&plain, true, 10, false, false, TArchiveNeed::ReadFirst},  // its content tells
      {&plain, true, 9, false, false, TArchiveNeed::Archive},
      {&plain, true, 9, true, false, TArchiveNeed::ReadFirst},  // soft-checked: taken as it is
      {&plain, false, -1, false, false, TArchiveNeed::Archive},
      {&chunked, true, 9, false, false, TArchiveNeed::Chunks},
      {&chunked, true, 0, false, false, TArchiveNeed::Archive},  // an empty copy has no chunks
      {&chunked, false, -1, false, true, TArchiveNeed::Chunks},  // a departed file may be it
      {&chunked, false, -1, false, false, TArchiveNeed::Archive},
  };
  for (const auto& row : rows)
    EXPECT_EQ(
        ArchiveNeedOf(home, *row.target, row.exists, row.size, row.softCheck, row.olderCopies),
        row.need)
        << &row - rows;
  TFileItem longName = plain;
  longName.FileName = std::string(5000, 'x');
  EXPECT_EQ(ArchiveNeedOf(home, longName, false, -1, false, false), TArchiveNeed::Withheld);
  std::filesystem::create_directories(dir / "elsewhere");
  std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "data");
  EXPECT_EQ(ArchiveNeedOf(home, plain, false, -1, false, false), TArchiveNeed::Withheld);
}

// The launcher replaces itself: a newer build is served with a later date; the old launcher
// downloads it, starts it with "/update", the new one copies itself over the old file and starts
// it with "/delete", and the ".new.exe" is gone. The replaced launcher then does not fetch the
// same build again.
// Sets the process's time zone for the life of the object.
class TTimeZone {
 public:
  explicit TTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TTimeZone() {
    if (saved_)
      ::setenv("TZ", saved_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(UpdateRunInProcess, ABuildIsTakenOnlyWhenItsDateIsLaterAndNotAheadOfTheClock) {
  // Whatever the month the test runs in, one of the two dates lies across a daylight-saving
  // change from now in this zone.
  const TTimeZone berlin("Europe/Berlin");
  for (const time_t buildTime :
       {time_t{1768478400} /* 15 Jan 2026 12:00 UTC */, time_t{1784116800} /* 15 Jul 2026 */}) {
    SCOPED_TRACE(buildTime);
    std::filesystem::create_directories(Served());
    // Large enough that the equal date stops the transfer while it runs.
    test::WriteFile(Served() + "/kovaupdater.bin", test::Bytes(400000, 7));
    const std::string exe = home_ + "/kovaupdater";
    test::WriteFile(exe, "the running build");
    utimbuf times{buildTime, buildTime};
    ::utime((Served() + "/kovaupdater.bin").c_str(), &times);
    ::utime(exe.c_str(), &times);
    LoadOptions("<updater>" + nginx_->Url("/" + uid_ + "/kovaupdater.bin") + "</updater>");
    ExeFileDate = GetFileModifyTime(exe);
    TRecordingHost host;
    host.executable = exe;
    TUpdateRun run(host);
    run.UpdateRun(true);
    EXPECT_FALSE(host.closed) << "the same build was fetched again";
    EXPECT_FALSE(std::filesystem::exists(home_ + "/kovaupdater.new.exe"));
    // A build written with the server's date reads back as that date.
    ASSERT_TRUE(SetFileModifyTime(exe, ExeFileDate));
    struct stat st {};
    ::stat(exe.c_str(), &st);
    EXPECT_EQ(st.st_mtime, buildTime);
  }
  // A build dated before the running one is older, however long it is: never written, nor run.
  const time_t old = 978350400;  // 1 Jan 2001
  utimbuf oldTimes{old, old};
  ::utime((Served() + "/kovaupdater.bin").c_str(), &oldTimes);
  TRecordingHost host;
  host.executable = home_ + "/kovaupdater";
  TUpdateRun run(host);
  run.UpdateRun(true);
  EXPECT_FALSE(host.closed) << "an older build was started";
  EXPECT_FALSE(std::filesystem::exists(home_ + "/kovaupdater.new.exe"));
  // A build dated 2100 by a server's clock is not taken: dated so it would make every later
  // build look older. A running build dated so (by an earlier version) is no date at all.
  const time_t future = 4102488000;  // 1 Jan 2100
  const time_t now = ::time(nullptr);
  for (const auto& [served, running] : {std::pair{future, old}, std::pair{now, future}}) {
    utimbuf servedTimes{served, served}, runningTimes{running, running};
    ::utime((Served() + "/kovaupdater.bin").c_str(), &servedTimes);
    ::utime(host.executable.c_str(), &runningTimes);
    ExeFileDate = GetFileModifyTime(host.executable);
    TRecordingHost later;
    later.executable = host.executable;
    TUpdateRun next(later);
    next.UpdateRun(true);
    EXPECT_EQ(later.closed, served == now) << served;
    EXPECT_EQ(std::filesystem::exists(home_ + "/kovaupdater.new.exe"), served == now) << served;
  }
}

TEST_F(UpdateRunInProcess, WithAKeyPinnedOnlyTheBuildTheOptionsNameIsStartedAndNeverAnOlderOne) {
  std::string secret, pub;
  MakeKeyPair(secret, pub);
  const std::string exe = home_ + "/kovaupdater";
  const std::string running = "the running build";
  test::WriteFile(exe, running);
  std::filesystem::create_directories(Served());
  const std::string build = test::Bytes(200000, 5);
  const std::string served = Served() + "/kovaupdater.bin";
  test::WriteFile(served, build);
  // Every launch of this kind: the options (own, or signed and downloaded) name a build.
  auto launch = [&](const std::string& updaterAttributes) {
    LoadOptions("<public_key>" + ToBase64(pub) + "</public_key><updater" + updaterAttributes + ">" +
                nginx_->Url("/" + uid_ + "/kovaupdater.bin") + "</updater>");
    const std::size_t mark = LogMark();
    TRecordingHost host;
    host.executable = exe;
    TUpdateRun run(host);
    run.UpdateRun(true);
    return std::make_pair(host.closed, CountContaining(LogSince(mark), "kovaupdater.bin"));
  };
  auto named = [](const std::string& content, int serial) {
    return " sha256=\"" + Sha256Hex(content) + "\" serial=\"" + std::to_string(serial) + "\"";
  };
  // A build the options do not name by digest, or not at all, is never even fetched.
  EXPECT_EQ(launch(""), std::make_pair(false, std::size_t{0}));
  EXPECT_EQ(launch(" serial=\"9\""), std::make_pair(false, std::size_t{0}));
  // The running build is the one named: nothing is fetched, and its serial is remembered.
  EXPECT_EQ(launch(named(running, 3)), std::make_pair(false, std::size_t{0}));
  // An older build (a lower serial) than one run here is a rollback, however it is signed.
  EXPECT_EQ(launch(named(build, 2)), std::make_pair(false, std::size_t{0}));
  // A served build that is not the one named (a forgery, another file) is fetched but written
  // nowhere.
  EXPECT_EQ(launch(named(build + "x", 4)), std::make_pair(false, std::size_t{1}));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/kovaupdater.new.exe"));
  // The genuine newer build is written and started, through any link planted at its name.
  const std::string outside = work_ / "outside.txt";
  test::WriteFile(outside, "not the launcher's");
  std::filesystem::create_symlink(outside, home_ + "/kovaupdater.new.exe");
  EXPECT_EQ(launch(named(build, 4)), std::make_pair(true, std::size_t{1}));
  EXPECT_FALSE(std::filesystem::is_symlink(home_ + "/kovaupdater.new.exe"));
  EXPECT_EQ(test::ReadFile(home_ + "/kovaupdater.new.exe"), build);
  EXPECT_EQ(test::ReadFile(outside), "not the launcher's");
}

TEST_F(UpdateRunInProcess, UpdatesItselfEndToEndWithRealProcesses) {
  const std::string exe = home_ + "/kovaupdater";
  std::filesystem::copy_file(KOVA_UPDATER_EXE, exe);
  const std::string newBuild = test::ReadFile(KOVA_UPDATER_EXE) + "\nnewer build\n";
  std::filesystem::create_directories(Served());
  test::WriteFile(Served() + "/kovaupdater.bin", newBuild);
  const time_t serverTime = ::time(nullptr) - 3600;
  const time_t oldTime = serverTime - 86400;
  utimbuf serverTimes{serverTime, serverTime}, oldTimes{oldTime, oldTime};
  ::utime((Served() + "/kovaupdater.bin").c_str(), &serverTimes);
  ::utime(exe.c_str(), &oldTimes);
  test::WriteFile(home_ + "/kovaupdater.xml", "<options><uid>" + uid_ + "</uid><updater>" +
                                                  nginx_->Url("/" + uid_ + "/kovaupdater.bin") +
                                                  "</updater></options>");
  const std::size_t mark = LogMark();
  test::TChild old(exe, {});
  EXPECT_EQ(old.WaitExit(30), 0);  // it closes once the new build is started
  EXPECT_TRUE(old.Output().find("Checking for self-update...") != std::string::npos)
      << old.Output();
  ASSERT_TRUE(
      test::Eventually([&] { return platform::SendInstanceMessage(uid_, "FOCUS==" + uid_); }, 30))
      << old.Output();
  EXPECT_TRUE(test::Eventually(
      [&] { return !std::filesystem::exists(home_ + "/kovaupdater.new.exe"); }, 10));
  EXPECT_TRUE(test::ReadFile(exe) == newBuild);
  struct stat st {};
  ::stat(exe.c_str(), &st);
  EXPECT_EQ(st.st_mtime, serverTime);  // the replaced launcher carries the build's date
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_TRUE(platform::SendInstanceMessage(uid_, "CLOSE==" + uid_));
  EXPECT_TRUE(test::Eventually([&] { return FindProcessByPath(exe) == 0; }, 10));
  const auto log = LogSince(mark);
  ASSERT_EQ(CountContaining(log, "kovaupdater.bin"), 2u);
  EXPECT_NE(log[0].find("|200"), std::string::npos);
}

}  // namespace
}  // namespace kova
