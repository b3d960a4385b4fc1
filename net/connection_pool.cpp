#include "net/connection_pool.h"

#include <algorithm>
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
  std::map<std::string, TOrigin> shared;  // closed outside the lock: each joins its reader
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(idle_);
    for (auto& [key, origin] : origins_) {
      if (origin.Connection) shared[key].Connection = std::move(origin.Connection);
    }
  }
}

TConnectionPool::TShared TConnectionPool::Shared(const std::string& key, int waitMs,
                                                 const std::atomic<bool>& stop) {
  std::shared_ptr<TH2Connection> ended;  // let go outside the lock
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    TOrigin& origin = origins_[key];
    TShared answer;
    if (origin.Http1) {
      answer.Http1 = true;
      return answer;
    }
    if (origin.Connection && origin.Connection->Usable()) {
      answer.Connection = origin.Connection;
      return answer;
    }
    if (origin.Connection) ended = std::move(origin.Connection);
    const auto now = std::chrono::steady_clock::now();
    // One request opens the connection the others will share; one that waits too long for it
    // opens its own rather than fail.
    if (!origin.Opening || stop || now >= deadline) {
      origin.Opening = true;
      answer.Open = true;
      return answer;
    }
    opened_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(200)));
  }
}

void TConnectionPool::Opened(const std::string& key, std::shared_ptr<TH2Connection> connection,
                             bool http1) {
  std::shared_ptr<TH2Connection> replaced;
  std::lock_guard<std::mutex> lock(mutex_);
  TOrigin& origin = origins_[key];
  origin.Opening = false;
  if (http1) origin.Http1 = true;
  if (connection) {
    replaced = std::move(origin.Connection);
    origin.Connection = std::move(connection);
  }
  opened_.notify_all();
}

void TConnectionPool::FallBack(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  origins_[key].Http1 = true;
  opened_.notify_all();
}

std::size_t TConnectionPool::StreamRoom(std::size_t cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t room = 0;
  for (auto& [key, origin] : origins_) {
    if (origin.Connection && origin.Connection->Usable())
      room = std::max(room, origin.Connection->Room(cap));
  }
  return room;
}

std::size_t TConnectionPool::SharedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (auto& [key, origin] : origins_) count += origin.Connection && origin.Connection->Alive();
  return count;
}

std::size_t TConnectionPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace kova
