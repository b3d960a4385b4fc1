// HTTP/2 against nginx with http2 over TLS: requests share one connection per server and answer
// as they do over HTTP/1.1 (ranges, redirects, missing objects), a server without h2 is asked as
// before, and whole runs install, update, resume, fail over and go through a CONNECT tunnel on it.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "net/connection_pool.h"
#include "tests/common/game_fixture.h"
#include "tests/common/tls_servers.h"

namespace kova::test {
namespace {

using Http2 = TTlsSuite<TGameFixture>;

// The connection numbers of the access-log lines, and whether each line's request is `protocol`.
std::set<std::string> Connections(const std::vector<std::string>& log, const std::string& protocol,
                                  std::size_t& others) {
  std::set<std::string> connections;
  others = 0;
  for (const std::string& line : log) {
    connections.insert(line.substr(line.rfind('|') + 1));
    if (line.find(" HTTP/" + protocol + "|") == std::string::npos) ++others;
  }
  return connections;
}

std::vector<std::string> LinesOfPort(const std::vector<std::string>& log, const std::string& url) {
  const std::string port = url.substr(url.rfind(':') + 1, url.find('/', 8) - url.rfind(':') - 1);
  std::vector<std::string> out;
  for (const std::string& line : log) {
    const std::size_t end = line.rfind('|');
    const std::size_t begin = line.rfind('|', end - 1) + 1;
    if (line.substr(begin, end - begin) == port) out.push_back(line);
  }
  return out;
}

TEST_F(Http2, RequestsShareOneConnectionAndAnswerAsOverHttp1) {
  Publish();
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  const std::string archive = ReadFile(Served() + "/data/textures.pak.lzma");
  for (const auto site : {TTlsNginx::Http2, TTlsNginx::Good}) {
    SCOPED_TRACE(site);
    const std::size_t before = LinesOfPort(tls_->AccessLog(), tls_->Url(site, "/")).size();
    TConnectionPool pool;
    const auto client = [&pool] {
      auto http = std::make_unique<THTTPSend>();
      http->Protocol = "1.1";
      http->Pool = &pool;
      http->Timeout = 10000;
      http->MaxRedirects = 5;
      return http;
    };
    auto http = client();
    ASSERT_TRUE(http->PerformRequest("GET", tls_->Url(site, ServedPath("patchlist.xml"))));
    EXPECT_EQ(http->ResultCode, 200);
    EXPECT_EQ(http->Document.Data(), list);
    std::string type;
    EXPECT_TRUE(http->HeaderValue("Content-Type", type));
    EXPECT_EQ(http->DownloadSize, static_cast<std::int64_t>(list.size()));
    // The rest of an archive from an offset, with the range the answer says it is.
    http = client();
    http->RangeStart = 1000;
    ASSERT_TRUE(http->PerformRequest("GET", tls_->Url(site, ServedPath("data/textures.pak.lzma"))));
    EXPECT_EQ(http->ResultCode, 206);
    std::string range;
    EXPECT_TRUE(http->HeaderValue("Content-Range", range));
    EXPECT_EQ(range, "bytes 1000-" + std::to_string(archive.size() - 1) + "/" +
                         std::to_string(archive.size()));
    EXPECT_EQ(http->Document.Data(), archive.substr(1000));
    http = client();
    ASSERT_TRUE(http->PerformRequest("GET", tls_->Url(site, ServedPath("missing.lzma"))));
    EXPECT_EQ(http->ResultCode, 404);
    http = client();
    http->PerformRequest("GET", tls_->Url(site, "/loop/"));
    EXPECT_EQ(http->ResultCode, 302);

    // Many at once from as many threads, each whole.
    std::atomic<int> whole{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; ++i) {
      threads.emplace_back([&] {
        auto mine = client();
        if (mine->PerformRequest("GET", tls_->Url(site, ServedPath("data/textures.pak.lzma"))) &&
            mine->ResultCode == 200 && mine->Document.Data() == archive)
          ++whole;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(whole, 40);
    EXPECT_EQ(pool.SharedCount(), site == TTlsNginx::Http2 ? 1u : 0u);
    pool.CloseAll();

    std::vector<std::string> log = LinesOfPort(tls_->AccessLog(), tls_->Url(site, "/"));
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(log.size(), 3u + 6u + 40u);
    std::size_t others = 0;
    const auto connections = Connections(log, site == TTlsNginx::Http2 ? "2.0" : "1.1", others);
    EXPECT_EQ(others, 0u);
    // Over HTTP/1.1 the threads took connections of their own.
    EXPECT_EQ(connections.size() == 1, site == TTlsNginx::Http2) << connections.size();
  }
}

class Http2Runs : public Http2 {
 protected:
  // `count` more files of `size` bytes that do not compress, so their archives are as large.
  void AddFiles(int count, std::size_t size, unsigned seed = 100) {
    for (int i = 0; i < count; ++i)
      WriteFile(source_ + "/data/part" + std::to_string(i) + ".bin",
                Bytes(size, seed + static_cast<unsigned>(i)));
  }
  // The requests for this game on `site` since `mark` (a count of the log's lines).
  std::vector<std::string> GameLog(TTlsNginx& server, TTlsNginx::TSite site,
                                   std::size_t mark = 0) const {
    std::vector<std::string> out;
    const auto lines = LinesOfPort(server.AccessLog(), server.Url(site, "/"));
    for (std::size_t i = mark; i < lines.size(); ++i) {
      if (lines[i].find("/" + uid_ + "/") != std::string::npos) out.push_back(lines[i]);
    }
    return out;
  }
  std::size_t Mark(TTlsNginx& server, TTlsNginx::TSite site) const {
    return LinesOfPort(server.AccessLog(), server.Url(site, "/")).size();
  }
  // The partial archives in the game folder, by their path on the server, with their sizes.
  std::map<std::string, std::int64_t> Parts() const {
    std::map<std::string, std::int64_t> parts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_)) {
      const std::string path = entry.path().string();
      if (path.size() > 10 && path.compare(path.size() - 10, 10, ".lzma.part") == 0)
        parts[path.substr(home_.size() + 1, path.size() - home_.size() - 6)] =
            static_cast<std::int64_t>(entry.file_size());
    }
    return parts;
  }
};

TEST_F(Http2Runs, AnInstallAndAnUpdateGoOverOneConnectionAndAServerWithoutHttp2AsBefore) {
  AddFiles(150, 3000);
  Publish();
  for (const auto site : {TTlsNginx::Http2, TTlsNginx::Good}) {
    SCOPED_TRACE(site);
    const std::string protocol = site == TTlsNginx::Http2 ? "2.0" : "1.1";
    EmptyHome();
    UseList(tls_->Url(site, ServedPath("patchlist.xml")));
    for (const bool update : {false, true}) {
      SCOPED_TRACE(update ? "update" : "install");
      if (update) {
        AddFiles(20, 3000, 300 + 20 * static_cast<unsigned>(site));
        Publish();
        Touch(Served() + "/patchlist.xml");
      }
      const std::size_t mark = Mark(*tls_, site);
      const TCliRun run = Cli();
      ASSERT_EQ(run.Status, 0) << run.Last();
      EXPECT_EQ(run.Last(), "All files have been checked");
      ExpectHomeMatchesSource();
      const auto log = GameLog(*tls_, site, mark);
      EXPECT_GE(log.size(), update ? 21u : 151u);
      std::size_t others = 0;
      const auto connections = Connections(log, protocol, others);
      EXPECT_EQ(others, 0u) << log.front();
      // Over HTTP/1.1 the install's transfers ahead took connections of their own (the update's
      // files keep their sizes, so they are fetched in their turn, one after the other).
      if (site == TTlsNginx::Http2 || !update) {
        EXPECT_EQ(connections.size() == 1, site == TTlsNginx::Http2) << connections.size();
      }
    }
    if (site == TTlsNginx::Http2) Publish();  // the same game again for the other server
  }
}

TEST_F(Http2Runs, InterruptedWithAHundredStreamsInFlightEveryPartAsksForItsRest) {
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    AddFiles(120, 300000, signal == SIGINT ? 100 : 500);
    std::filesystem::create_directories(home_ + "/data");
    for (int i = 0; i < 120; ++i)
      WriteFile(home_ + "/data/part" + std::to_string(i) + ".bin", "old version");
    Publish();
    // From the server's slow location: 256 KiB/s for each request.
    std::filesystem::create_directories(nginx_->Root() + "/slow");
    std::filesystem::rename(Served(), nginx_->Root() + "/slow/" + uid_);
    UseList(tls_->Url(TTlsNginx::Http2, "/slow/" + uid_ + "/patchlist.xml"));
    TChild cli(KOVA_CLI_EXE, {"--options", work_ / "options.xml", "--home", home_});
    ASSERT_TRUE(cli.WaitForOutput("Downloading data/part", 60)) << cli.Output();
    // Interrupted once a hundred parts are on their way, however slowly this machine starts them.
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Parts().size() < 100 && std::chrono::steady_clock::now() < patience)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(cli.Pid(), signal);
    const int status = cli.WaitExit(20);
    if (signal == SIGINT) {
      EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(3000));
      EXPECT_EQ(status, 1);
      EXPECT_EQ(Lines(cli.Output()).back(), "Check cancelled by user");
    }
    for (int i = 0; i < 120; ++i) {
      const std::string name = "data/part" + std::to_string(i) + ".bin";
      const std::string now = ReadFile(home_ + "/" + name);
      EXPECT_TRUE(now == "old version" || now == ReadFile(source_ + "/" + name)) << name;
    }
    const auto parts = Parts();
    EXPECT_GE(parts.size(), 100u) << "streams were not in flight side by side";

    const std::size_t mark = Mark(*tls_, TTlsNginx::Http2);
    const TCliRun again = Cli();
    const auto log = GameLog(*tls_, TTlsNginx::Http2, mark);
    ASSERT_EQ(again.Status, 0) << testing::PrintToString(again.Lines) << "\n"
                               << testing::PrintToString(log);
    ExpectHomeMatchesSource();
    std::size_t resumed = 0;
    for (const auto& [name, size] : parts) {
      const std::int64_t from = std::max<std::int64_t>(0, size - 8192);
      if (from == 0) continue;
      EXPECT_EQ(CountContaining(log, name + " HTTP/2.0|bytes=" + std::to_string(from) + "-|"), 1u)
          << name;
      ++resumed;
    }
    EXPECT_GE(resumed, 50u);
    EmptyHome();
    uid_ += "x";
    WriteOptions("");
  }
}

TEST_F(Http2Runs, AGoAwayMidRunIsTakenUpOnANewConnectionAndNoArchiveIsAskedTwice) {
  // nginx ends a connection with GOAWAY after this many requests; the streams beyond it were
  // never processed.
  TTlsNginx limited(nginx_->Root(), "    keepalive_requests 40;\n");
  ::setenv("SSL_CERT_FILE", limited.CaFile().c_str(), 1);
  AddFiles(150, 3000);
  Publish();
  UseList(limited.Url(TTlsNginx::Http2, ServedPath("patchlist.xml")));
  const TCliRun run = Cli();
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  const auto log = GameLog(limited, TTlsNginx::Http2);
  std::size_t others = 0;
  EXPECT_GE(Connections(log, "2.0", others).size(), 4u);
  EXPECT_EQ(others, 0u);
  for (int i = 0; i < 150; ++i) {
    const std::string archive = ServedPath("data/part" + std::to_string(i) + ".bin.lzma");
    EXPECT_EQ(CountContaining(log, " " + archive + " "), 1u) << archive;
  }
}

TEST_F(Http2Runs, ASpeedLimitHoldsEveryStreamTogether) {
  AddFiles(4, 250000);
  Publish();
  std::int64_t archives = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Served())) {
    if (entry.path().extension() == ".lzma")
      archives += static_cast<std::int64_t>(entry.file_size());
  }
  UseList(tls_->Url(TTlsNginx::Http2, ServedPath("patchlist.xml")));
  const auto start = std::chrono::steady_clock::now();
  const TCliRun run = Cli({"--limit-rate", "512"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(run.Status, 0) << run.Last();
  ExpectHomeMatchesSource();
  // Every stream takes its bytes from the same bucket, and the windows hold the server to it.
  EXPECT_GE(took, 0.8 * static_cast<double>(archives) / (512 * 1024)) << archives << " bytes";
  std::size_t others = 0;
  EXPECT_EQ(Connections(GameLog(*tls_, TTlsNginx::Http2), "2.0", others).size(), 1u);
}

}  // namespace
}  // namespace kova::test
