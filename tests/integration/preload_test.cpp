// Pre-loading the next version through the console run: kova-publish --next beside the list,
// kovaupdater-cli --preload filling the game folder's stage, and the release taking what the
// stage holds. Every request is read back from nginx's log.

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "tests/common/game_fixture.h"

namespace kova::test {
namespace {

class Preload : public TGameFixture {
 protected:
  void SetUp() override {
    TGameFixture::SetUp();
    stage_ = home_ + "/.kovanext/files/";
    // A file large enough to be cut into chunks.
    WriteFile(source_ + "/data/big.pak", Bytes(2000000, 3));
  }
  std::string NextUrl() const { return nginx_->Url("/" + uid_ + "/patchlist.next.xml"); }
  // The options with the next list, pre-loaded at `rate` KiB/s (0: no rate of its own).
  void UseNext(int rate, const std::string& attributes = {}) {
    WriteOptions("<next_patchlist rate=\"" + std::to_string(rate) + "\"" + attributes + ">" +
                 NextUrl() + "</next_patchlist>\n");
  }
  void PublishNext() {
    TChild publish(KOVA_PUBLISH_EXE, {"--level", "1", "--chunks", "--next", source_, Served()});
    ASSERT_EQ(publish.WaitExit(120), 0) << publish.Output();
    Touch(Served() + "/patchlist.next.xml");
  }
  // The game folder without the stage.
  std::map<std::string, std::string> Game() const {
    auto files = Snapshot(home_);
    std::erase_if(files, [](const auto& f) { return f.first.rfind(".kovanext/", 0) == 0; });
    return files;
  }
  std::string stage_;
};

TEST_F(Preload,
       AnInterruptedPreloadResumesAReplacedNextListKeepsWhatServesItAndTheReleaseTakesTheStage) {
  UseNext(64);
  ASSERT_NO_FATAL_FAILURE(PublishChunks());
  ASSERT_EQ(Cli().Status, 0);
  const auto installed = Game();
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  // The next version: a new file, a changed one, and a large one changed in one place.
  WriteFile(source_ + "/data/new.pak", Bytes(600000, 4));
  WriteFile(source_ + "/user.cfg", "volume=6\n");
  std::string big = ReadFile(source_ + "/data/big.pak");
  big.replace(1000000, 100, std::string(100, 'x'));
  WriteFile(source_ + "/data/big.pak", big);
  ASSERT_NO_FATAL_FAILURE(PublishNext());
  EXPECT_EQ(ReadFile(Served() + "/patchlist.xml"), list);

  // Killed while the new file's archive arrives, at 64 KiB/s.
  std::size_t mark = LogMark();
  {
    TChild cli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", home_, "--preload"});
    const std::string part = stage_ + "data/new.pak.lzma.part";
    for (int i = 0;
         i < 600 && !(std::filesystem::exists(part) && std::filesystem::file_size(part) > 100000);
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(std::filesystem::exists(part));
    ::kill(cli.Pid(), SIGKILL);
    cli.WaitExit(10);
  }
  EXPECT_TRUE(Game() == installed) << "a game file changed before the release";

  // Pruning keeps what the next list names.
  TChild prune(KOVA_PUBLISH_EXE, {"--prune", Served()});
  ASSERT_EQ(prune.WaitExit(60), 0);
  // Resumed: nothing is fetched twice; the archive that broke off goes on where it stopped.
  UseNext(0);
  const TCliRun resumed = Cli({"--preload"});
  EXPECT_EQ(resumed.Status, 0) << testing::PrintToString(resumed.Errors);
  EXPECT_EQ(resumed.Last(), "The next version is pre-loaded");
  auto log = LogSince(mark);
  std::map<std::string, int> asked;
  for (const std::string& line : log)
    if (line.rfind("GET " + ServedPath(""), 0) == 0 && line.find("patchlist") == std::string::npos)
      ++asked[line.substr(0, line.find(' ', 4))];
  for (const auto& [request, times] : asked)
    EXPECT_EQ(times, request.ends_with("new.pak.lzma") ? 2 : 1) << request;
  EXPECT_EQ(CountContaining(log, ServedPath("next/data/new.pak.lzma") + " HTTP/1.1|bytes="), 1u);
  EXPECT_EQ(CountContaining(log, ServedPath("next/user.cfg.lzma")), 1u);
  EXPECT_GE(CountContaining(log, ServedPath("chunks/")), 2u);  // the index and what changed
  EXPECT_EQ(CountContaining(log, "big.pak.lzma"), 0u);
  EXPECT_EQ(ReadFile(stage_ + "data/big.pak"), big);
  EXPECT_TRUE(Game() == installed);

  // The next list replaced before the release: only its new change is fetched, and the stage
  // drops what served the old one alone.
  WriteFile(source_ + "/user.cfg", "volume=7\n");
  ASSERT_NO_FATAL_FAILURE(PublishNext());
  mark = LogMark();
  EXPECT_EQ(Cli({"--preload"}).Status, 0);
  log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, ".lzma"), 1u) << testing::PrintToString(log);
  EXPECT_EQ(CountContaining(log, ServedPath("next/user.cfg.lzma")), 1u);
  EXPECT_EQ(ReadFile(stage_ + "user.cfg"), "volume=7\n");

  // A forged piece in the stage is refused at the release and fetched from the server.
  WriteFile(stage_ + "data/new.pak", Bytes(600000, 9));
  ASSERT_NO_FATAL_FAILURE(PublishChunks());
  EXPECT_FALSE(std::filesystem::exists(Served() + "/patchlist.next.xml"));
  EXPECT_FALSE(std::filesystem::exists(Served() + "/next"));
  mark = LogMark();
  const TCliRun release = Cli();
  EXPECT_EQ(release.Status, 0) << release.Last();
  ExpectHomeMatchesSource();  // the stage is gone too
  log = LogSince(mark);
  EXPECT_EQ(CountContaining(log, ".lzma"), 1u) << testing::PrintToString(log);
  EXPECT_EQ(CountContaining(log, ServedPath("data/new.pak.lzma")), 1u);
  EXPECT_EQ(CountContaining(log, "/chunks/"), 0u);
}

TEST_F(Preload, ANextListThatIsNoneOrAsksTooMuchTouchesNothing) {
  UseNext(0, " cap=\"1\"");
  ASSERT_NO_FATAL_FAILURE(Publish());
  ASSERT_EQ(Cli().Status, 0);
  const auto installed = Game();
  WriteFile(source_ + "/data/new.pak", Bytes(1200000, 4));
  ASSERT_NO_FATAL_FAILURE(PublishNext());
  const std::string next = ReadFile(Served() + "/patchlist.next.xml");
  std::string outside = next, asList = next;
  outside.replace(outside.find("data\\new.pak"), 12, "..\\new.pak");
  asList.replace(asList.find("<nextlist>"), 10, "<list>");
  asList.replace(asList.find("</nextlist>"), 11, "</list>");
  const std::vector<std::pair<std::string, std::string>> rows{
      {next, "the next version needs 1.2 MB, more than the 1.0 MB it may take"},
      {outside, "the list could not be read"},
      {asList, "the document is not a next version's list"}};
  for (const auto& [document, why] : rows) {
    WriteFile(Served() + "/patchlist.next.xml", document);
    Touch(Served() + "/patchlist.next.xml");
    const TCliRun run = Cli({"--preload"});
    EXPECT_EQ(run.Status, 1) << why;
    EXPECT_TRUE(run.HasError(NextUrl() + ": " + why)) << testing::PrintToString(run.Errors);
    EXPECT_FALSE(std::filesystem::exists(stage_ + "data/new.pak.lzma")) << why;
    EXPECT_TRUE(Game() == installed) << why;
  }
  // A piece the server lacks ends the pre-load with that piece's own reason.
  UseNext(0);
  WriteFile(Served() + "/patchlist.next.xml", next);
  Touch(Served() + "/patchlist.next.xml");
  std::filesystem::remove(Served() + "/next/data/new.pak.lzma");
  const TCliRun missing = Cli({"--preload"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_TRUE(
      missing.HasError(nginx_->Url(ServedPath("next/data/new.pak.lzma")) + ": 404 Not Found"))
      << testing::PrintToString(missing.Errors);
  EXPECT_TRUE(Game() == installed);
  // The list itself stays the list: the next one served in its place is refused.
  WriteFile(Served() + "/patchlist.xml", next);
  Touch(Served() + "/patchlist.xml");
  const TCliRun swapped = Cli();
  EXPECT_EQ(swapped.Status, 1);
  EXPECT_TRUE(
      swapped.HasError(ListUrl() + ": the document is the next version's list, not the list"))
      << testing::PrintToString(swapped.Errors);
  EXPECT_TRUE(Game() == installed);
}

}  // namespace
}  // namespace kova::test
