#include "workers/checksum_thread.h"

#include <algorithm>
#include <vector>

#include "platform/files.h"
#include "support/aligned_buffer.h"
#include "support/error.h"
#include "support/signature.h"
#include "workers/crc32.h"

namespace kova {

TChecksumThread::TChecksumThread(std::string fileName, const platform::TEvent* cancelEvent,
                                 TWorkerProgressEvent onProgress, bool sha256)
    : FileName(std::move(fileName)),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      wantSha256_(sha256) {
  Start();
}

TChecksumThread::TChecksumThread(std::string fileName, std::unique_ptr<TStream> file,
                                 const platform::TEvent* cancelEvent,
                                 TWorkerProgressEvent onProgress, bool sha256)
    : FileName(std::move(fileName)),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      file_(std::move(file)),
      wantSha256_(sha256) {
  Start();
}

void TChecksumThread::DoWork() {
  if (CancelRequested()) return;
  Crc = kCrcInit;
  struct TFinal {
    TChecksumThread& self;
    ~TFinal() { self.Crc = self.CancelRequested() ? 0 : ~self.Crc; }
  } final{*this};

  std::unique_ptr<TStream> file = std::move(file_);
  if (!file) file = platform::OpenFileStream(FileName, platform::TFileMode::OpenRead);
  if (!platform::StreamModifySeconds(*file, FileSeconds)) FileSeconds = -1;
  const std::int64_t size = file->Size();
  // Each pool thread keeps its read buffer from file to file: a new zero-filled buffer per file
  // would cost as much as reading a small file.
  thread_local TAlignedBuffer buffer;
  if (buffer.Size() < static_cast<std::size_t>(std::min<std::int64_t>(size, kReadSize)))
    buffer.Resize(kReadSize);
  std::int64_t position = 0;
  std::unique_ptr<TSha256> hash;
  if (wantSha256_) hash = std::make_unique<TSha256>();
  if (OnProgress) OnProgress(FileName, position, size);
  while (position < size) {
    if (CancelRequested()) return;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size - position, kReadSize));
    std::size_t got = 0;
    while (got < want) {
      const std::size_t n = file->Read(buffer.Data() + got, want - got);
      if (n == 0) throw EStreamError("Stream read error: " + FileName + " ended early");
      got += n;
    }
    // Progress and cancellation keep the step of one block whatever the size of a read.
    for (std::size_t offset = 0; offset < want; offset += kBlockSize) {
      if (CancelRequested()) return;
      const std::size_t piece = std::min(kBlockSize, want - offset);
      Crc = CrcUpdate(Crc, buffer.Data() + offset, piece);
      if (hash) hash->Update(buffer.Data() + offset, piece);
      position += static_cast<std::int64_t>(piece);
      if (OnProgress) OnProgress(FileName, position, size);
    }
  }
  if (hash) Sha256 = hash->HexDigest();
}

std::uint32_t ChecksumSmallFile(TStream& file, std::string* sha256) {
  thread_local TAlignedBuffer buffer(TChecksumThread::kReadSize);
  std::uint32_t crc = kCrcInit;
  std::unique_ptr<TSha256> hash;
  if (sha256) hash = std::make_unique<TSha256>();
  for (std::int64_t left = file.Size(); left > 0;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.Size())));
    std::size_t got = 0;
    while (got < want) {
      const std::size_t n = file.Read(buffer.Data() + got, want - got);
      if (n == 0) throw EStreamError("Stream read error: the file ended early");
      got += n;
    }
    crc = CrcUpdate(crc, buffer.Data(), want);
    if (hash) hash->Update(buffer.Data(), want);
    left -= static_cast<std::int64_t>(want);
  }
  if (hash) *sha256 = hash->HexDigest();
  return ~crc;
}

}  // namespace kova
