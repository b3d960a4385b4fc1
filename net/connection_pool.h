#pragma once
// Connections kept open between requests, so that a run of many small transfers pays for one
// connection (and one TLS handshake) per server instead of one per file. A client hands back a
// connection only when it has read its response to the end; one the server closed while it was
// kept is noticed when it is taken and dropped.
//
// A server that speaks HTTP/2 gets one connection, which every request to it shares while it
// lasts; the pool also remembers which servers chose HTTP/1.1, or failed HTTP/2, for the run.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/block_socket.h"
#include "net/h2_connection.h"

namespace kova {

class TConnectionPool {
 public:
  // The key of the connections to a server: the scheme, the host and the port.
  static std::string Key(bool secure, const std::string& host, const std::string& port);

  // Moves a kept connection for `key` into `socket`, which must hold none; false when there is
  // no live one.
  bool Take(const std::string& key, TTCPBlockSocket& socket);
  // Keeps the open connection of `socket` for the next request to `key`; `socket` is left
  // without one.
  void Keep(const std::string& key, TTCPBlockSocket& socket);
  // Closes every kept connection (the end of a run).
  void CloseAll();
  std::size_t IdleCount() const;

  // What the pool knows of a server's HTTP/2 connection.
  struct TShared {
    std::shared_ptr<TH2Connection> Connection;  // one that takes new streams
    bool Open = false;   // there is none: the caller opens a connection and tells Opened
    bool Http1 = false;  // the server speaks HTTP/1.1 in this run
  };
  // The shared connection for `key` when there is one that takes new streams. When there is
  // none the caller opens one; while another request is opening it, the caller waits for that
  // up to `waitMs` (or until `stop`).
  TShared Shared(const std::string& key, int waitMs, const std::atomic<bool>& stop);
  // What the connection the caller opened after Shared turned out to be: `connection` is null
  // when the server chose HTTP/1.1 (`http1`) or the connection failed.
  void Opened(const std::string& key, std::shared_ptr<TH2Connection> connection, bool http1);
  // The server offered HTTP/2 and failed it: it is asked over HTTP/1.1 for the rest of the run.
  void FallBack(const std::string& key);
  // The most streams one shared connection takes at once, at most `cap`; 0 while there is none.
  std::size_t StreamRoom(std::size_t cap);
  // Shared connections that still work.
  std::size_t SharedCount();

  // At most this many connections are kept, the oldest closed first: as many as the most
  // transfers that run side by side.
  static constexpr std::size_t kMaxIdle = 16;
  // A connection kept longer is closed rather than reused: servers drop idle ones anyway
  // (nginx after 75 s), and one dropped while in use costs a retry.
  static constexpr std::chrono::seconds kIdleLimit{30};

 private:
  struct TEntry {
    std::string Key;
    std::unique_ptr<TTCPBlockSocket> Socket;
    std::chrono::steady_clock::time_point Since;
  };
  struct TOrigin {
    std::shared_ptr<TH2Connection> Connection;
    bool Opening = false;
    bool Http1 = false;
  };
  mutable std::mutex mutex_;
  std::deque<TEntry> idle_;  // the most recently kept last
  std::map<std::string, TOrigin> origins_;
  std::condition_variable opened_;
};

}  // namespace kova
