#include "workers/worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "support/error.h"

namespace kova {

namespace {

// Worker threads that wait for the next piece of work. One is enough while workers run one at a
// time; another is added whenever all are busy. A thread that has just finished watches for the
// next job for a moment before it sleeps: in a run the next worker follows within microseconds,
// and waking a sleeping thread costs more than that.
class TThreadPool {
 public:
  // Runs `job` on a pool thread, then `ended` once that thread is free for the next job: whoever
  // learns of the end from `ended` and starts the next worker finds the same thread ready,
  // instead of a second thread being made while the first is still on its way back.
  void Run(std::function<void()> job, std::function<void()> ended) {
    std::unique_lock<std::mutex> lock(mutex_);
    jobs_.push_back({std::move(job), std::move(ended)});
    pending_.store(static_cast<int>(jobs_.size()), std::memory_order_release);
    if (available_ > 0) {
      --available_;  // an idle thread will take it
      if (sleeping_ > 0) wake_.notify_one();
    } else {
      std::thread([this] { Serve(); }).detach();
    }
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (jobs_.empty()) {
        lock.unlock();
        // One idle thread watching is enough to take the next job at once; when many end at
        // the same moment (a hundred small transfers) the others sleep, as their spinning would
        // take the cores the busy ones need.
        if (spinning_.fetch_add(1, std::memory_order_acq_rel) == 0) {
          const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
          while (pending_.load(std::memory_order_acquire) == 0 &&
                 std::chrono::steady_clock::now() < until) {
            platform::CpuRelax();
          }
        }
        spinning_.fetch_sub(1, std::memory_order_acq_rel);
        lock.lock();
        if (!jobs_.empty()) break;
        ++sleeping_;
        wake_.wait(lock, [this] { return !jobs_.empty(); });
        --sleeping_;
      }
      TJob job = std::move(jobs_.front());
      jobs_.pop_front();
      pending_.store(static_cast<int>(jobs_.size()), std::memory_order_release);
      lock.unlock();
      job.Work();
      job.Work = nullptr;
      lock.lock();
      ++available_;
      lock.unlock();
      job.Ended();
      lock.lock();
    }
  }

  struct TJob {
    std::function<void()> Work;
    std::function<void()> Ended;
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<TJob> jobs_;
  std::atomic<int> pending_{0};
  std::atomic<int> spinning_{0};  // idle threads watching for the next job
  int available_ = 0;
  int sleeping_ = 0;
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
  Pool().Run([this] { Execute(); },
             [this] {
               ended_.store(true, std::memory_order_seq_cst);
               platform::WakeGuiThread();
             });
}

void TWaitingThread::JoinServingMessages() {
  if (!started_) return;
  platform::WaitUntilServingMessages([this] { return ended_.load(std::memory_order_seq_cst); });
}

void TCommonThread::Execute() {
  try {
    DoWork();
  } catch (const Exception& e) {
    errorCode_ = e.OsError();
    errorMessage_ = e.what();
    hasError_ = true;
  } catch (const std::exception& e) {
    errorCode_ = 0;
    errorMessage_ = e.what();
    hasError_ = true;
  } catch (...) {
    errorCode_ = 0;
    errorMessage_ = "Unknown error";
    hasError_ = true;
  }
  DoneEvent.Set();
}

void WaitWithMessages(TWaitingThread& worker) {
  platform::WaitForEventServingMessages(worker.DoneEvent);
}

}  // namespace kova
