#pragma once
// Unpacks one ".lzma" archive (the LZMA-Alone container: properties byte, dictionary size,
// 64-bit uncompressed size, LZMA1 data; or, when it starts as one, a zstd frame) into a new file
// on a worker thread. The new file is
// created where no file or link stands (whatever stood there is removed first) and is on the
// disk itself when the worker ends well.

#include <atomic>
#include <cstdint>
#include <string>

#include "support/stream.h"
#include "workers/worker_thread.h"

namespace kova {

class TDecompressThread final : public TCommonThread {
 public:
  // `maxSize`: the size the unpacked file must not exceed (the list's size), -1 for none. An
  // archive that would unpack to more, or a zstd frame that asks for a larger window than is
  // allowed, fails and sets Oversized: it can never be unpacked here.
  // With `sha256` the SHA-256 of what is written is taken as it is written (into Sha256).
  TDecompressThread(std::string sourceName, std::string targetName, TWorkerProgressEvent onProgress,
                    std::int64_t maxSize = -1, bool sha256 = false);
  ~TDecompressThread() override { JoinServingMessages(); }
  // Ends the unpacking at its next block, as a failure (one started ahead of its turn that is no
  // longer wanted, or a cancel): a run is never held by a large file being unpacked ahead.
  void Stop() { stop_ = true; }

  const std::string SourceName;
  const std::string TargetName;
  const TWorkerProgressEvent OnProgress;
  // The uncompressed size from the header (all bits set: unknown, ended by the end marker).
  std::int64_t Total = 0;
  const std::int64_t MaxSize;
  bool Oversized = false;
  // The unpacked file's SHA-256 as lower-case hex, when it was asked for and unpacking ended well.
  std::string Sha256;
  // What was really read and written, once unpacking ended well: the CRC-32 of the archive's
  // bytes and of the unpacked file's, and its size. The caller compares them with the list, so
  // that what takes a file's place is exactly what was checked, whatever changed on the disk
  // between the check and the unpacking.
  std::uint32_t InputCrc = 0;
  std::uint32_t OutputCrc = 0;
  std::int64_t Produced = 0;

  // Every byte is written and the worker waits for the disk to hold them: it needs no core.
  std::atomic<bool> Flushing{false};

  static constexpr std::uint64_t kUnknownSize = ~0ull;

 private:
  void DoWork() override;
  // The zstd way, once the first `startSize` bytes have been read into `start`.
  void UnpackZstd(TStream& input, TStream& output, const unsigned char* start,
                  std::size_t startSize, std::uint32_t& inputCrc);
  const bool wantSha256_;
  std::atomic<bool> stop_{false};
  // Raises when Stop was asked for.
  void CheckStop() const;
};

}  // namespace kova
