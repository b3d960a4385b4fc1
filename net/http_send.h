#pragma once
// A small blocking HTTP client: one GET per object, as the download worker uses it.
//
// The body arrives in Document; a user that needs constant memory empties Document from the
// socket's status callback at every HR_ReadCount (body data is appended only between socket
// calls). A hostile server cannot exhaust memory through the headers: a header line and the
// header block are capped, and a length that is no number fails the request.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/block_socket.h"
#include "support/stream.h"

namespace kova {

class THTTPSend {
 public:
  THTTPSend() = default;

  // Runs one request; true when connecting, sending and reading status, headers and body ended
  // without a socket error. The HTTP status is in ResultCode.
  bool PerformRequest(const std::string& method, const std::string& url);
  // Resets the range, empties Document and Headers, and sets MimeType back to "text/html".
  void Clear();
  // The value of the first response header with this name (ASCII case-insensitive), trimmed.
  bool HeaderValue(const std::string& name, std::string& value) const;

  std::vector<std::string> Headers;  // after a request: the status line and the header lines
  std::string NameValueSeparator = ":";
  std::vector<std::pair<std::string, std::string>> Cookies;
  TMemoryStream Document;
  std::int64_t RangeStart = 0;
  std::int64_t RangeEnd = 0;
  std::string MimeType = "text/html";
  std::string Protocol = "1.0";
  bool KeepAlive = true;
  int KeepAliveTimeout = 300;
  std::string UserAgent = "Mozilla/4.0 (compatible; KovaUpdater HTTP client)";
  int ResultCode = 0;
  std::string ResultString;
  std::int64_t DownloadSize = 0;  // the Content-Length, or the size of the chunk being read
  // The sizes of the chunks of a chunked body read so far, together.
  std::int64_t ChunkedTotal = 0;
  // Set once the status line and the headers have been read and the body begins.
  bool BodyStarted = false;
  std::int64_t UploadSize = 0;
  TTCPBlockSocket Sock;
  bool AddPortNumberToHost = true;
  std::string TargetHost = "127.0.0.1";
  std::string TargetPort = "0";
  int Timeout = 90000;  // milliseconds, for each wait on its own
  // For the wait until the server answers (its connection, handshake and status line); 0: as
  // Timeout. A caller with another address to ask gives up on a silent one sooner.
  int AnswerTimeout = 0;
  // How many redirects (301, 302, 303, 307, 308 with a Location) of a GET are followed; none
  // from https to http. A redirect not followed is the response.
  int MaxRedirects = 0;
  std::string UserName;
  std::string Password;
  // Where connections are kept between requests (HTTP/1.1 only); none: this object keeps its
  // own last connection.
  class TConnectionPool* Pool = nullptr;
  // The proxy settings requests follow; none: every server is reached directly.
  const class TProxyRules* Proxies = nullptr;

  // Over HTTP/2 (offered to https servers when there is a Pool), the most requests in flight on
  // one connection, whatever the server allows.
  static constexpr std::size_t kMaxStreams = 128;
  static constexpr std::size_t kMaxHeaderLine = 100 * 1024;
  static constexpr std::size_t kMaxHeaderBlock = 300 * 1024;
  static constexpr std::size_t kBlockSize = 65536;
  // Empty lines tolerated before a chunk's size line (one is the line end of the chunk before).
  static constexpr int kMaxBlankLines = 4;

 private:
  enum class TFraming { Unknown, Sized, Chunked };
  enum class TShared {
    Answered,   // the request ended over HTTP/2, well or not
    Http1,      // it is for HTTP/1.1 to ask
    Http1Open,  // the same, on the connection just opened, where the server chose HTTP/1.1
  };
  enum class TStreamEnd { Answered, Retry, FallBack };
  bool PerformOne(const std::string& method, const std::string& url);
  // Connects (through the proxy's tunnel for https), with the secure session offering
  // `protocols`; false with the error set and the socket closed.
  bool OpenConnection(const struct TProxy& proxy, bool secure,
                      const std::vector<std::string>& protocols);
  // Asks over the server's shared HTTP/2 connection, opening it when there is none; `ok` as
  // PerformOne returns it once Answered.
  TShared AskShared(const std::string& method, const std::string& url, const struct TProxy& proxy,
                    const std::string& key, const std::string& request, bool& ok);
  // One request on a stream of `connection`.
  TStreamEnd OnStream(class TH2Connection& connection, const std::string& method,
                      const std::string& url, const std::string& request, bool& ok);
  // Waits for the stream as a socket read waits: the status callback hears of each slice, and
  // the stop flag or `timeoutMs` without `ready` ends it with the error set.
  bool AwaitStream(class TH2Connection& connection, std::int32_t id, int timeoutMs,
                   const std::function<bool(const struct TH2Stream&)>& ready,
                   const std::function<void(const struct TH2Stream&)>& use);
  // Sends the request and reads the response over the open connection.
  bool Exchange(const std::string& method, const std::string& url, const std::string& request,
                bool reused, bool& closeAfter);
  // Whether a failure on a kept connection was the server having dropped it before answering,
  // which a new connection retries.
  bool DroppedBeforeAnswer() const;
  // Whether the response just read is a redirect to follow; then `redirectTo_` is set.
  bool TakeRedirect(const std::string& url);
  // `viaProxy`: the request goes to an HTTP proxy, with the whole address and its credentials.
  std::string ComposeRequest(const std::string& method, const struct TUrlParts& url,
                             const struct TProxy* viaProxy) const;
  // Asks the proxy on the open connection for a tunnel to the target; false with the error set.
  bool OpenTunnel(const struct TProxy& proxy);
  // Judges a proxy's answer to a plain request: a 407 fails as ProxyAuthFailed does.
  bool ProxyAnswerHolds(const struct TProxy& proxy, const struct TUrlParts& parts);
  // `proxy` refused the credentials (or their absence) with `status`: told once, and a failed
  // connection.
  bool ProxyAuthFailed(const struct TProxy& proxy, int status);
  int AnswerWait() const { return AnswerTimeout > 0 ? AnswerTimeout : Timeout; }
  bool ReadStatus();
  bool ReadHeaders(TFraming& framing, std::int64_t& length, bool& closeAfter);
  bool ReadUnknown();
  bool ReadSized(std::int64_t length);
  bool ReadChunked();
  void CollectCookies();
  // Marks the request as failed through a malformed response.
  bool Malformed();

  std::string openHost_;
  std::string openPort_;
  bool openSecure_ = false;
  std::string openVia_;           // the proxy of the connection this object holds
  bool oldServer_ = false;        // the response came as HTTP/1.0
  bool serverKeepsOpen_ = false;  // the response said "Connection: keep-alive"
  std::size_t headerBytes_ = 0;   // status lines and headers of this response so far
  bool followRedirect_ = false;
  bool strayAnswer_ = false;  // a kept connection answered with bytes no response starts with
  std::string redirectTo_;
};

}  // namespace kova
