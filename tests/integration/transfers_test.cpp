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

TEST_F(Transfers, SixAtATimeSayWhatOneAtATimeSaysInTheSameOrder) {
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
  const TCliRun six = Cli({"--connections", "6"});
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
    ASSERT_TRUE(cli.WaitForOutput("Downloading data\\part", 60)) << cli.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ::kill(cli.Pid(), signal);
    const int status = cli.WaitExit(20);
    if (signal == SIGINT) {
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
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    uid_ += "x";
    WriteOptions("");
  }
}

}  // namespace
}  // namespace kova
