#include "workers/worker_thread.h"

#include <cerrno>
#include <exception>

namespace kova {

TWaitingThread::~TWaitingThread() {
  // Concrete workers join in their own destructors; this is the last safety net.
  if (thread_.joinable()) JoinServingMessages();
}

void TWaitingThread::Start() {
  thread_ = std::thread([this] {
    Execute();
    ended_.store(true, std::memory_order_release);
    platform::WakeGuiThread();
  });
}

void TWaitingThread::JoinServingMessages() {
  if (!thread_.joinable()) return;
  while (!ended_.load(std::memory_order_acquire)) platform::ServeMessages(true);
  thread_.join();
}

void TCommonThread::Execute() {
  try {
    DoWork();
  } catch (const std::exception& e) {
    errorCode_ = errno;
    errorMessage_ = e.what();
    hasError_ = true;
  } catch (...) {
    errorCode_ = errno;
    errorMessage_ = "Unknown error";
    hasError_ = true;
  }
  DoneEvent.Set();
}

void WaitWithMessages(TWaitingThread& worker) { platform::WaitForEventServingMessages(worker.DoneEvent); }

}  // namespace kova
