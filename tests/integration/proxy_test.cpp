// Runs through a real HTTP proxy named by the variables: plain requests with the whole address,
// secure ones through a CONNECT tunnel checked at the far end, Basic credentials, no_proxy.

#include <gtest/gtest.h>

#include "tests/common/game_fixture.h"
#include "tests/common/tinyproxy.h"
#include "tests/common/tls_servers.h"

namespace kova::test {
namespace {

class Proxy : public TTlsSuite<TGameFixture> {
 protected:
  // The console run with its standard error among the lines (where a proxy's refusal is told).
  TCliRun CliWithErrors() {
    TChild cli("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", KOVA_CLI_EXE, "--options",
                           work_ / "options.xml", "--home", home_, "--retries", "1"});
    TCliRun run;
    run.Status = cli.WaitExit(120);
    run.Lines = Lines(cli.Output());
    return run;
  }
};

TEST_F(Proxy, AFreshInstallGoesThroughTheProxyOverHttpAndOverHttpsByConnect) {
  Publish();
  for (const bool secure : {false, true}) {
    SCOPED_TRACE(secure ? "https" : "http");
    EmptyHome();
    if (secure) UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
    TTinyproxy proxy;
    TProxyVariables variables(proxy.Url());
    EXPECT_EQ(Cli().Status, 0);
    ExpectHomeMatchesSource();
    ExpectRelayed(proxy, uid_, secure);
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
    const TCliRun run = CliWithErrors();
    EXPECT_NE(run.Status, 0);
    EXPECT_EQ(run.Last(), "Error while loading patchlist");
    EXPECT_TRUE(run.HasPrefix("kovaupdater-cli: the proxy " + proxy.Url().substr(7) + c.Says));
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
  const TCliRun run = CliWithErrors();
  EXPECT_NE(run.Status, 0);
  EXPECT_TRUE(
      run.Has("kovaupdater-cli: the proxy http://127.0.0.1:abc names no port from 1 to "
              "65535 (the variable http_proxy)"));
  EXPECT_EQ(run.Last(), "Error while loading patchlist");
}

}  // namespace
}  // namespace kova::test
