// Long runs against a server that fails on purpose: many update runs in one process, with
// files damaged between them, must leave the published folder, and neither memory nor file
// descriptors may grow.

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "core/options.h"
#include "core/update_run.h"
#include "support/stream.h"
#include "tests/common/game_fixture.h"
#include "tests/common/recording_host.h"
#include "workers/download_thread.h"

namespace kova {
namespace {

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

class Soak : public test::TGameFixture {
 protected:
  void SetUp() override {
    test::TGameFixture::SetUp();
    FreeUpdaterOptions();
    savedTimeout_ = TDownloadThread::Timeout;
    TDownloadThread::Timeout = 1000;  // a stalled transfer fails after a second
  }
  void TearDown() override {
    TDownloadThread::Timeout = savedTimeout_;
    FreeUpdaterOptions();
    test::TGameFixture::TearDown();
  }
  // Fresh options for the in-process runs: this game's identifier and the patch list at `url`.
  void UseList(const std::string& url) {
    FreeUpdaterOptions();
    TMemoryStream stream("<options><uid>" + uid_ + "</uid><patchlist>" + url +
                         "</patchlist></options>");
    UpdaterOptions().LoadFromStream(stream);
    UpdaterOptions().SetHomeDir(home_);
  }
  int savedTimeout_ = 0;
};

TEST_F(Soak, TwoHundredRunsAgainstAServerFailingOneRequestInFiveEndWithThePublishedFolder) {
  Publish();
  test::TFlakyProxy proxy(nginx_->Port(), 0.2, 11);
  UseList(proxy.Url("/" + uid_ + "/patchlist.xml"));

  const auto published = test::Snapshot(source_);
  std::vector<std::string> names;
  for (const auto& [name, content] : published) names.push_back(name);
  std::mt19937 rng(5);
  test::TRecordingHost host;
  int retries = 0;
  host.onBox = [&retries](TBoxKind, const std::string&) {
    return ++retries % 4 == 0 ? TBoxResult::Cancel : TBoxResult::Retry;
  };
  TUpdateRun run(host);
  std::size_t baselineMemory = 0, baselineDescriptors = 0;
  int succeeded = 0;
  for (int i = 0; i < 200; ++i) {
    // Damage a file between runs: new content, a missing file, or a truncated one.
    const std::string victim = home_ + "/" + names[rng() % names.size()];
    switch (rng() % 3) {
      case 0:
        test::WriteFile(victim, "damaged in run " + std::to_string(i));
        break;
      case 1:
        std::filesystem::remove(victim);
        break;
      default:
        if (std::filesystem::exists(victim))
          std::filesystem::resize_file(victim, std::filesystem::file_size(victim) / 2);
    }
    run.UpdateRun(false);
    ASSERT_FALSE(run.IsRunning());
    if (host.info == "All files have been checked") ++succeeded;
    if (i == 19) {
      baselineMemory = ResidentBytes();
      baselineDescriptors = OpenDescriptors();
    }
  }
  // Runs until one succeeds (each may meet a fault again).
  for (int i = 0; i < 20 && host.info != "All files have been checked"; ++i) run.UpdateRun(false);
  EXPECT_EQ(host.info, "All files have been checked");
  EXPECT_TRUE(test::Snapshot(home_) == published) << "the folder differs from the published one";
  RecordProperty("successful_runs", succeeded);
  EXPECT_GT(succeeded, 20) << "the faults were too many to say anything";
  EXPECT_LT(succeeded, 200) << "no fault reached the runs";
  EXPECT_EQ(OpenDescriptors(), baselineDescriptors);
  EXPECT_LT(ResidentBytes(), baselineMemory + (8u << 20)) << "memory grew from " << baselineMemory;
}

TEST_F(Soak, EachServerFaultEndsInAFailedOrRetriedDownloadAndNeverUnpacksAWrongArchive) {
  Publish();
  const auto published = test::Snapshot(source_);
  const std::string file = home_ + "/data/textures.pak";
  const std::string archive = Served() + "/data/textures.pak.lzma";
  auto runThrough = [&](const std::string& listUrl, test::TRecordingHost& host) {
    UseList(listUrl);
    TUpdateRun run(host);
    run.UpdateRun(false);
  };
  {
    test::TRecordingHost host;
    runThrough(ListUrl(), host);
    ASSERT_EQ(host.info, "All files have been checked");
  }
  for (const std::string fault : {"reset", "short", "long", "stall", "norange", "stale"}) {
    SCOPED_TRACE(fault);
    test::TFlakyProxy proxy(nginx_->Port(), 1.0, 3, {"suffix:.lzma", fault});
    // An old copy to replace, and for the Range case half an archive to resume from.
    test::WriteFile(file, "the player's old copy");
    if (fault == "norange") {
      const std::string whole = test::ReadFile(archive);
      test::WriteFile(file + ".lzma.part", whole.substr(0, whole.size() / 2));
    }
    test::TRecordingHost host;
    host.onBox = [](TBoxKind, const std::string&) { return TBoxResult::Cancel; };
    runThrough(proxy.Url("/" + uid_ + "/patchlist.xml"), host);
    if (fault == "long" || fault == "norange" || fault == "stale") {
      // Bytes after the announced length are not read, a 200 for a Range starts the file again,
      // and a cache's old copy is fetched once more past the cache: the downloads end whole
      // and correct.
      EXPECT_EQ(host.info, "All files have been checked");
      EXPECT_EQ(test::ReadFile(file), published.at("data/textures.pak"));
    } else {
      EXPECT_EQ(host.info, "Check cancelled due to an error");
      ASSERT_EQ(host.boxes.size(), 1u);
      EXPECT_EQ(host.boxes[0], "Error while downloading patch for data/textures.pak");
      EXPECT_EQ(test::ReadFile(file), "the player's old copy");  // nothing was unpacked
      EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak.kovanew"));
    }
  }
  // A later run through a sound server puts everything right.
  test::TRecordingHost host;
  runThrough(ListUrl(), host);
  EXPECT_EQ(host.info, "All files have been checked");
  EXPECT_TRUE(test::Snapshot(home_) == published);
}

}  // namespace
}  // namespace kova
