#pragma once
// Checksums one file on a worker thread, with progress and cancellation.

#include <cstdint>
#include <memory>
#include <string>

#include "support/stream.h"
#include "workers/worker_thread.h"

namespace kova {

class TChecksumThread final : public TCommonThread {
 public:
  // With `sha256` the same pass also takes the file's SHA-256 (into Sha256).
  TChecksumThread(std::string fileName, const platform::TEvent* cancelEvent,
                  TWorkerProgressEvent onProgress, bool sha256 = false);
  // Checksums a file the caller may already have opened for reading (that is how it learnt that
  // the file exists); without one the worker opens the file itself. The worker closes it.
  TChecksumThread(std::string fileName, std::unique_ptr<TStream> file,
                  const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress,
                  bool sha256 = false);
  ~TChecksumThread() override { JoinServingMessages(); }

  const std::string FileName;
  // The file's CRC-32; 0 after a cancel, and when the file could not be opened.
  std::uint32_t Crc = 0;
  // Last-write time of the file as opened (seconds since 1970, UTC); -1 when it was not opened.
  std::int64_t FileSeconds = -1;
  // The SHA-256 as lower-case hex when it was asked for and the whole file was read.
  std::string Sha256;
  const platform::TEvent* const CancelEvent;
  const TWorkerProgressEvent OnProgress;

  static constexpr std::size_t kBlockSize = 65536;
  // Files are read in larger pieces than the progress steps: fewer system calls per file.
  static constexpr std::size_t kReadSize = 16 * kBlockSize;
  // Files up to this size are better checksummed by the caller itself (ChecksumSmallFile).
  static constexpr std::int64_t kInlineSize = 256 * 1024;

 private:
  void DoWork() override;
  std::unique_ptr<TStream> file_;
  bool wantSha256_ = false;
  bool CancelRequested() const { return IsCancelSignalled(CancelEvent); }
};

// The CRC-32 of a small open file, on the calling thread: for files that take less time to read
// than to hand to a worker and back. Raises when the file cannot be read whole. With `sha256`
// the same pass gives the file's SHA-256 (lower-case hex) there.
std::uint32_t ChecksumSmallFile(TStream& file, std::string* sha256 = nullptr);

}  // namespace kova
