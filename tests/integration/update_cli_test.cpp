// Real update runs through kovaupdater-cli over real folders, against games published with
// kova-publish (and with independent tools) and served by nginx.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "core/options.h"
#include "core/registry.h"
#include "net/http_send.h"
#include "tests/common/game_fixture.h"
#include "tests/common/player_locale.h"
#include "workers/crc32.h"

namespace kova {
namespace {

class UpdateCli : public test::TGameFixture {};

TEST_F(UpdateCli, InstallsIntoAnEmptyFolderThenReadsNothingWhenUpToDate) {
  Publish();
  std::size_t mark = LogMark();
  const TCliRun first = Cli();
  EXPECT_EQ(first.Status, 0);
  EXPECT_EQ(first.Last(), "All files have been checked");
  EXPECT_TRUE(first.Has("Downloading data/maps/level1.map"));
  EXPECT_FALSE(first.HasPrefix("Checking data"));  // missing files are restored without a check
  ExpectHomeMatchesSource();
  EXPECT_EQ(CountContaining(LogSince(mark), ".lzma"), 5u);

  mark = LogMark();
  const TCliRun second = Cli();
  EXPECT_EQ(second.Status, 0);
  EXPECT_EQ(second.Errors, std::vector<std::string>{});  // a launch that changes nothing
  EXPECT_EQ(second.Lines, (std::vector<std::string>{"Downloading patchlist...", "Checking files...",
                                                    "All files have been checked"}));
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, ".lzma"), 0u);
  EXPECT_EQ(CountContaining(log, "patchlist.xml"),
            1u);  // fetched, found not newer, served from the cache
  std::string cached;
  EXPECT_TRUE(RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\PatchList\\1",
                            cached));
  EXPECT_EQ(cached.rfind("archive|", 0), 0u);
}

TEST_F(UpdateCli, RepairsACorruptedFileAndRestoresAMissingOne) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  test::WriteFile(home_ + "/data/textures.pak", test::Bytes(300000, 99));  // same size, new date
  const time_t later = ::time(nullptr) + 10;  // dates have two-second steps
  utimbuf times{later, later};
  ::utime((home_ + "/data/textures.pak").c_str(), &times);
  std::filesystem::remove(home_ + "/data/maps/level1.map");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  EXPECT_TRUE(run.Has("Checking data/textures.pak"));
  EXPECT_TRUE(run.Has("Downloading data/textures.pak"));
  EXPECT_TRUE(run.Has("Unpacking data/textures.pak"));
  EXPECT_FALSE(run.Has("Checking data/maps/level1.map"));
  EXPECT_TRUE(run.Has("Downloading data/maps/level1.map"));
  ExpectHomeMatchesSource();
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST_F(UpdateCli, ProgramsAreInstalledRunnableAndRepairsKeepEachFilesPermissions) {
  std::filesystem::permissions(source_ + "/bin/game.sh", std::filesystem::perms(0755));
  Publish();
  const std::string list = test::ReadFile(Served() + "/patchlist.xml");
  EXPECT_NE(list.find("filename=\"bin\\game.sh\""), std::string::npos);
  EXPECT_EQ(CountContaining(test::Lines(list), "executable=\"1\""), 1u) << list;
  EXPECT_EQ(CountContaining(test::Lines(list), "game.sh"),
            CountContaining(test::Lines(list), "executable=\"1\""));
  ASSERT_EQ(Cli().Status, 0);
  EXPECT_TRUE(ModeOf(home_ + "/bin/game.sh") & S_IXUSR);
  EXPECT_FALSE(ModeOf(home_ + "/user.cfg") & 0111);
  test::TChild game(home_ + "/bin/game.sh", {});  // the installed game can be started
  EXPECT_EQ(game.WaitExit(10), 0);
  EXPECT_EQ(game.Output(), "game\n");
  // The player's own permissions survive a repair.
  ::chmod((home_ + "/user.cfg").c_str(), 0600);
  ::chmod((home_ + "/data/textures.pak").c_str(), 0750);
  for (const char* name : {"/user.cfg", "/data/textures.pak", "/bin/game.sh"})
    test::WriteFile(home_ + name, "damaged");
  const TCliRun check = Cli({"--check"});
  EXPECT_EQ(check.Status, 0);
  ExpectHomeMatchesSource();
  EXPECT_EQ(ModeOf(home_ + "/user.cfg"), 0600u);
  EXPECT_EQ(ModeOf(home_ + "/data/textures.pak"), 0750u);
  EXPECT_TRUE(ModeOf(home_ + "/bin/game.sh") & S_IXUSR);
}

TEST_F(UpdateCli, NamesThatNeedEncodingInAUrlAreInstalled) {
  std::filesystem::create_directories(source_ + "/my maps");
  const std::vector<std::string> names{"my maps/level #1.map", "100%.txt", "what[1]!.cfg",
                                       "caf\xE9.txt", "a+b&c=d;e.dat"};
  for (std::size_t i = 0; i < names.size(); ++i)
    test::WriteFile(source_ + "/" + names[i], test::Bytes(1000 + i, 9));
  Publish();
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  const std::size_t mark = LogMark();
  EXPECT_EQ(Cli().Status, 0);
  EXPECT_EQ(CountContaining(LogSince(mark), ".lzma"), 0u);
}

TEST_F(UpdateCli, InstallsThroughAReverseProxyThatSendsNoLength) {
  // An application server behind nginx's proxy_pass that gives no length: to an HTTP/1.0
  // client (the probe) the body ends when the connection closes; the launcher asks with
  // HTTP/1.1 and gets it in chunks.
  test::TScriptedServer app;
  test::TNginx proxy("    location /app/ { proxy_pass http://127.0.0.1:" +
                     std::to_string(app.Port()) + "/files" + nginx_->Root() + "/; }\n");
  Publish();
  THTTPSend probe;
  ASSERT_TRUE(probe.PerformRequest("GET", proxy.Url("/app/" + uid_ + "/patchlist.xml")));
  std::string length;
  EXPECT_FALSE(probe.HeaderValue("Content-Length", length))
      << "the proxy sent a length: " << length;
  WriteOptions("");
  test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" +
                                             proxy.Url("/app/" + uid_ + "/patchlist.xml") +
                                             "</patchlist></options>");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
}

TEST_F(UpdateCli, AFileEditedInPlaceIsFoundByCheck) {
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::string path = home_ + "/data/textures.pak";
  struct stat before {};
  ::stat(path.c_str(), &before);
  std::string content = test::ReadFile(path);
  content[1000] = static_cast<char>(content[1000] ^ 1);
  test::WriteFile(path, content);
  utimbuf keep{before.st_atime, before.st_mtime};
  ::utime(path.c_str(), &keep);
  const TCliRun plain = Cli();
  EXPECT_FALSE(plain.HasPrefix("Checking data"));  // size and date unchanged: trusted
  const TCliRun check = Cli({"--check"});
  EXPECT_EQ(check.Status, 0);
  EXPECT_TRUE(check.Has("Checking data/textures.pak"));
  EXPECT_TRUE(check.Has("Downloading data/textures.pak"));
  ExpectHomeMatchesSource();
}

TEST_F(UpdateCli, AFileThePublisherRemovedGoesOnlyWhereItHoldsWhatWasInstalled) {
  for (const std::string name : {"old", "changed", "linked"})
    test::WriteFile(source_ + "/data/" + name + ".pak", test::Bytes(20000, name[0]));
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  // The player changed one; another is a link to a copy elsewhere; a third is theirs alone.
  test::WriteFile(home_ + "/data/changed.pak", "the player's own settings");
  const std::string outside = work_ / "outside.pak";
  std::filesystem::rename(home_ + "/data/linked.pak", outside);
  std::filesystem::create_symlink(outside, home_ + "/data/linked.pak");
  test::WriteFile(home_ + "/data/mine.pak", test::Bytes(20000, 'o'));
  for (const std::string name : {"old", "changed", "linked"})
    std::filesystem::remove(source_ + "/data/" + name + ".pak");
  Publish();
  Touch(Served() + "/patchlist.xml");  // a later version
  const std::string list = test::ReadFile(Served() + "/patchlist.xml");
  EXPECT_NE(list.find("<removed filename=\"data\\old.pak\""), std::string::npos) << list;
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0) << run.Last();
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/old.pak"));
  EXPECT_EQ(test::ReadFile(home_ + "/data/changed.pak"), "the player's own settings");
  EXPECT_TRUE(std::filesystem::is_symlink(home_ + "/data/linked.pak"));
  EXPECT_EQ(test::ReadFile(outside), test::Bytes(20000, 'l'));
  EXPECT_TRUE(std::filesystem::exists(home_ + "/data/mine.pak"));
  // A later publication keeps the marks; a file published again is the list's once more.
  test::WriteFile(source_ + "/data/old.pak", test::Bytes(20000, 'n'));
  Publish();
  Touch(Served() + "/patchlist.xml");
  const std::string later = test::ReadFile(Served() + "/patchlist.xml");
  EXPECT_EQ(later.find("<removed filename=\"data\\old.pak\""), std::string::npos) << later;
  EXPECT_NE(later.find("<removed filename=\"data\\changed.pak\""), std::string::npos) << later;
  EXPECT_EQ(Cli().Status, 0);
  EXPECT_EQ(test::ReadFile(home_ + "/data/old.pak"), test::Bytes(20000, 'n'));
}

TEST_F(UpdateCli, SoftCheckFilesAreKeptAndHardCheckFilesAreAlwaysRead) {
  Publish();
  WriteOptions(
      " <soft_check><mask>*.cfg</mask></soft_check>\n "
      "<hard_check><mask>bin\\*</mask></hard_check>\n");
  ASSERT_EQ(Cli().Status, 0);
  test::WriteFile(home_ + "/user.cfg", "volume=11, the player's own\n");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(test::ReadFile(home_ + "/user.cfg"), "volume=11, the player's own\n");
  EXPECT_TRUE(run.Has("Checking bin/game.sh"));
  EXPECT_FALSE(run.HasPrefix("Checking data"));
  std::filesystem::remove(home_ + "/user.cfg");
  EXPECT_EQ(Cli().Status, 0);
  EXPECT_EQ(test::ReadFile(home_ + "/user.cfg"),
            "volume=5\n");  // a missing soft-check file is restored
}

TEST_F(UpdateCli, UsesAGoodArchiveOnDiskAndReplacesABadOne) {
  Publish();
  std::filesystem::create_directories(home_ + "/data/maps");
  std::filesystem::copy_file(Served() + "/data/maps/level1.map.lzma",
                             home_ + "/data/maps/level1.map.lzma");
  test::WriteFile(home_ + "/data/textures.pak.lzma", "not the archive");
  const std::size_t mark = LogMark();
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "level1.map.lzma"), 0u);
  EXPECT_EQ(CountContaining(log, "textures.pak.lzma"), 1u);
  ExpectHomeMatchesSource();
}

TEST_F(UpdateCli, ResumesAnInterruptedArchiveDownload) {
  Publish();
  const std::string archive = test::ReadFile(Served() + "/data/textures.pak.lzma");
  ASSERT_GT(archive.size(), 20000u);
  std::filesystem::create_directories(home_ + "/data");
  test::WriteFile(home_ + "/data/textures.pak.lzma.part", archive.substr(0, 20000));
  const std::size_t mark = LogMark();
  EXPECT_EQ(Cli().Status, 0);
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "textures.pak.lzma HTTP/1.1|bytes=11808-|"), 1u);
  ExpectHomeMatchesSource();
}

// A list written by hand, with archives from xz.
class HandWrittenList : public test::TGameFixture {
 protected:
  void PublishWithXz(const std::string& name, const std::string& content,
                     const std::string& archiveBytes = {}, std::uint32_t archiveCrcOverride = 0,
                     bool overrideCrc = false) {
    std::string served = name;  // the server's path has "/" where the list has "\\"
    std::replace(served.begin(), served.end(), '\\', '/');
    const std::string archive = Served() + "/" + served + ".lzma";
    std::filesystem::create_directories(std::filesystem::path(archive).parent_path());
    if (archiveBytes.empty()) {
      test::WriteFile(Served() + "/" + served, content);
      test::TChild xz("/bin/sh", {"-c", "xz --format=lzma -c '" + Served() + "/" + served +
                                            "' > '" + archive + "'"});
      ASSERT_EQ(xz.WaitExit(60), 0);
      std::filesystem::remove(Served() + "/" + served);
    } else {
      test::WriteFile(archive, archiveBytes);
    }
    const std::string bytes = test::ReadFile(archive);
    const std::uint32_t archiveCrc =
        overrideCrc ? archiveCrcOverride : ~CrcUpdate(kCrcInit, bytes.data(), bytes.size());
    char line[256];
    std::snprintf(line, sizeof line,
                  "<archive filename=\"%s\" original=\"%x\" size=\"%zu\" checksum=\"%08x\"/>\n",
                  name.c_str(), ~CrcUpdate(kCrcInit, content.data(), content.size()),
                  content.size(), archiveCrc);
    list_ += line;
    test::WriteFile(Served() + "/patchlist.xml", "<list>\n" + list_ + "</list>\n");
  }
  std::string list_;
};

TEST_F(HandWrittenList, InstallsFromXzArchives) {
  PublishWithXz("a.txt", "alpha alpha alpha\n");
  PublishWithXz("b.bin", test::Bytes(70000, 5));
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(test::ReadFile(home_ + "/a.txt"), "alpha alpha alpha\n");
  EXPECT_TRUE(test::ReadFile(home_ + "/b.bin") == test::Bytes(70000, 5));
}

TEST_F(HandWrittenList, NewFilesThatStartAsProgramsGetTheRunBit) {
  PublishWithXz("run.sh", "#!/bin/sh\necho ran\n");
  PublishWithXz("prog", std::string("\x7f"
                                    "ELF\x02\x01\x01",
                                    7) +
                            test::Bytes(100, 3));
  PublishWithXz("notes.txt", "# a comment, not a script\n");
  ASSERT_EQ(Cli().Status, 0);
  EXPECT_TRUE(ModeOf(home_ + "/run.sh") & S_IXUSR);
  EXPECT_TRUE(ModeOf(home_ + "/prog") & S_IXUSR);
  EXPECT_FALSE(ModeOf(home_ + "/notes.txt") & 0111);
}

TEST_F(HandWrittenList, NoWriteGoesThroughAFolderLinkInTheGameFolder) {
  // The player's own links: a relative one and one to an absolute folder, both leading out.
  const std::string outside = work_ / "outside";
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink("../outside", home_ + "/saves");
  std::filesystem::create_directory_symlink(outside, home_ + "/userdata");
  PublishWithXz("saves\\evil.txt", "evil\n");
  PublishWithXz("saves\\sub\\deep.txt", "deep\n");
  PublishWithXz("userdata\\.bashrc", "rc\n");
  PublishWithXz("good.txt", "good\n");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
  EXPECT_TRUE(std::filesystem::is_empty(outside))
      << "a file or folder was made outside the game folder";
  EXPECT_EQ(test::ReadFile(home_ + "/good.txt"), "good\n");
  EXPECT_TRUE(std::filesystem::is_symlink(home_ + "/saves"));
}

TEST_F(HandWrittenList, AnArchiveNeverUnpacksPastTheListedSizeNorAsksForAHugeWindow) {
  // 64 MiB of zeros packed into a few KiB by xz and by zstd, listed as files of 17 bytes; and a
  // zstd frame that asks for a window of 1 GiB for its 1,000 bytes.
  const std::vector<std::pair<std::string, std::string>> bombs{
      {"bomb.dat", "head -c 67108864 /dev/zero | xz --format=lzma"},
      {"zbomb.dat", "head -c 67108864 /dev/zero | zstd -19 -c"},
      {"window.dat", "head -c 17 /dev/zero | zstd --long=30 -c"}};
  for (const auto& [name, command] : bombs) {
    const std::string packed = work_ / (name + ".packed");
    test::TChild pack("/bin/sh", {"-c", command + " > '" + packed + "'"});
    ASSERT_EQ(pack.WaitExit(60), 0);
    PublishWithXz(name, std::string(17, '\0'), test::ReadFile(packed));
  }
  PublishWithXz("good.txt", "good\n");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
  for (const auto& [name, command] : bombs) {
    EXPECT_TRUE(run.Has("Unpacking " + name)) << name;
    EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name + ".kovanew"));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name + ".lzma"))
        << "kept, it would be unpacked again";
  }
  EXPECT_EQ(test::ReadFile(home_ + "/good.txt"), "good\n");
}

TEST_F(HandWrittenList, ADownloadStopsOnceItPassesWhatTheListedFileCanNeed) {
  // A megabyte for an archive whose CRC the list gives right but whose file has 17 bytes.
  PublishWithXz("big.dat", "seventeen bytes!!", test::Bytes(1 << 20, 5));
  const TCliRun run = Cli({"--retries", "0"});
  EXPECT_EQ(run.Last(), "Check cancelled due to an error");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/big.dat.lzma"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/big.dat.lzma.part"));
}

TEST_F(HandWrittenList, AnArchiveWithTheWrongCrcEndsTheRunAndIsDeleted) {
  PublishWithXz("a.txt", "alpha\n", {}, 0x12345678, true);
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "Error while checking patch for a.txt");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/a.txt.lzma"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/a.txt"));
}

TEST_F(HandWrittenList, AnUnpackFailureRestoresTheOldFileAndPersistsNothing) {
  PublishWithXz("good.txt", "good\n");
  PublishWithXz("broken.dat", "the new content",
                std::string("\x5d\0\0\x80\0\x0f\0\0\0\0\0\0\0garbage!", 21));
  test::WriteFile(home_ + "/broken.dat", "the player's old copy");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
  EXPECT_EQ(test::ReadFile(home_ + "/broken.dat"), "the player's old copy");
  EXPECT_EQ(test::ReadFile(home_ + "/good.txt"), "good\n");  // the walk went on
  EXPECT_FALSE(std::filesystem::exists(home_ + "/broken.dat.kovanew"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/broken.dat.kovabak"));
  std::string text;
  EXPECT_FALSE(
      RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\LastUpdate", text));
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser,
                                 std::string(kRegistryPath) + uid_ + "\\PatchList", names));
}

TEST_F(HandWrittenList, AnUnpackFailureGivesBackABackupLeftByAnEarlierInterruptedRun) {
  PublishWithXz("broken.dat", "the new content",
                std::string("\x5d\0\0\x80\0\x0f\0\0\0\0\0\0\0garbage!", 21));
  // The backup's name now, and the one an earlier version gave it.
  for (const char* backup : {"/broken.dat.kovabak", "/broken.kovabak"}) {
    std::filesystem::remove(home_ + "/broken.dat");
    test::WriteFile(home_ + backup, "the player's old copy");
    const TCliRun run = Cli();
    EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
    EXPECT_EQ(test::ReadFile(home_ + "/broken.dat"), "the player's old copy") << backup;
    EXPECT_FALSE(std::filesystem::exists(home_ + backup));
  }
}

TEST_F(HandWrittenList, AHostileListChangesNothingOutsideTheFolder) {
  std::filesystem::create_directories(Served());
  const std::string outside = work_ / "outside.txt";
  test::WriteFile(outside, "keep me");
  test::WriteFile(Served() + "/patchlist.xml",
                  "<list><archive filename=\"..\\outside.txt\" original=\"1\" size=\"1\" "
                  "checksum=\"1\"/></list>");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "Error while reading patchlist");
  EXPECT_EQ(test::ReadFile(outside), "keep me");
  EXPECT_TRUE(test::Snapshot(home_).empty());
}

TEST_F(HandWrittenList, EveryHostileNameIsRefusedWithNothingWrittenOutsideTheSandbox) {
  // The home folder sits two levels inside a sandbox, so that names climbing out land in it.
  const std::string sandbox = work_ / "sandbox";
  const std::string home = sandbox + "/deep/home";
  std::filesystem::create_directories(home);
  test::WriteFile(sandbox + "/x", "keep me");
  std::filesystem::create_directories(Served());
  const std::vector<std::string> names = {"..\\x",
                                          "a\\..\\..\\x",
                                          "/x",
                                          "C:\\x",
                                          "C:x",
                                          "\\\\srv\\share\\x",
                                          "\\\\?\\C:\\x",
                                          "",
                                          std::string("a\0b", 3),
                                          std::string(4097, 'n'),
                                          "data\\..\\..\\..\\x",
                                          "..",
                                          "a\\..",
                                          "a|b"};
  const auto before = test::Snapshot(sandbox);
  for (const std::string& name : names) {
    for (const bool asArchive : {true, false}) {
      const std::string archive = asArchive ? name : std::string("ok.lzma");
      const std::string original = asArchive ? std::string("ok") : name;
      test::WriteFile(Served() + "/patchlist.xml", "<list><archive filename=\"" + archive +
                                                       "\" original=\"" + original +
                                                       "\" size=\"1\" checksum=\"1\"/></list>");
      const TCliRun run = Cli({"--home", home});
      EXPECT_EQ(run.Status, 1) << "name of " << name.size() << " bytes: " << name.substr(0, 40);
      EXPECT_EQ(run.Last(), "Error while reading patchlist") << name.substr(0, 40);
      EXPECT_TRUE(test::Snapshot(sandbox) == before)
          << "something changed for " << name.substr(0, 40);
    }
  }
}

TEST_F(UpdateCli, FollowsTheOptionsAddressToASecondDocumentAndStopsACycle) {
  Publish();
  const std::string first = nginx_->Url("/" + uid_ + "/first.xml");
  const std::string second = nginx_->Url("/" + uid_ + "/second.xml");
  test::WriteFile(Served() + "/first.xml", "<options><options>" + second + "</options></options>");
  test::WriteFile(Served() + "/second.xml", "<options><options>" + second +
                                                "</options><patchlist>" + ListUrl() +
                                                "</patchlist></options>");
  test::WriteFile(work_ / "options.xml",
                  "<options><uid>" + uid_ + "</uid><options>" + first + "</options></options>");
  std::size_t mark = LogMark();
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Last(), "All files have been checked");
  auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "first.xml"), 1u);
  EXPECT_EQ(CountContaining(log, "second.xml"), 1u);
  ExpectHomeMatchesSource();

  // Two documents naming each other: a bounded number of rounds, then an error.
  test::WriteFile(Served() + "/second.xml", "<options><options>" + first + "</options></options>");
  mark = LogMark();
  const TCliRun cycle = Cli();
  EXPECT_EQ(cycle.Status, 1);
  EXPECT_EQ(cycle.Last(), "Error while loading options");
  EXPECT_EQ(CountContaining(LogSince(mark), ".xml"), 16u);

  // An options document is a few kilobytes: one of more than a mebibyte is no options document.
  test::WriteFile(Served() + "/first.xml", "<options><!--" + std::string(1 << 20, 'x') +
                                               "--><patchlist>" + ListUrl() +
                                               "</patchlist></options>");
  EXPECT_EQ(Cli().Last(), "Error while loading options");

  // "Not modified" to a request that named no copy (none is kept) is no document at all.
  test::TScriptedServer server;
  for (const char* document : {"options", "patchlist"}) {
    test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "-304</uid><" + document +
                                               ">" + server.Url("/always304") + "</" + document +
                                               "></options>");
    const TCliRun notModified = Cli();
    EXPECT_EQ(notModified.Status, 1) << document;
    EXPECT_EQ(notModified.Last(), "Error while loading " + std::string(document));
  }
}

TEST_F(UpdateCli, TheZstdPublicationIsTakenWhereTheOptionsNameOneBesideTheLzmaOne) {
  // The game in LZMA where every launcher looks, and in zstd where only those that read it do.
  Publish();
  test::TChild zstd(KOVA_PUBLISH_EXE, {"--codec", "zstd", source_, Served() + "-zstd"});
  ASSERT_EQ(zstd.WaitExit(120), 0);
  test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" + ListUrl() +
                                             "</patchlist><patchlist_zstd>" +
                                             nginx_->Url("/" + uid_ + "-zstd/patchlist.xml") +
                                             "</patchlist_zstd></options>\n");
  const std::size_t mark = LogMark();
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
  const std::vector<std::string> log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "GET /" + uid_ + "/"), 0u);
  EXPECT_EQ(CountContaining(log, "GET /" + uid_ + "-zstd/data/textures.pak.lzma "), 1u);
}

TEST_F(UpdateCli, AListDatedAheadOfTheClockHoldsBackNoLaterOne) {
  Publish();
  // Dated 2031 by the publisher's upload (or a mirror's clock): no date to keep as the last
  // update, or every list published later would look older.
  const time_t future = 1924992000;
  utimbuf times{future, future};
  ::utime((Served() + "/patchlist.xml").c_str(), &times);
  ASSERT_EQ(Cli().Status, 0);
  test::WriteFile(source_ + "/user.cfg", "volume=7\n");
  Publish();
  const TCliRun later = Cli();
  EXPECT_EQ(later.Status, 0);
  EXPECT_TRUE(later.Has("Downloading user.cfg"));
  ExpectHomeMatchesSource();
}

TEST_F(UpdateCli, TheLinesAreInThePlayersLanguageOrTheOptionsOrAPublishersCatalog) {
  Publish();
  test::TPlayerLocale german("de_DE.UTF-8");
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);  // the translated last line is a success all the same
  ASSERT_FALSE(run.Lines.empty());
  EXPECT_EQ(run.Lines.front(), "Patchliste wird heruntergeladen...");
  EXPECT_TRUE(run.Has("Lade data/maps/level1.map herunter"));
  EXPECT_EQ(run.Last(), "Alle Dateien wurden geprüft");
  ExpectHomeMatchesSource();

  WriteOptions("<language>ru</language>\n");
  EXPECT_EQ(Cli().Last(), "Все файлы проверены");
  // A language the program has no catalog for: its own English texts.
  WriteOptions("<language>fr</language>\n");
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  // Until the publisher puts one in the game folder.
  test::WriteFile(work_ / "fr.po",
                  "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                  "msgid \"All files have been checked\"\n"
                  "msgstr \"Tous les fichiers ont été vérifiés\"\n"
                  // A catalog that says the same of a failure and a success.
                  "msgid \"Error while loading patchlist\"\n"
                  "msgstr \"Tous les fichiers ont été vérifiés\"\n");
  std::filesystem::create_directories(home_ + "/locale/fr/LC_MESSAGES");
  int status = 0;
  test::Shell(
      "msgfmt -o '" + home_ + "/locale/fr/LC_MESSAGES/kovaupdater.mo' '" + (work_ / "fr.po") + "'",
      &status);
  ASSERT_EQ(status, 0);
  const TCliRun french = Cli();
  EXPECT_EQ(french.Status, 0);
  EXPECT_EQ(french.Last(), "Tous les fichiers ont été vérifiés");
  EXPECT_TRUE(french.Has("Checking files..."));  // what the catalog lacks stays English
  // The exit status tells how the run went, whatever its text says: with the server gone, the
  // same last line is a failure.
  UseList("http://127.0.0.1:" + std::to_string(test::FreePort()) + "/patchlist.xml",
          "<language>fr</language>");
  const TCliRun down = Cli();
  EXPECT_EQ(down.Last(), "Tous les fichiers ont été vérifiés");
  EXPECT_EQ(down.Status, 1);
}

TEST_F(UpdateCli, BadCommandLinesAndFoldersGiveClearErrors) {
  test::TChild unknown(KOVA_CLI_EXE, {"--bogus"});
  EXPECT_EQ(unknown.WaitExit(10), 2);
  test::TChild retries(KOVA_CLI_EXE, {"--retries", "many"});
  EXPECT_EQ(retries.WaitExit(10), 2);
  test::TChild home(KOVA_CLI_EXE, {"--home", work_ / "no-such-folder"});
  EXPECT_EQ(home.WaitExit(10), 2);
  test::TChild options(KOVA_CLI_EXE, {"--options", work_ / "missing.xml", "--home", home_});
  EXPECT_EQ(options.WaitExit(10), 1);
  // A folder without the game's document: no run that checks nothing and succeeds.
  test::TChild noGame("/bin/sh", {"-c", "exec \"$0\" --home \"$1\" 2>&1", KOVA_CLI_EXE, home_});
  EXPECT_EQ(noGame.WaitExit(10), 1);
  EXPECT_NE(noGame.Output().find("no game found: there is no kovaupdater.xml in " + home_),
            std::string::npos)
      << noGame.Output();
  EXPECT_EQ(noGame.Output().find("Checking files"), std::string::npos);
  // Asked for help, each program says what every option it takes does, and ends well.
  const std::vector<std::string> cliOptions{
      "--options FILE", "--home DIR",      "--check",      "--bundle FILE", "--retries N",
      "--jobs N",       "--connections N", "--limit-rate", "--version",     "Exit status"};
  const std::vector<std::string> publishOptions{"--codec",           "--level N",
                                                "--jobs N",          "--chunks",
                                                "--sign KEYFILE",    "--uid UID",
                                                "--serial N",        "--expires DAYS",
                                                "--prune",           "keygen KEYFILE",
                                                "sign KEYFILE FILE", "--updater BUILD",
                                                "--updater-serial",  "bundle OUTPUT_DIR FILE",
                                                "Exit status"};
  for (const auto& [program, argument, names] :
       std::vector<std::tuple<std::string, std::string, std::vector<std::string>>>{
           {KOVA_CLI_EXE, "--help", cliOptions},
           {KOVA_CLI_EXE, "-h", cliOptions},
           {KOVA_PUBLISH_EXE, "--help", publishOptions}}) {
    test::TChild help(program, {argument});
    EXPECT_EQ(help.WaitExit(10), 0) << program << " " << argument;
    for (const std::string& name : names)
      EXPECT_NE(help.Output().find(name), std::string::npos) << program << ": " << name;
  }
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

TEST_F(UpdateCli, CtrlCCancelsLikeTheCancelButtonAndKeepsThePartFile) {
  // A large file served slowly, so the interrupt arrives during its download.
  test::WriteFile(source_ + "/data/big.pak", test::Bytes(3 << 20, 7));
  Publish();
  const std::string slow = nginx_->Root() + "/slow/" + uid_;
  std::filesystem::create_directories(nginx_->Root() + "/slow");
  std::filesystem::rename(Served(), slow);
  test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" +
                                             nginx_->Url("/slow/" + uid_ + "/patchlist.xml") +
                                             "</patchlist></options>");
  const std::string errors = work_ / "errors.txt";
  const auto started = std::chrono::steady_clock::now();
  test::TChild cli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", home_}, {}, false,
                   errors);
  ASSERT_TRUE(cli.WaitForOutput("Downloading data/big.pak", 60)) << cli.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ::kill(cli.Pid(), SIGINT);
  EXPECT_EQ(cli.WaitExit(20), 1);
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto lines = test::Lines(cli.Output());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Check cancelled by user");
  EXPECT_TRUE(std::filesystem::exists(home_ + "/data/big.pak.lzma.part"));
  // Piped, the progress says what is done and left, at most once a second.
  const auto progress = test::Lines(test::ReadFile(errors));
  ASSERT_FALSE(progress.empty());
  EXPECT_LE(static_cast<double>(progress.size()), seconds + 1) << test::ReadFile(errors);
  EXPECT_NE(progress.back().find(" MB done, "), std::string::npos) << progress.back();
  EXPECT_NE(progress.back().find(" MB/s, "), std::string::npos) << progress.back();
  EXPECT_NE(progress.back().find(" left"), std::string::npos) << progress.back();
}

TEST_F(UpdateCli, AnInterruptIsHeardWithinASecondAndACancelledRunIsNoSuccess) {
  test::TScriptedServer server;
  // A server that takes the request and says nothing, once for the options and once for the
  // patch list of a first run, which then never gets a list.
  for (const std::string element : {"options", "patchlist"}) {
    SCOPED_TRACE(element);
    test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><" + element + ">" +
                                               server.Url("/silent") + "</" + element +
                                               "></options>");
    test::TChild cli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", home_});
    ASSERT_TRUE(cli.WaitForOutput(
        element == "options" ? "Downloading options..." : "Downloading patchlist...", 20))
        << cli.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(cli.Pid(), element == "options" ? SIGTERM : SIGINT);
    EXPECT_EQ(cli.WaitExit(20), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500));
    if (element == "options") {
      EXPECT_EQ(test::Lines(cli.Output()).back(), "Check cancelled by user");
    }
  }
}

// Whether the console run, interrupted after it has begun `step`, ends within a second.
::testing::AssertionResult InterruptedWithinASecond(test::TChild& cli, const std::string& step) {
  if (!cli.WaitForOutput(step, 20))
    return ::testing::AssertionFailure() << "never reached " << step << ": " << cli.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto sent = std::chrono::steady_clock::now();
  ::kill(cli.Pid(), SIGINT);
  const int status = cli.WaitExit(30);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - sent);
  if (status != 1 || took > std::chrono::milliseconds(1000)) {
    return ::testing::AssertionFailure() << "exit " << status << " after " << took.count() << " ms";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(UpdateCli, AnInterruptIsHeardWhileAServerNeverTakesTheConnection) {
  // A listener whose queue is full: the kernel drops further connection requests unanswered.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(queued.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  test::WriteFile(work_ / "options.xml",
                  "<options><uid>" + uid_ +
                      "</uid><patchlist>http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) +
                      "/patchlist.xml</patchlist></options>");
  test::TChild cli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", home_});
  EXPECT_TRUE(InterruptedWithinASecond(cli, "Downloading patchlist..."));
  for (const int fd : queued) ::close(fd);
  ::close(listener);
}

TEST_F(UpdateCli, AnInterruptIsHeardWhileANameServerNeverAnswers) {
  if (::getuid() != 0) GTEST_SKIP() << "a private name server setting needs root";
  // A name server that takes questions and answers none, given to the run alone through a
  // resolv.conf of its own in a private mount namespace.
  const int blackHole = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(53);
  addr.sin_addr.s_addr = htonl(0x7F000023);  // 127.0.0.35: 127.0.0.53 is often a real resolver's
  if (::bind(blackHole, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    GTEST_SKIP() << "port 53 is taken";
  test::WriteFile(work_ / "resolv.conf", "nameserver 127.0.0.35\noptions timeout:10 attempts:3\n");
  test::WriteFile(
      work_ / "options.xml",
      "<options><uid>" + uid_ +
          "</uid><patchlist>http://updates.game.example/patchlist.xml</patchlist></options>");
  test::TChild cli("/usr/bin/unshare",
                   {"--mount", "/bin/sh", "-c",
                    "mount --bind '" + (work_ / "resolv.conf") +
                        "' /etc/resolv.conf && exec '" KOVA_CLI_EXE "' --options '" +
                        (work_ / "options.xml") + "' --home '" + home_ + "'"});
  EXPECT_TRUE(InterruptedWithinASecond(cli, "Downloading patchlist..."));
  ::close(blackHole);
}

TEST_F(UpdateCli, ALauncherStartedDuringAConsoleRunIsExplainedOnTheConsole) {
  test::WriteFile(source_ + "/data/big.pak", test::Bytes(3 << 20, 7));
  Publish();
  const std::string slow = nginx_->Root() + "/slow/" + uid_;
  std::filesystem::create_directories(nginx_->Root() + "/slow");
  std::filesystem::rename(Served(), slow);
  test::WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" +
                                             nginx_->Url("/slow/" + uid_ + "/patchlist.xml") +
                                             "</patchlist></options>");
  test::TChild cli("/bin/sh",
                   {"-c", "exec '" KOVA_CLI_EXE "' --options '" + (work_ / "options.xml") +
                              "' --home '" + home_ + "' 2>&1"});
  ASSERT_TRUE(cli.WaitForOutput("Downloading data/big.pak", 60)) << cli.Output();
  // The launcher of the same game, started by the player meanwhile.
  const std::string launcherDir = work_ / "launcher";
  std::filesystem::create_directories(launcherDir);
  std::filesystem::copy_file(KOVA_UPDATER_EXE, launcherDir + "/kovaupdater");
  test::WriteFile(launcherDir + "/kovaupdater.xml", "<options><uid>" + uid_ + "</uid></options>");
  test::TChild launcher(launcherDir + "/kovaupdater", {});
  EXPECT_EQ(launcher.WaitExit(10), 0);
  EXPECT_TRUE(cli.WaitForOutput("this console run is updating the game folder", 10))
      << cli.Output();
  ::kill(cli.Pid(), SIGINT);
  EXPECT_EQ(cli.WaitExit(20), 1);
}

}  // namespace
}  // namespace kova
