#include <glib.h>

#include <memory>

#include "platform/main_loop.h"

namespace kova::platform {

void TEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.store(true, std::memory_order_release);
  }
  changed_.notify_all();
  WakeGuiThread();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_.store(false, std::memory_order_release);
}

bool TEvent::Wait(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return IsSet(); });
}

void WakeGuiThread() { g_main_context_wakeup(nullptr); }

void ServeMessages(bool mayBlock) { g_main_context_iteration(nullptr, mayBlock ? TRUE : FALSE); }

void WaitForEventServingMessages(const TEvent& event) {
  // A set() between the test and the iteration is not lost: the wake-up it sends makes the next
  // iteration return at once.
  while (!event.IsSet()) g_main_context_iteration(nullptr, TRUE);
}

namespace {

gboolean RunCall(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void DeleteCall(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

void PostToGuiThread(std::function<void()> call) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, RunCall, new std::function<void()>(std::move(call)), DeleteCall);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

void SendToGuiThread(std::function<void()> call) {
  auto done = std::make_shared<TEvent>();
  PostToGuiThread([call = std::move(call), done] {
    try {
      call();
    } catch (...) {
      // The sender only waits for the call to have run; a failure stays on the GUI side.
    }
    done->Set();
  });
  while (!done->Wait(1000)) {
  }
}

}  // namespace kova::platform

#include <glib-unix.h>
#include <signal.h>

namespace kova::platform {

void ServePendingMessages() {
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

namespace {
gboolean OnSignal(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_CONTINUE;
}
}  // namespace

void OnInterrupt(std::function<void()> handler) {
  auto* shared = new std::function<void()>(std::move(handler));  // lives as long as the process
  g_unix_signal_add(SIGINT, OnSignal, shared);
  g_unix_signal_add(SIGTERM, OnSignal, shared);
}

}  // namespace kova::platform
