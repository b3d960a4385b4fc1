#include "workers/transfer_control.h"

#include <algorithm>

namespace kova {
namespace {

constexpr auto kLook = std::chrono::milliseconds(100);

}  // namespace

void TTransferControl::SetLimit(std::int64_t bytesPerSecond) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = std::max<std::int64_t>(0, bytesPerSecond);
    tokens_ = 0;
    filled_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

std::int64_t TTransferControl::Limit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limit_;
}

void TTransferControl::SetPaused(bool paused) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    // What the bucket saved during a pause is not spent in a burst after it.
    tokens_ = std::min(tokens_, 0.0);
    filled_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

bool TTransferControl::Paused() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paused_;
}

bool TTransferControl::WaitWhilePaused(const std::function<bool()>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (paused_) {
    lock.unlock();
    if (stop && stop()) return false;
    lock.lock();
    changed_.wait_for(lock, kLook);
  }
  return true;
}

double TTransferControl::ReceiveRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_ >= 256 * 1024 && receiving_ > 0.02 ? received_ / receiving_ : 0;
}

std::int64_t TTransferControl::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

void TTransferControl::NoteFirstByte(std::chrono::steady_clock::duration wait) {
  const double seconds = std::chrono::duration<double>(wait).count();
  std::lock_guard<std::mutex> lock(mutex_);
  if (roundTrip_ < 0 || seconds < roundTrip_) roundTrip_ = seconds;
}

double TTransferControl::RoundTrip() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roundTrip_;
}

TTransferControl::TAnswer TTransferControl::Take(std::int64_t bytes,
                                                 const std::function<bool()>& stop,
                                                 std::chrono::milliseconds hold) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  total_ += bytes;
  if (start - lastPiece_ < std::chrono::milliseconds(250)) {
    receiving_ += std::chrono::duration<double>(start - lastPiece_).count();
    received_ += static_cast<double>(bytes);
  }
  lastPiece_ = start;
  bool counted = false;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (!paused_ && limit_ > 0) {
      // The bucket fills at the limit and holds a quarter of a second's worth at most, so a
      // transfer that waited does not burst past the limit afterwards.
      const double capacity = static_cast<double>(limit_) / 4;
      tokens_ = std::min(capacity, tokens_ + std::chrono::duration<double>(now - filled_).count() *
                                                 static_cast<double>(limit_));
      filled_ = now;
      if (!counted) {
        tokens_ -= static_cast<double>(bytes);
        counted = true;
      }
      if (tokens_ >= 0) return TAnswer::Go;
    } else if (!paused_) {
      return TAnswer::Go;
    } else if (now - start >= hold) {
      return TAnswer::HeldTooLong;
    }
    lock.unlock();
    if (stop && stop()) return TAnswer::Stopped;
    lock.lock();
    // Until the bucket holds enough again, or a tenth of a second, whichever comes first.
    auto wait = kLook;
    if (!paused_ && limit_ > 0) {
      const auto deficit = std::chrono::duration<double>(-tokens_ / static_cast<double>(limit_));
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(deficit) +
                                std::chrono::milliseconds(1));
    }
    changed_.wait_for(lock, wait);
  }
}

}  // namespace kova
