// Connections kept between requests, against nginx with its keep-alive limits and a scripted
// server that drops a kept connection as the next request arrives.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "net/connection_pool.h"
#include "net/http_send.h"
#include "tests/common/test_servers.h"

namespace kova {
namespace {

// One request as a download makes it: a client of its own, over the shared connections.
bool Fetch(TConnectionPool& pool, const std::string& url, std::string* body = nullptr) {
  THTTPSend http;
  http.Protocol = "1.1";
  http.Pool = &pool;
  http.Timeout = 5000;
  const bool ok = http.PerformRequest("GET", url) && http.ResultCode == 200;
  if (body) *body = http.Document.Data();
  return ok;
}

std::size_t Distinct(const std::vector<std::string>& connections) {
  return std::set<std::string>(connections.begin(), connections.end()).size();
}

TEST(KeptConnections, RequestsShareAConnectionAsLongAsTheServerKeepsIt) {
  const struct {
    const char* config;
    int pauseMs;              // between the requests
    std::size_t connections;  // nginx's connections for the three requests
  } cases[] = {
      {"", 0, 1},
      // A server that closes after every response says so: each request gets a new one.
      {"    keepalive_requests 1;\n", 0, 3},
      // One that drops idle connections says nothing: the kept one is found closed and left.
      {"    keepalive_timeout 1s;\n", 1500, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    test::TNginx nginx(c.config);
    test::WriteFile(nginx.Root() + "/a.txt", std::string(100000, 'a'));
    test::WriteFile(nginx.Root() + "/b.txt", "b");
    TConnectionPool pool;
    for (const char* name : {"/a.txt", "/b.txt", "/a.txt"}) {
      std::string body;
      EXPECT_TRUE(Fetch(pool, nginx.Url(name), &body)) << name;
      EXPECT_EQ(body.size(), name[1] == 'a' ? 100000u : 1u);
      ::usleep(static_cast<useconds_t>(c.pauseMs) * 1000);
    }
    const std::vector<std::string> seen = nginx.ConnectionsOf(".txt");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(Distinct(seen), c.connections);
    pool.CloseAll();
    EXPECT_EQ(pool.IdleCount(), 0u);
  }
}

TEST(KeptConnections, AConnectionDroppedAsTheRequestArrivesCostsARetryNotAFailure) {
  test::TScriptedServer server;
  TConnectionPool pool;
  std::string body;
  ASSERT_TRUE(Fetch(pool, server.Url("/kept/one"), &body));
  EXPECT_EQ(body, "/kept/one");
  EXPECT_EQ(pool.IdleCount(), 1u);
  // Taken from the pool, the connection is dropped unanswered; a new one answers.
  ASSERT_TRUE(Fetch(pool, server.Url("/kept/two"), &body));
  EXPECT_EQ(body, "/kept/two");
  THTTPSend log;
  ASSERT_TRUE(log.PerformRequest("GET", server.Url("/__requests")));
  const std::string requests = log.Document.Data();
  EXPECT_NE(requests.find("dropped"), std::string::npos);
  EXPECT_EQ(requests.find("dropped"), requests.rfind("dropped"));
  // A request that fails for another reason (here: nothing listens) is not retried for ever.
  EXPECT_FALSE(Fetch(pool, "http://127.0.0.1:1/x"));
  // A body that follows a 304 on a kept connection is no answer to the next request, which is
  // asked again on a new connection at once.
  THTTPSend notModified;
  notModified.Protocol = "1.1";
  notModified.Pool = &pool;
  ASSERT_TRUE(notModified.PerformRequest("GET", server.Url("/late304")));
  EXPECT_EQ(notModified.ResultCode, 304);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(Fetch(pool, server.Url("/echo"), &body));
  EXPECT_EQ(body.rfind("GET /echo ", 0), 0u) << body;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3));
}

}  // namespace
}  // namespace kova
