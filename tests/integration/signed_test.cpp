// Signed publications through the console run: a game published with kova-publish --sign and a
// launcher whose own options document pins the publisher's key. Each attack changes what nginx
// serves; nothing forged may be installed, and the run says what it says today for that step.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/text.h"
#include "tests/common/display.h"
#include "tests/common/forgery.h"
#include "tests/common/game_fixture.h"
#include "tests/common/tampering_proxy.h"

namespace kova::test {
namespace {

class Signed : public TGameFixture {
 protected:
  void SetUp() override {
    TGameFixture::SetUp();
    key_ = work_ / "publisher.key";
    publicKey_ = MakeKey(key_);
    WriteOptions("<public_key>" + publicKey_ + "</public_key>\n");
  }
  // A forged archive for `name` in place of the served one (see ForgeArchive).
  std::string ForgeArchive(const std::string& name, std::string* forgedFile = nullptr) {
    return test::ForgeArchive(ReadFile(source_ + "/" + name),
                              ReadFile(Served() + "/" + name + ".lzma"), work_.Path(), forgedFile);
  }
  // The home folder holds none of the game's files.
  void ExpectNothingInstalled() {
    EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak"));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/user.cfg"));
  }

  std::string key_, publicKey_;
};

TEST_F(Signed, AListAMirrorServesThatDoesNotHoldIsAskedOfTheNextMirror) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "1"}));
  std::filesystem::copy(Served(), Served() + "-stale", std::filesystem::copy_options::recursive);
  WriteFile(source_ + "/user.cfg", "volume=7\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "2"}));
  std::filesystem::copy(Served(), Served() + "-tampered", std::filesystem::copy_options::recursive);
  WriteFile(Served() + "-tampered/patchlist.xml",
            ReadFile(Served() + "/patchlist.xml") + "<!-- changed -->\n");
  const std::string key = "<public_key>" + publicKey_ + "</public_key>";
  // A tampered list on the first address, then one older than the list already accepted.
  for (const std::string copy : {"-tampered", "-stale"}) {
    SCOPED_TRACE(copy);
    UseList(ListUrl(), key + "<patchlist>" + nginx_->Url("/" + uid_ + copy + "/patchlist.xml") +
                           "</patchlist>");
    const std::size_t mark = LogMark();
    const TCliRun run = Cli();
    EXPECT_EQ(run.Status, 0) << run.Last();
    ExpectHomeMatchesSource();
    EXPECT_EQ(CountContaining(LogSince(mark), "GET /" + uid_ + copy + "/patchlist.xml "), 1u);
    EXPECT_EQ(CountContaining(LogSince(mark), "GET /" + uid_ + "/patchlist.xml "), 1u);
  }
}

TEST_F(Signed, ASignedPublicationInstallsAndRepairs) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  // The digests in the list are the standard SHA-256 of the file and of its archive.
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  const std::string name = "data/textures.pak";
  for (const auto& [attribute, file] :
       {std::pair<std::string, std::string>{"sha256", source_ + "/" + name},
        {"archive_sha256", Served() + "/" + name + ".lzma"}}) {
    const std::string digest = Shell("sha256sum '" + file + "' | cut -c1-64");
    EXPECT_NE(list.find(" " + attribute + "=\"" + digest.substr(0, 64) + "\""), std::string::npos)
        << attribute << " " << digest;
  }
  const TCliRun install = Cli();
  EXPECT_EQ(install.Status, 0);
  EXPECT_EQ(install.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  WriteFile(home_ + "/data/textures.pak", Bytes(300000, 9));
  const TCliRun repair = Cli({"--check"});
  EXPECT_EQ(repair.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(Signed, AChangedListAMissingOrWrongSignatureOrAListWithoutDigestsIsRefused) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  const std::string signature = ReadFile(Served() + "/patchlist.xml.sig");
  // One attribute changed: the user.cfg record now names another size.
  std::string changed = list;
  changed.replace(changed.find("size=\"9\""), 8, "size=\"8\"");
  WriteFile(Served() + "/patchlist.xml", changed);
  // The line stays; the reason follows on a line of its own on standard error.
  const TCliRun forged = Cli();
  EXPECT_EQ(forged.Last(), "Error while loading patchlist");
  EXPECT_TRUE(forged.HasError(ListUrl() + ".sig: the signature does not match the pinned key"))
      << testing::PrintToString(forged.Errors);
  ExpectNothingInstalled();
  WriteFile(Served() + "/patchlist.xml", list);
  std::filesystem::remove(Served() + "/patchlist.xml.sig");
  const TCliRun unsignedList = Cli();
  EXPECT_EQ(unsignedList.Last(), "Error while loading patchlist");
  EXPECT_TRUE(unsignedList.HasError(ListUrl() + ".sig: 404 Not Found"))
      << testing::PrintToString(unsignedList.Errors);
  ExpectNothingInstalled();
  // Signed by someone else.
  MakeKey(work_ / "other.key");
  ASSERT_NO_FATAL_FAILURE(Sign(work_ / "other.key", Served() + "/patchlist.xml"));
  EXPECT_EQ(Cli().Last(), "Error while loading patchlist");
  ExpectNothingInstalled();
  // Properly signed, but without the digests a pinned key requires.
  TChild unsignedPublish(KOVA_PUBLISH_EXE, {"--level", "1", source_, Served()});
  ASSERT_EQ(unsignedPublish.WaitExit(120), 0);
  ASSERT_NO_FATAL_FAILURE(Sign(key_, Served() + "/patchlist.xml"));
  const TCliRun noDigests = Cli();
  EXPECT_EQ(noDigests.Last(), "Error while reading patchlist");
  EXPECT_TRUE(noDigests.HasError(ListUrl() + ": a signed list must give the SHA-256 of every file"))
      << testing::PrintToString(noDigests.Errors);
  ExpectNothingInstalled();
  // The honest publication still installs.
  WriteFile(Served() + "/patchlist.xml", list);
  WriteFile(Served() + "/patchlist.xml.sig", signature);
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(Signed, AnArchiveForgedToKeepItsCrcAndTheFilesCrcAndSizeIsNeverInstalled) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  const std::string name = "data/textures.pak";
  std::string forged;
  WriteFile(Served() + "/" + name + ".lzma", ForgeArchive(name, &forged));

  // Without the key, the forgery passes every check a CRC-32 can make.
  const std::string trusting = work_ / "trusting.xml";
  WriteFile(trusting, "<options><uid>" + uid_ + "-trusting</uid><patchlist>" + ListUrl() +
                          "</patchlist></options>");
  const std::string exposed = work_ / "exposed";
  std::filesystem::create_directories(exposed);
  TChild plain(KOVA_CLI_EXE, {"--options", trusting, "--home", exposed, "--retries", "1"});
  EXPECT_EQ(plain.WaitExit(120), 0);
  EXPECT_EQ(ReadFile(exposed + "/" + name), forged);

  // With the key pinned it is never unpacked into place.
  const TCliRun run = Cli();
  EXPECT_EQ(run.Last(), "Error while checking patch for data/textures.pak") << run.Last();
  EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/" + name + ".lzma"));
}

TEST_F(Signed, AReplayedOlderListIsRefusedAndChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "5"}));
  EXPECT_NE(ReadFile(Served() + "/patchlist.xml").find("<list serial=\"5\" uid=\"" + uid_ + "\">"),
            std::string::npos);
  ASSERT_EQ(Cli().Last(), "All files have been checked");
  const std::string oldList = ReadFile(Served() + "/patchlist.xml");
  const std::string oldSignature = ReadFile(Served() + "/patchlist.xml.sig");
  // A new version of a file, published with the next serial: the time's, later than 5.
  WriteFile(source_ + "/user.cfg", "volume=7\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  EXPECT_NE(ReadFile(Served() + "/patchlist.xml").find("<list serial=\"17"), std::string::npos);
  ASSERT_EQ(Cli().Last(), "All files have been checked");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), "volume=7\n");
  // The old list with its genuine signature comes back: refused, the new file stays.
  WriteFile(Served() + "/patchlist.xml", oldList);
  WriteFile(Served() + "/patchlist.xml.sig", oldSignature);
  WriteFile(home_ + "/user.cfg", "volume=1\n");
  EXPECT_EQ(Cli({"--check"}).Last(), "Error while loading patchlist");
  EXPECT_EQ(ReadFile(home_ + "/user.cfg"), "volume=1\n");
}

TEST_F(Signed, ADownloadedOptionsDocumentCanNeitherChangeNorRemoveThePinnedKey) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  // An attacker's key, list and options: the served options document names the attacker's key.
  const std::string attackerKey = MakeKey(work_ / "attacker.key");
  const std::string attackerDir = nginx_->Root() + "/" + uid_ + "-attacker";
  TChild publish(KOVA_PUBLISH_EXE, {"--level", "1", "--sign", work_ / "attacker.key", "--uid", uid_,
                                    source_, attackerDir});
  ASSERT_EQ(publish.WaitExit(120), 0);
  const std::string served = Served() + "/options.xml";
  int serial = 0;
  for (const std::string& keyElement :
       {"<public_key>" + attackerKey + "</public_key>", std::string("<public_key></public_key>")}) {
    WriteFile(served, "<options serial=\"" + std::to_string(++serial) + "\" uid=\"" + uid_ + "\">" +
                          keyElement + "<patchlist>" +
                          nginx_->Url("/" + uid_ + "-attacker/patchlist.xml") +
                          "</patchlist></options>");
    // Signed with each key in turn: the publisher's key signs it, the attacker's does not.
    for (const std::string& signer : {key_, std::string(work_ / "attacker.key")}) {
      ASSERT_NO_FATAL_FAILURE(Sign(signer, served));
      Touch(served);
      WriteOptions("<public_key>" + publicKey_ + "</public_key>\n<options>" +
                   nginx_->Url("/" + uid_ + "/options.xml") + "</options>\n");
      const TCliRun run = Cli();
      EXPECT_EQ(run.Last(),
                signer == key_ ? "Error while loading patchlist" : "Error while loading options")
          << keyElement;
      ExpectNothingInstalled();
    }
  }
}

TEST_F(Signed, ChangesMadeOnTheWayAreRefused) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  const std::string forgedArchive = ForgeArchive("data/textures.pak");
  std::atomic<int> attack{0};
  TTamperingProxy proxy(nginx_->Port(), [&](const std::string& path, std::string& head,
                                            std::string& body) {
    const bool list =
        path.size() >= 14 && path.compare(path.size() - 14, 14, "/patchlist.xml") == 0;
    if (attack == 1 && list) {
      body.replace(body.find("size=\"9\""), 8, "size=\"8\"");
    } else if (attack == 2 && path.size() > 4 && path.compare(path.size() - 4, 4, ".sig") == 0) {
      head = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html";
      body.clear();
    } else if (attack == 3 && path.find("textures.pak.lzma") != std::string::npos) {
      body = forgedArchive;
    }
  });
  WriteOptions("<public_key>" + publicKey_ + "</public_key>\n");
  UseList(proxy.Url(ServedPath("patchlist.xml")), "<public_key>" + publicKey_ + "</public_key>");
  attack = 1;
  EXPECT_EQ(Cli().Last(), "Error while loading patchlist");
  attack = 2;
  EXPECT_EQ(Cli().Last(), "Error while loading patchlist");
  attack = 3;
  EXPECT_EQ(Cli().Last(), "Error while checking patch for data/textures.pak");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak"));
  // Through the same proxy, left alone, the publication installs.
  attack = 0;
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(Signed, ABundleUpdatesWithoutTheServerAndABadOneChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "5"}));
  // A bundle of `folder`'s publication.
  auto bundleOf = [&](const std::string& folder, const std::string& file) {
    TChild make(KOVA_PUBLISH_EXE, {"bundle", folder, file});
    EXPECT_EQ(make.WaitExit(60), 0);
    return ReadFile(file);
  };
  const std::string good = bundleOf(Served(), work_ / "game.tar");
  // Another game of the publisher, and an older publication of this one.
  for (const auto& [folder, args] :
       {std::pair<std::string, std::vector<std::string>>{"other", {"--uid", uid_ + "-two"}},
        {"older", {"--uid", uid_, "--serial", "3"}}}) {
    std::vector<std::string> all{"--level", "1", "--sign", key_};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(source_);
    all.push_back(work_ / folder);
    TChild publish(KOVA_PUBLISH_EXE, all);
    ASSERT_EQ(publish.WaitExit(120), 0);
    bundleOf(work_ / folder, work_ / (folder + ".tar"));
  }
  std::string forgedList = good;
  forgedList.replace(forgedList.find("size=\"9\""), 8, "size=\"8\"");
  WriteFile(work_ / "forged-list.tar", forgedList);
  WriteFile(work_ / "cut.tar", good.substr(0, good.size() / 2));
  // The player has no line to the server.
  UseList("http://127.0.0.1:" + std::to_string(FreePort()) + "/patchlist.xml",
          "<public_key>" + publicKey_ + "</public_key>");
  const std::vector<std::pair<std::string, std::string>> refused{
      {"cut.tar", "the bundle is cut short"},
      {"forged-list.tar", "the signature does not match the pinned key"},
      {"other.tar", "it is signed for another game"}};
  for (const auto& [file, why] : refused) {
    const TCliRun run = Cli({"--bundle", work_ / file});
    EXPECT_EQ(run.Status, 1) << file;
    EXPECT_EQ(run.Last(), "Error while loading patchlist") << file;
    EXPECT_TRUE(run.HasError(work_ / file + ": " + why)) << testing::PrintToString(run.Errors);
    ExpectNothingInstalled();
  }
  const TCliRun applied = Cli({"--bundle", work_ / "game.tar"});
  EXPECT_EQ(applied.Status, 0) << applied.Last();
  ExpectHomeMatchesSource();
  // The launcher takes a bundle on its command line too (here without a display: on the console).
  const std::string launcher = work_ / "launcher";
  std::filesystem::create_directories(launcher);
  std::filesystem::copy_file(KOVA_UPDATER_EXE, launcher + "/kovaupdater");
  std::filesystem::copy_file(work_ / "options.xml", launcher + "/kovaupdater.xml");
  TChild window(launcher + "/kovaupdater", {"--bundle", work_ / "game.tar"});
  EXPECT_TRUE(window.WaitForOutput("All files have been checked", 60)) << window.Output();
  window.Stop();
  EXPECT_EQ(ReadFile(launcher + "/data/textures.pak"), ReadFile(source_ + "/data/textures.pak"));
  const TCliRun older = Cli({"--bundle", work_ / "older.tar"});
  EXPECT_TRUE(older.HasError(work_ / "older.tar: the list is older than the one installed"))
      << testing::PrintToString(older.Errors);
  // A forged archive in the bundle is refused by its checksums and fetched from the server.
  EmptyHome();
  const std::string archive = ReadFile(Served() + "/data/textures.pak.lzma");
  std::string forgedArchive = good;
  const std::size_t at = forgedArchive.find(archive.substr(1000, 64));
  ASSERT_NE(at, std::string::npos);
  forgedArchive[at] = static_cast<char>(forgedArchive[at] ^ 1);
  WriteFile(work_ / "forged-archive.tar", forgedArchive);
  UseList(ListUrl(), "<public_key>" + publicKey_ + "</public_key>");
  const std::size_t mark = LogMark();
  const TCliRun repaired = Cli({"--bundle", work_ / "forged-archive.tar"});
  EXPECT_EQ(repaired.Status, 0) << repaired.Last();
  ExpectHomeMatchesSource();
  const auto log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, "textures.pak.lzma"), 1u);
  EXPECT_EQ(CountContaining(log, ".lzma"), 1u);  // the others came from the bundle
}

TEST_F(Signed, ASignedNextVersionIsPreloadedAndReleasedAndAForgedNextListIsRefused) {
  const std::string next = nginx_->Url(ServedPath("patchlist.next.xml"));
  WriteOptions("<public_key>" + publicKey_ + "</public_key><next_patchlist rate=\"0\">" + next +
               "</next_patchlist>\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "5"}));
  ASSERT_EQ(Cli().Status, 0);
  WriteFile(source_ + "/data/textures.pak", Bytes(300000, 7));
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--next", "--serial", "6"}));
  const std::string signedNext = ReadFile(Served() + "/patchlist.next.xml");
  WriteFile(Served() + "/patchlist.next.xml", signedNext + "<!-- changed -->\n");
  const TCliRun forged = Cli({"--preload"});
  EXPECT_EQ(forged.Status, 1);
  EXPECT_TRUE(forged.HasError(next + ".sig: the signature does not match the pinned key"))
      << testing::PrintToString(forged.Errors);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/.kovanext/files/data/textures.pak"));
  WriteFile(Served() + "/patchlist.next.xml", signedNext);
  const TCliRun preload = Cli({"--preload"});
  EXPECT_EQ(preload.Last(), "The next version is pre-loaded");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "7"}));
  Touch(Served() + "/patchlist.xml");
  const std::size_t mark = LogMark();
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
  EXPECT_EQ(CountContaining(LogSince(mark), ".lzma"), 0u);
}

TEST_F(Signed, AListSignedWithOpenSslsEd25519InstallsToo) {
  // The publisher's signing need not be ours: a standard Ed25519 signature of the list's bytes,
  // base64, is what the launcher checks.
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  const std::string dir = work_.Path();
  const std::string list = Served() + "/patchlist.xml";
  int status = 0;
  Shell("cd '" + dir + "' && openssl genpkey -algorithm ed25519 -out ossl.pem 2>/dev/null && " +
            "openssl pkeyutl -sign -inkey ossl.pem -rawin -in '" + list + "' | base64 -w0 > '" +
            list + ".sig'",
        &status);
  ASSERT_EQ(status, 0);
  const std::string opensslKey =
      Shell("cd '" + dir +
            "' && openssl pkey -in ossl.pem -pubout -outform DER | tail -c 32 | base64 -w0");
  ASSERT_EQ(opensslKey.size(), 44u) << opensslKey;
  // Our key no longer matches the list's signature; OpenSSL's does.
  EXPECT_EQ(Cli().Last(), "Error while loading patchlist");
  WriteOptions("<public_key>" + opensslKey + "</public_key>\n");
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
}

}  // namespace
}  // namespace kova::test

namespace kova::test {
namespace {

// The reads a console run made: its "Checking NAME" lines (the file-by-file ones).
template <class TRun>
std::size_t FilesRead(const TRun& run) {
  return static_cast<std::size_t>(std::count_if(
      run.Lines.begin(), run.Lines.end(),
      [](const auto& l) { return l.rfind("Checking ", 0) == 0 && l != "Checking files..."; }));
}

TEST_F(Signed, ALocalFileForgedToKeepItsCrcIsRepairedWhenReadAndAnUnchangedLaunchReadsNothing) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  ASSERT_EQ(Cli().Last(), "All files have been checked");
  // The size+date cache spares the reads with a key pinned as it does without one.
  const TCliRun unchanged = Cli();
  EXPECT_EQ(unchanged.Last(), "All files have been checked");
  EXPECT_EQ(FilesRead(unchanged), 0u);
  // The same size and CRC-32, other bytes: read, it is judged by its signed SHA-256.
  const std::string file = home_ + "/data/textures.pak";
  const std::string original = ReadFile(file);
  std::string forged = original.substr(0, original.size() - 4);
  forged.replace(0, 6, "forged");
  forged += ForgeCrcTail(forged, Crc(original));
  WriteFile(file, forged);
  const TCliRun check = Cli({"--check"});
  EXPECT_EQ(check.Last(), "All files have been checked");
  EXPECT_TRUE(check.Has("Downloading data/textures.pak"));
  ExpectHomeMatchesSource();
}

TEST_F(Signed, AnotherGamesListOrOptionsOrAnotherKindOfDocumentIsRefusedAndRaisesNoSerial) {
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_, {"--serial", "5"}));
  // Game 2 of the same publisher, with a higher serial, served at game 1's address.
  const std::string mine = ReadFile(Served() + "/patchlist.xml");
  const std::string mineSig = ReadFile(Served() + "/patchlist.xml.sig");
  TChild other(KOVA_PUBLISH_EXE, {"--level", "1", "--sign", key_, "--uid", uid_ + "-two",
                                  "--serial", "9", source_, Served()});
  ASSERT_EQ(other.WaitExit(120), 0);
  const TCliRun another = Cli();
  EXPECT_EQ(another.Last(), "Error while loading patchlist");
  EXPECT_TRUE(another.HasError(ListUrl() + ": it is signed for another game"))
      << testing::PrintToString(another.Errors);
  ExpectNothingInstalled();
  // A signed options document of this game served as its list.
  WriteFile(Served() + "/patchlist.xml",
            "<options serial=\"9\" uid=\"" + uid_ + "\"><title>x</title></options>\n");
  ASSERT_NO_FATAL_FAILURE(Sign(key_, Served() + "/patchlist.xml"));
  EXPECT_EQ(Cli().Last(), "Error while loading patchlist");
  // Neither raised the accepted serial: this game's own list, serial 5, still installs.
  WriteFile(Served() + "/patchlist.xml", mine);
  WriteFile(Served() + "/patchlist.xml.sig", mineSig);
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();

  // Options documents: another game's, one without uid, and an expired one are refused; this
  // game's, stamped and signed by kova-publish, is taken.
  const std::string served = Served() + "/options.xml";
  WriteOptions("<public_key>" + publicKey_ + "</public_key>\n<options>" +
               nginx_->Url(ServedPath("options.xml")) + "</options>\n");
  const std::string body = "<options>\n<title>Signed title</title>\n</options>\n";
  for (const std::vector<std::string>& stamp :
       {std::vector<std::string>{"--uid", uid_ + "-two"}, std::vector<std::string>{},
        std::vector<std::string>{"--uid", uid_, "--expires", "0", "--serial", "3"}}) {
    WriteFile(served, body);
    std::vector<std::string> args{"sign", key_, served};
    args.insert(args.end(), stamp.begin(), stamp.end());
    TChild sign(KOVA_PUBLISH_EXE, args);
    ASSERT_EQ(sign.WaitExit(30), 0);
    if (stamp.size() > 2) {
      // Expired yesterday: today's stamp turned back a day, signed again.
      std::string text = ReadFile(served);
      const std::size_t at = text.find("expires=\"") + 9;
      text.replace(at, 10, "2001-01-01");
      WriteFile(served, text);
      ASSERT_NO_FATAL_FAILURE(Sign(key_, served));
    }
    Touch(served);
    EXPECT_EQ(Cli().Last(), "Error while loading options") << ReadFile(served);
  }
  TChild sign(KOVA_PUBLISH_EXE, {"sign", key_, served, "--uid", uid_, "--expires", "30"});
  ASSERT_EQ(sign.WaitExit(30), 0);
  Touch(served);
  EXPECT_EQ(Cli().Last(), "All files have been checked") << ReadFile(served);
  // The same serial again with other bytes is another document: refused.
  std::string changed = ReadFile(served);
  changed.replace(changed.find("Signed title"), 12, "Second title");
  WriteFile(served, changed);
  ASSERT_NO_FATAL_FAILURE(Sign(key_, served));
  Touch(served);
  EXPECT_EQ(Cli().Last(), "Error while loading options");
}

TEST_F(Signed, SerialsAndAKeyWithoutUidAreCheckedBeforeAnythingIsFetched) {
  // Above 2^53 no reader holds a serial exactly: kova-publish will not write one, and the
  // launcher refuses one written by hand.
  TChild tooHigh(KOVA_PUBLISH_EXE, {"--sign", key_, "--uid", uid_, "--serial", "9007199254740993",
                                    source_, Served()});
  EXPECT_EQ(tooHigh.WaitExit(30), 2);
  // A fresh output folder takes the time as its serial, never 1 again.
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key_));
  std::string list = ReadFile(Served() + "/patchlist.xml");
  const std::size_t at = list.find("serial=\"") + 8;
  std::int64_t serial = 0;
  ASSERT_TRUE(ParseDecimal64(list.substr(at, list.find('"', at) - at), serial));
  EXPECT_GE(serial, static_cast<std::int64_t>(::time(nullptr)) - 600);
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  list.replace(at, list.find('"', at) - at, "9007199254740993");
  WriteFile(Served() + "/patchlist.xml", list);
  ASSERT_NO_FATAL_FAILURE(Sign(key_, Served() + "/patchlist.xml"));
  EXPECT_EQ(Cli({"--check"}).Last(), "Error while loading patchlist");
  // A key pinned in options that name no game.
  WriteFile(work_ / "options.xml", "<options><public_key>" + publicKey_ +
                                       "</public_key><patchlist>" + ListUrl() +
                                       "</patchlist></options>");
  const std::size_t mark = LogMark();
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Last(), "Error in the options: a public key is pinned but no uid is given");
  EXPECT_EQ(CountContaining(LogSince(mark), uid_), 0u);
}

}  // namespace
}  // namespace kova::test
