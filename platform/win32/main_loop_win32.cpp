// The message loop on the thread's message queue, with a queue of its own for calls from worker
// threads. A wait serves the window messages (MsgWaitForMultipleObjects with message
// processing) and the calls, and wakes on a kernel event that every post, every set event and
// every finished worker signals. A message-only window takes a message for each batch of posted
// calls, so calls are also run by message loops that are not ours (a modal message box).

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/main_loop.h"
#include "platform/win32/message_filter.h"

namespace kova::platform {
namespace {

constexpr auto kSpin = std::chrono::microseconds(300);
constexpr UINT kDrainMessage = WM_APP + 0x4B;

struct TCallQueue {
  std::mutex mutex;
  std::deque<std::function<void()>> calls;
  std::atomic<int> pending{0};
  std::atomic<bool> drainPosted{false};
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<HWND> window{nullptr};
};

TCallQueue& Queue() {
  // Never destroyed: worker threads may post until the process ends.
  static TCallQueue* queue = new TCallQueue;
  return *queue;
}

bool DrainCalls() {
  TCallQueue& q = Queue();
  q.drainPosted.store(false, std::memory_order_seq_cst);
  if (q.pending.load(std::memory_order_acquire) == 0) return false;
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    calls.swap(q.calls);
    q.pending.store(0, std::memory_order_release);
  }
  for (auto& call : calls) {
    // These run inside the window procedure of the queue's window: an exception must not cross
    // user32 (which would end the process), so it ends here, as the window's handlers' do.
    try {
      call();
    } catch (const std::exception& e) {
      OutputDebugStringA((std::string("kova: a queued call failed: ") + e.what() + "\n").c_str());
    } catch (...) {
      OutputDebugStringA("kova: a queued call failed\n");
    }
  }
  return !calls.empty();
}

LRESULT CALLBACK QueueWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kDrainMessage) {
    DrainCalls();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Made on the GUI thread, the first time it serves messages.
void EnsureQueueWindow() {
  TCallQueue& q = Queue();
  if (q.window.load()) return;
  WNDCLASSA cls{};
  cls.lpfnWndProc = QueueWindowProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "KovaUpdaterCalls";
  RegisterClassA(&cls);
  q.window.store(CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 cls.hInstance, nullptr));
}

void Wake() {
  SetEvent(Queue().wake);
}

std::atomic<TMessageFilter> messageFilter{nullptr};

void ServeWindowMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    const TMessageFilter filter = messageFilter.load();
    if (filter && filter(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

void SetMessageFilter(TMessageFilter filter) {
  messageFilter.store(filter);
}

void CpuRelax() {
  YieldProcessor();
}

void TEvent::Set() {
  set_.store(true, std::memory_order_seq_cst);
  Wake();
}

void WakeGuiThread() {
  Wake();
}

void ServePendingMessages() {
  EnsureQueueWindow();
  DrainCalls();
  ServeWindowMessages();
}

void WaitUntilServingMessages(const std::function<bool()>& done) {
  EnsureQueueWindow();
  TCallQueue& q = Queue();
  // Spinning pays only while the wait may still end within microseconds (a small file's
  // worker); a longer wait sleeps until an event, a call or a message comes.
  const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
  while (!done()) {
    if (DrainCalls()) continue;
    // While spinning only the queue and the flag are looked at: every look at the window
    // messages is a call into the system (under Wine, a round trip to its server).
    if (std::chrono::steady_clock::now() < spinUntil) {
      CpuRelax();
      continue;
    }
    ServeWindowMessages();
    if (done() || DrainCalls()) continue;
    // A wait that fails at once (a broken handle) would turn this loop into a busy one: it
    // sleeps a little instead, and the loop looks again.
    if (MsgWaitForMultipleObjectsEx(1, &q.wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
        WAIT_FAILED)
      Sleep(10);
  }
  // What a worker queued before it ended is applied now, in order, before the caller goes on.
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
  Wake();
  const HWND window = q.window.load();
  // A post that fails (a full queue) must not leave the flag set: no later post would be made,
  // and nested loops that only dispatch messages would stop running the calls. The wake event
  // still brings the waiting loop round to them.
  if (window && !q.drainPosted.exchange(true) && !PostMessageA(window, kDrainMessage, 0, 0))
    q.drainPosted.store(false);
}

namespace {
std::function<void()>* interruptHandler = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // This runs on a thread of the system's: the handler runs on the GUI thread.
  if (interruptHandler) PostToGuiThread(*interruptHandler);
  return TRUE;
}
}  // namespace

void OnInterrupt(std::function<void()> handler) {
  interruptHandler = new std::function<void()>(std::move(handler));  // lives as long as the process
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace kova::platform
