// Transfers side by side through the console run against nginx: what the player reads is the
// same as one at a time, a cancel or a kill in the middle leaves every game file old or new and
// every partial archive resumable.

#include <gtest/gtest.h>
#include <signal.h>

#include <set>
#include <thread>

#include "tests/common/game_fixture.h"

namespace kova {
namespace {

class Transfers : public test::TGameFixture {
 protected:
  // `count` more files of `size` bytes that do not compress, so their archives are as large.
  void AddFiles(int count, std::size_t size) {
    for (int i = 0; i < count; ++i)
      test::WriteFile(source_ + "/data/part" + std::to_string(i) + ".bin",
                      test::Bytes(size, 100 + static_cast<unsigned>(i)));
  }
  // Serves the publication from nginx's slow location (256 KiB/s for each connection).
  void ServeSlowly() {
    std::filesystem::create_directories(nginx_->Root() + "/slow");
    std::filesystem::rename(Served(), nginx_->Root() + "/slow/" + uid_);
    UseList(nginx_->Url("/slow/" + uid_ + "/patchlist.xml"));
  }
  std::size_t Connections() const { return Distinct(nginx_->ConnectionsOf("/" + uid_ + "/")); }
  static std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
  static std::size_t Distinct(const std::vector<std::string>& v) {
    return std::set<std::string>(v.begin(), v.end()).size();
  }
};

TEST_F(Transfers, SixTransfersAndFourDecodersSayWhatOneAtATimeSaysInTheSameOrder) {
  AddFiles(30, 20000);
  Publish();
  const TCliRun one = Cli({"--connections", "1"});
  ASSERT_EQ(one.Status, 0) << one.Last();
  ExpectHomeMatchesSource();
  EXPECT_EQ(Connections(), 1u);  // one kept connection served the list and every archive

  // A new player: another settings store, so the list is read as the server gives it, not from
  // the first run's cache (which may hold the records in another order).
  ::setenv("KOVA_REGISTRY", (work_ / "registry6.sqlite3").c_str(), 1);
  home_ = work_ / "home6";
  std::filesystem::create_directories(home_);
  const TCliRun six = Cli({"--connections", "6", "--jobs", "4"});
  ASSERT_EQ(six.Status, 0) << six.Last();
  ExpectHomeMatchesSource();
  const auto differ =
      std::mismatch(six.Lines.begin(), six.Lines.end(), one.Lines.begin(), one.Lines.end());
  EXPECT_TRUE(differ.first == six.Lines.end() && differ.second == one.Lines.end())
      << "line " << (differ.first - six.Lines.begin()) << ": "
      << (differ.first == six.Lines.end() ? "(end)" : *differ.first) << " against "
      << (differ.second == one.Lines.end() ? "(end)" : *differ.second) << "\n"
      << Joined(six.Lines) << "\nagainst\n"
      << Joined(one.Lines);
  EXPECT_GT(Connections(), 2u);  // archives were fetched side by side
  EXPECT_LE(Connections(), 1u + 6u);
}

TEST_F(Transfers, AServerThatSpeaksOnlyHttp10ServesEveryFileOnAConnectionOfItsOwn) {
  AddFiles(10, 5000);
  Publish();
  // Python's own server answers HTTP/1.0 and closes after each response.
  test::TChild server(
      "/usr/bin/python3",
      {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", nginx_->Root()}, {},
      true);
  ASSERT_TRUE(server.WaitForOutput(") ...", 20)) << server.Output();
  const std::string banner = server.Output();
  const std::size_t at = banner.find(" port ") + 6;
  const std::string port = banner.substr(at, banner.find(' ', at) - at);
  UseList("http://127.0.0.1:" + port + ServedPath("patchlist.xml"));
  const TCliRun run = Cli();
  EXPECT_EQ(run.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
}

TEST_F(Transfers, ASpeedLimitHoldsEveryTransferTogether) {
  AddFiles(4, 250000);
  Publish();
  std::int64_t archives = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Served())) {
    if (entry.path().extension() == ".lzma")
      archives += static_cast<std::int64_t>(entry.file_size());
  }
  const auto start = std::chrono::steady_clock::now();
  const TCliRun run = Cli({"--limit-rate", "512", "--connections", "6"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  // Six transfers at once take no more than 512 KiB/s together (less a quarter second's burst).
  EXPECT_GE(took, 0.8 * static_cast<double>(archives) / (512 * 1024)) << archives << " bytes";
  const TCliRun bad = Cli({"--limit-rate", "fast"});
  EXPECT_EQ(bad.Status, 2);
}

TEST_F(Transfers, InterruptedWithSixInFlightEveryFileIsOldOrNewAndTheNextRunResumesEachPart) {
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    // The player has an older version of every file.
    AddFiles(6, 400000);
    std::filesystem::create_directories(home_ + "/data");
    for (int i = 0; i < 6; ++i)
      test::WriteFile(home_ + "/data/part" + std::to_string(i) + ".bin", "old version");
    Publish();
    ServeSlowly();
    test::TChild cli(KOVA_CLI_EXE,
                     {"--options", work_ / "options.xml", "--home", home_, "--connections", "6"});
    ASSERT_TRUE(cli.WaitForOutput("Downloading data/part", 60)) << cli.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(cli.Pid(), signal);
    const int status = cli.WaitExit(20);
    if (signal == SIGINT) {
      // Every transfer hears the cancel within a second.
      EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500));
      EXPECT_EQ(status, 1);
      EXPECT_EQ(test::Lines(cli.Output()).back(), "Check cancelled by user");
    }
    for (int i = 0; i < 6; ++i) {
      const std::string name = "data/part" + std::to_string(i) + ".bin";
      const std::string now = test::ReadFile(home_ + "/" + name);
      EXPECT_TRUE(now == "old version" || now == test::ReadFile(source_ + "/" + name)) << name;
    }
    std::map<std::string, std::int64_t> parts;  // by the archive's path on the server
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_)) {
      const std::string path = entry.path().string();
      if (path.size() > 10 && path.compare(path.size() - 10, 10, ".lzma.part") == 0)
        parts[path.substr(home_.size() + 1, path.size() - home_.size() - 6)] =
            static_cast<std::int64_t>(entry.file_size());
    }
    EXPECT_GE(parts.size(), 4u) << "transfers were not side by side";

    const std::size_t mark = LogMark();
    const TCliRun again = Cli({"--connections", "6"});
    ASSERT_EQ(again.Status, 0) << again.Last();
    ExpectHomeMatchesSource();
    const auto log = LogSince(mark);
    for (const auto& [name, size] : parts) {
      // Each part asks for its rest: all of it but the margin fetched again.
      const std::int64_t from = std::max<std::int64_t>(0, size - 8192);
      if (from == 0) continue;
      EXPECT_EQ(CountContaining(log, name + " HTTP/1.1|bytes=" + std::to_string(from) + "-|"), 1u)
          << name;
    }
    // The next round starts from a fresh game.
    EmptyHome();
    uid_ += "x";
    WriteOptions("");
  }
}

TEST_F(Transfers, InterruptedWhileSeveralArchivesUnpackEveryFileIsOldOrNewAndTheNextRunEndsIt) {
  // Archives that take a while to decode (bytes that do not compress), all fetched at once.
  AddFiles(5, 8 << 20);
  std::filesystem::create_directories(home_ + "/data");
  for (int i = 0; i < 5; ++i)
    test::WriteFile(home_ + "/data/part" + std::to_string(i) + ".bin", "old version");
  Publish();
  const std::vector<std::string> args{
      "--options", work_ / "options.xml", "--home", home_, "--connections", "6", "--jobs", "4"};
  // New copies of the large files beside them (the small ones come and go too fast to tell).
  auto unpacking = [&] {
    std::size_t fresh = 0;
    for (int i = 0; i < 5; ++i)
      fresh += std::filesystem::exists(home_ + "/data/part" + std::to_string(i) + ".bin.kovanew");
    return fresh;
  };
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    test::TChild cli(KOVA_CLI_EXE, args);
    // The record in its turn and at least one after it are being unpacked.
    ASSERT_TRUE(test::Eventually([&] { return unpacking() >= 2; }, 60)) << cli.Output();
    const auto sent = std::chrono::steady_clock::now();
    ::kill(cli.Pid(), signal);
    const int status = cli.WaitExit(20);
    if (signal == SIGINT) {
      // Every decoder hears the cancel at its next block.
      EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500));
      EXPECT_EQ(status, 1);
      EXPECT_EQ(test::Lines(cli.Output()).back(), "Check cancelled by user");
      EXPECT_EQ(unpacking(), 0u) << "a cancelled run leaves no copy half unpacked";
    }
    for (int i = 0; i < 5; ++i) {
      const std::string name = "data/part" + std::to_string(i) + ".bin";
      const std::string now = test::ReadFile(home_ + "/" + name);
      EXPECT_TRUE(now == "old version" || now == test::ReadFile(source_ + "/" + name)) << name;
    }
    // The archives that were whole are kept: the next run unpacks them without asking again.
    std::vector<std::string> whole;
    for (int i = 0; i < 5; ++i)
      if (std::filesystem::exists(home_ + "/data/part" + std::to_string(i) + ".bin.lzma"))
        whole.push_back("/data/part" + std::to_string(i) + ".bin.lzma");
    EXPECT_GE(whole.size(), 2u);
    const std::size_t mark = LogMark();
    const TCliRun again = Cli({"--connections", "6", "--jobs", "4"});
    ASSERT_EQ(again.Status, 0) << again.Last();
    ExpectHomeMatchesSource();
    for (const std::string& archive : whole)
      EXPECT_EQ(CountContaining(LogSince(mark), archive), 0u) << archive;
    EXPECT_EQ(unpacking(), 0u);
    for (int i = 0; i < 5; ++i)
      test::WriteFile(home_ + "/data/part" + std::to_string(i) + ".bin", "old version");
  }
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

// What an unchanged launch costs on the wire: the requests for this game and the bytes nginx
// sent for them.
struct TWire {
  std::size_t Requests = 0;
  std::int64_t Bytes = 0;
  std::size_t NotModified = 0;
};

class KeptLists : public Transfers {
 protected:
  TWire WireSince(std::size_t mark) const {
    const std::vector<std::string> lines = nginx_->ConnectionLog("/" + uid_ + "/");
    TWire wire;
    for (std::size_t i = mark; i < lines.size(); ++i) {
      std::istringstream fields(lines[i]);
      std::string connection, method, path, version, status;
      std::int64_t bytes = 0;
      fields >> connection >> method >> path >> version >> status >> bytes;
      ++wire.Requests;
      wire.Bytes += bytes;
      if (status == "304") ++wire.NotModified;
    }
    return wire;
  }
  std::size_t Mark() const { return nginx_->ConnectionLog("/" + uid_ + "/").size(); }
  // The list as the server serves it, dated later, so that its validators change.
  void Republish() {
    test::WriteFile(source_ + "/user.cfg", "volume=7\n");
    Publish();
    Touch(Served() + "/patchlist.xml");
  }
  std::string KeptList() const {
    return (std::filesystem::path(std::getenv("KOVA_REGISTRY")).parent_path() / "kept" / uid_ /
            "patchlist.xml")
        .string();
  }
};

TEST_F(KeptLists, AnUnchangedLaunchAsksWhetherTheListChangedAndAChangedListIsFetchedWhole) {
  AddFiles(40, 2000);
  Publish();
  ASSERT_EQ(Cli().Status, 0);
  const std::size_t mark = Mark();
  const TCliRun unchanged = Cli();
  EXPECT_EQ(unchanged.Last(), "All files have been checked");
  const TWire wire = WireSince(mark);
  EXPECT_EQ(wire.Requests, 1u);
  EXPECT_EQ(wire.NotModified, 1u);
  EXPECT_LT(wire.Bytes, 1024);

  Republish();
  const std::size_t before = Mark();
  const TCliRun changed = Cli();
  EXPECT_EQ(changed.Last(), "All files have been checked");
  EXPECT_TRUE(changed.Has("Downloading user.cfg"));
  EXPECT_EQ(WireSince(before).NotModified, 0u);
  ExpectHomeMatchesSource();
}

TEST_F(KeptLists, TheListMayComeCompressed) {
  AddFiles(60, 1000);
  Publish();
  test::TNginx gzip("    gzip on; gzip_types *; gzip_min_length 1;\n");
  std::filesystem::copy(Served(), gzip.Root() + "/" + uid_,
                        std::filesystem::copy_options::recursive);
  UseList(gzip.Url("/" + uid_ + "/patchlist.xml"));
  ASSERT_EQ(Cli().Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  const std::vector<std::string> lines = gzip.ConnectionLog("/patchlist.xml ");
  ASSERT_EQ(lines.size(), 1u);
  const std::int64_t sent = std::stoll(lines[0].substr(lines[0].rfind(' ') + 1));
  EXPECT_LT(sent, static_cast<std::int64_t>(test::ReadFile(Served() + "/patchlist.xml").size()) / 2)
      << lines[0];
}

TEST_F(KeptLists, WithAKeyPinnedTheKeptListIsVerifiedAgainAndAnAlteredCopyIsFetchedWhole) {
  const std::string key = work_ / "publisher.key";
  const std::string publicKey = MakeKey(key);
  WriteOptions("<public_key>" + publicKey + "</public_key>\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key));
  ASSERT_EQ(Cli().Last(), "All files have been checked");
  // Unchanged: one short answer, and the kept signature serves; none is fetched.
  std::size_t mark = Mark();
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  TWire wire = WireSince(mark);
  EXPECT_EQ(wire.Requests, 1u);
  EXPECT_EQ(wire.NotModified, 1u);
  // A kept copy altered on the disk no longer verifies: it is dropped and the list fetched.
  std::string list = test::ReadFile(KeptList());
  ASSERT_FALSE(list.empty());
  list.replace(list.find("<list"), 5, "<list ");
  test::WriteFile(KeptList(), list);
  mark = Mark();
  EXPECT_EQ(Cli().Last(), "All files have been checked");
  wire = WireSince(mark);
  EXPECT_EQ(wire.NotModified, 1u);
  EXPECT_EQ(wire.Requests, 3u);  // the conditional request, the list again and its signature
  ExpectHomeMatchesSource();
}

}  // namespace
}  // namespace kova
