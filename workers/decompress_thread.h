#pragma once
// Unpacks one ".lzma" archive (the LZMA-Alone container: properties byte, dictionary size,
// 64-bit uncompressed size, LZMA1 data) into a new file on a worker thread.

#include <cstdint>
#include <string>

#include "workers/worker_thread.h"

namespace kova {

class TDecompressThread final : public TCommonThread {
 public:
  TDecompressThread(std::string sourceName, std::string targetName, TWorkerProgressEvent onProgress);
  ~TDecompressThread() override { JoinServingMessages(); }

  const std::string SourceName;
  const std::string TargetName;
  const TWorkerProgressEvent OnProgress;
  // The uncompressed size from the header (all bits set: unknown, ended by the end marker).
  std::int64_t Total = 0;

  static constexpr std::uint64_t kUnknownSize = ~0ull;

 private:
  void DoWork() override;
};

}  // namespace kova
