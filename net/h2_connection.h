#pragma once
// One HTTP/2 connection that many requests share, each on a stream of its own, from as many
// threads. A reader thread of the connection's own takes what the server sends and hands it to
// the streams; a request's thread sends its own frames, and takes its stream's body as fast as
// it can use it, which is what gives the server its window back. They take turns on the
// connection (its secure session is one) under one lock, never held while a caller's code runs.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/block_socket.h"
#include "net/h2_session.h"

namespace kova {

class TH2Connection {
 public:
  // Takes over the open secure connection of `socket`, on which the server chose h2, and sends
  // the connection preface. A stream's caller bounds how long it waits on a silent server.
  explicit TH2Connection(TTCPBlockSocket& socket, TH2Session::TLimits limits = {});
  // Says goodbye to the server, closes the connection and ends the reader.
  ~TH2Connection();
  TH2Connection(const TH2Connection&) = delete;
  TH2Connection& operator=(const TH2Connection&) = delete;

  // Starts a request once a stream fits (at most `cap` open at once): the stream's id, or 0 when
  // this connection starts no new stream (it failed, the server is going away, `stop` was set or
  // `waitMs` passed first).
  std::int32_t Start(const std::vector<std::pair<std::string, std::string>>& headers,
                     std::size_t cap, const std::atomic<bool>& stop, int waitMs);
  // Waits up to `ms` until `ready` holds for the stream (or it is gone), then gives `use` the
  // stream under the lock. False when the wait passed first.
  bool Await(std::int32_t id, int ms, const std::function<bool(const TH2Stream&)>& ready,
             const std::function<void(const TH2Stream&)>& use);
  // Takes up to `most` bytes of the stream's body, giving the server its window back.
  std::string Take(std::int32_t id, std::size_t most);
  // Ends the request (resetting a stream still open).
  void Release(std::int32_t id);

  // Gives the connection up (a stream waited on it past its time-out): every stream fails and no
  // new one starts here.
  void Abandon(const std::string& why);
  // Whether the server broke the protocol on it.
  bool Broken();
  // Whether new streams may start here.
  bool Usable();
  // Whether the connection still works (streams already open may go on).
  bool Alive();
  // How many streams may be open at once, as the server allows, at most `cap`.
  std::size_t Room(std::size_t cap);
  std::size_t OpenStreams();
  std::chrono::steady_clock::time_point IdleSince();
  std::string Failure();

 private:
  void Read();
  // Sends what the session has to send; the lock is held.
  void Flush();

  std::mutex mutex_;
  std::condition_variable changed_;
  TTCPBlockSocket socket_;
  TH2Session session_;
  std::atomic<bool> closing_{false};
  std::chrono::steady_clock::time_point idleSince_;
  std::thread reader_;
};

}  // namespace kova
