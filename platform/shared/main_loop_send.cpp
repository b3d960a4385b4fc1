// Sending a call to the GUI thread, on top of each system's posting: the same on every system.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/main_loop.h"

namespace kova::platform {

void SendToGuiThread(std::function<void()> call) {
  struct TDone {
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::condition_variable changed;
  };
  auto state = std::make_shared<TDone>();
  PostToGuiThread([call = std::move(call), state] {
    try {
      call();
    } catch (...) {
      // The sender only waits for the call to have run; a failure stays on the GUI side.
    }
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done.store(true, std::memory_order_release);
    }
    state->changed.notify_one();
  });
  // The GUI thread usually runs the call within microseconds; sleep only when it does not. Only
  // one sender spins at a time: many transfers reporting at once would otherwise spin on every
  // core while the GUI thread waits for one.
  static std::atomic<int> spinning{0};
  if (spinning.fetch_add(1, std::memory_order_acq_rel) == 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (!state->done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
      CpuRelax();
  }
  spinning.fetch_sub(1, std::memory_order_acq_rel);
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&state] { return state->done.load(std::memory_order_acquire); });
}

}  // namespace kova::platform
