#pragma once
// The frame every long operation runs on: one worker thread at a time, while the GUI thread waits
// in WaitWithMessages and keeps serving its messages, so the window never freezes.
//
// A worker stores its inputs, then starts its thread as the last step of its constructor; the GUI
// thread waits, reads the result fields and destroys the worker. Destroying a worker waits for
// its thread while still serving messages, so a worker that is sending to the GUI thread (the
// download's abort step, progress) never deadlocks.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/main_loop.h"

namespace kova {

// Progress report: (subject, done, total); total is 0 while unknown. Called on the worker's
// thread; the result is ignored. An empty function suppresses every report.
using TWorkerProgressEvent =
    std::function<bool(const std::string& name, std::int64_t done, std::int64_t total)>;

class TWaitingThread {
 public:
  TWaitingThread() = default;
  virtual ~TWaitingThread();
  TWaitingThread(const TWaitingThread&) = delete;
  TWaitingThread& operator=(const TWaitingThread&) = delete;

  // Signalled when the work has ended (or, for an aborted download, early).
  platform::TEvent DoneEvent;
  // Whether the thread has ended: its results are final.
  bool Ended() const { return ended_.load(std::memory_order_seq_cst); }

 protected:
  // Starts the work on its own thread; the last step of every worker's constructor. Threads are
  // kept and reused between workers: an update run checks thousands of small files one after
  // another, and starting a thread for each would cost more than checking the file.
  void Start();
  // Waits for the thread to end while serving the GUI thread's messages. Every concrete worker
  // calls it first in its destructor, before its own fields go away.
  void JoinServingMessages();
  virtual void Execute() = 0;

 private:
  bool started_ = false;
  std::atomic<bool> ended_{false};
};

class TCommonThread : public TWaitingThread {
 public:
  // Whether the work ended with an error, and its message.
  bool HasError() const { return hasError_; }
  const std::string& ErrorMessage() const { return errorMessage_; }
  // The system error number current when the error was caught (0 when there was none).
  int ErrorCode() const { return errorCode_; }

 protected:
  // The work; any error it raises is recorded, never passed to the GUI thread.
  virtual void DoWork() = 0;

 private:
  void Execute() final;
  bool hasError_ = false;
  std::string errorMessage_;
  int errorCode_ = 0;
};

// Returns when the worker's DoneEvent is signalled, serving messages meanwhile.
void WaitWithMessages(TWaitingThread& worker);

// True when `cancelEvent` is given and signalled at this instant.
inline bool IsCancelSignalled(const platform::TEvent* cancelEvent) {
  return cancelEvent && cancelEvent->IsSet();
}

}  // namespace kova
