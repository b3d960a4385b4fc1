// The HTTP client against a scripted server: framings, odd and hostile replies, time-outs, the
// request as written on the wire.

#include <gtest/gtest.h>

#include "net/http_send.h"
#include "net/url.h"
#include "tests/common/test_servers.h"

namespace kova {
namespace {

class HttpClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new test::TScriptedServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static std::string Body(THTTPSend& http) { return http.Document.Data(); }
  static test::TScriptedServer* server_;
};
test::TScriptedServer* HttpClient::server_ = nullptr;

TEST(UrlSplitting, TakesTheUrlApart) {
  TUrlParts p = ParseUrl("http://h/a/b.lzma");
  EXPECT_EQ(p.Host, "h");
  EXPECT_EQ(p.Port, "80");
  EXPECT_EQ(p.Uri, "/a/b.lzma");
  p = ParseUrl("http://u:p@host:8080/x?y=1&z");
  EXPECT_EQ(p.User, "u");
  EXPECT_EQ(p.Password, "p");
  EXPECT_EQ(p.Host, "host");
  EXPECT_EQ(p.Port, "8080");
  EXPECT_EQ(p.Path, "/x");
  EXPECT_EQ(p.Query, "y=1&z");
  EXPECT_EQ(p.Uri, "/x?y=1&z");
  p = ParseUrl("http://[::1]:81/v6");
  EXPECT_EQ(p.Host, "::1");
  EXPECT_EQ(p.Port, "81");
  EXPECT_EQ(ParseUrl("http://host").Uri, "/");
  EXPECT_EQ(ParseUrl("https://host/").Port, "443");
  EXPECT_EQ(ParseUrl("HTTPS://host/").Port, "443");
  EXPECT_EQ(ParseUrl("http:///x").Host, "localhost");
  EXPECT_EQ(ParseUrl("host/path@x").Host, "host");  // an "@" after the first "/" is no user
  // What a trace or a message shows of addresses: never their credentials.
  EXPECT_EQ(WithoutUserInfo("news: navigate https://ann:s3cret@h:8443/news?x=a@b and "
                            "http://u@g/ and ftp://h/p@q"),
            "news: navigate https://h:8443/news?x=a@b and http://g/ and ftp://h/p@q");
  EXPECT_EQ(WithoutUserInfo("no address: a@b"), "no address: a@b");
  EXPECT_EQ(EncodeBase64("u:p"), "dTpw");
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_EQ(EncodeBase64("a"), "YQ==");
}

TEST(UrlSplitting, ARedirectsLocationIsTakenFromTheAddressItAnswered) {
  const std::string base = "http://host:8080/game/v2/patchlist.xml?x=1";
  const struct {
    const char* location;
    const char* expected;
  } cases[] = {
      {"https://cdn.example/game/patchlist.xml", "https://cdn.example/game/patchlist.xml"},
      {"//mirror/list.xml", "http://mirror/list.xml"},
      {"/moved/list.xml", "http://host:8080/moved/list.xml"},
      {"list2.xml", "http://host:8080/game/v2/list2.xml"},
      {"sub/list.xml#part", "http://host:8080/game/v2/sub/list.xml"},
      {"?y=2", "http://host:8080/game/v2/patchlist.xml?y=2"},
      {"", "http://host:8080/game/v2/patchlist.xml"},
      // Dot segments are taken out, as a browser does, before anything is requested.
      {"../../../etc/passwd", "http://host:8080/etc/passwd"},
      {"./a/./b/../c.xml", "http://host:8080/game/v2/a/c.xml"},
      {"/x/../y/..", "http://host:8080/"},
      {"..?q=1", "http://host:8080/game/?q=1"},
      {"https://cdn/a/./b/../c", "https://cdn/a/c"},
      // A colon makes a scheme only after a scheme's letters.
      {"?page=a:b", "http://host:8080/game/v2/patchlist.xml?page=a:b"},
      {"v3/x.xml?at=10:00", "http://host:8080/game/v2/v3/x.xml?at=10:00"},
      {"1x:y", "http://host:8080/game/v2/1x:y"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ResolveReference(base, c.location), c.expected) << c.location;
  EXPECT_EQ(ResolveReference("https://host", "a.xml"), "https://host/a.xml");
}

TEST_F(HttpClient, WritesTheRequestByteForByte) {
  THTTPSend http;
  http.UserAgent = "KovaUpdater/1.0";
  http.RangeStart = 1048576;
  ASSERT_TRUE(http.PerformRequest("get", server_->Url("/echo/a/b.lzma")));
  EXPECT_EQ(http.ResultCode, 200);
  const std::string port = std::to_string(server_->Port());
  EXPECT_EQ(Body(http),
            "GET /echo/a/b.lzma HTTP/1.0\r\nHost: 127.0.0.1:" + port +
                "\r\nKeep-Alive: 300\r\nConnection: keep-alive\r\nRange: bytes=1048576-\r\n"
                "User-Agent: KovaUpdater/1.0\r\n\r\n");
  EXPECT_EQ(http.RangeStart, 0);  // ranges apply to one request only
  EXPECT_EQ(http.RangeEnd, 0);

  THTTPSend auth;
  auth.UserAgent.clear();
  ASSERT_TRUE(auth.PerformRequest("GET", "http://u:p@127.0.0.1:" + port + "/echo"));
  EXPECT_NE(Body(auth).find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos) << Body(auth);
  EXPECT_EQ(Body(auth).find("User-Agent"), std::string::npos);
}

TEST_F(HttpClient, ReadsAChunkedBody) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/chunked")));
  EXPECT_EQ(http.ResultCode, 200);
  EXPECT_EQ(Body(http), "helloabc");
  EXPECT_EQ(http.DownloadSize, 3);
}

TEST_F(HttpClient, ReadsABodyWithoutLengthUntilTheConnectionCloses) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/nolength")));
  EXPECT_EQ(Body(http), "first part, second part, the end");
  EXPECT_EQ(http.DownloadSize, 0);
  EXPECT_EQ(http.MimeType, "text/plain");
}

TEST_F(HttpClient, ALengthWithoutASpaceAfterTheColonIsNotALength) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/nospace")));
  EXPECT_EQ(Body(http), "hello world");
}

TEST_F(HttpClient, PassesOverInterimAnswersAndTheirHeaders) {
  for (const char* path : {"/continue", "/earlyhints"}) {
    THTTPSend http;
    ASSERT_TRUE(http.PerformRequest("GET", server_->Url(path))) << path;
    EXPECT_EQ(http.ResultCode, 200);
    EXPECT_EQ(http.ResultString, "Fine Thanks");
    EXPECT_EQ(Body(http), "ok");
    ASSERT_FALSE(http.Headers.empty());
    EXPECT_EQ(http.Headers[0].rfind("HTTP/1.1 10", 0), 0u) << "the interim status line is kept";
    std::string link;
    EXPECT_FALSE(http.HeaderValue("Link", link)) << "an interim answer's header was kept";
  }
}

TEST_F(HttpClient, AReplyWithoutStatusLineIsAllBody) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/nostatus")));
  EXPECT_EQ(http.ResultCode, 0);
  EXPECT_EQ(Body(http), "just some text\r\nand more");
}

TEST_F(HttpClient, ALineEndSplitBetweenPacketsCountsOnce) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/split-crlf")));
  EXPECT_EQ(Body(http), "xyz");
}

TEST_F(HttpClient, AServerThatStallsMidBodyTimesOut) {
  THTTPSend http;
  http.Timeout = 800;
  EXPECT_FALSE(http.PerformRequest("GET", server_->Url("/stall")));
  EXPECT_EQ(http.Sock.LastError(), kErrTimeout);
  EXPECT_EQ(http.ResultCode, 200);
  EXPECT_EQ(Body(http).size(), 65536u);  // the complete block before the stall

  THTTPSend early;
  early.Timeout = 800;
  EXPECT_FALSE(early.PerformRequest("GET", server_->Url("/stallheaders")));
  EXPECT_EQ(early.ResultCode, 200);
}

TEST_F(HttpClient, AResetOrShortBodyFailsWithTheBlocksReadSoFar) {
  THTTPSend reset;
  EXPECT_FALSE(reset.PerformRequest("GET", server_->Url("/reset")));
  EXPECT_EQ(reset.Sock.LastError(), kErrClosed);
  EXPECT_EQ(Body(reset).size(), 65536u);
  THTTPSend shortBody;
  EXPECT_FALSE(shortBody.PerformRequest("GET", server_->Url("/short")));
  EXPECT_EQ(Body(shortBody).size(), 131072u);
  THTTPSend longBody;  // bytes beyond the announced length are not part of the body
  EXPECT_TRUE(longBody.PerformRequest("GET", server_->Url("/long")));
  EXPECT_EQ(Body(longBody).size(), 1000u);
}

TEST_F(HttpClient, OversizedOrMalformedHeadersFailInsteadOfExhaustingMemory) {
  for (const char* path : {"/hugeline", "/manyheaders", "/endless", "/badlength", "/hugelength",
                           "/badchunk", "/hugechunk", "/continueflood", "/blankchunks"}) {
    THTTPSend http;
    EXPECT_FALSE(http.PerformRequest("GET", server_->Url(path))) << path;
    EXPECT_NE(http.Sock.LastError(), 0) << path;
    EXPECT_LT(Body(http).size(), 100u) << path;
    EXPECT_LT(http.Headers.size(), 20000u)
        << path;  // interim status lines are capped with the headers
  }
}

TEST_F(HttpClient, ALengthWithASignIsANumber) {
  THTTPSend plus;
  ASSERT_TRUE(plus.PerformRequest("GET", server_->Url("/signedlength")));
  EXPECT_EQ(Body(plus), "hello");
  // A negative length is no usable length: the body runs to the end of the connection.
  THTTPSend minus;
  ASSERT_TRUE(minus.PerformRequest("GET", server_->Url("/negativelength")));
  EXPECT_EQ(Body(minus), "hello");
}

TEST_F(HttpClient, AnAddressThatWouldBreakTheRequestApartSendsNothing) {
  for (const std::string& url :
       {server_->Url("/a\r\nX-Injected: 1\r\nCookie: stolen"), server_->Url("/a b"),
        server_->Url(std::string("/a\0b", 4)), server_->Url("/a\x7f"),
        std::string("http://127.0.0.1:99105/"), std::string("http://127.0.0.1:0/"),
        std::string("http://127.0.0.1:-80/"), std::string("http://bad\rhost/")}) {
    THTTPSend http;
    EXPECT_FALSE(http.PerformRequest("GET", url)) << url;
    EXPECT_EQ(http.ResultCode, 500) << url;
    EXPECT_EQ(http.Sock.LastError(), kErrBadAddress) << url;
  }
  THTTPSend log;
  ASSERT_TRUE(log.PerformRequest("GET", server_->Url("/__requests")));
  EXPECT_EQ(Body(log).find("X-Injected"), std::string::npos);
  EXPECT_EQ(Body(log).find("GET /a"), std::string::npos);
}

TEST_F(HttpClient, CollectsCookiesAndSendsThemBack) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/cookie")));
  ASSERT_EQ(http.Cookies.size(), 2u);
  EXPECT_EQ(http.Cookies[0], (std::pair<std::string, std::string>{"session", "abc123"}));
  EXPECT_EQ(http.Cookies[1], (std::pair<std::string, std::string>{"theme", "dark"}));
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/echo")));
  EXPECT_NE(Body(http).find("\r\nCookie: session=abc123; theme=dark\r\n"), std::string::npos)
      << Body(http);
}

TEST_F(HttpClient, NoBodyForHeadOr204AndHeadersCanBeLookedUp) {
  THTTPSend http;
  ASSERT_TRUE(http.PerformRequest("GET", server_->Url("/head")));
  EXPECT_EQ(http.ResultCode, 204);
  EXPECT_EQ(Body(http), "");
  THTTPSend head;
  ASSERT_TRUE(head.PerformRequest("HEAD", server_->Url("/range200")));
  EXPECT_EQ(Body(head), "");
  std::string value;
  ASSERT_TRUE(head.HeaderValue("last-modified", value));
  EXPECT_EQ(value, "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_FALSE(head.HeaderValue("X-Missing", value));
}

TEST_F(HttpClient, StatusesAreReportedNotTurnedIntoFailures) {
  THTTPSend http;
  EXPECT_TRUE(http.PerformRequest("GET", server_->Url("/notfound")));
  EXPECT_EQ(http.ResultCode, 404);
  EXPECT_EQ(http.ResultString, "Not Found");
}

TEST_F(HttpClient, AServerThatSpeaksNoTlsAndUnreachableHostsFailWithStatus500) {
  THTTPSend https;
  https.Timeout = 3000;
  EXPECT_FALSE(https.PerformRequest(
      "GET", "https://127.0.0.1:" + std::to_string(server_->Port()) + "/echo"));
  EXPECT_EQ(https.ResultCode, 500);
  EXPECT_NE(https.Sock.LastError(), 0);
  THTTPSend refused;
  EXPECT_FALSE(
      refused.PerformRequest("GET", "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/"));
  EXPECT_EQ(refused.ResultCode, 500);
  EXPECT_EQ(refused.Sock.LastError(), kErrConnRefused);
  THTTPSend unknown;
  EXPECT_FALSE(unknown.PerformRequest("GET", "http://no-such-host.invalid/"));
  EXPECT_EQ(unknown.ResultCode, 500);
}

TEST_F(HttpClient, TheStopFlagEndsAWaitAtOnce) {
  THTTPSend http;
  std::vector<THookSocketReason> seen;
  http.Sock.OnStatus = [&](TTCPBlockSocket& sock, THookSocketReason reason, const std::string&) {
    seen.push_back(reason);
    if (reason == HR_Wait) sock.StopFlag = true;  // as the abort step does from the GUI thread
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(http.PerformRequest("GET", server_->Url("/stall")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(http.Sock.LastError(), kErrStopped);
  EXPECT_FALSE(http.Sock.StopFlag);  // cleared by the operation it stopped
  EXPECT_NE(std::find(seen.begin(), seen.end(), HR_Connect), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), HR_ReadCount), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), HR_Error), seen.end());
}

}  // namespace
}  // namespace kova
