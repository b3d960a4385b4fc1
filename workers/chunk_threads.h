#pragma once
// The workers of an update by chunks: finding the chunks an old file already has, checking the
// chunks fetched, and assembling the new file from both.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "workers/chunks.h"
#include "workers/worker_thread.h"

namespace kova {

struct TDigestHash {
  std::size_t operator()(const TDigest& d) const {
    std::size_t h = 0;
    for (std::size_t i = 0; i < sizeof h; ++i) h = (h << 8) | d[i];
    return h;
  }
};

// Where a chunk's content is found: in an old file (Seed is its index among the seeds), or in
// the stage folder of fetched chunks (Seed -1).
struct TChunkPlace {
  int Seed = -1;
  std::int64_t Offset = 0;
};
using TChunkPlaces = std::unordered_map<TDigest, TChunkPlace, TDigestHash>;

// Every chunk of an old file as the publisher's cut makes them: where each content is first
// found. Kept for a file that several new ones may be assembled from (a large file split in
// parts), so it is read once, not once for each.
using TSeedCut = std::unordered_map<TDigest, std::int64_t, TDigestHash>;

// Cuts each old file as the publisher cut the new one and notes where each chunk of `index` is
// found. A seed that cannot be read is passed over: it only means more to fetch. With `cuts`
// (one slot per seed, empty or not), a seed whose slot holds its cut is not read again, and an
// empty slot gets the cut made of its seed.
class TSeedScanThread final : public TCommonThread {
 public:
  TSeedScanThread(std::vector<std::string> seeds, const TChunkIndex& index,
                  const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress,
                  std::vector<std::shared_ptr<TSeedCut>>* cuts = nullptr);
  ~TSeedScanThread() override { JoinServingMessages(); }
  const std::vector<std::string> Seeds;
  TChunkPlaces Found;

 private:
  void DoWork() override;
  const TChunkIndex& index_;
  const platform::TEvent* const cancelEvent_;
  const TWorkerProgressEvent onProgress_;
  std::vector<std::shared_ptr<TSeedCut>>* const cuts_;
};

// Turns each fetched chunk ("<stage>/<sha256>.lzma") into its content ("<stage>/<sha256>") when
// the content has the digest it is named by; the others are removed and listed in Bad.
class TChunkCheckThread final : public TCommonThread {
 public:
  TChunkCheckThread(std::string stage, std::vector<TChunkEntry> fetched);
  ~TChunkCheckThread() override { JoinServingMessages(); }
  std::vector<TChunkEntry> Bad;

 private:
  void DoWork() override;
  const std::string stage_;
  const std::vector<TChunkEntry> fetched_;
};

// Writes the file `index` describes as `target` (created where nothing stands), each chunk taken
// from its place, and takes its CRC-32 (and SHA-256 when asked). A chunk from the stage must
// still have its digest; any fault fails the worker and leaves `target` for the caller to remove.
class TChunkAssembleThread final : public TCommonThread {
 public:
  TChunkAssembleThread(const TChunkIndex& index, const TChunkPlaces& places,
                       std::vector<std::string> seeds, std::string stage, std::string target,
                       TWorkerProgressEvent onProgress, bool sha256);
  ~TChunkAssembleThread() override { JoinServingMessages(); }
  std::uint32_t Crc = 0;
  std::int64_t Produced = 0;
  std::string Sha256;

 private:
  void DoWork() override;
  const TChunkIndex& index_;
  const TChunkPlaces& places_;
  const std::vector<std::string> seeds_;
  const std::string stage_, target_;
  const TWorkerProgressEvent onProgress_;
  const bool wantSha256_;
};

// The stage's file for a chunk: its content, or with `fetched` the stored form as it came.
std::string StagedChunk(const std::string& stage, const TDigest& digest, bool fetched = false);

}  // namespace kova
