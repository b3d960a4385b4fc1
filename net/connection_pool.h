#pragma once
// Connections kept open between requests, so that a run of many small transfers pays for one
// connection (and one TLS handshake) per server instead of one per file. A client hands back a
// connection only when it has read its response to the end; one the server closed while it was
// kept is noticed when it is taken and dropped.

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "net/block_socket.h"

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
  mutable std::mutex mutex_;
  std::deque<TEntry> idle_;  // the most recently kept last
};

}  // namespace kova
