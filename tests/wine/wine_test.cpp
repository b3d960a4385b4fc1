// The Windows programs under Wine, driven from Linux: the console run against nginx, the
// registry, the named mutex and its broadcast message, the Toolhelp process lookup, the
// self-update handshake with Windows file locking, and kova-publish.exe against its Linux twin.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "tests/common/display.h"
#include "tests/common/game_fixture.h"
#include "tests/common/small_disk.h"
#include "tests/common/tinyproxy.h"
#include "tests/wine/wine_fixture.h"

namespace kova::test {
namespace {

TEST_F(TWine, TheConsoleRunInstallsReadsNothingWhenUpToDateRepairsAndResumes) {
  test::WriteFile(source_ + "/data/big.pak", test::Bytes(300000, 8));
  // Names beyond ASCII, folders included, keep their characters on Windows.
  std::filesystem::create_directories(source_ + "/данные");
  std::filesystem::create_directories(source_ + "/データ");
  test::WriteFile(source_ + "/café menu.cfg", "menu=1\n");
  test::WriteFile(source_ + "/данные/уровень 1.pak", test::Bytes(40000, 3));
  test::WriteFile(source_ + "/データ/ファイル.dat", test::Bytes(30000, 4));
  Publish();
  // The Linux build on a folder of its own gives the order the Windows build must follow.
  const std::string linuxHome = work_ / "linux-home";
  std::filesystem::create_directories(linuxHome);
  TChild linuxCli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", linuxHome});
  ASSERT_EQ(linuxCli.WaitExit(120), 0);
  const TCliRun install = WinCli();
  ASSERT_EQ(install.Status, 0) << install.Last();
  EXPECT_EQ(install.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  TCliRun linuxRun;
  linuxRun.Lines = Lines(linuxCli.Output());
  EXPECT_EQ(Downloads(install), Downloads(linuxRun));
  EXPECT_EQ(Downloads(install).size(), Snapshot(source_).size());

  // Up to date: the list is asked for, no archive, no file read.
  std::size_t mark = LogMark();
  const TCliRun again = WinCli();
  EXPECT_EQ(again.Status, 0);
  EXPECT_EQ(CountContaining(LogSince(mark), ".lzma"), 0u);
  EXPECT_FALSE(again.HasPrefix("Checking data"));

  // A file damaged in place, its size and date kept, is found by --check and repaired.
  const std::string path = home_ + "/data/textures.pak";
  struct stat before {};
  ::stat(path.c_str(), &before);
  std::string content = ReadFile(path);
  content[5000] = static_cast<char>(content[5000] ^ 1);
  WriteFile(path, content);
  utimbuf keep{before.st_atime, before.st_mtime};
  ::utime(path.c_str(), &keep);
  const TCliRun check = WinCli({"--check"});
  EXPECT_EQ(check.Status, 0);
  EXPECT_TRUE(check.Has("Downloading data\\textures.pak"));
  ExpectHomeMatchesSource();
  // An update of the names beyond ASCII replaces them in place.
  test::WriteFile(source_ + "/данные/уровень 1.pak", test::Bytes(41000, 5));
  test::WriteFile(source_ + "/café menu.cfg", "menu=2\n");
  Publish();
  Touch(Served() + "/patchlist.xml");
  const TCliRun update = WinCli();
  EXPECT_EQ(update.Status, 0) << update.Last();
  EXPECT_TRUE(update.Has("Downloading данные\\уровень 1.pak"));
  ExpectHomeMatchesSource();

  // An interrupted download resumes with a Range from eight kilobytes before its end.
  std::filesystem::remove(home_ + "/data/big.pak");
  const std::string archive = ReadFile(Served() + "/data/big.pak.lzma");
  WriteFile(home_ + "/data/big.pak.lzma.part", archive.substr(0, archive.size() / 2));
  mark = LogMark();
  EXPECT_EQ(WinCli().Status, 0);
  ExpectHomeMatchesSource();
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(
                log, "big.pak.lzma HTTP/1.1|bytes=" + std::to_string(archive.size() / 2 - 8192) +
                         "-|KovaUpdater/1.0|206"),
            1u)
      << Lines(nginx_->AccessLog()).back();
}

TEST_F(TWine, AnUpdateByChunksFetchesOnlyTheChunksTheOldFileLacks) {
  std::string pack = test::Bytes(3 << 20, 9);
  test::WriteFile(source_ + "/data/pack.dat", pack);
  PublishChunks();
  ASSERT_EQ(WinCli().Status, 0);
  pack.insert(2000, "a few bytes more");
  pack.replace(2 << 20, 4096, test::Bytes(4096, 10));
  test::WriteFile(source_ + "/data/pack.dat", pack);
  PublishChunks();
  const std::size_t mark = LogMark();
  const TCliRun update = WinCli();
  ASSERT_EQ(update.Status, 0) << update.Last();
  ExpectHomeMatchesSource();
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "pack.dat.lzma"), 0u);
  const std::size_t chunks = CountContaining(log, "/chunks/") - 1;  // besides the index
  EXPECT_GE(chunks, 2u);
  EXPECT_LE(chunks, 8u);
}

// The user's proxy `server` ("host:port") in the real registry as Internet Options keep it, for
// as long as it lives: a header (version 0x46, a counter, the flags "direct" and "proxy"), then
// the proxy, the bypass list and the script address, each after its length.
class TUsersProxy {
 public:
  explicit TUsersProxy(const std::string& server) {
    const auto le32 = [](std::size_t v) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", static_cast<unsigned>(v & 0xff),
                    static_cast<unsigned>((v >> 8) & 0xff), static_cast<unsigned>((v >> 16) & 0xff),
                    static_cast<unsigned>((v >> 24) & 0xff));
      return std::string(hex);
    };
    std::string blob = "46000000" + le32(1) + le32(3) + le32(server.size());
    for (unsigned char c : server) blob += le32(c).substr(0, 2);
    blob += le32(0) + le32(0);
    int status = -1;
    Shell("wine reg add '" + kKey + "' /v DefaultConnectionSettings /t REG_BINARY /d " + blob +
              " /f >/dev/null 2>&1",
          &status);
    EXPECT_EQ(status, 0);
  }
  ~TUsersProxy() {
    Shell("wine reg delete '" + kKey + "' /v DefaultConnectionSettings /f 2>/dev/null");
  }

 private:
  const std::string kKey =
      "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
};

TEST_F(TWine, AFreshInstallGoesThroughTheProxyTheVariableOrElseTheUsersSettingsName) {
  Publish();
  for (const bool system : {false, true}) {
    SCOPED_TRACE(system ? "the user's settings" : "the variable");
    EmptyHome();
    TTinyproxy proxy;
    std::optional<TProxyVariables> variables;
    std::optional<TUsersProxy> settings;
    if (system)
      settings.emplace(proxy.Url().substr(7));
    else
      variables.emplace(proxy.Url());
    EXPECT_EQ(WinCli().Status, 0);
    ExpectHomeMatchesSource();
    ExpectRelayed(proxy, uid_, false);
  }
}

TEST_F(TWine, AnUpdateTheDiskCannotHoldEndsBeforeAnyFileIsTouched) {
  Publish();
  // Wine's server opens the files for its programs: one of its own sees the small disk, and
  // it ends with the run so that the next run's server sees that run's disk.
  const std::string wine =
      "wineserver -k 2>/dev/null; wineserver -w; /usr/bin/wine \"$@\"; status=$?; "
      "wineserver -k 2>/dev/null; wineserver -w; exit $status";
  ExpectTheUpdateOnlyWhereTheDiskHoldsIt(
      source_, work_.Path(), home_,
      {"/bin/sh", "-c", wine, "sh", kWin32 + "/kovaupdater-cli.exe", "--options",
       Win(work_ / "options.xml"), "--home", Win(home_), "--retries", "1"});
}

TEST_F(TWine, AFileWhosePathPassesTheSystemsLimitIsReportedWhileTheOthersInstall) {
  // 259 characters is what the system's ANSI file functions take: such a record is refused on
  // its own, and every record after it is still updated.
  const std::string deep = "data/" + std::string(120, 'd') + "/" + std::string(120, 'f') + ".pak";
  std::filesystem::create_directories(source_ + "/data/" + std::string(120, 'd'));
  WriteFile(source_ + "/" + deep, "deep");
  Publish();
  const TCliRun run = WinCli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "One or more files could not be updated. Please Check files again");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/" + deep));
  std::filesystem::remove_all(source_ + "/data/" + std::string(120, 'd'));
  ExpectHomeMatchesSource();
}

TEST_F(TWine, TwoLaunchersNeverWorkOnOneGameFolderAtOnce) {
  Publish();
  // The game folder on drive C:, which the second launcher names by its Z: spelling.
  const std::string folder = "kova-" + uid_;
  home_ = kWin32 + "/wineprefix/drive_c/" + folder;
  std::filesystem::create_directories(home_);
  struct TRemove {
    std::string Path;
    ~TRemove() { std::filesystem::remove_all(Path); }
  } remove{home_};
  // The first waits in the middle of a download, holding the folder.
  ::setenv("KOVA_FAULT_STOP", "download", 1);
  auto first =
      Wine(kWin32 + "/kovaupdater-cli.exe",
           {"--options", Win(work_ / "options.xml"), "--home", "C:\\" + folder}, {}, false);
  ::unsetenv("KOVA_FAULT_STOP");
  ASSERT_TRUE(Eventually(
      [&] {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_))
          if (entry.path().extension() == ".part") return true;
        return false;
      },
      60));
  // Another game's launcher (another uid) on the same folder.
  const std::string options = ReadFile(work_ / "options.xml");
  std::string other = options;
  other.replace(other.find("<uid>"), 5, "<uid>other-");
  WriteFile(work_ / "options.xml", other);
  const TCliRun second = WinCli();
  EXPECT_EQ(second.Status, 1);
  EXPECT_EQ(second.Last(),
            "Another launcher is updating the game folder. Please Check files again");
  WriteFile(work_ / "options.xml", options);
  ::kill(first->Pid(), SIGKILL);
  first->WaitExit(30);
  // The folder is free once the launcher that held it has gone.
  EXPECT_EQ(WinCli({"--check"}).Status, 0);
  ExpectHomeMatchesSource();
}

TEST_F(TWine, SettingsLiveInTheRegistryAndCleanRemovesThem) {
  Publish();
  ASSERT_EQ(WinCli().Status, 0);
  const std::string key = "HKCU\\Software\\Tessary\\KovaUpdater\\" + uid_;
  const std::string values = RegQuery(key);
  EXPECT_NE(values.find("HomeDir    REG_SZ    " + Win(home_) + "/"), std::string::npos) << values;
  EXPECT_NE(values.find("LastUpdate    REG_SZ    "), std::string::npos) << values;
  const std::string cache = RegQuery(key + "\\PatchList");
  EXPECT_NE(cache.find("1    REG_SZ    archive|"), std::string::npos) << cache;
  // The launcher's "/clean", with the same identifier in its sidecar.
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", home_ + "/kovaupdater.exe");
  WriteFile(home_ + "/kovaupdater.xml", "<options><uid>" + uid_ + "</uid></options>");
  auto clean = Wine(home_ + "/kovaupdater.exe", {"/CLEAN"}, home_);
  EXPECT_EQ(clean->WaitExit(60), 0);
  int status = 0;
  RegQuery(key, &status);
  EXPECT_NE(status, 0) << "the settings key is still there";
}

TEST_F(TWine, ASecondInstanceFocusesTheFirstAndTheRunWaitsForAGameFoundByToolhelp) {
  Publish();
  // A launcher that waits for its messages, and a "game": another copy, waiting under its own
  // identifier.
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", home_ + "/kovaupdater.exe");
  WriteFile(home_ + "/kovaupdater.xml", "<options><uid>" + uid_ + "-launcher</uid></options>");
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", home_ + "/game.exe");
  WriteFile(home_ + "/game.xml", "<options><uid>" + uid_ + "-game</uid></options>");
  auto first = Wine(home_ + "/kovaupdater.exe", {}, home_);
  ASSERT_TRUE(first->WaitForOutput("kova: window: shown", 60)) << first->Output();
  auto second = Wine(home_ + "/kovaupdater.exe", {}, home_);
  EXPECT_EQ(second->WaitExit(60), 0);
  EXPECT_EQ(second->Output(), "");  // it ended at the mutex
  EXPECT_TRUE(first->WaitForOutput("kova: message: focus", 20)) << first->Output();

  auto game = Wine(home_ + "/game.exe", {}, home_);
  ASSERT_TRUE(game->WaitForOutput("kova: window: shown", 60)) << game->Output();
  WriteOptions("");
  WriteFile(work_ / "options.xml",
            "<options><uid>" + uid_ + "</uid><patchlist>" + ListUrl() +
                "</patchlist><run><program>game.exe</program></run></options>");
  const TCliRun run = WinCli({"--retries", "0"});
  // Nothing could be replaced while the game ran: the run asked, and the answer was Cancel.
  EXPECT_EQ(run.Last(), "Check cancelled by user");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
}

TEST_F(TWine, TheSelfUpdateHandshakeReplacesTheRunningLauncherAndCleansUp) {
  const std::string exe = home_ + "/kovaupdater.exe";
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", exe);
  // The newer build: the same program with bytes after its end, dated later than the old one.
  const std::string newBuild = ReadFile(kWin32 + "/kovaupdater.exe") + "newer build";
  std::filesystem::create_directories(Served());
  WriteFile(Served() + "/kovaupdater.exe", newBuild);
  const time_t serverTime = ::time(nullptr) - 3600;
  const time_t oldTime = serverTime - 86400;
  utimbuf serverTimes{serverTime, serverTime}, oldTimes{oldTime, oldTime};
  ::utime((Served() + "/kovaupdater.exe").c_str(), &serverTimes);
  ::utime(exe.c_str(), &oldTimes);
  WriteFile(home_ + "/kovaupdater.xml", "<options><uid>" + uid_ + "</uid><updater>" +
                                            nginx_->Url("/" + uid_ + "/kovaupdater.exe") +
                                            "</updater></options>");
  auto old = Wine(exe, {}, home_);
  EXPECT_EQ(old->WaitExit(120), 0);
  EXPECT_NE(old->Output().find("Checking for self-update..."), std::string::npos) << old->Output();
  // The new build copies itself over the old one once the old one has ended, and starts it with
  // "/delete"; the replaced launcher removes the ".new.exe" and goes on to wait for messages.
  EXPECT_TRUE(Eventually([&] { return ReadFile(exe) == newBuild; }, 60));
  EXPECT_TRUE(
      Eventually([&] { return !std::filesystem::exists(home_ + "/kovaupdater.new.exe"); }, 60));
  struct stat st {};
  ::stat(exe.c_str(), &st);
  EXPECT_EQ(st.st_mtime, serverTime);
  Shell("wineserver -k 2>/dev/null");
}

TEST_F(TWine, TheNewBuildCannotReplaceTheOldOneWhileItRunsAndDoesOnceItEnds) {
  const std::string old = home_ + "/kovaupdater.exe", fresh = home_ + "/kovaupdater.new.exe";
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", old);
  const std::string newBuild = ReadFile(old) + "newer build";
  WriteFile(fresh, newBuild);
  // The old launcher keeps running while its help box waits for the player.
  auto running = Wine(old, {"/?"}, home_);
  const std::string box = HelpBox();
  ASSERT_FALSE(box.empty());
  auto update = Wine(fresh, {"/update", Win(old)}, home_);
  ::sleep(2);
  EXPECT_TRUE(running->Running());
  EXPECT_NE(ReadFile(old), newBuild) << "the running program's file was overwritten";
  EXPECT_TRUE(std::filesystem::exists(fresh));
  // Once it has ended, the retry that is still going copies, and the replaced launcher started
  // with "/delete" removes the new build's file.
  Shell("xdotool windowfocus --sync " + box + " key Return");
  EXPECT_EQ(running->WaitExit(30), 0);
  EXPECT_TRUE(Eventually([&] { return ReadFile(old) == newBuild; }, 30));
  EXPECT_TRUE(Eventually([&] { return !std::filesystem::exists(fresh); }, 30));
  EXPECT_FALSE(std::filesystem::exists(old + ".kovacopy"));
  update->WaitExit(30);
  Shell("wineserver -k 2>/dev/null");
}

TEST_F(TWine, HelpIsAMessageBoxThatWaitsForThePlayer) {
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", home_ + "/kovaupdater.exe");
  auto help = Wine(home_ + "/kovaupdater.exe", {"/?"}, home_);
  const std::string box = HelpBox();
  ASSERT_FALSE(box.empty());
  ::usleep(500000);
  EXPECT_TRUE(help->Running()) << "the help did not wait to be dismissed";
  Shell("xdotool windowfocus --sync " + box + " key Return");
  EXPECT_EQ(help->WaitExit(30), 0);
}

TEST_F(TWine, EveryProgramCarriesItsManifestAndTheSkinsIconAsTheLoaderFindsThem) {
  for (const std::string program : {"kovaupdater.exe", "kovaupdater-cli.exe", "kova-publish.exe"}) {
    SCOPED_TRACE(program);
    auto read = [&](const char* type) {
      auto tool = Wine(kWin32 + "/kova_read_resource.exe", {Win(kWin32 + "/" + program), type, "1"},
                       {}, false);
      EXPECT_EQ(tool->WaitExit(60), 0);
      return tool->Output();
    };
    // RT_MANIFEST 1: the player's own rights (no installer detection, no virtualisation), the
    // systems it knows, DPI awareness and Common Controls 6.
    const std::string manifest = read("24");
    for (const char* part : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "<dpiAware",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""})
      EXPECT_NE(manifest.find(part), std::string::npos) << part;
    // RT_GROUP_ICON 1: an icon directory (reserved 0, type 1) of the 48, 32 and 16 pixel images.
    const std::string group = read("14");
    ASSERT_GE(group.size(), 6u + 3 * 14);
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\3\0", 6));
    std::vector<int> sizes;
    for (std::size_t i = 0; i < 3; ++i)
      sizes.push_back(static_cast<unsigned char>(group[6 + 14 * i]));
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));
  }
}

TEST_F(TWine, EveryProgramNamesTheProductItsPurposeAndTheVersionTheLinuxProgramsPrint) {
  // The version the Linux build prints is the one every Windows executable carries.
  TChild linux(KOVA_CLI_EXE, {"--version"});
  ASSERT_EQ(linux.WaitExit(10), 0);
  const std::string version = linux.Output().substr(std::string("kovaupdater-cli ").size());
  ASSERT_FALSE(version.empty());
  const std::string number = version.substr(0, version.find('\n'));
  for (const auto& [program, description] :
       {std::pair<std::string, std::string>{"kovaupdater.exe", "KovaUpdater game launcher"},
        {"kovaupdater-cli.exe", "KovaUpdater console update run"},
        {"kova-publish.exe", "KovaUpdater publisher"}}) {
    SCOPED_TRACE(program);
    auto tool = Wine(kWin32 + "/kova_read_resource.exe", {Win(kWin32 + "/" + program), "version"},
                     {}, false);
    EXPECT_EQ(tool->WaitExit(60), 0);
    std::vector<std::string> fields = Lines(tool->Output());
    for (std::string& line : fields) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    EXPECT_EQ(fields,
              (std::vector<std::string>{
                  "Fixed=" + number + ".0", "ProductName=KovaUpdater", "ProductVersion=" + number,
                  "FileDescription=" + description, "FileVersion=" + number}));
  }
}

TEST_F(TWine, TheReleaseProgramsShipWithoutDebugInformationWhichIsKeptBesideThem) {
  const std::string release = kWin32 + "/release";
  if (!std::filesystem::exists(release + "/kovaupdater.exe")) {
    if (std::getenv("KOVA_REQUIRE_WIN32"))
      FAIL() << "no release build (scripts/build-win32 --release)";
    GTEST_SKIP() << "no release build (scripts/build-win32 --release)";
  }
  for (const std::string program : {"kovaupdater.exe", "kovaupdater-cli.exe", "kova-publish.exe"}) {
    SCOPED_TRACE(program);
    const std::string shipped =
        Shell("i686-w64-mingw32-objdump -h '" + release + "/" + program + "'");
    EXPECT_EQ(shipped.find(".debug_"), std::string::npos);
    EXPECT_NE(shipped.find(".gnu_debuglink"), std::string::npos);
    const std::string kept =
        Shell("i686-w64-mingw32-objdump -h '" + release + "/" + program + ".debug'");
    EXPECT_NE(kept.find(".debug_info"), std::string::npos);
  }
  auto cli = Wine(release + "/kovaupdater-cli.exe", {"--version"}, {}, false);
  EXPECT_EQ(cli->WaitExit(60), 0);
  EXPECT_EQ(cli->Output().rfind("kovaupdater-cli ", 0), 0u) << cli->Output();
}

TEST_F(TWine, KovaPublishWritesWhatItsLinuxTwinWrites) {
  std::filesystem::create_directories(source_ + "/my maps");
  WriteFile(source_ + "/my maps/level #1.map", Bytes(70000, 3));
  const std::string linuxOut = work_ / "linux-out";
  const std::string windowsOut = work_ / "windows-out";
  TChild linuxPublish(KOVA_PUBLISH_EXE, {"--level", "1", source_, linuxOut});
  ASSERT_EQ(linuxPublish.WaitExit(120), 0);
  auto windowsPublish =
      Wine(kWin32 + "/kova-publish.exe", {"--level", "1", Win(source_), Win(windowsOut)});
  ASSERT_EQ(windowsPublish->WaitExit(180), 0) << windowsPublish->Output();
  const auto linuxFiles = Snapshot(linuxOut);
  const auto windowsFiles = Snapshot(windowsOut);
  EXPECT_EQ(linuxFiles.size(), windowsFiles.size());
  for (const auto& [name, content] : linuxFiles) {
    ASSERT_TRUE(windowsFiles.count(name)) << name;
    EXPECT_TRUE(windowsFiles.at(name) == content) << name << " differs";
  }
}

TEST_F(TWine, SignedPublicationsFromEitherToolInstallAndATamperedListIsRefused) {
  // A key made by the Windows tool signs in both: Ed25519 signatures are deterministic, so the
  // two publications are the same bytes.
  auto keygen =
      Wine(kWin32 + "/kova-publish.exe", {"keygen", Win(work_ / "publisher.key")}, {}, false);
  ASSERT_EQ(keygen->WaitExit(120), 0);
  std::string publicKey = keygen->Output();
  publicKey.erase(publicKey.find_last_not_of("\r\n") + 1);
  const std::string linuxOut = work_ / "linux-out";
  TChild linuxPublish(KOVA_PUBLISH_EXE, {"--level", "1", "--sign", work_ / "publisher.key", "--uid",
                                         uid_, "--serial", "7", source_, linuxOut});
  ASSERT_EQ(linuxPublish.WaitExit(120), 0);
  auto windowsPublish = Wine(kWin32 + "/kova-publish.exe",
                             {"--level", "1", "--sign", Win(work_ / "publisher.key"), "--uid", uid_,
                              "--serial", "7", Win(source_), Win(Served())});
  ASSERT_EQ(windowsPublish->WaitExit(180), 0) << windowsPublish->Output();
  EXPECT_TRUE(Snapshot(linuxOut) == Snapshot(Served()));

  WriteOptions("<public_key>" + publicKey + "</public_key>\n");
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  std::string changed = list;
  changed.replace(changed.find("size=\"9\""), 8, "size=\"8\"");
  WriteFile(Served() + "/patchlist.xml", changed);
  EXPECT_EQ(WinCli().Last(), "Error while loading patchlist");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
  WriteFile(Served() + "/patchlist.xml", list);
  const TCliRun install = WinCli();
  EXPECT_EQ(install.Last(), "All files have been checked");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), ReadFile(source_ + "/user.cfg"));
}

}  // namespace
}  // namespace kova::test
