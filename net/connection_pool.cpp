#include "net/connection_pool.h"

#include <utility>

namespace kova {

std::string TConnectionPool::Key(bool secure, const std::string& host, const std::string& port) {
  return (secure ? "https://" : "http://") + host + ":" + port;
}

bool TConnectionPool::Take(const std::string& key, TTCPBlockSocket& socket) {
  std::unique_ptr<TTCPBlockSocket> found;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = idle_.begin(); it != idle_.end();) {
      if (now - it->Since > kIdleLimit) {
        it = idle_.erase(it);
      } else {
        ++it;
      }
    }
    // The most recently used first: it is the least likely to have been dropped by the server.
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->Key != key) continue;
      found = std::move(it->Socket);
      idle_.erase(std::next(it).base());
      break;
    }
  }
  // A kept connection has nothing to say: anything readable is its end (the server closed it)
  // or bytes that belong to no request, and either way it is of no use.
  if (!found || !found->IsOpen() || found->CanRead(0)) return false;
  socket.SwapConnection(*found);
  return true;
}

void TConnectionPool::Keep(const std::string& key, TTCPBlockSocket& socket) {
  auto kept = std::make_unique<TTCPBlockSocket>();
  kept->SwapConnection(socket);
  std::unique_ptr<TTCPBlockSocket> dropped;  // closed outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() >= kMaxIdle) {
    dropped = std::move(idle_.front().Socket);
    idle_.pop_front();
  }
  idle_.push_back({key, std::move(kept), std::chrono::steady_clock::now()});
}

void TConnectionPool::CloseAll() {
  std::deque<TEntry> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(idle_);
  }
}

std::size_t TConnectionPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace kova
