#pragma once
// Real HTTP proxies for the tests on 127.0.0.1: Debian's tinyproxy, with Basic authentication
// when a user is given, and squid, which caches. Their logs name every request they relay, so a
// test can prove a run went through them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/game_fixture.h"
#include "tests/common/test_servers.h"

namespace kova::test {

class TTinyproxy {
 public:
  explicit TTinyproxy(const std::string& user = {}, const std::string& password = {}) {
    child_ = StartOnFreePort(
        port_,
        [&](int port) {
          WriteFile(dir_ / "tinyproxy.conf",
                    "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" +
                        dir_ / "tinyproxy.log" + "\"\nLogLevel Connect\nMaxClients 64\n" +
                        "Allow 127.0.0.1\n" +
                        (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n"));
          // Its log file is what the tests read; what it repeats on standard error is dropped.
          return std::make_unique<TChild>(
              "/bin/sh",
              std::vector<std::string>{"-c", "exec /usr/bin/tinyproxy -d -c \"$0\" 2>/dev/null",
                                       dir_ / "tinyproxy.conf"});
        },
        [&] { return Listening(); });
    if (!child_) throw std::runtime_error("tinyproxy did not start");
  }
  ~TTinyproxy() {
    if (child_) child_->Stop();
  }
  TTinyproxy(const TTinyproxy&) = delete;
  TTinyproxy& operator=(const TTinyproxy&) = delete;

  // The proxy as a variable names it, with `credentials` ("user:password") when given.
  std::string Url(const std::string& credentials = {}) const {
    return "http://" + (credentials.empty() ? "" : credentials + "@") +
           "127.0.0.1:" + std::to_string(port_);
  }
  std::string Log() const { return ReadFile(dir_ / "tinyproxy.log"); }
  // How many requests the proxy relayed whose request line holds `part`.
  std::size_t Requests(const std::string& part) const {
    std::size_t count = 0;
    for (const std::string& line : Lines(Log())) {
      if (line.find("Request (file descriptor") != std::string::npos &&
          line.find(part) != std::string::npos)
        ++count;
    }
    return count;
  }

 private:
  bool Listening() const {
    THTTPSend probe;
    probe.Timeout = 1000;
    return probe.PerformRequest("GET", Url() + "/");
  }
  TTempDir dir_;
  int port_ = 0;
  std::unique_ptr<TChild> child_;
};

// A caching proxy (Debian's squid) on 127.0.0.1 that holds every answer as fresh for a day,
// whatever the server's validators say: the one a player's provider may put on the way. Its
// access log tells for each request whether the cache answered it or asked the server.
class TSquid {
 public:
  TSquid() {
    // Run as root, squid works as the "proxy" user, which must be able to write its log here.
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms::all);
    child_ = StartOnFreePort(
        port_,
        [&](int port) {
          WriteFile(dir_ / "squid.conf",
                    "http_port 127.0.0.1:" + std::to_string(port) + "\npid_filename " +
                        dir_ / "squid.pid" + "\naccess_log stdio:" + dir_ / "access.log" +
                        " squid\ncache_log " + dir_ / "cache.log" + "\ncoredump_dir " +
                        dir_.Path() +
                        "\ncache_store_log none\ncache_mem 64 MB\n"
                        "maximum_object_size_in_memory 8 MB\nhttp_access allow localhost\n"
                        "http_access deny all\nrefresh_pattern . 1440 100% 10080\n"
                        "shutdown_lifetime 0 seconds\npinger_enable off\nnetdb_filename none\n" +
                        (::geteuid() == 0 ? "cache_effective_user proxy\n" : ""));
          return std::make_unique<TChild>(
              "/bin/sh", std::vector<std::string>{"-c", "exec /usr/sbin/squid -N -f \"$0\" 2>&1",
                                                  dir_ / "squid.conf"});
        },
        [&] {
          THTTPSend probe;
          probe.Timeout = 1000;
          return probe.PerformRequest("GET", Url() + "/");
        });
    if (!child_) throw std::runtime_error("squid did not start");
  }
  ~TSquid() {
    if (child_) child_->Stop();
  }
  TSquid(const TSquid&) = delete;
  TSquid& operator=(const TSquid&) = delete;

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The cache's verdicts (TCP_MISS/200, TCP_REFRESH_MODIFIED/200, TCP_INM_HIT/304, ...) on the
  // requests whose address ends with `tail`, in their order.
  std::vector<std::string> Verdicts(const std::string& tail) const {
    std::vector<std::string> verdicts;
    for (const std::string& line : Lines(ReadFile(dir_ / "access.log"))) {
      std::istringstream fields(line);
      std::string time, elapsed, client, verdict, size, method, url;
      fields >> time >> elapsed >> client >> verdict >> size >> method >> url;
      if (url.size() >= tail.size() &&
          url.compare(url.size() - tail.size(), tail.size(), tail) == 0)
        verdicts.push_back(verdict);
    }
    return verdicts;
  }

 private:
  TTempDir dir_;
  int port_ = 0;
  std::unique_ptr<TChild> child_;
};

// Sets the proxy variables for the programs a test starts, and takes them away after.
class TProxyVariables {
 public:
  TProxyVariables(const std::string& proxy, const std::string& noProxy = {}) {
    ::setenv("http_proxy", proxy.c_str(), 1);
    ::setenv("https_proxy", proxy.c_str(), 1);
    if (!noProxy.empty()) ::setenv("no_proxy", noProxy.c_str(), 1);
  }
  ~TProxyVariables() {
    ::unsetenv("http_proxy");
    ::unsetenv("https_proxy");
    ::unsetenv("no_proxy");
  }
};

// A fresh install went whole through `proxy`: the list and every archive of the game `uid` were
// relayed (as absolute addresses, or only as tunnels when `tunnelled`).
inline void ExpectRelayed(const TTinyproxy& proxy, const std::string& uid, bool tunnelled) {
  if (tunnelled) {
    EXPECT_GE(proxy.Requests("CONNECT 127.0.0.1:"), 1u) << proxy.Log();
    EXPECT_EQ(proxy.Requests("GET http"), 0u) << proxy.Log();
  } else {
    EXPECT_EQ(proxy.Requests("/" + uid + "/patchlist.xml"), 1u) << proxy.Log();
    EXPECT_EQ(proxy.Requests("/" + uid + "/data/textures.pak.lzma"), 1u) << proxy.Log();
  }
}

// A proxy that cannot show the server's certificate answers CONNECT itself and sends, in the
// packet of its "200", a plaintext answer of its own (a list naming evil.txt, then that file's
// archive) before it relays the real secure session: the run, `run()` over a list at an https
// address, fails and nothing of it reaches the game folder `home`.
template <class TRun>
void ExpectAnAnswerBeforeTheTunnelRefused(const std::string& home, TRun run) {
  TFlakyProxy proxy(0, 1.0, 1, {"inject"});
  TProxyVariables variables(proxy.Url(""));
  const TCliRun result = run();
  EXPECT_NE(result.Status, 0);
  EXPECT_EQ(result.Last(), "Error while loading patchlist");
  EXPECT_FALSE(std::filesystem::exists(home + "/evil.txt"));
}

}  // namespace kova::test
