// The update run over TLS against nginx with certificates made at test time: installs and
// resumes over https, refuses servers it cannot verify as it does a refused connection, and
// follows redirects to https but never back to plain http.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/common/game_fixture.h"
#include "tests/common/tls_servers.h"

namespace kova::test {
namespace {

using Https = TTlsSuite<TGameFixture>;

TEST_F(Https, AFreshInstallAndAResumedDownload) {
  Publish();
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
  const TCliRun install = Cli();
  EXPECT_EQ(install.Status, 0);
  EXPECT_EQ(install.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  EXPECT_FALSE(tls_->LogOf(ServedPath("data/textures.pak.lzma")).empty());

  // Half of the archive is there from an interrupted run: only the rest is asked for.
  const std::string archive = ReadFile(Served() + "/data/textures.pak.lzma");
  ASSERT_GT(archive.size(), 40000u);
  std::filesystem::remove(home_ + "/data/textures.pak");
  WriteFile(home_ + "/data/textures.pak.lzma.part", archive.substr(0, archive.size() / 2));
  const TCliRun resumed = Cli({"--check"});
  EXPECT_EQ(resumed.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  ExpectLastRequestResumedAt("data/textures.pak.lzma", archive.size() / 2 - 8192);
}

TEST_F(Https, AServerThatCannotBeVerifiedFailsAsARefusedConnectionDoes) {
  Publish();
  UseList("https://127.0.0.1:" + std::to_string(FreePort()) + ServedPath("patchlist.xml"));
  const TCliRun refused = Cli({"--retries", "0"});
  ASSERT_NE(refused.Status, 0);
  EXPECT_EQ(CountContaining(refused.Errors, "/patchlist.xml: connection refused"), 1u)
      << testing::PrintToString(refused.Errors);
  for (const auto site : {TTlsNginx::WrongName, TTlsNginx::Expired, TTlsNginx::Untrusted}) {
    UseList(tls_->Url(site, ServedPath("patchlist.xml")));
    const TCliRun run = Cli({"--retries", "0"});
    EXPECT_EQ(run.Status, refused.Status) << site;
    EXPECT_EQ(run.Lines, refused.Lines) << site;
    EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak")) << site;
    EXPECT_EQ(CountContaining(run.Errors, tls_->Url(site, ServedPath("patchlist.xml")) +
                                              ": the certificate is not trusted ("),
              1u)
        << testing::PrintToString(run.Errors);

    THTTPSend http;
    http.Timeout = 5000;
    EXPECT_FALSE(http.PerformRequest("GET", tls_->Url(site, ServedPath("patchlist.xml")))) << site;
    EXPECT_EQ(http.ResultCode, 500) << site;
    EXPECT_EQ(http.Sock.LastError(), kErrTls) << site;
  }
  // A host name is looked for in the subjectAltName alone: a certificate that names the host only
  // as its subject's CN is refused, one that lists it there is taken.
  for (const auto site : {TTlsNginx::CnOnly, TTlsNginx::Good}) {
    THTTPSend http;
    http.Timeout = 5000;
    const bool fetched =
        http.PerformRequest("GET", tls_->NamedUrl(site, ServedPath("patchlist.xml")));
    EXPECT_EQ(fetched, site == TTlsNginx::Good) << site;
    EXPECT_EQ(http.ResultCode, site == TTlsNginx::Good ? 200 : 500) << site;
  }
  // The test CA is trusted only through SSL_CERT_FILE, which adds to the system's roots.
  ::unsetenv("SSL_CERT_FILE");
  UseList(tls_->Url(TTlsNginx::Good, ServedPath("patchlist.xml")));
  EXPECT_EQ(Cli({"--retries", "0"}).Lines, refused.Lines);
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data/textures.pak"));
}

TEST_F(Https, RedirectsAreFollowedToHttpsButNeverBackToPlainHttpNorForever) {
  Publish();
  const std::string list = ReadFile(Served() + "/patchlist.xml");
  THTTPSend http;
  http.MaxRedirects = 5;
  ASSERT_TRUE(http.PerformRequest("GET", tls_->PlainUrl("/moved" + ServedPath("patchlist.xml"))));
  EXPECT_EQ(http.ResultCode, 200);
  EXPECT_EQ(http.Document.Data(), list);
  http.Clear();
  ASSERT_TRUE(http.PerformRequest("GET", tls_->PlainUrl("/rel" + ServedPath("patchlist.xml"))));
  EXPECT_EQ(http.ResultCode, 200);
  EXPECT_EQ(http.Document.Data(), list);
  // From https to http: the redirect is the answer, and a failed download.
  http.Clear();
  http.PerformRequest("GET", tls_->Url(TTlsNginx::Good, "/down" + ServedPath("patchlist.xml")));
  EXPECT_EQ(http.ResultCode, 301);
  http.Clear();
  http.PerformRequest("GET", tls_->Url(TTlsNginx::Good, "/loop/"));
  EXPECT_EQ(http.ResultCode, 302);
  EXPECT_EQ(tls_->LogOf("/loop/").size(), 6u);
  // Without redirects allowed (the default of the client), the first answer stands.
  THTTPSend plain;
  plain.PerformRequest("GET", tls_->PlainUrl("/moved" + ServedPath("patchlist.xml")));
  EXPECT_EQ(plain.ResultCode, 301);

  // A whole run behind a site-wide move: the archives' addresses are built from the list's own
  // address and are redirected as well.
  UseList(tls_->PlainUrl("/moved" + ServedPath("patchlist.xml")));
  const TCliRun run = Cli();
  EXPECT_EQ(run.Last(), "All files have been checked");
  ExpectHomeMatchesSource();
  EXPECT_FALSE(tls_->LogOf(ServedPath("data/textures.pak.lzma")).empty());
}

}  // namespace
}  // namespace kova::test
