// Runs through a real HTTP proxy named by the variables: plain requests with the whole address,
// secure ones through a CONNECT tunnel checked at the far end, Basic credentials, no_proxy.

#include <gtest/gtest.h>

#include "tests/common/game_fixture.h"
#include "tests/common/tinyproxy.h"
#include "tests/common/tls_servers.h"

namespace kova::test {
namespace {

class Proxy : public TTlsSuite<TGameFixture> {};

TEST_F(Proxy, AFreshInstallGoesThroughTheProxyOverHttpAndOverHttpsByConnect) {
  Publish();
  // The tunnel carries HTTP/2 as it carries HTTP/1.1: the server hears every request over it.
  for (const std::string way : {"http", "https", "h2"}) {
    SCOPED_TRACE(way);
    const bool secure = way != "http";
    EmptyHome();
    const std::size_t mark = tls_->AccessLog().size();
    if (secure)
      UseList(
          tls_->Url(way == "h2" ? TTlsNginx::Http2 : TTlsNginx::Good, ServedPath("patchlist.xml")));
    TTinyproxy proxy;
    TProxyVariables variables(proxy.Url());
    EXPECT_EQ(Cli().Status, 0);
    ExpectHomeMatchesSource();
    ExpectRelayed(proxy, uid_, secure);
    if (way == "h2") {
      const auto log = tls_->AccessLog();
      ASSERT_GT(log.size(), mark);
      for (std::size_t i = mark; i < log.size(); ++i)
        EXPECT_NE(log[i].find(" HTTP/2.0|"), std::string::npos) << log[i];
      EXPECT_EQ(proxy.Requests("CONNECT 127.0.0.1:"), 1u) << proxy.Log();
    }
  }
  // The tunnel reaches the server, whose certificate is checked as on a direct connection.
  EmptyHome();
  UseList(tls_->Url(TTlsNginx::Untrusted, ServedPath("patchlist.xml")));
  TTinyproxy proxy;
  TProxyVariables variables(proxy.Url());
  const TCliRun run = Cli();
  EXPECT_NE(run.Status, 0);
  EXPECT_EQ(run.Last(), "Error while loading patchlist");
  EXPECT_GE(proxy.Requests("CONNECT 127.0.0.1:"), 1u);
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
  ExpectAnAnswerBeforeTheTunnelRefused(home_, [&] { return Cli(); });
}

TEST_F(Proxy, CredentialsInTheSettingAreSentAndAWrongPasswordFailsClearly) {
  Publish();
  TTinyproxy proxy("kova", "s3cret");
  {
    TProxyVariables variables(proxy.Url("kova:s3cret"));
    EXPECT_EQ(Cli().Status, 0);
    ExpectHomeMatchesSource();
    ExpectRelayed(proxy, uid_, false);
  }
  EmptyHome();
  struct TCase {
    std::string List, Credentials, Says;
  };
  // tinyproxy answers a wrong password with a 401, and a request without one with a 407.
  const std::vector<TCase> cases{
      {ListUrl(), "kova:wrong", " or the server 127.0.0.1:"},
      {tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")), "kova:wrong",
       " refused the user name and password (401) of the proxy setting"},
      {ListUrl(), "", " asks for a user name and password (407)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.List + " " + c.Credentials);
    UseList(c.List);
    TProxyVariables variables(proxy.Url(c.Credentials));
    const TCliRun run = Cli();
    EXPECT_NE(run.Status, 0);
    EXPECT_EQ(run.Last(), "Error while loading patchlist");
    EXPECT_TRUE(run.ErrorHasPrefix("kovaupdater-cli: the proxy " + proxy.Url().substr(7) + c.Says));
    EXPECT_TRUE(std::filesystem::is_empty(home_));
  }
}

TEST_F(Proxy, HostsNamedInNoProxyAreReachedDirectlyAndASettingThatCannotBeUsedIsNamed) {
  Publish();
  {
    TTinyproxy proxy;
    TProxyVariables variables(proxy.Url(), "example.org, 127.0.0.0/8");
    EXPECT_EQ(Cli().Status, 0);
    ExpectHomeMatchesSource();
    EXPECT_EQ(proxy.Requests("127.0.0.1"), 0u) << proxy.Log();
  }
  EmptyHome();
  TProxyVariables variables("http://127.0.0.1:abc");
  const TCliRun run = Cli();
  EXPECT_NE(run.Status, 0);
  EXPECT_TRUE(
      run.HasError("kovaupdater-cli: the proxy http://127.0.0.1:abc names no port from 1 to "
                   "65535 (the variable http_proxy)"));
  EXPECT_EQ(run.Last(), "Error while loading patchlist");
}

TEST_F(Proxy, ACachingProxyAsksTheServerForTheListEveryRunAndKeepsTheArchives) {
  const std::string key = work_ / "publisher.key";
  WriteOptions("<public_key>" + MakeKey(key) + "</public_key>\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key, {"--serial", "1"}));
  TSquid squid;
  TProxyVariables variables(squid.Url());
  ASSERT_EQ(Cli().Status, 0);
  // Republished: the cache still holds the old list and signature as fresh, but is made to ask
  // the server (a miss in its log) instead of answering from what it holds.
  WriteFile(source_ + "/user.cfg", "volume=7\n");
  ASSERT_NO_FATAL_FAILURE(PublishSigned(key, {"--serial", "2"}));
  Touch(Served() + "/patchlist.xml");
  const TCliRun update = Cli();
  EXPECT_EQ(update.Status, 0) << update.Last();
  ExpectHomeMatchesSource();
  for (const std::string name : {"/patchlist.xml", "/patchlist.xml.sig"}) {
    const auto verdicts = squid.Verdicts(ServedPath(name.substr(1)));
    ASSERT_EQ(verdicts.size(), 2u) << name;
    EXPECT_EQ(verdicts[1], "TCP_MISS/200") << name;
  }
  // An unchanged list is checked with the server too, and the archives of a second install come
  // from the cache.
  EmptyHome();
  EXPECT_EQ(Cli().Status, 0);
  ExpectHomeMatchesSource();
  EXPECT_EQ(squid.Verdicts(ServedPath("patchlist.xml")).back(), "TCP_MISS/304");
  EXPECT_EQ(squid.Verdicts(ServedPath("data/textures.pak.lzma")),
            (std::vector<std::string>{"TCP_MISS/200", "TCP_MEM_HIT/200"}));
}

}  // namespace
}  // namespace kova::test
