#pragma once
// An HTTP/2 client session on bytes only: requests go in as header lists, what the server sends
// is fed in as it arrives, and the frames to send are taken out. It never touches a socket, so
// the connection that drives it keeps its own time-outs, stop flag and locking, and hostile
// frames can be fed to it directly.
//
// Memory stays bounded whatever the server sends: a stream's body is held only until the caller
// takes it, and the server may send only as much as the windows allow, which grow back only as
// the caller takes bytes. Header blocks are capped per stream.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct nghttp2_session;

namespace kova {

// What one request's stream has brought so far.
struct TH2Stream {
  int Status = 0;                        // of the final response; 0 until its headers end
  std::vector<std::string> HeaderLines;  // "name: value", the final response's
  bool HeadersDone = false;
  std::string Body;             // received and not yet taken
  std::int64_t Received = 0;    // body bytes received in all
  bool Ended = false;           // the stream is closed, in order or not
  std::uint32_t ErrorCode = 0;  // the HTTP/2 error code it closed with; 0 for an orderly end
  // The server did not process the request (refused, or beyond its GOAWAY's last stream): it
  // may be asked again anywhere.
  bool Refused = false;
  std::string Failure;  // why it failed, in words, when it did
  bool Lost = false;    // the connection under it ended before it did
  std::size_t HeaderBytes = 0;
};

class TH2Session {
 public:
  struct TLimits {
    std::size_t MaxHeaderBlock = 300 * 1024;  // per stream, every header block together
    std::int32_t StreamWindow = 4 << 20;
    std::int32_t ConnectionWindow = 16 << 20;
  };

  // A client session with the connection preface and our settings queued to send.
  explicit TH2Session(TLimits limits);
  ~TH2Session();
  TH2Session(const TH2Session&) = delete;
  TH2Session& operator=(const TH2Session&) = delete;

  // Starts a GET-like request without a body: the pseudo-headers first. The new stream's id, or
  // 0 when the session takes no new stream (failed, or the server is going away).
  std::int32_t Submit(const std::vector<std::pair<std::string, std::string>>& headers);
  // Takes bytes from the server; false once the session has failed.
  bool Received(const char* data, std::size_t size);
  // The frames to send now; emptied by the call.
  std::string TakeOutgoing();
  // Takes up to `most` bytes of the stream's body, and gives the window back for them.
  std::string TakeBody(std::int32_t id, std::size_t most);
  // Ends the request: a stream still open is reset (CANCEL), and what it held is let go.
  void Release(std::int32_t id);
  // Says goodbye to the server (GOAWAY, no error) before the connection closes.
  void Terminate();
  // Fails every open stream and the session: the connection under it is lost.
  void Lose(const std::string& why);

  TH2Stream* Find(std::int32_t id);
  bool Failed() const { return !failure_.empty(); }
  // The session failed because the server broke the protocol (not because the connection was
  // lost): the server is better asked over HTTP/1.1.
  bool Broken() const { return broken_; }
  const std::string& Failure() const { return failure_; }
  // The server sent GOAWAY (or the session failed): no new stream is started here.
  bool GoingAway() const { return goingAway_ || Failed(); }
  // Streams this session may have open at once, as the server allows, at most `cap`.
  std::size_t StreamRoom(std::size_t cap) const;
  std::size_t OpenStreams() const { return streams_.size(); }
  // Whether the session is still of use (not failed, and the library wants to go on).
  bool Alive() const;

 private:
  void FailAll(const std::string& why);
  // The callbacks, reached through the session's user data.
  friend struct TH2Callbacks;

  TLimits limits_;
  nghttp2_session* session_ = nullptr;
  std::map<std::int32_t, TH2Stream> streams_;
  std::string failure_;
  std::string lastLibraryError_;
  bool goingAway_ = false;
  bool broken_ = false;
};

}  // namespace kova
