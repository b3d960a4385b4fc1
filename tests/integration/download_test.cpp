// The download worker against a real nginx (and the scripted server for what nginx will not do):
// stream and file mode, resuming, cancelling, the not-newer rules, failures.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "net/http_date.h"
#include "platform/files.h"
#include "tests/common/test_servers.h"
#include "workers/crc32.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

namespace kova {
namespace {

std::uint32_t CrcOf(const std::string& s) {
  return ~CrcUpdate(kCrcInit, s.data(), s.size());
}

// The server's files are dated 1 May 2024, 10:00:00 UTC.
constexpr std::int64_t kFileTime = 1714557600;

struct TProgress {
  std::mutex mutex;
  std::vector<std::pair<std::int64_t, std::int64_t>> reports;
  std::function<void(std::int64_t)> onReport;
  TWorkerProgressEvent Callback() {
    return [this](const std::string&, std::int64_t done, std::int64_t total) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        reports.emplace_back(done, total);
      }
      if (onReport) onReport(done);
      return true;
    };
  }
};

struct TResult {
  TDownloadOutcome Outcome = doDownloaded;
  std::uint32_t Crc = 0;
  TDateTime ServerDate = 0;
  bool Error = false;
};

class Download : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new test::TNginx;
    Publish("small.bin", test::Bytes(10000, 1));
    Publish("big.bin", test::Bytes(1 << 20, 2));
    Publish("slow/huge.bin", test::Bytes(4 << 20, 3));
    Publish("huge.bin", test::Bytes(4 << 20, 3));
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  static void Publish(const std::string& name, const std::string& content) {
    const std::string path = nginx_->Root() + "/" + name;
    test::WriteFile(path, content);
    utimbuf times{kFileTime, kFileTime};
    ::utime(path.c_str(), &times);
  }
  static std::string Content(const std::string& name) {
    return test::ReadFile(nginx_->Root() + "/" + name);
  }
  static TDateTime ServerFileDate() { return DecodeHttpDate("Wed, 01 May 2024 10:00:00 GMT"); }
  // The access-log lines for `path`, each "request|range|user agent|status".
  static std::vector<std::string> LogFor(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(nginx_->AccessLog());
    for (std::string line; std::getline(in, line);) {
      if (line.find("GET " + path + " ") == 0) lines.push_back(line);
    }
    return lines;
  }

  struct TFileRun {
    TResult Result;
    std::uint32_t Crc = 0;
  };
  TFileRun FileDownload(const std::string& url, const std::string& target, TDateTime localDate = 0,
                        const platform::TEvent* cancel = nullptr, TProgress* progress = nullptr) {
    TFileRun run;
    auto worker =
        std::make_unique<TDownloadThread>(session_, url, target, localDate, cancel,
                                          progress ? progress->Callback() : TWorkerProgressEvent());
    WaitWithMessages(*worker);
    run.Result.Outcome = worker->Outcome;
    run.Result.ServerDate = worker->ServerDate;
    worker->Finish();
    run.Result.Error = worker->HasError();
    run.Crc = worker->Crc;
    return run;
  }
  TResult StreamDownload(const std::string& url, TDateTime localDate, TMemoryStream& stream) {
    TDownloadThread worker(session_, url, localDate, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    return TResult{worker.Outcome, 0, worker.ServerDate, worker.HasError()};
  }

  static test::TNginx* nginx_;
  test::TTempDir dir_;
  TTransferSession session_;
};
test::TNginx* Download::nginx_ = nullptr;

TEST_F(Download, StreamModeDeliversTheBodyAndTheServerDate) {
  TMemoryStream stream;
  TProgress progress;
  {
    TDownloadThread worker(session_, nginx_->Url("/small.bin"), 0, stream, nullptr,
                           progress.Callback());
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doDownloaded);
    EXPECT_TRUE(SameDateTime(worker.ServerDate, ServerFileDate()));
  }
  EXPECT_TRUE(stream.Data() == Content("small.bin"));
  ASSERT_FALSE(progress.reports.empty());
  EXPECT_EQ(progress.reports.front(), (std::pair<std::int64_t, std::int64_t>{0, 0}));
  EXPECT_EQ(progress.reports.back(), (std::pair<std::int64_t, std::int64_t>{10000, 10000}));
}

TEST_F(Download, FileModeWritesTheTargetThroughAPartFileWithItsCrc) {
  const std::string target = dir_ / "big.bin";
  const TFileRun run = FileDownload(nginx_->Url("/big.bin"), target);
  EXPECT_EQ(run.Result.Outcome, doDownloaded);
  EXPECT_FALSE(run.Result.Error);
  const std::string content = Content("big.bin");
  EXPECT_TRUE(test::ReadFile(target) == content);
  EXPECT_EQ(run.Crc, CrcOf(content));
  EXPECT_FALSE(std::filesystem::exists(target + ".part"));
  const auto log = LogFor("/big.bin");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "GET /big.bin HTTP/1.1|-|KovaUpdater/1.0|200");
}

TEST_F(Download, ResumesAPartFileEightKilobytesBeforeItsEnd) {
  const std::string content = Content("big.bin");
  const std::string target = dir_ / "resumed.bin";
  test::WriteFile(target + ".part", content.substr(0, 100000));
  TProgress progress;
  const TFileRun run = FileDownload(nginx_->Url("/big.bin"), target, 0, nullptr, &progress);
  EXPECT_EQ(run.Result.Outcome, doDownloaded);
  ASSERT_FALSE(progress.reports.empty());
  EXPECT_EQ(progress.reports.front(), (std::pair<std::int64_t, std::int64_t>{91808, 0}));
  EXPECT_EQ(progress.reports.back(), (std::pair<std::int64_t, std::int64_t>{1 << 20, 1 << 20}));
  ASSERT_FALSE(LogFor("/big.bin").empty());
  EXPECT_EQ(LogFor("/big.bin").back(), "GET /big.bin HTTP/1.1|bytes=91808-|KovaUpdater/1.0|206");
  EXPECT_TRUE(test::ReadFile(target) == content);
  EXPECT_EQ(run.Crc, CrcOf(content));
}

TEST_F(Download, ALinkAtThePartFileOrAtTheTargetIsNeverWrittenThrough) {
  const std::string content = Content("big.bin");
  const std::string outside = dir_ / "outside.bin";
  for (const std::string& linked : {std::string(".part"), std::string()}) {
    SCOPED_TRACE(linked);
    const std::string target = dir_ / "linked.bin";
    std::filesystem::remove(target);
    // The link points at a file that looks like a partial download worth resuming.
    test::WriteFile(outside, content.substr(0, 100000));
    std::filesystem::create_symlink(outside, target + linked);
    const TFileRun run = FileDownload(nginx_->Url("/big.bin"), target);
    EXPECT_EQ(run.Result.Outcome, doDownloaded);
    EXPECT_TRUE(test::ReadFile(outside) == content.substr(0, 100000)) << "written through a link";
    EXPECT_FALSE(std::filesystem::is_symlink(target));
    EXPECT_TRUE(test::ReadFile(target) == content);
    EXPECT_EQ(run.Crc, CrcOf(content));
  }
}

TEST_F(Download, APartFileOfExactlyTheMarginIsDiscarded) {
  const std::string content = Content("small.bin");
  const std::string target = dir_ / "margin.bin";
  test::WriteFile(target + ".part", std::string(8192, 'x'));  // wrong bytes: must not survive
  const TFileRun run = FileDownload(nginx_->Url("/small.bin"), target);
  EXPECT_EQ(run.Result.Outcome, doDownloaded);
  ASSERT_FALSE(LogFor("/small.bin").empty());
  EXPECT_EQ(LogFor("/small.bin").back(), "GET /small.bin HTTP/1.1|-|KovaUpdater/1.0|200");
  EXPECT_TRUE(test::ReadFile(target) == content);
  EXPECT_EQ(run.Crc, CrcOf(content));
}

TEST_F(Download, CancelKeepsThePartFileAndTheNextDownloadResumesIt) {
  const std::string content = Content("huge.bin");
  const std::string target = dir_ / "huge.bin";
  platform::TEvent cancel;
  TProgress progress;
  progress.onReport = [&](std::int64_t done) {
    if (done >= 300000) cancel.Set();
  };
  const auto start = std::chrono::steady_clock::now();
  const TFileRun first = FileDownload(nginx_->Url("/slow/huge.bin"), target, 0, &cancel, &progress);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(first.Result.Outcome, doCancelled);
  ASSERT_TRUE(std::filesystem::exists(target + ".part"));
  const auto kept = static_cast<std::int64_t>(std::filesystem::file_size(target + ".part"));
  EXPECT_GE(kept, 300000);
  EXPECT_LT(kept, static_cast<std::int64_t>(content.size()));
  EXPECT_FALSE(std::filesystem::exists(target));

  const TFileRun second = FileDownload(nginx_->Url("/huge.bin"), target);
  EXPECT_EQ(second.Result.Outcome, doDownloaded);
  ASSERT_FALSE(LogFor("/huge.bin").empty());
  EXPECT_EQ(LogFor("/huge.bin").back(), "GET /huge.bin HTTP/1.1|bytes=" +
                                            std::to_string(kept - 8192) + "-|KovaUpdater/1.0|206");
  EXPECT_TRUE(test::ReadFile(target) == content);
  EXPECT_EQ(second.Crc, CrcOf(content));
}

TEST_F(Download, ALongPauseGivesTheConnectionUpAndTheRestIsAskedForWithRangeOnResume) {
  const std::string content = Content("slow/huge.bin");
  const std::string target = dir_ / "paused.bin";
  const int savedHold = TDownloadThread::PauseHold;
  TDownloadThread::PauseHold = 500;
  TTransferControl& control = session_.Control;
  std::atomic<std::int64_t> pausedAt{-1};
  TProgress progress;
  progress.onReport = [&](std::int64_t done) {
    if (done >= 300000 && pausedAt < 0) {
      pausedAt = done;
      control.SetPaused(true);
    }
  };
  // Resumed well after the hold, from another thread, as the player's menu does.
  std::thread resume([&] {
    while (pausedAt < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    control.SetPaused(false);
  });
  const TFileRun run = FileDownload(nginx_->Url("/slow/huge.bin"), target, 0, nullptr, &progress);
  resume.join();
  TDownloadThread::PauseHold = savedHold;
  EXPECT_EQ(run.Result.Outcome, doDownloaded);
  EXPECT_TRUE(test::ReadFile(target) == content);
  EXPECT_EQ(run.Crc, CrcOf(content));
  const std::vector<std::string> log = LogFor("/slow/huge.bin");
  ASSERT_GE(log.size(), 2u);
  // The first request ended with the pause; the second asked from where the file had got to.
  const std::string& rest = log.back();
  EXPECT_EQ(rest.find("GET /slow/huge.bin HTTP/1.1|bytes="), 0u) << rest;
  const std::int64_t from = std::stoll(rest.substr(rest.find("bytes=") + 6));
  EXPECT_GE(from, pausedAt.load());
  EXPECT_NE(rest.find("|206"), std::string::npos) << rest;
}

TEST_F(Download, NotFoundFailsAndDeletesThePartFile) {
  const std::string target = dir_ / "missing.bin";
  const TFileRun run = FileDownload(nginx_->Url("/missing.bin"), target);
  EXPECT_EQ(run.Result.Outcome, doFailed);
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_FALSE(std::filesystem::exists(target + ".part"));
  TMemoryStream stream;
  EXPECT_EQ(StreamDownload(nginx_->Url("/missing.bin"), 0, stream).Outcome, doFailed);
  EXPECT_EQ(stream.Size(), 0);  // the error page is not stored
}

TEST_F(Download, AnEqualDateStopsABigBodyEarlyButASmallOneOnlyAtTheEnd) {
  TMemoryStream small;
  EXPECT_EQ(StreamDownload(nginx_->Url("/small.bin"), ServerFileDate(), small).Outcome, doNotNewer);
  EXPECT_TRUE(small.Data() == Content("small.bin"));  // judged only after the whole transfer

  TMemoryStream big;
  EXPECT_EQ(StreamDownload(nginx_->Url("/big.bin"), ServerFileDate(), big).Outcome, doNotNewer);
  EXPECT_LT(big.Size(), 1 << 20);  // stopped before the end

  const std::string target = dir_ / "same.bin";
  EXPECT_EQ(FileDownload(nginx_->Url("/big.bin"), target, ServerFileDate()).Result.Outcome,
            doNotNewer);
  EXPECT_FALSE(std::filesystem::exists(target + ".part"));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(Download, ALaterLocalDateStopsOnlyBodiesThatFitOneBlock) {
  const TDateTime later = ServerFileDate() + 1;
  TMemoryStream small;
  EXPECT_EQ(StreamDownload(nginx_->Url("/small.bin"), later, small).Outcome, doNotNewer);
  TMemoryStream big;
  EXPECT_EQ(StreamDownload(nginx_->Url("/big.bin"), later, big).Outcome, doDownloaded);
  EXPECT_EQ(big.Size(), 1 << 20);
  TMemoryStream none;
  const TResult r = StreamDownload(nginx_->Url("/small.bin"), 0, none);
  EXPECT_EQ(r.Outcome, doDownloaded);  // no local date: never "not newer"
  EXPECT_TRUE(SameDateTime(r.ServerDate, ServerFileDate()));
  TMemoryStream earlier;
  EXPECT_EQ(StreamDownload(nginx_->Url("/small.bin"), ServerFileDate() - 1, earlier).Outcome,
            doDownloaded);
}

TEST_F(Download, ResumesPastTwoGibibytes) {
  // A sparse 2.2 GiB file whose last MiB holds data; the local part file holds all but its last
  // 2 MiB, so the request starts beyond the 32-bit range.
  constexpr std::int64_t kSize = 2'362'232'012;  // 2.2 GiB
  const std::string served = nginx_->Root() + "/sparse.bin";
  {
    std::ofstream out(served, std::ios::binary);
    out.seekp(kSize - (1 << 20));
    out << test::Bytes(1 << 20, 9);
  }
  const std::string target = dir_ / "sparse.bin";
  test::WriteFile(target + ".part", "");
  std::filesystem::resize_file(target + ".part", kSize - (2 << 20));
  TProgress progress;
  const TFileRun run = FileDownload(nginx_->Url("/sparse.bin"), target, 0, nullptr, &progress);
  EXPECT_EQ(run.Result.Outcome, doDownloaded);
  const std::int64_t resumeAt = kSize - (2 << 20) - 8192;
  ASSERT_FALSE(progress.reports.empty());
  EXPECT_EQ(progress.reports.front(), (std::pair<std::int64_t, std::int64_t>{resumeAt, 0}));
  ASSERT_FALSE(LogFor("/sparse.bin").empty());
  EXPECT_EQ(LogFor("/sparse.bin").back(),
            "GET /sparse.bin HTTP/1.1|bytes=" + std::to_string(resumeAt) + "-|KovaUpdater/1.0|206");
  EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(target)), kSize);
  auto served_stream = platform::OpenFileStream(served, platform::TFileMode::OpenRead);
  EXPECT_EQ(run.Crc, ~CrcOfStream(*served_stream, 0, kCrcInit));
  std::filesystem::remove(served);
}

class DownloadOddServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new test::TScriptedServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static test::TScriptedServer* server_;
  test::TTempDir dir_;
  TTransferSession session_;
};
test::TScriptedServer* DownloadOddServer::server_ = nullptr;

TEST_F(DownloadOddServer, AWholeBodyAnsweringARangeRequestReplacesThePartFile) {
  const std::string target = dir_ / "payload";
  test::WriteFile(target + ".part", std::string(50000, 'p'));
  std::unique_ptr<TDownloadThread> worker = std::make_unique<TDownloadThread>(
      session_, server_->Url("/range200"), target, 0, nullptr, nullptr);
  WaitWithMessages(*worker);
  EXPECT_EQ(worker->Outcome, doDownloaded);
  worker.reset();
  const std::string got = test::ReadFile(target);
  EXPECT_EQ(got.size(), 200000u);
  EXPECT_EQ(got.find("ppp"), std::string::npos);
}

TEST_F(DownloadOddServer, ARangeAnsweredFromAnotherOffsetIsRefusedNotSpliced) {
  const std::string target = dir_ / "spliced";
  test::WriteFile(target + ".part", std::string(50000, 'p'));
  auto worker = std::make_unique<TDownloadThread>(session_, server_->Url("/wrongrange"), target, 0,
                                                  nullptr, nullptr);
  WaitWithMessages(*worker);
  EXPECT_EQ(worker->Outcome, doFailed);
  worker.reset();
  EXPECT_FALSE(std::filesystem::exists(target));
  if (std::filesystem::exists(target + ".part")) {
    EXPECT_EQ(test::ReadFile(target + ".part").find_first_not_of('p'), std::string::npos);
  }
}

TEST_F(DownloadOddServer, ShortBodiesFailAndKeepWhatArrived) {
  const std::string target = dir_ / "short";
  auto worker = std::make_unique<TDownloadThread>(session_, server_->Url("/short"), target, 0,
                                                  nullptr, nullptr);
  WaitWithMessages(*worker);
  EXPECT_EQ(worker->Outcome, doFailed);
  worker.reset();
  EXPECT_EQ(std::filesystem::file_size(target + ".part"), 131072u);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(DownloadOddServer, ServersThatSpeakNoTlsOrStallFail) {
  const int saved = TDownloadThread::Timeout;
  TDownloadThread::Timeout = 800;
  {
    TMemoryStream stream;
    TDownloadThread worker(session_, "https://127.0.0.1:" + std::to_string(server_->Port()) + "/",
                           0, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doFailed);
  }
  for (const char* path : {"/stallheaders", "/stall", "/nostatus", "/reset"}) {
    TMemoryStream stalled;
    TDownloadThread worker(session_, server_->Url(path), 0, stalled, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doFailed) << path;
  }
  TDownloadThread::Timeout = saved;
}

TEST_F(DownloadOddServer, EveryBodyFramingIsCompleteAsTheResponseFramesIt) {
  std::string payload;
  for (int i = 0; i < 200000; ++i) payload += static_cast<char>((i * 7 + 3) % 256);
  struct TCase {
    const char* Path;
    std::string Body;
  };
  // Ended by an orderly close, several chunks, a signed length, and codings the client never
  // asked for.
  for (const TCase& c :
       {TCase{"/nolength", "first part, second part, the end"}, TCase{"/chunked", "helloabc"},
        TCase{"/chunkedbig", payload}, TCase{"/signedlength", "hello"}, TCase{"/gzip", payload},
        TCase{"/deflate", payload}, TCase{"/rawdeflate", payload}}) {
    TMemoryStream stream;
    TDownloadThread worker(session_, server_->Url(c.Path), 0, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doDownloaded) << c.Path;
    EXPECT_TRUE(stream.Data() == c.Body) << c.Path << ": " << stream.Size() << " bytes";
  }
  // A reset is no end of a body without length; a coding we cannot decode, or coded data cut
  // short, is no body at all.
  for (const char* path : {"/nolengthreset", "/brotli", "/gziptruncated"}) {
    TMemoryStream stream;
    TDownloadThread worker(session_, server_->Url(path), 0, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doFailed) << path;
  }
  // Into a file: the chunks together, with their CRC-32.
  const std::string target = dir_ / "chunked";
  auto worker = std::make_unique<TDownloadThread>(session_, server_->Url("/chunkedbig"), target, 0,
                                                  nullptr, nullptr);
  WaitWithMessages(*worker);
  EXPECT_EQ(worker->Outcome, doDownloaded);
  worker->Finish();
  EXPECT_EQ(worker->Crc, ~CrcUpdate(kCrcInit, payload.data(), payload.size()));
  worker.reset();
  EXPECT_TRUE(test::ReadFile(target) == payload);
}

TEST_F(DownloadOddServer, AServerThatTricklesFailsOnceATimeOutOrTheLongerWindowBringsTooLittle) {
  // One byte every 100 ms: every wait ends in time, but a second brings ten bytes. That fails
  // within a time-out that brings less than the stall floor, and (the time-out as long as it is)
  // within the window over which a transfer must average the rate floor.
  const int savedTimeout = TDownloadThread::Timeout, savedWindow = TDownloadThread::SlowWindow;
  for (const auto& [timeout, window] : {std::pair{1000, savedWindow}, std::pair{90000, 1500}}) {
    TDownloadThread::Timeout = timeout;
    TDownloadThread::SlowWindow = window;
    TMemoryStream stream;
    const auto start = std::chrono::steady_clock::now();
    {
      TDownloadThread worker(session_, server_->Url("/trickle"), 0, stream, nullptr, nullptr);
      WaitWithMessages(worker);
      EXPECT_EQ(worker.Outcome, doFailed);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << timeout;
  }
  TDownloadThread::Timeout = savedTimeout;
  TDownloadThread::SlowWindow = savedWindow;
}

TEST_F(DownloadOddServer, AnAddressThatNeverAnswersGivesWayToTheNextSoonerThanATimeOut) {
  const int saved = TDownloadThread::MirrorAnswerTimeout;
  TDownloadThread::MirrorAnswerTimeout = 500;
  TMemoryStream stream;
  const auto start = std::chrono::steady_clock::now();
  {
    TDownloadThread worker(session_,
                           TAddress(std::make_shared<TSource>(std::vector<std::string>{
                                        server_->Url("/silent"), server_->Url("/silent"),
                                        server_->Url("/signedlength")}),
                                    ""),
                           0, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doDownloaded);
    EXPECT_EQ(worker.ServedBy, 2);
  }
  TDownloadThread::MirrorAnswerTimeout = saved;
  EXPECT_EQ(stream.Data(), "hello");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(DownloadOddServer, AStreamBodyOverTheCapFailsInsteadOfFillingMemory) {
  const std::int64_t saved = TDownloadThread::MaxStreamBody;
  TDownloadThread::MaxStreamBody = 100000;
  TMemoryStream stream;
  {
    TDownloadThread worker(session_, server_->Url("/range200"), 0, stream, nullptr, nullptr);
    WaitWithMessages(worker);
    EXPECT_EQ(worker.Outcome, doFailed);
  }
  TDownloadThread::MaxStreamBody = saved;
  EXPECT_LE(stream.Size(), 100000);
  // A bound gone below zero (a size that overflowed) lets nothing through: never "no limit".
  auto file = std::make_unique<TDownloadThread>(session_, server_->Url("/range200"),
                                                dir_ / "bounded", 0, nullptr, nullptr, false, -1);
  WaitWithMessages(*file);
  file->Finish();
  EXPECT_EQ(file->Outcome, doFailed);
  EXPECT_EQ(file->Written, 0);
}

}  // namespace
}  // namespace kova
