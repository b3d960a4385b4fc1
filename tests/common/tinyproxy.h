#pragma once
// A real HTTP proxy for the tests (Debian's tinyproxy) on 127.0.0.1, with Basic authentication
// when a user is given. Its log names every request it relays, so a test can prove a run went
// through it.

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
