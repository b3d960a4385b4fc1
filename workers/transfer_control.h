#pragma once
// What the player decides for every transfer of a run at once: a download speed limit,
// one token bucket that all transfers draw from, and pause, one gate they all wait at. A transfer
// asks before it takes more bytes from its connection; while it waits, its connection's window
// fills and the server sends no faster than the bucket allows.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kova {

class TTransferControl {
 public:
  // Bytes a second for all transfers together; 0: no limit.
  void SetLimit(std::int64_t bytesPerSecond);
  std::int64_t Limit() const;
  void SetPaused(bool paused);
  bool Paused() const;

  enum class TAnswer { Go, Stopped, HeldTooLong };
  // Counts `bytes` just received and waits while the transfers are paused or ahead of the
  // limit. Stopped when `stop` says so (looked at every tenth of a second); HeldTooLong when a
  // pause has held the caller for `hold`, so that it can give its connection up.
  TAnswer Take(std::int64_t bytes, const std::function<bool()>& stop,
               std::chrono::milliseconds hold = std::chrono::milliseconds::max());
  // What the link has delivered while transfers were receiving: bytes a second over every
  // transfer together, 0 while too little has come to tell.
  double ReceiveRate() const;
  // Every byte the transfers have taken, pauses and waits included.
  std::int64_t Received() const;
  // The time from a request to its answer's first byte, as each transfer saw it; RoundTrip is
  // the least of them (seconds; -1 while none), which a busy moment cannot inflate.
  void NoteFirstByte(std::chrono::steady_clock::duration wait);
  double RoundTrip() const;

  // Waits until the transfers are no longer paused; false when `stop` said so first.
  bool WaitWhilePaused(const std::function<bool()>& stop);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t limit_ = 0;
  bool paused_ = false;
  // The bucket: bytes that may still be taken at `filled_`; negative when taken ahead.
  double tokens_ = 0;
  std::chrono::steady_clock::time_point filled_{};
  // The rate: bytes, and the time between pieces that came close enough together to be one
  // stretch of receiving (a pause, the end of a run, a wait for a file's turn is no part of it).
  double received_ = 0, receiving_ = 0;
  std::int64_t total_ = 0;
  std::chrono::steady_clock::time_point lastPiece_{};
  double roundTrip_ = -1;
};

}  // namespace kova
