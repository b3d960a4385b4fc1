// The HTTP/2 way of a request: the same request as over HTTP/1.1, on a stream of the server's
// one shared connection, and the answer laid out as the HTTP/1.1 path lays it out (the status
// line and header lines, the body through Document and the status callback), so that everything
// after it (ranges, redirects, validators, codings, caps) works as it does there.

#include <chrono>
#include <memory>

#include "net/connection_pool.h"
#include "net/h2_connection.h"
#include "net/http_send.h"
#include "net/proxy.h"
#include "net/url.h"
#include "support/text.h"

namespace kova {
namespace {

// A request the server did not process (a GOAWAY before it, a connection lost before its
// answer) is asked again on another connection this many times in all.
constexpr int kSharedAttempts = 3;
constexpr int kSliceMs = 200;

// Header fields that belong to one HTTP/1.1 connection, which HTTP/2 forbids.
bool ConnectionSpecific(const std::string& lowerName) {
  return lowerName == "host" || lowerName == "connection" || lowerName == "keep-alive" ||
         lowerName == "proxy-connection" || lowerName == "transfer-encoding" ||
         lowerName == "upgrade" || lowerName == "te" || lowerName == "proxy-authorization";
}

// The HTTP/2 header list of a composed HTTP/1.1 request.
std::vector<std::pair<std::string, std::string>> StreamHeaders(const std::string& request) {
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string method, path, authority;
  std::size_t at = 0;
  for (bool first = true; at < request.size(); first = false) {
    std::size_t end = request.find("\r\n", at);
    if (end == std::string::npos) end = request.size();
    const std::string line = request.substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;
    if (first) {
      const std::size_t space = line.find(' ');
      method = line.substr(0, space);
      const std::size_t next = line.find(' ', space + 1);
      path =
          line.substr(space + 1, next == std::string::npos ? std::string::npos : next - space - 1);
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    const std::string name = LowerCaseAscii(TrimBlanks(line.substr(0, colon)));
    const std::string value = TrimBlanks(line.substr(colon + 1));
    if (name == "host") authority = value;
    if (ConnectionSpecific(name)) continue;
    fields.emplace_back(name, value);
  }
  headers.emplace_back(":method", method);
  headers.emplace_back(":scheme", "https");
  headers.emplace_back(":authority", authority);
  headers.emplace_back(":path", path);
  headers.insert(headers.end(), fields.begin(), fields.end());
  return headers;
}

bool ParseLength(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

THTTPSend::TShared THTTPSend::AskShared(const std::string& method, const std::string& url,
                                        const TProxy& proxy, const std::string& key,
                                        const std::string& request, bool& ok) {
  ok = false;
  for (int attempt = 0; attempt < kSharedAttempts; ++attempt) {
    const TConnectionPool::TShared shared = Pool->Shared(key, AnswerWait(), Sock.StopFlag);
    if (shared.Http1) return TShared::Http1;
    std::shared_ptr<TH2Connection> connection = shared.Connection;
    if (shared.Open) {
      Sock.CloseSocket();
      openHost_.clear();
      if (!OpenConnection(proxy, true, {"h2", "http/1.1"})) {
        Pool->Opened(key, nullptr, false);
        Clear();
        return TShared::Answered;
      }
      if (Sock.Negotiated() != "h2") {
        Pool->Opened(key, nullptr, true);
        return TShared::Http1Open;
      }
      connection = std::make_shared<TH2Connection>(Sock);
      Pool->Opened(key, connection, false);
    }
    switch (OnStream(*connection, method, url, request, ok)) {
      case TStreamEnd::Answered:
        return TShared::Answered;
      case TStreamEnd::Retry:
        continue;
      case TStreamEnd::FallBack:
        // Nothing of the answer arrived: the request is asked once more over HTTP/1.1.
        Pool->FallBack(key);
        return TShared::Http1;
    }
  }
  Sock.SetError(kErrHttp2, "the server did not take the request on " +
                               std::to_string(kSharedAttempts) + " HTTP/2 connections");
  ResultCode = 0;
  Clear();
  return TShared::Answered;
}

bool THTTPSend::AwaitStream(TH2Connection& connection, std::int32_t id, int timeoutMs,
                            const std::function<bool(const TH2Stream&)>& ready,
                            const std::function<void(const TH2Stream&)>& use) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Sock.StopFlag.exchange(false)) {
      Sock.SetError(kErrStopped);
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      Sock.SetError(kErrTimeout);
      return false;
    }
    if (connection.Await(id, static_cast<int>(std::min<long long>(left, kSliceMs)), ready, use))
      return true;
    if (Sock.OnStatus) Sock.OnStatus(Sock, HR_Wait, "");
  }
}

THTTPSend::TStreamEnd THTTPSend::OnStream(TH2Connection& connection, const std::string& method,
                                          const std::string& url, const std::string& request,
                                          bool& ok) {
  ok = false;
  headerBytes_ = 0;
  strayAnswer_ = false;
  Clear();
  const std::int32_t id =
      connection.Start(StreamHeaders(request), kMaxStreams, Sock.StopFlag, AnswerWait());
  if (id == 0) {
    if (Sock.StopFlag.exchange(false)) {
      Sock.SetError(kErrStopped);
      ResultCode = 0;
      return TStreamEnd::Answered;
    }
    // The connection went away (or stayed full) before the request could start on it.
    return connection.Broken() ? TStreamEnd::FallBack : TStreamEnd::Retry;
  }
  struct TRelease {
    TH2Connection& Connection;
    std::int32_t Id;
    ~TRelease() { Connection.Release(Id); }
  } release{connection, id};

  TH2Stream head;
  ResultCode = 0;
  if (!AwaitStream(
          connection, id, AnswerWait(), [](const TH2Stream& s) { return s.HeadersDone; },
          [&](const TH2Stream& s) {
            head.Status = s.Status;
            head.HeaderLines = s.HeaderLines;
            head.HeadersDone = s.HeadersDone;
            head.Refused = s.Refused;
            head.Lost = s.Lost;
            head.Failure = s.Failure;
            head.HeaderBytes = s.HeaderBytes;
          }))
    return TStreamEnd::Answered;
  if (!head.HeadersDone) {
    // Refused, or lost with the connection before any answer: nothing of it was counted, and
    // another connection may take it. A server that broke the protocol is asked over HTTP/1.1.
    if (head.Refused || head.Lost) {
      if (connection.Broken()) return TStreamEnd::FallBack;
      return TStreamEnd::Retry;
    }
    Sock.SetError(kErrHttp2, head.Failure);
    return TStreamEnd::Answered;
  }
  ResultCode = head.Status;
  ResultString.clear();
  Headers.push_back("HTTP/2 " + std::to_string(head.Status));
  Headers.insert(Headers.end(), head.HeaderLines.begin(), head.HeaderLines.end());
  std::string value;
  if (HeaderValue("Content-Type", value)) MimeType = value;
  std::int64_t length = 0;
  if (HeaderValue("Content-Length", value) && ParseLength(value, length)) DownloadSize = length;
  // The headers are a piece of the answer like any other, for the speed limit and the first
  // byte's time.
  if (Sock.OnStatus) Sock.OnStatus(Sock, HR_ReadCount, std::to_string(head.HeaderBytes));
  if (TakeRedirect(url)) {
    ok = true;
    return TStreamEnd::Answered;
  }
  BodyStarted = true;
  const bool bodiless = SameTextAscii(method, "HEAD") || ResultCode == 204 || ResultCode == 304;
  for (bool more = !bodiless; more;) {
    bool hasBody = false;
    TH2Stream state;
    if (!AwaitStream(
            connection, id, Timeout, [](const TH2Stream& s) { return !s.Body.empty(); },
            [&](const TH2Stream& s) {
              hasBody = !s.Body.empty();
              if (!hasBody) state = s;
            }))
      return TStreamEnd::Answered;
    if (!hasBody) {
      // Every byte taken: the stream's end says whether the body is whole.
      if (state.ErrorCode != 0 || state.Lost || !state.Failure.empty()) {
        Sock.SetError(kErrHttp2,
                      state.Failure.empty() ? "the HTTP/2 stream broke off" : state.Failure);
        return TStreamEnd::Answered;
      }
      break;
    }
    const std::string piece = connection.Take(id, kBlockSize);
    if (Sock.OnStatus) Sock.OnStatus(Sock, HR_ReadCount, std::to_string(piece.size()));
    Document.Seek(Document.Size());
    Document.Write(piece.data(), piece.size());
    if (Sock.StopFlag.exchange(false)) {
      Sock.SetError(kErrStopped);
      return TStreamEnd::Answered;
    }
  }
  Document.Seek(0);
  CollectCookies();
  ok = true;
  return TStreamEnd::Answered;
}

}  // namespace kova
