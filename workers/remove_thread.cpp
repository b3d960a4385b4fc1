#include "workers/remove_thread.h"

#include "platform/files.h"

namespace kova {

TRemoveThread::TRemoveThread(std::string path) : Path(std::move(path)) {
  Start();
}

void TRemoveThread::DoWork() {
  platform::RemoveFile(Path);
}

}  // namespace kova
