// Trust in the Windows programs under Wine: TLS through the cross-built secure layer with the
// Windows root store beside SSL_CERT_FILE, and a pinned key refusing what a tampering proxy
// changes on the way, a replayed list (its serial kept in the registry), another key brought by a
// downloaded options document, and a forged launcher build.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <utime.h>

#include <atomic>
#include <filesystem>

#include "tests/common/forgery.h"
#include "tests/common/tampering_proxy.h"
#include "tests/common/tinyproxy.h"
#include "tests/common/tls_servers.h"
#include "tests/wine/wine_fixture.h"

namespace kova::test {
namespace {

class TWineTrust : public TTlsSuite<TWine> {
 protected:
  std::string CaPath(const std::string& path) const override { return Win(path); }
};

TEST_F(TWineTrust, OverHttpsTheRunInstallsBehindARedirectResumesAndRefusesWhatItCannotVerify) {
  Publish();
  // A site-wide move from http to https: the list and the archives follow it.
  UseList(tls_->PlainUrl("/moved" + ServedPath("patchlist.xml")));
  const TCliRun install = WinCli();
  ASSERT_EQ(install.Status, 0) << install.Last();
  EXPECT_EQ(install.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  EXPECT_FALSE(tls_->LogOf(ServedPath("data/textures.pak.lzma")).empty());

  // Half of an archive is there from an interrupted run: only the rest comes, over TLS.
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
  const std::string archive = ReadFile(Served() + "/data/textures.pak.lzma");
  std::filesystem::remove(home_ + "/data/textures.pak");
  WriteFile(home_ + "/data/textures.pak.lzma.part", archive.substr(0, archive.size() / 2));
  EXPECT_EQ(WinCli({"--check"}).Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  ExpectLastRequestResumedAt("data/textures.pak.lzma", archive.size() / 2 - 8192);

  // A server that offers HTTP/2 serves the whole install over it.
  EmptyHome();
  const std::size_t mark = tls_->AccessLog().size();
  UseList(tls_->Url(TTlsNginx::Http2, ServedPath("patchlist.xml")));
  EXPECT_EQ(WinCli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  const auto log = tls_->AccessLog();
  ASSERT_GT(log.size(), mark + 1);
  for (std::size_t i = mark; i < log.size(); ++i)
    EXPECT_NE(log[i].find(" HTTP/2.0|"), std::string::npos) << log[i];

  // A server the run cannot verify is a refused connection, and the installed game is untouched.
  std::filesystem::remove(home_ + "/user.cfg");
  const auto before = Snapshot(home_);
  UseList("https://127.0.0.1:" + std::to_string(FreePort()) + ServedPath("patchlist.xml"));
  const TCliRun refused = WinCli({"--retries", "0", "--check"});
  ASSERT_NE(refused.Status, 0);
  for (const auto site : {TTlsNginx::WrongName, TTlsNginx::Expired, TTlsNginx::Untrusted}) {
    UseList(tls_->Url(site, ServedPath("patchlist.xml")));
    const TCliRun run = WinCli({"--retries", "0", "--check"});
    EXPECT_EQ(run.Status, refused.Status) << site;
    EXPECT_EQ(run.Lines, refused.Lines) << site;
  }
  // Without SSL_CERT_FILE the test's CA is trusted once the Windows store trusts it.
  ::unsetenv("SSL_CERT_FILE");
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
  EXPECT_EQ(WinCli({"--retries", "0", "--check"}).Lines, refused.Lines);
  EXPECT_TRUE(Snapshot(home_) == before);
  const std::string trustRoot = kWin32 + "/kova_trust_root.exe";
  ASSERT_EQ(Wine(trustRoot, {"add", Win(tls_->CaFile())})->WaitExit(60), 0);
  const TCliRun trusted = WinCli({"--retries", "0", "--check"});
  EXPECT_EQ(Wine(trustRoot, {"remove", Win(tls_->CaFile())})->WaitExit(60), 0);
  EXPECT_EQ(trusted.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  // Trusted again: only what a proxy slips in before the tunnel can fail the next run.
  ::setenv("SSL_CERT_FILE", CaPath(tls_->CaFile()).c_str(), 1);
  ExpectAnAnswerBeforeTheTunnelRefused(home_, [&] {
    return WinCli({"--retries", "0", "--check"});
  });
}

TEST_F(TWineTrust, WithAKeyPinnedWhatAProxyChangesAReplayedListAndAnotherKeyAreRefused) {
  const std::string key = work_ / "publisher.key";
  const std::string publicKey = MakeKey(key);
  const std::string pin = "<public_key>" + publicKey + "</public_key>";
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key, {"--serial", "5"}));
  const std::string oldList = ReadFile(Served() + "/patchlist.xml");
  const std::string oldSignature = ReadFile(Served() + "/patchlist.xml.sig");

  // Someone on the way (a proxy between the launcher and nginx) withholds the list's signature,
  // then swaps an archive for one that unpacks to other bytes with the file's CRC-32 and size and
  // keeps its own CRC-32.
  const std::string name = "data/textures.pak";
  const std::string forgedArchive = ForgeArchive(
      ReadFile(source_ + "/" + name), ReadFile(Served() + "/" + name + ".lzma"), work_.Path());
  std::atomic<int> attack{0};
  TTamperingProxy proxy(
      nginx_->Port(), [&](const std::string& path, std::string& head, std::string& body) {
        if (attack == 1 && path.size() > 4 && path.compare(path.size() - 4, 4, ".sig") == 0) {
          head = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html";
          body.clear();
        } else if (attack == 2 && path.find("textures.pak.lzma") != std::string::npos) {
          body = forgedArchive;
        }
      });
  UseList(proxy.Url(ServedPath("patchlist.xml")), pin);
  attack = 1;
  EXPECT_EQ(WinCli().Last(), "Error while loading patchlist");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
  attack = 2;
  EXPECT_EQ(WinCli().Last(), "Error while checking patch for data\\textures.pak");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name + ".lzma"));
  // Left alone, the proxy passes the publication, which installs.
  attack = 0;
  ASSERT_EQ(WinCli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")), pin);

  // The next publication (serial 6) is accepted, and its serial lands in the registry; the old
  // list with its genuine signature is then refused and changes nothing.
  WriteFile(source_ + "/user.cfg", "volume=7\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key, {"--serial", "6"}));
  ASSERT_EQ(WinCli().Last(), "All files have been checked");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), "volume=7\n");
  // The serial is kept with the digest of the list accepted with it.
  const std::string values = RegQuery("HKCU\\Software\\Tessary\\KovaUpdater\\" + uid_);
  const std::string digest =
      Shell("sha256sum '" + Served() + "/patchlist.xml' | cut -c1-64").substr(0, 64);
  EXPECT_NE(values.find("PatchListSerial    REG_SZ    6 " + digest), std::string::npos) << values;
  WriteFile(Served() + "/patchlist.xml", oldList);
  WriteFile(Served() + "/patchlist.xml.sig", oldSignature);
  Touch(Served() + "/patchlist.xml");  // served again later, so no kept copy answers for it
  WriteFile(home_ + "/user.cfg", "volume=1\n");
  EXPECT_EQ(WinCli({"--check"}).Last(), "Error while loading patchlist");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), "volume=1\n");

  // A downloaded options document signed by the publisher cannot bring in another key, so the
  // attacker's signed list it points at is refused.
  const std::string attackerKey = work_ / "attacker.key";
  const std::string attackerPublic = MakeKey(attackerKey);
  TChild attackerPublish(KOVA_PUBLISH_EXE, {"--level", "1", "--sign", attackerKey, "--uid", uid_,
                                            source_, nginx_->Root() + "/" + uid_ + "-attacker"});
  ASSERT_EQ(attackerPublish.WaitExit(120), 0);
  WriteFile(Served() + "/options.xml",
            "<options serial=\"1\" uid=\"" + uid_ + "\"><public_key>" + attackerPublic +
                "</public_key><patchlist>" +
                tls_->Url(TTlsNginx::Good, "/" + uid_ + "-attacker/patchlist.xml") +
                "</patchlist></options>");
  ASSERT_NO_FATAL_FAILURE(Sign(key, Served() + "/options.xml"));
  WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid>" + pin + "<options>" +
                                       tls_->Url(TTlsNginx::Good, ServedPath("options.xml")) +
                                       "</options></options>\n");
  EXPECT_EQ(WinCli().Last(), "Error while loading patchlist");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), "volume=1\n");
}

TEST_F(TWineTrust, ABundleInstallsWithoutTheServerAndACutOneChangesNothing) {
  const std::string key = work_ / "publisher.key";
  const std::string pin = "<public_key>" + MakeKey(key) + "</public_key>";
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key));
  TChild make(KOVA_PUBLISH_EXE, {"bundle", Served(), work_ / "game.tar"});
  ASSERT_EQ(make.WaitExit(60), 0);
  const std::string bundle = ReadFile(work_ / "game.tar");
  WriteFile(work_ / "cut.tar", bundle.substr(0, bundle.size() / 2));
  // No server answers: the bundle alone brings the game.
  UseList("http://127.0.0.1:" + std::to_string(FreePort()) + "/patchlist.xml", pin);
  const TCliRun cut = WinCli({"--bundle", Win(work_ / "cut.tar")});
  EXPECT_EQ(cut.Status, 1);
  EXPECT_EQ(cut.Last(), "Error while loading patchlist");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
  const TCliRun applied = WinCli({"--bundle", Win(work_ / "game.tar")});
  EXPECT_EQ(applied.Status, 0) << applied.Last();
  ExpectHomeMatchesSource();
}

TEST_F(TWineTrust, WithAKeyPinnedAForgedLauncherBuildIsNeverWrittenAndTheNamedOneReplacesIt) {
  const std::string key = work_ / "publisher.key";
  const std::string publicKey = MakeKey(key);
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key));
  const std::string exe = home_ + "/kovaupdater.exe";
  std::filesystem::copy_file(kWin32 + "/kovaupdater.exe", exe);
  const std::string newBuild = ReadFile(exe) + "newer build";
  const std::string served = Served() + "/kovaupdater.exe";
  WriteFile(served, newBuild);
  // The options pinning the key name the build by its SHA-256 and serial; nothing else is run.
  const std::string digest = Shell("sha256sum '" + served + "' | cut -c1-64").substr(0, 64);
  const time_t serverTime = ::time(nullptr) - 3600;
  const time_t oldTime = serverTime - 86400;
  utimbuf serverTimes{serverTime, serverTime}, oldTimes{oldTime, oldTime};
  WriteFile(home_ + "/kovaupdater.xml",
            "<options><uid>" + uid_ + "</uid><public_key>" + publicKey +
                "</public_key><updater sha256=\"" + digest + "\" serial=\"2\">" +
                tls_->Url(TTlsNginx::Good, ServedPath("kovaupdater.exe")) +
                "</updater><patchlist>" + tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")) +
                "</patchlist></options>");

  // The build changed on the server after it was named: the run goes on without it.
  WriteFile(served, newBuild + "!");
  ::utime(served.c_str(), &serverTimes);
  ::utime(exe.c_str(), &oldTimes);
  auto old = Wine(exe, {}, home_);
  EXPECT_TRUE(old->WaitForOutput("kova: info: All files have been checked", 120)) << old->Output();
  EXPECT_TRUE(old->Running()) << "the launcher closed for a build it refused";
  EXPECT_FALSE(std::filesystem::exists(home_ + "/kovaupdater.new.exe"));
  EXPECT_NE(ReadFile(exe), newBuild + "!");
  EXPECT_EQ(ReadFile(home_ + "/data/textures.pak"), ReadFile(source_ + "/data/textures.pak"));
  Shell("wineserver -k 2>/dev/null");
  old->WaitExit(30);

  // The named build is written, started, and replaces the old one.
  WriteFile(served, newBuild);
  ::utime(served.c_str(), &serverTimes);
  auto again = Wine(exe, {}, home_);
  EXPECT_EQ(again->WaitExit(120), 0) << again->Output();
  EXPECT_TRUE(Eventually([&] { return ReadFile(exe) == newBuild; }, 60));
  EXPECT_TRUE(
      Eventually([&] { return !std::filesystem::exists(home_ + "/kovaupdater.new.exe"); }, 60));
  Shell("wineserver -k 2>/dev/null");
}

}  // namespace
}  // namespace kova::test
