// The HTTP/2 session fed server frames made byte by byte: an answer with an interim one before
// it, and what a hostile or broken server sends (a header block past the cap, an endless run of
// CONTINUATION frames, windows that overflow, GOAWAY and RST_STREAM) each end the way the client
// can act on, with a reason in words.

#include "net/h2_session.h"

#include <gtest/gtest.h>

#include <string>

namespace kova {
namespace {

enum : std::uint8_t { kData = 0, kHeaders = 1, kRst = 3, kSettings = 4, kGoAway = 7 };
enum : std::uint8_t { kWindowUpdate = 8, kContinuation = 9 };
enum : std::uint8_t { kEndStream = 1, kAck = 1, kEndHeaders = 4 };

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  const std::string& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  return std::string{static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n),
                     static_cast<char>(type), static_cast<char>(flags)} +
         Be32(stream) + payload;
}

// An HPACK integer with an n-bit prefix.
std::string Integer(std::size_t value, int bits, std::uint8_t first = 0) {
  const std::size_t limit = (1u << bits) - 1;
  if (value < limit) return std::string(1, static_cast<char>(first | value));
  std::string out(1, static_cast<char>(first | limit));
  for (value -= limit; value >= 128; value /= 128) out += static_cast<char>(value % 128 + 128);
  return out + static_cast<char>(value);
}

// A header field as a literal without indexing, its name new.
std::string Field(const std::string& name, const std::string& value) {
  return std::string(1, '\0') + Integer(name.size(), 7) + name + Integer(value.size(), 7) + value;
}

std::string Status(int code) {
  return Field(":status", std::to_string(code));
}

struct TServer {
  TH2Session Session;
  std::int32_t First = 0, Second = 0;
  explicit TServer(TH2Session::TLimits limits = {}) : Session(limits) {
    const std::vector<std::pair<std::string, std::string>> request{
        {":method", "GET"}, {":scheme", "https"}, {":authority", "a"}, {":path", "/x"}};
    First = Session.Submit(request);
    Second = Session.Submit(request);
    Session.TakeOutgoing();
    Feed(Frame(kSettings, 0, 0, "") + Frame(kSettings, kAck, 0, ""));
  }
  bool Feed(const std::string& bytes) {
    const bool ok = Session.Received(bytes.data(), bytes.size());
    Session.TakeOutgoing();  // the library's own answers (a GOAWAY of its own) go out here
    return ok && !Session.Failed();
  }
  const TH2Stream& Stream(std::int32_t id) { return *Session.Find(id); }
};

TEST(Http2Session, AnAnswerAfterAnInterimOneIsLaidOutAsTheClientReadsIt) {
  TServer server;
  ASSERT_EQ(server.First, 1);
  ASSERT_EQ(server.Second, 3);
  ASSERT_TRUE(server.Feed(
      Frame(kHeaders, kEndHeaders, 1, Status(103) + Field("link", "</a>")) +
      Frame(kHeaders, kEndHeaders, 1,
            Status(206) + Field("content-range", "bytes 5-9/10") + Field("content-length", "5")) +
      Frame(kData, 0, 1, "hel") + Frame(kData, kEndStream, 1, "lo")));
  const TH2Stream& s = server.Stream(1);
  EXPECT_TRUE(s.HeadersDone);
  EXPECT_EQ(s.Status, 206);
  EXPECT_EQ(s.HeaderLines,
            (std::vector<std::string>{"content-range: bytes 5-9/10", "content-length: 5"}));
  EXPECT_TRUE(s.Ended);
  EXPECT_EQ(s.ErrorCode, 0u);
  EXPECT_TRUE(s.Failure.empty());
  EXPECT_EQ(server.Session.TakeBody(1, 2), "he");
  EXPECT_EQ(server.Session.TakeBody(1, 100), "llo");
  EXPECT_FALSE(server.Stream(3).Ended);
  // A body shorter than its length is no whole answer.
  ASSERT_TRUE(
      server.Feed(Frame(kHeaders, kEndHeaders, 3, Status(200) + Field("content-length", "9")) +
                  Frame(kData, kEndStream, 3, "short")));
  EXPECT_TRUE(server.Stream(3).Ended);
  EXPECT_NE(server.Stream(3).ErrorCode, 0u);
  EXPECT_FALSE(server.Stream(3).Failure.empty());
}

TEST(Http2Session, WhatABrokenOrHostileServerSendsEndsWithAReason) {
  struct TCase {
    const char* What;
    std::string Frames;
    bool SessionFails;  // or only the first stream
    const char* Reason;
  };
  const std::string big(6000, 'v');
  std::string continuations = Frame(kHeaders, 0, 1, Status(200));
  for (int i = 0; i < 40; ++i) continuations += Frame(kContinuation, 0, 1, Field("x", "y"));
  const std::vector<TCase> cases{
      {"a header block past the cap",
       Frame(kHeaders, kEndHeaders, 1, Status(200) + Field("a", big) + Field("b", big)), false,
       "header block larger than 8 KiB"},
      {"an endless run of CONTINUATION frames", continuations, true, "broke HTTP/2"},
      {"a connection window past 2^31-1", Frame(kWindowUpdate, 0, 0, Be32(0x7fffffff)), true,
       "FLOW_CONTROL_ERROR"},
      {"a stream window past 2^31-1", Frame(kWindowUpdate, 0, 1, Be32(0x7fffffff)), false,
       "FLOW_CONTROL_ERROR"},
      {"the stream reset", Frame(kRst, 0, 1, Be32(2)), false, "INTERNAL_ERROR"},
      {"data on a stream before its headers", Frame(kData, 0, 1, "x"), true, "PROTOCOL_ERROR"},
      {"no frame at all but garbage", std::string(64, '\xff'), true, "broke HTTP/2"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TServer server(TH2Session::TLimits{8 * 1024, 1 << 20, 4 << 20});
    server.Feed(c.Frames);
    EXPECT_EQ(server.Session.Failed(), c.SessionFails) << server.Session.Failure();
    const TH2Stream& s = server.Stream(server.First);
    EXPECT_TRUE(s.Ended);
    EXPECT_FALSE(s.HeadersDone);
    EXPECT_FALSE(s.Refused);
    EXPECT_NE(s.Failure.find(c.Reason), std::string::npos) << s.Failure;
    // The other stream fails only with the session.
    EXPECT_EQ(server.Stream(server.Second).Ended, c.SessionFails);
    EXPECT_EQ(server.Session.Submit({{":method", "GET"}}) == 0, c.SessionFails);
  }
}

TEST(Http2Session, AGoAwayRefusesTheStreamsTheServerDidNotProcessAndStartsNoNewOne) {
  TServer server;
  ASSERT_TRUE(server.Feed(Frame(kGoAway, 0, 0, Be32(1) + Be32(0))));
  EXPECT_TRUE(server.Session.GoingAway());
  EXPECT_FALSE(server.Session.Failed());
  EXPECT_TRUE(server.Stream(3).Ended);
  EXPECT_TRUE(server.Stream(3).Refused);
  EXPECT_FALSE(server.Stream(1).Ended);
  EXPECT_EQ(server.Session.Submit({{":method", "GET"}}), 0);
  // The stream it did take goes on to its end.
  ASSERT_TRUE(server.Feed(Frame(kHeaders, kEndHeaders | kEndStream, 1, Status(304))));
  EXPECT_TRUE(server.Stream(1).HeadersDone);
  EXPECT_EQ(server.Stream(1).Status, 304);
  EXPECT_EQ(server.Stream(1).ErrorCode, 0u);
}

}  // namespace
}  // namespace kova
