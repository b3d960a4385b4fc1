#pragma once
// A file the run no longer needs (the old copy a new file replaced), removed on a worker: freeing
// a large file's blocks takes milliseconds that the next file's check need not wait for.

#include <string>

#include "workers/worker_thread.h"

namespace kova {

class TRemoveThread final : public TCommonThread {
 public:
  explicit TRemoveThread(std::string path);
  ~TRemoveThread() override { JoinServingMessages(); }
  const std::string Path;

 private:
  void DoWork() override;
};

}  // namespace kova
