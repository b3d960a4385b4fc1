// The message loop on GLib's default main context, with a queue of its own for calls from
// worker threads.
//
// An update run checks thousands of small files, each on a worker that reports to the GUI
// thread at its start and end and then signals its end. Going through a GLib source and a
// blocking poll for each of those hops would cost more than checking the file, so the GUI
// thread, while it waits for a worker, first spins briefly on the queue and the event before it
// sleeps, and a poster wakes the loop only when it may be asleep.

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "platform/main_loop.h"

namespace kova::platform {
namespace {

constexpr auto kSpin = std::chrono::microseconds(300);
constexpr auto kIterationInterval = std::chrono::milliseconds(10);

}  // namespace

// Gives the core's other thread room without a system call (a yield is a system call, and an
// expensive one in a virtual machine).
void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  for (int i = 0; i < 32; ++i) __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

namespace {

struct TCallQueue {
  std::mutex mutex;
  std::deque<std::function<void()>> calls;
  std::atomic<int> pending{0};
  // How many of our own waits the GUI thread is in, and whether it is blocked in one. Inside our
  // waits it sees calls, events and ends without a wake-up unless it is blocked; elsewhere (the
  // window's own loop) every change must wake it.
  std::atomic<int> waits{0};
  std::atomic<bool> blocked{false};
  GSource* source = nullptr;
  // When the GUI thread last let the loop dispatch; touched by the GUI thread only.
  std::chrono::steady_clock::time_point lastIteration{};
};

TCallQueue& Queue();

// Runs the calls queued so far; returns whether there were any.
bool DrainCalls() {
  TCallQueue& q = Queue();
  if (q.pending.load(std::memory_order_acquire) == 0) return false;
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    calls.swap(q.calls);
    q.pending.store(0, std::memory_order_release);
  }
  for (auto& call : calls) call();
  return !calls.empty();
}

gboolean Prepare(GSource*, gint* timeout) {
  *timeout = -1;
  return Queue().pending.load(std::memory_order_acquire) > 0;
}
gboolean Check(GSource*) {
  return Queue().pending.load(std::memory_order_acquire) > 0;
}
gboolean Dispatch(GSource*, GSourceFunc, gpointer) {
  DrainCalls();
  return G_SOURCE_CONTINUE;
}
GSourceFuncs kQueueFuncs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};

TCallQueue& Queue() {
  // Never destroyed: worker threads may post until the process ends.
  static TCallQueue* queue = [] {
    auto* q = new TCallQueue;
    q->source = g_source_new(&kQueueFuncs, sizeof(GSource));
    g_source_set_priority(q->source, G_PRIORITY_DEFAULT);
    g_source_attach(q->source, nullptr);
    return q;
  }();
  return *queue;
}

void WakeUnlessSpinning() {
  TCallQueue& q = Queue();
  if (q.waits.load(std::memory_order_seq_cst) == 0 || q.blocked.load(std::memory_order_seq_cst)) {
    g_main_context_wakeup(nullptr);
  }
}

}  // namespace

void TEvent::Set() {
  set_.store(true, std::memory_order_seq_cst);
  WakeUnlessSpinning();
}

void WakeGuiThread() {
  WakeUnlessSpinning();
}

void ServePendingMessages() {
  Queue();
  DrainCalls();
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

void WaitUntilServingMessages(const std::function<bool()>& done) {
  TCallQueue& q = Queue();
  q.waits.fetch_add(1, std::memory_order_seq_cst);
  // Spinning pays only while the wait may still end within microseconds (a small file's
  // worker). A longer wait sleeps between messages: a spinning GUI thread would take the core
  // that the worker's reads need on a machine of two cores.
  const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
  while (!done()) {
    // A run of many short waits never reaches the blocking iteration below, so the loop's other
    // sources (painting, input, timers, signals) get a turn at least this often.
    const auto now = std::chrono::steady_clock::now();
    if (now - q.lastIteration > kIterationInterval) {
      q.lastIteration = now;
      g_main_context_iteration(nullptr, FALSE);
      continue;
    }
    // Spin a little: most waits in a run are short, and a worker's calls and end are seen here
    // without a wake-up.
    while (!done() && q.pending.load(std::memory_order_seq_cst) == 0 &&
           std::chrono::steady_clock::now() < spinUntil) {
      CpuRelax();
    }
    if (DrainCalls()) continue;
    if (done()) break;
    // From here on a poster or a finishing worker sees `blocked` and wakes the loop, so the
    // blocking iteration cannot miss what comes after this last look.
    q.blocked.store(true, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!done() && q.pending.load(std::memory_order_seq_cst) == 0)
      g_main_context_iteration(nullptr, TRUE);
    q.blocked.store(false, std::memory_order_seq_cst);
    q.lastIteration = std::chrono::steady_clock::now();
  }
  q.waits.fetch_sub(1, std::memory_order_seq_cst);
  // What a worker queued before it ended is applied now, in order, before the caller goes on:
  // a report left behind would otherwise land after whatever the caller shows next.
  DrainCalls();
}

void WaitForEventServingMessages(const TEvent& event) {
  WaitUntilServingMessages([&event] { return event.IsSet(); });
}

void PostToGuiThread(std::function<void()> call) {
  TCallQueue& q = Queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.calls.push_back(std::move(call));
    q.pending.fetch_add(1, std::memory_order_seq_cst);
  }
  WakeUnlessSpinning();
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
