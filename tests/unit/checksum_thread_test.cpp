// The worker frame and the checksum worker: results, block and report counts, cancellation.

#include "workers/checksum_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/files.h"
#include "support/error.h"
#include "tests/common/temp_dir.h"
#include "workers/crc32.h"

namespace kova {
namespace {

struct TReports {
  std::mutex mutex;
  std::vector<std::pair<std::int64_t, std::int64_t>> list;
  TWorkerProgressEvent Callback() {
    return [this](const std::string&, std::int64_t done, std::int64_t total) {
      std::lock_guard<std::mutex> lock(mutex);
      list.emplace_back(done, total);
      return true;
    };
  }
};

std::uint32_t Checksum(const std::string& path, TReports* reports, const platform::TEvent* cancel,
                       bool* error) {
  TChecksumThread worker(path, cancel, reports ? reports->Callback() : TWorkerProgressEvent());
  WaitWithMessages(worker);
  if (error) *error = worker.HasError();
  return worker.Crc;
}

TEST(ChecksumWorker, ReportsOnceBeforeAndOnceAfterEachBlock) {
  test::TTempDir dir;
  struct TCase {
    std::size_t Size;
    std::vector<std::pair<std::int64_t, std::int64_t>> Expected;
  };
  for (const TCase& c : {TCase{0, {{0, 0}}}, TCase{65536, {{0, 65536}, {65536, 65536}}},
                         TCase{65537, {{0, 65537}, {65536, 65537}, {65537, 65537}}}}) {
    std::string data(c.Size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    test::WriteFile(dir / "f", data);
    TReports reports;
    bool error = true;
    EXPECT_EQ(Checksum(dir / "f", &reports, nullptr, &error),
              ~CrcUpdate(kCrcInit, data.data(), data.size()));
    EXPECT_FALSE(error);
    EXPECT_EQ(reports.list, c.Expected) << "size " << c.Size;
  }
  test::WriteFile(dir / "abc", "abc");
  EXPECT_EQ(Checksum(dir / "abc", nullptr, nullptr, nullptr), 0x352441C2u);
}

TEST(ChecksumWorker, AFileOpenedByTheCallerAndLongerThanOneReadKeepsTheBlockSteps) {
  test::TTempDir dir;
  const std::size_t size = TChecksumThread::kReadSize + 2 * TChecksumThread::kBlockSize + 5;
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + (i >> 16));
  test::WriteFile(dir / "f", data);
  TReports reports;
  TChecksumThread worker(dir / "f",
                         platform::OpenFileStream(dir / "f", platform::TFileMode::OpenRead),
                         nullptr, reports.Callback());
  WaitWithMessages(worker);
  EXPECT_FALSE(worker.HasError());
  EXPECT_EQ(worker.Crc, ~CrcUpdate(kCrcInit, data.data(), data.size()));
  EXPECT_GT(worker.FileSeconds, 0);
  std::vector<std::pair<std::int64_t, std::int64_t>> expected{{0, size}};
  for (std::size_t done = 0; done < size;) {
    done = std::min(size, done + TChecksumThread::kBlockSize);
    expected.emplace_back(done, size);
  }
  EXPECT_EQ(reports.list, expected);
}

TEST(ChecksumWorker, AMissingFileSetsTheErrorAndGivesZero) {
  test::TTempDir dir;
  bool error = false;
  TReports reports;
  EXPECT_EQ(Checksum(dir / "missing", &reports, nullptr, &error), 0u);
  EXPECT_TRUE(error);
  EXPECT_TRUE(reports.list.empty());
}

TEST(ChecksumWorker, ACancelAlreadySignalledTouchesNothing) {
  platform::TEvent cancel;
  cancel.Set();
  bool error = true;
  TReports reports;
  EXPECT_EQ(Checksum("/nonexistent/file", &reports, &cancel, &error), 0u);
  EXPECT_FALSE(error);
  EXPECT_TRUE(reports.list.empty());
}

TEST(ChecksumWorker, ACancelDuringTheLoopStopsBeforeTheNextBlock) {
  test::TTempDir dir;
  test::WriteFile(dir / "big", std::string(10 * 65536, 'z'));
  platform::TEvent cancel;
  std::atomic<int> reports{0};
  TChecksumThread worker(dir / "big", &cancel,
                         [&](const std::string&, std::int64_t done, std::int64_t) {
                           if (++reports == 3) cancel.Set();  // after the second block
                           return done >= 0;
                         });
  WaitWithMessages(worker);
  EXPECT_EQ(worker.Crc, 0u);
  EXPECT_FALSE(worker.HasError());
  EXPECT_EQ(reports.load(), 3);
}

TEST(WorkerFrame, TheGuiThreadServesRequestsWhileWaitingAndWhileDestroying) {
  // A worker that asks the GUI thread to run something and waits for it must not deadlock,
  // whether the GUI thread is waiting for it or destroying it.
  class TAsking final : public TCommonThread {
   public:
    explicit TAsking(bool signalEarly) : early_(signalEarly) { Start(); }
    ~TAsking() override { JoinServingMessages(); }
    std::atomic<int> ranOnGui{0};

   private:
    void DoWork() override {
      platform::SendToGuiThread([this] { ++ranOnGui; });
      if (early_) DoneEvent.Set();
      platform::SendToGuiThread([this] { ++ranOnGui; });
    }
    bool early_;
  };
  {
    TAsking worker(false);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.ranOnGui.load(), 2);
  }
  auto early = std::make_unique<TAsking>(true);
  WaitWithMessages(*early);
  early.reset();  // the second request is served by the destructor
}

TEST(WorkerFrame, AnErrorInTheWorkIsRecordedNotRaised) {
  class TFailing final : public TCommonThread {
   public:
    TFailing() { Start(); }
    ~TFailing() override { JoinServingMessages(); }

   private:
    void DoWork() override { throw EStreamError("disk on fire"); }
  };
  TFailing worker;
  WaitWithMessages(worker);
  EXPECT_TRUE(worker.HasError());
  EXPECT_EQ(worker.ErrorMessage(), "disk on fire");
}

}  // namespace
}  // namespace kova
