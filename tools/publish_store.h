#pragma once
// What kova-publish stores: each file's archive in the codec the publisher chose, the chunks and
// chunk indexes of large files, and the pruning of chunks no list needs any more.

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "core/patch_list.h"
#include "core/preload.h"
#include "workers/chunks.h"

namespace kova::publish {

// CRC-32 and size of a whole file.
bool FileCrc(const std::string& path, std::uint32_t& crc, std::int64_t& size);
// Writes the LZMA-Alone archive of `source` to `target` through a temporary name; returns the
// archive's CRC-32. The header carries the size; an empty file, whose size 0 the header cannot
// carry, gets the unknown size and an end marker instead.
// `progress`, when given, hears how many bytes of the file have been read, now and then.
using TReadProgress = std::function<void(std::int64_t read)>;
bool Compress(const std::string& source, const std::string& target, std::int64_t size,
              std::uint32_t level, std::uint32_t& archiveCrc, std::string& error,
              const TReadProgress& progress = {});
// Writes the zstd archive (one frame, its content size and checksum in it, the window capped as
// launchers accept) of `source` to `target` through a temporary name; returns its CRC-32.
// `threads` above 1 has that many cores compress the one file (the frame stays one frame).
bool CompressZstd(const std::string& source, const std::string& target, std::int64_t size,
                  int level, std::uint32_t& archiveCrc, std::string& error,
                  const TReadProgress& progress = {}, int threads = 1);

// The chunks being written by one of the workers: two files that share a chunk must not write
// it at once through the same temporary name.
struct TChunkClaims {
  std::mutex Mutex;
  std::set<std::string> Claimed;
  bool Claim(const std::string& hex) {
    std::lock_guard<std::mutex> lock(Mutex);
    return Claimed.insert(hex).second;
  }
};

// Cuts `source` into chunks stored under `output` (those already there are kept as they are);
// returns its index, without the archive's size.
TChunkIndex StoreChunks(const std::string& source, const std::string& output, std::uint32_t level,
                        bool zstd, TChunkClaims& claims);
// Writes a file's index (unless an identical one is there); returns its digest.
// The chunk index `file` names, read from the publication in `output` and checked by its digest;
// false when it is missing, another one, or broken.
bool ReadPublishedIndex(const std::string& output, const TFileItem& file, TChunkIndex& index);
std::string WriteChunkIndex(const TChunkIndex& index, const std::string& output,
                            std::uint32_t level);
// `kova-publish --prune OUTPUT_DIR`: removes from OUTPUT_DIR/chunks every chunk and index that no
// list in OUTPUT_DIR refers to; the exit status.
int Prune(const std::string& outputArg);

}  // namespace kova::publish
