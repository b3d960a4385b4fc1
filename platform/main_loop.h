#pragma once
// The GUI thread's message loop and the events workers signal.
//
// Everything of the program's own logic runs on the GUI thread; long work runs on one worker
// thread at a time, which reaches the GUI thread only through these calls. The loop is the one
// the window's toolkit serves (GLib's default main context with GTK, the thread's message queue
// on Windows), so every wait here also serves the window's own events, timers and the instance
// messages.

#include <atomic>
#include <functional>

namespace kova::platform {

// A manual-reset event that also wakes the message loop when it is set, so a GUI thread waiting
// in WaitForEventServingMessages notices it at once. Workers only poll it.
class TEvent {
 public:
  void Set();
  void Reset() { set_.store(false, std::memory_order_seq_cst); }
  // The zero-time-out test.
  bool IsSet() const { return set_.load(std::memory_order_seq_cst); }

 private:
  std::atomic<bool> set_{false};
};

// Runs the message loop until `event` is set.
void WaitForEventServingMessages(const TEvent& event);
// Runs the message loop until `done` holds; whoever makes it hold must then call WakeGuiThread.
void WaitUntilServingMessages(const std::function<bool()>& done);
// Queues `call` to run on the GUI thread and returns at once.
void PostToGuiThread(std::function<void()> call);
// Queues `call` to run on the GUI thread and waits until it has run. Must not be called on the
// GUI thread itself.
void SendToGuiThread(std::function<void()> call);
// Wakes a message loop that is waiting.
void WakeGuiThread();

}  // namespace kova::platform

namespace kova::platform {

// A short busy-wait step without a system call, for waits that usually end within microseconds.
void CpuRelax();
// Serves every message that is waiting, without blocking.
void ServePendingMessages();
// Calls `handler` on the GUI thread when the process is interrupted (Ctrl-C or SIGTERM).
void OnInterrupt(std::function<void()> handler);

}  // namespace kova::platform
