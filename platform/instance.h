#pragma once
// The single-instance lock and the messages between instances.
//
// Holding the lock is holding a bound per-user abstract Unix socket named after the lock name;
// the kernel frees it when the process ends, also on a crash. Other instances (and any other
// program) send a message name such as "FOCUS==uid" by connecting to it.

#include <memory>
#include <string>
#include <vector>

namespace kova::platform {

class TInstanceLock {
 public:
  enum class TResult { Acquired, HeldElsewhere, Failed };
  // An empty name gives no protection: the result is Failed and nothing is bound.
  static std::unique_ptr<TInstanceLock> TryAcquire(const std::string& name, TResult& result);
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Readable when a message is waiting; for the main loop to watch.
  int Fd() const { return fd_; }
  // Accepts the connections that are waiting and returns the message names they carried.
  std::vector<std::string> TakeMessages();
  // Waits up to `milliseconds` for a message (negative: forever); false on time-out.
  bool WaitForMessage(int milliseconds) const;

 private:
  explicit TInstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

// Delivers `message` to the holder of the lock `name`; false when nobody holds it.
bool SendInstanceMessage(const std::string& name, const std::string& message);

// Process-wide ids for message names: the same name always gives the same id (from 0xC000).
unsigned RegisterWindowMessage(const std::string& name);

}  // namespace kova::platform
