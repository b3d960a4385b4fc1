#include "workers/worker_thread.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace kova {

namespace {

// Worker threads that wait for the next piece of work. One is enough while workers run one at a
// time; another is added whenever all are busy.
class TThreadPool {
 public:
  void Run(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ == 0) {
      std::thread([this] { Serve(); }).detach();
    } else {
      wake_.notify_one();
    }
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        wake_.wait(lock, [this] { return !jobs_.empty(); });
        --idle_;
      }
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  int idle_ = 0;
};

// Never destroyed: its threads live until the process ends.
TThreadPool& Pool() {
  static TThreadPool* pool = new TThreadPool;
  return *pool;
}

}  // namespace

TWaitingThread::~TWaitingThread() {
  // Concrete workers wait in their own destructors; this is the last safety net.
  JoinServingMessages();
}

void TWaitingThread::Start() {
  started_ = true;
  Pool().Run([this] {
    Execute();
    ended_.store(true, std::memory_order_release);
    platform::WakeGuiThread();
  });
}

void TWaitingThread::JoinServingMessages() {
  if (!started_) return;
  while (!ended_.load(std::memory_order_acquire)) platform::ServeMessages(true);
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
