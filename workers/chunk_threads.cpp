#include "workers/chunk_threads.h"

#include <memory>

#include "platform/files.h"
#include "support/error.h"
#include "support/signature.h"
#include "workers/crc32.h"

namespace kova {

namespace {

void ReadExactly(TStream& in, void* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::size_t n = in.Read(static_cast<char*>(buffer) + got, size - got);
    if (n == 0) throw EStreamError("an old file ended early");
    got += n;
  }
}

}  // namespace

std::string StagedChunk(const std::string& stage, const TDigest& digest, bool fetched) {
  return stage + "/" + DigestHex(digest) + (fetched ? ".lzma" : "");
}

TSeedScanThread::TSeedScanThread(std::vector<std::string> seeds, const TChunkIndex& index,
                                 const platform::TEvent* cancelEvent,
                                 TWorkerProgressEvent onProgress,
                                 std::vector<std::shared_ptr<TSeedCut>>* cuts)
    : Seeds(std::move(seeds)),
      index_(index),
      cancelEvent_(cancelEvent),
      onProgress_(std::move(onProgress)),
      cuts_(cuts) {
  if (cuts_) cuts_->resize(Seeds.size());
  Start();
}

void TSeedScanThread::DoWork() {
  // Only the index's chunks are noted: memory follows the new file's index, not the old files
  // (unless a seed's whole cut is to be kept).
  TChunkPlaces wanted;
  for (const TChunkEntry& c : index_.Chunks) wanted.emplace(c.Digest, TChunkPlace{-2, 0});
  const auto note = [&wanted](const TDigest& digest, int seed, std::int64_t offset) {
    const auto it = wanted.find(digest);
    if (it != wanted.end() && it->second.Seed == -2) it->second = TChunkPlace{seed, offset};
  };
  std::int64_t total = 0, done = 0;
  for (const std::string& seed : Seeds) total += platform::FileSize(seed);
  for (std::size_t s = 0; s < Seeds.size(); ++s) {
    const int seed = static_cast<int>(s);
    std::shared_ptr<TSeedCut> kept = cuts_ ? (*cuts_)[s] : nullptr;
    if (kept) {
      for (const auto& [digest, offset] : *kept) note(digest, seed, offset);
      continue;
    }
    std::unique_ptr<TStream> in;
    try {
      in = platform::OpenFileStream(Seeds[s], platform::TFileMode::OpenRead);
    } catch (const std::exception&) {
      continue;
    }
    auto cut = cuts_ ? std::make_shared<TSeedCut>() : nullptr;
    TChunkCutter cutter(*in);
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    for (std::size_t n = 0; cutter.Next(data, size); ++n) {
      const TDigest digest = ChunkDigest(data, size);
      note(digest, seed, cutter.Offset());
      if (cut) cut->emplace(digest, cutter.Offset());
      done += static_cast<std::int64_t>(size);
      if (n % 64 == 0) {
        if (IsCancelSignalled(cancelEvent_)) return;
        if (onProgress_) onProgress_(Seeds[s], done, total);
      }
    }
    // Kept only once whole (a read error ends the worker before this).
    if (cut) (*cuts_)[s] = std::move(cut);
  }
  for (const auto& [digest, place] : wanted)
    if (place.Seed >= 0) Found.emplace(digest, place);
}

TChunkCheckThread::TChunkCheckThread(std::string stage, std::vector<TChunkEntry> fetched)
    : stage_(std::move(stage)), fetched_(std::move(fetched)) {
  Start();
}

void TChunkCheckThread::DoWork() {
  std::string content;
  for (const TChunkEntry& c : fetched_) {
    const std::string stored = StagedChunk(stage_, c.Digest, true);
    bool good = false;
    try {
      good = DecodeChunk(platform::ReadFileWhole(
                             stored, static_cast<std::int64_t>(StoredChunkBound(c.Size)) + 13),
                         c.Size, content) &&
             ChunkDigest(content.data(), content.size()) == c.Digest;
    } catch (const std::exception&) {
      good = false;
    }
    if (good) {
      // Not put on the disk: the assembly checks each chunk against its name again.
      const std::string path = StagedChunk(stage_, c.Digest);
      const std::string temp = path + ".tmp";
      {
        auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
        out->Write(content.data(), content.size());
      }
      if (!platform::MoveFileReplacing(temp, path)) throw EStreamError("cannot write " + path);
    } else {
      Bad.push_back(c);
    }
    platform::RemoveFile(stored);
  }
}

TChunkAssembleThread::TChunkAssembleThread(const TChunkIndex& index, const TChunkPlaces& places,
                                           std::vector<std::string> seeds, std::string stage,
                                           std::string target, TWorkerProgressEvent onProgress,
                                           bool sha256)
    : index_(index),
      places_(places),
      seeds_(std::move(seeds)),
      stage_(std::move(stage)),
      target_(std::move(target)),
      onProgress_(std::move(onProgress)),
      wantSha256_(sha256) {
  Start();
}

void TChunkAssembleThread::DoWork() {
  std::vector<std::unique_ptr<TStream>> seeds(seeds_.size());
  auto out = platform::OpenFileStream(target_, platform::TFileMode::Create);
  std::unique_ptr<TParallelSha256> hash;
  if (wantSha256_) hash = std::make_unique<TParallelSha256>();
  std::string buffer(kMaxChunk, '\0');
  std::uint32_t crc = kCrcInit;
  for (std::size_t n = 0; n < index_.Chunks.size(); ++n) {
    const TChunkEntry& c = index_.Chunks[n];
    const auto place = places_.find(c.Digest);
    if (place == places_.end() || place->second.Seed < 0) {
      // Fetched: it must still be the content its name promises.
      buffer = platform::ReadFileWhole(StagedChunk(stage_, c.Digest), kMaxChunk);
      if (buffer.size() != c.Size || ChunkDigest(buffer.data(), buffer.size()) != c.Digest)
        throw EStreamError("a fetched chunk changed on the disk");
    } else {
      const std::size_t s = static_cast<std::size_t>(place->second.Seed);
      if (!seeds[s]) seeds[s] = platform::OpenFileStream(seeds_[s], platform::TFileMode::OpenRead);
      buffer.resize(c.Size);
      seeds[s]->Seek(place->second.Offset);
      ReadExactly(*seeds[s], buffer.data(), c.Size);
    }
    out->Write(buffer.data(), buffer.size());
    crc = CrcUpdate(crc, buffer.data(), buffer.size());
    if (hash) hash->Update(buffer.data(), buffer.size());
    Produced += static_cast<std::int64_t>(buffer.size());
    if (onProgress_ && (n % 16 == 0 || n + 1 == index_.Chunks.size()))
      onProgress_(target_, Produced, index_.FileSize);
  }
  // On the disk before it may take the old file's place.
  out->Flush();
  Crc = ~crc;
  if (hash) Sha256 = hash->HexDigest();
}

}  // namespace kova
