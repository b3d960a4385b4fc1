// Updates by chunks through the console run against nginx: a player holding any older copy of a
// large file fetches only the chunks it lacks, and every way this can go wrong ends with the
// listed file, fetched whole when need be.

#include "workers/chunks.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <thread>

#include "tests/common/game_fixture.h"

namespace kova {
namespace {

constexpr std::size_t kPack = 4 << 20;  // about 64 chunks

class Chunks : public test::TGameFixture {
 protected:
  void SetUp() override {
    TGameFixture::SetUp();
    test::WriteFile(source_ + "/data/pack.dat", test::Bytes(kPack, 7));
  }
  // Rewrites `size` bytes of the source's pack at `at`, or inserts them with `insert`.
  void Change(std::size_t at, std::size_t size, unsigned seed, bool insert = false) {
    std::string data = test::ReadFile(source_ + "/data/pack.dat");
    const std::string bytes = test::Bytes(size, seed);
    if (insert)
      data.insert(at, bytes);
    else
      data.replace(at, size, bytes);
    test::WriteFile(source_ + "/data/pack.dat", data);
  }
  // The chunks of the published file `name`, as its index lists them.
  std::vector<std::string> ChunksOf(const std::string& name) const {
    const std::string list = test::ReadFile(Served() + "/patchlist.xml");
    std::smatch m;
    const std::regex record("filename=\"" + std::regex_replace(name, std::regex(R"(\\)"), R"(\\)") +
                            "\"[^>]*chunks=\"([0-9a-f]{64})\"");
    if (!std::regex_search(list, m, record)) return {};
    TChunkIndex index;
    std::string why;
    EXPECT_TRUE(DecodeChunkIndex(test::ReadFile(Served() + "/chunks/index/" + m[1].str()),
                                 1ll << 40, index, why))
        << why;
    std::vector<std::string> chunks;
    for (const TChunkEntry& c : index.Chunks) chunks.push_back(DigestHex(c.Digest));
    return chunks;
  }
  // Requests for chunks (not indexes) since `mark`, by chunk.
  std::map<std::string, int> ChunkRequests(std::size_t mark) const {
    std::map<std::string, int> asked;
    static const std::regex chunk(R"(/chunks/[0-9a-f]{2}/([0-9a-f]{64}) )");
    for (const std::string& line : LogSince(mark)) {
      std::smatch m;
      if (std::regex_search(line, m, chunk)) ++asked[m[1].str()];
    }
    return asked;
  }
  std::size_t PackArchiveRequests(std::size_t mark) const {
    return CountContaining(LogSince(mark), "/data/pack.dat.lzma ");
  }
  static std::set<std::string> Difference(const std::vector<std::string>& a,
                                          const std::vector<std::string>& b) {
    std::set<std::string> d(a.begin(), a.end());
    for (const std::string& x : b) d.erase(x);
    return d;
  }
};

TEST_F(Chunks, AnUpdateFromTwoVersionsBackAndARenamedFileFetchOnlyTheChunksAroundEachChange) {
  PublishChunks();
  std::size_t mark = LogMark();
  TCliRun run = Cli();
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  // Nothing older to build on: the archive is cheaper than 64 requests.
  EXPECT_TRUE(ChunkRequests(mark).empty());
  EXPECT_EQ(PackArchiveRequests(mark), 1u);
  const std::vector<std::string> v1 = ChunksOf("data\\pack.dat");

  // Version 2 inserts 100 bytes near the start, which shifts every later byte; version 3
  // rewrites 20,000 bytes in the middle. The player goes from 1 to 3 at once.
  Change(1000, 100, 11, true);
  PublishChunks();
  Change(kPack / 2, 20000, 12);
  PublishChunks();
  const std::vector<std::string> v3 = ChunksOf("data\\pack.dat");
  const std::set<std::string> fresh = Difference(v3, v1);
  ASSERT_GE(v3.size(), 40u);
  // A change moves the cut points of at most a few chunks after it before they fall in step.
  EXPECT_LE(fresh.size(), 8u) << "the insertion moved more than the chunks around it";
  // A link where the chunks are kept is removed, never written or emptied through.
  std::filesystem::create_directories(work_ / "outside");
  test::WriteFile(work_ / "outside/keep.txt", "the player's");
  std::filesystem::create_directory_symlink(work_ / "outside", home_ + "/data/pack.dat.kovachunks");
  mark = LogMark();
  run = Cli();
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();  // no stage folder or temporary file left either
  EXPECT_EQ(test::Snapshot(work_ / "outside").size(), 1u);
  EXPECT_TRUE(run.Has("Downloading data/pack.dat") && run.Has("Unpacking data/pack.dat"));
  EXPECT_EQ(PackArchiveRequests(mark), 0u);
  std::map<std::string, int> asked = ChunkRequests(mark);
  EXPECT_EQ(asked.size(), fresh.size());
  for (const auto& [chunk, times] : asked) {
    EXPECT_TRUE(fresh.count(chunk)) << chunk << " was on the disk already";
    EXPECT_EQ(times, 1);
  }

  // Version 4 moves the file and changes it: the old copy is found under its old name.
  std::filesystem::create_directories(source_ + "/packs");
  std::filesystem::rename(source_ + "/data/pack.dat", source_ + "/packs/moved.dat");
  std::string moved = test::ReadFile(source_ + "/packs/moved.dat");
  moved.replace(100000, 5000, test::Bytes(5000, 13));
  test::WriteFile(source_ + "/packs/moved.dat", moved);
  PublishChunks();
  mark = LogMark();
  run = Cli();
  ASSERT_EQ(run.Status, 0) << run.Last();
  EXPECT_EQ(test::ReadFile(home_ + "/packs/moved.dat"), moved);
  EXPECT_EQ(CountContaining(LogSince(mark), "/packs/moved.dat.lzma "), 0u);
  asked = ChunkRequests(mark);
  EXPECT_GE(asked.size(), 1u);
  EXPECT_LE(asked.size(), 3u);
}

TEST_F(Chunks, AZstdPublicationInstallsAndUpdatesByChunks) {
  PublishChunks({"--codec", "zstd"});
  EXPECT_NE(test::ReadFile(Served() + "/patchlist.xml").find(" codec=\"zstd\""), std::string::npos);
  const std::vector<std::string> v1 = ChunksOf("data\\pack.dat");
  ASSERT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
  Change(kPack / 2, 20000, 21);
  PublishChunks({"--codec", "zstd"});
  const std::size_t mark = LogMark();
  const TCliRun update = Cli();
  ASSERT_EQ(update.Status, 0) << update.Last();
  ExpectHomeMatchesSource();
  EXPECT_EQ(PackArchiveRequests(mark), 0u);
  const std::map<std::string, int> asked = ChunkRequests(mark);
  EXPECT_GE(asked.size(), 1u);
  EXPECT_EQ(asked.size(), Difference(ChunksOf("data\\pack.dat"), v1).size());
  // Damage that keeps the size (4 bytes on the player's disk) is mended from the file itself, at
  // a launch the server answers "not modified", and a mended program stays one.
  for (const std::string name : {"data/pack.dat", "bin/game.sh"}) {
    std::string damaged = test::ReadFile(home_ + "/" + name);
    damaged.replace(damaged.size() / 3, 4, "XXXX");
    test::WriteFile(home_ + "/" + name, damaged);
    std::filesystem::last_write_time(
        home_ + "/" + name, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  const std::size_t before = LogMark();
  const TCliRun mend = Cli();
  ASSERT_EQ(mend.Status, 0) << mend.Last();
  ExpectHomeMatchesSource();
  EXPECT_EQ(PackArchiveRequests(before), 0u);
  EXPECT_EQ(ChunkRequests(before).size(), 1u);
  EXPECT_EQ(::access((home_ + "/bin/game.sh").c_str(), X_OK), 0);
  // The next version as a bundle of what the installed list lacks: its index and chunks come
  // from the bundle, nothing from the server.
  std::filesystem::copy_file(Served() + "/patchlist.xml", work_ / "installed.xml");
  Change(kPack / 4, 20000, 22);
  PublishChunks({"--codec", "zstd"});
  test::TChild bundle(KOVA_PUBLISH_EXE,
                      {"bundle", Served(), work_ / "next.tar", "--from", work_ / "installed.xml"});
  ASSERT_EQ(bundle.WaitExit(60), 0);
  const std::size_t offline = LogMark();
  const TCliRun fromBundle = Cli({"--bundle", work_ / "next.tar"});
  ASSERT_EQ(fromBundle.Status, 0) << fromBundle.Last();
  ExpectHomeMatchesSource();
  EXPECT_EQ(CountContaining(LogSince(offline), ServedPath("")), 0u);
}

TEST_F(Chunks, AForgedChunkIsAskedForOnceMoreThenTheArchiveIsTakenWithAKeyPinnedOrNot) {
  const std::string key = work_ / "publisher.key";
  const std::string publicKey = MakeKey(key);
  for (const bool pinned : {false, true}) {
    SCOPED_TRACE(pinned ? "pinned" : "not pinned");
    const std::vector<std::string> sign =
        pinned ? std::vector<std::string>{"--sign", key, "--uid", uid_}
               : std::vector<std::string>{};
    WriteOptions(pinned ? "<public_key>" + publicKey + "</public_key>\n" : "");
    PublishChunks(sign);
    ASSERT_EQ(Cli().Status, 0);
    const std::vector<std::string> before = ChunksOf("data\\pack.dat");
    Change(kPack / 3, 3000, pinned ? 21 : 22);
    PublishChunks(sign);
    const std::set<std::string> fresh = Difference(ChunksOf("data\\pack.dat"), before);
    ASSERT_FALSE(fresh.empty());
    // A chunk the server sends with another chunk's content: valid LZMA, wrong digest.
    const std::string forged = *fresh.begin();
    std::filesystem::copy_file(
        Served() + "/chunks/" + before.front().substr(0, 2) + "/" + before.front(),
        Served() + "/chunks/" + forged.substr(0, 2) + "/" + forged,
        std::filesystem::copy_options::overwrite_existing);
    const std::size_t mark = LogMark();
    const TCliRun run = Cli();
    ASSERT_EQ(run.Status, 0) << run.Last();
    ExpectHomeMatchesSource();
    EXPECT_EQ(ChunkRequests(mark)[forged], 2);
    EXPECT_EQ(PackArchiveRequests(mark), 1u);
  }
}

TEST_F(Chunks, ATruncatedIndexOrAMissingChunkTakesTheArchive) {
  PublishChunks();
  ASSERT_EQ(Cli().Status, 0);
  std::vector<std::string> current = ChunksOf("data\\pack.dat");
  for (const bool truncateIndex : {true, false}) {
    SCOPED_TRACE(truncateIndex ? "truncated index" : "missing chunk");
    Change(kPack / 4, 3000, truncateIndex ? 31 : 32);
    PublishChunks();
    const std::vector<std::string> next = ChunksOf("data\\pack.dat");
    const std::set<std::string> fresh = Difference(next, current);
    current = next;
    if (truncateIndex) {
      const std::regex indexAttr("chunks=\"([0-9a-f]{64})\"");
      std::smatch m;
      const std::string list = test::ReadFile(Served() + "/patchlist.xml");
      ASSERT_TRUE(std::regex_search(list, m, indexAttr));
      const std::string index = Served() + "/chunks/index/" + m[1].str();
      const std::string text = test::ReadFile(index);
      test::WriteFile(index, text.substr(0, text.size() / 2));
    } else {
      const std::string missing = *fresh.begin();
      std::filesystem::remove(Served() + "/chunks/" + missing.substr(0, 2) + "/" + missing);
    }
    const std::size_t mark = LogMark();
    const TCliRun run = Cli();
    ASSERT_EQ(run.Status, 0) << run.Last();
    ExpectHomeMatchesSource();
    EXPECT_EQ(PackArchiveRequests(mark), 1u);
  }
}

TEST_F(Chunks, AnInterruptInTheMiddleOfTheChunksResumesWithoutFetchingThemAgain) {
  // 2 MiB new in 16: about 32 chunks to fetch, slowly, and still far less than the archive
  // however long the machine takes to answer.
  test::WriteFile(source_ + "/data/pack.dat", test::Bytes(4 * kPack, 7));
  PublishChunks();
  ASSERT_EQ(Cli().Status, 0);
  Change(2 * kPack, kPack / 2, 41);
  PublishChunks();
  std::filesystem::create_directories(nginx_->Root() + "/slow");
  std::filesystem::rename(Served(), nginx_->Root() + "/slow/" + uid_);
  UseList(nginx_->Url("/slow/" + uid_ + "/patchlist.xml"));
  const std::size_t mark = LogMark();
  const std::string stage = home_ + "/data/pack.dat.kovachunks";
  {
    test::TChild cli(KOVA_CLI_EXE,
                     {"--options", work_ / "options.xml", "--home", home_, "--connections", "2"});
    ASSERT_TRUE(test::Eventually(
        [&] {
          std::size_t n = 0;
          if (std::filesystem::exists(stage))
            for (auto& e : std::filesystem::directory_iterator(stage))
              n += e.path().extension() == ".lzma";
          return n >= 4;
        },
        60))
        << cli.Output();
    ::kill(cli.Pid(), SIGINT);
    EXPECT_EQ(cli.WaitExit(20), 1);
    EXPECT_EQ(test::Lines(cli.Output()).back(), "Check cancelled by user");
  }
  EXPECT_EQ(test::ReadFile(home_ + "/data/pack.dat"), test::Bytes(4 * kPack, 7)) << "old file kept";
  std::set<std::string> stored;
  for (auto& e : std::filesystem::directory_iterator(stage))
    if (e.path().extension() == ".lzma") stored.insert(e.path().stem().string());
  const std::size_t resumed = LogMark();
  const TCliRun run = Cli({"--connections", "2"});
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  EXPECT_EQ(PackArchiveRequests(mark), 0u);
  EXPECT_FALSE(ChunkRequests(resumed).empty());
  for (const auto& [chunk, times] : ChunkRequests(resumed))
    EXPECT_FALSE(stored.count(chunk)) << chunk << " was fetched before the interrupt";
}

TEST_F(Chunks,
       APublicationWithChunksKeepsTheListAndArchivesOldLaunchersReadAndPrunesWhatNoListNeeds) {
  // Without chunks, then with: the list differs only by the new attribute, every archive is the
  // same, so a launcher that knows nothing of chunks reads and installs it as before.
  test::TChild plain(KOVA_PUBLISH_EXE, {"--level", "1", source_, work_ / "plain"});
  ASSERT_EQ(plain.WaitExit(120), 0);
  PublishChunks();
  const std::string withChunks = test::ReadFile(Served() + "/patchlist.xml");
  EXPECT_NE(withChunks.find(" chunks=\""), std::string::npos);
  EXPECT_EQ(std::regex_replace(withChunks, std::regex(" chunks=\"[0-9a-f]{64}\""), ""),
            test::ReadFile(work_ / "plain/patchlist.xml"));
  for (const auto& [name, data] : test::Snapshot(work_ / "plain"))
    if (name != "patchlist.xml") {
      EXPECT_EQ(test::ReadFile(Served() + "/" + name), data) << name;
    }
  EXPECT_TRUE(ChunksOf("data\\textures.pak").empty()) << "a small file has no chunks";

  // Two versions share most chunks; once the first list is gone, its own chunks go with --prune.
  const std::vector<std::string> v1 = ChunksOf("data\\pack.dat");
  std::filesystem::copy_file(Served() + "/patchlist.xml", Served() + "/v1.xml");
  Change(kPack / 2, 100000, 51);
  PublishChunks();
  const std::vector<std::string> v2 = ChunksOf("data\\pack.dat");
  auto chunkFiles = [&] {
    std::set<std::string> files;
    for (auto& e : std::filesystem::recursive_directory_iterator(Served() + "/chunks"))
      if (e.is_regular_file() && e.path().parent_path().filename() != "index")
        files.insert(e.path().filename().string());
    return files;
  };
  std::set<std::string> both(v1.begin(), v1.end());
  both.insert(v2.begin(), v2.end());
  EXPECT_EQ(chunkFiles(), both);  // a shared chunk is stored once
  // The archive of a file no list names goes too; one a list names, or a link, stays.
  test::WriteFile(Served() + "/data/old level.map.lzma", "withdrawn");
  std::filesystem::create_symlink(Served() + "/data/pack.dat.lzma", Served() + "/linked.lzma");
  test::TChild keep(KOVA_PUBLISH_EXE, {"--prune", Served()});
  ASSERT_EQ(keep.WaitExit(60), 0) << keep.Output();
  EXPECT_EQ(chunkFiles(), both) << "v1.xml still needs its chunks";
  EXPECT_FALSE(std::filesystem::exists(Served() + "/data/old level.map.lzma"));
  EXPECT_TRUE(std::filesystem::is_symlink(Served() + "/linked.lzma"));
  EXPECT_TRUE(std::filesystem::exists(Served() + "/data/pack.dat.lzma"));
  std::filesystem::remove(Served() + "/linked.lzma");
  std::filesystem::remove(Served() + "/v1.xml");
  // What is no chunk stays; a list being uploaded (cut before its end) stops the prune, and so
  // does a chunks folder that is a link to a store other lists may use.
  test::WriteFile(Served() + "/chunks/NOTES.txt", "the publisher's notes");
  both.insert("NOTES.txt");
  test::WriteFile(Served() + "/v3.xml", withChunks.substr(0, withChunks.find("</list>")));
  test::TChild uploading(KOVA_PUBLISH_EXE, {"--prune", Served()});
  EXPECT_EQ(uploading.WaitExit(60), 1);
  EXPECT_EQ(chunkFiles(), both);
  std::filesystem::remove(Served() + "/v3.xml");
  std::filesystem::rename(Served() + "/chunks", work_ / "store");
  std::filesystem::create_directory_symlink(work_ / "store", Served() + "/chunks");
  test::TChild linked(KOVA_PUBLISH_EXE, {"--prune", Served()});
  EXPECT_EQ(linked.WaitExit(60), 1);
  EXPECT_EQ(chunkFiles(), both);
  std::filesystem::remove(Served() + "/chunks");
  std::filesystem::rename(work_ / "store", Served() + "/chunks");
  test::TChild prune(KOVA_PUBLISH_EXE, {"--prune", Served()});
  ASSERT_EQ(prune.WaitExit(60), 0) << prune.Output();
  std::set<std::string> kept(v2.begin(), v2.end());
  kept.insert("NOTES.txt");
  EXPECT_EQ(chunkFiles(), kept);
  // A folder without a list (the wrong one, or one between uploads) keeps everything.
  std::filesystem::rename(Served() + "/patchlist.xml", work_ / "patchlist.xml");
  test::TChild listless(KOVA_PUBLISH_EXE, {"--prune", Served()});
  EXPECT_EQ(listless.WaitExit(60), 1);
  EXPECT_EQ(chunkFiles(), kept);
  EXPECT_TRUE(std::filesystem::exists(Served() + "/data/pack.dat.lzma"));
  std::filesystem::rename(work_ / "patchlist.xml", Served() + "/patchlist.xml");
  // A list whose index cannot be read stops the prune: what it needs is unknown.
  for (auto& e : std::filesystem::directory_iterator(Served() + "/chunks/index"))
    std::filesystem::remove(e.path());
  test::TChild refused(KOVA_PUBLISH_EXE, {"--prune", Served()});
  EXPECT_EQ(refused.WaitExit(60), 1);
  EXPECT_EQ(chunkFiles(), kept);
}

}  // namespace
}  // namespace kova
