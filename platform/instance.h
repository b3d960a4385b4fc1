#pragma once
// The single-instance lock and the messages between instances.
//
// A lock is held by one process of one user at a time, and the operating system lets it go when
// that process ends, also on a crash. While held, it carries short text messages (message names
// such as "FOCUS==uid") from other processes of the same user to the holder; messages from
// another user are never delivered, and a lock name taken by another user is never mistaken for
// one of ours.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kova::platform {

class TInstanceLock {
 public:
  // HeldElsewhere: another process of this user holds it. Failed: no lock (an empty name, a
  // system failure, or the name taken by another user); the caller goes on without one. Where
  // the messages do not depend on the lock (Windows broadcasts them), a lock that holds nothing
  // is still returned then, so that the messages are served.
  enum class TResult { Acquired, HeldElsewhere, Failed };
  static std::unique_ptr<TInstanceLock> TryAcquire(const std::string& name, TResult& result);
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // From now on, while the GUI thread serves its message loop, calls `handler` there with each
  // message that arrives and is one of `accepted`; any other text is dropped. A sender is never
  // waited for: slow or silent senders are dropped after a short time, and only a few may be
  // pending at once. An empty handler stops the serving.
  void ServeMessages(std::vector<std::string> accepted,
                     std::function<void(const std::string&)> handler);

  struct TState;

 private:
  explicit TInstanceLock(std::unique_ptr<TState> state);
  std::unique_ptr<TState> state_;
};

// Delivers `message` to the holder of the lock `name`; false when no process of this user holds
// it.
bool SendInstanceMessage(const std::string& name, const std::string& message);

// Process-wide ids for message names: the same name always gives the same id (from 0xC000).
unsigned RegisterMessage(const std::string& name);

}  // namespace kova::platform
