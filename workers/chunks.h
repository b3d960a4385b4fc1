#pragma once
// Content-defined chunks: a file is cut where a rolling hash of its last bytes says so, so that
// an insertion or a deletion moves only the cut points around it and every other chunk keeps its
// content, and with it its name (the SHA-256 of that content). A publisher stores each chunk
// once, compressed; a launcher that holds an older copy of a file fetches only the chunks the
// older copy lacks.
//
// A file's index lists its chunks in order, as text, published LZMA-compressed as a chunk is:
//   kova-chunks 1
//   size FILESIZE
//   archive ARCHIVESIZE        (the whole-file archive's size, to weigh one against the other)
//   SHA256 OFFSET SIZE STORED  (one line per chunk)

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/stream.h"

namespace kova {

constexpr std::size_t kMinChunk = 16 * 1024;
constexpr std::size_t kAvgChunk = 64 * 1024;
constexpr std::size_t kMaxChunk = 256 * 1024;
// Smaller files are published as their archive alone: their chunks would save little.
constexpr std::int64_t kChunkedFileMin = 1 << 20;

// The length of the chunk that starts at `data`, of `size` bytes available (at least kMaxChunk
// unless the file ends there).
std::size_t CutPoint(const unsigned char* data, std::size_t size);

// Reads a stream from its position and hands out its chunks one after another. Memory: one
// buffer of a few chunks, whatever the stream's size.
class TChunkCutter {
 public:
  explicit TChunkCutter(TStream& stream);
  // The next chunk (valid until the next call); false at the end of the stream.
  bool Next(const unsigned char*& data, std::size_t& size);
  std::int64_t Offset() const { return offset_; }  // of the chunk Next gave last

 private:
  TStream& stream_;
  std::vector<unsigned char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool ended_ = false;
  std::int64_t offset_ = 0, next_ = 0;
};

using TDigest = std::array<unsigned char, 32>;
TDigest ChunkDigest(const void* data, std::size_t size);
std::string DigestHex(const TDigest& digest);
bool DigestFromHex(const std::string& hex, TDigest& digest);

// A chunk as it is stored: LZMA-Alone with its size in the header, as the archives are.
std::string EncodeChunk(const void* data, std::size_t size, std::uint32_t level);
// False when `stored` is not the stored form of exactly `size` bytes.
bool DecodeChunk(const std::string& stored, std::size_t size, std::string& out);
// What a stored chunk of `size` bytes may take at the most.
std::size_t StoredChunkBound(std::size_t size);

struct TChunkEntry {
  TDigest Digest{};
  std::int64_t Offset = 0;
  std::uint32_t Size = 0;
  std::uint32_t Stored = 0;
};

struct TChunkIndex {
  std::int64_t FileSize = 0;
  std::int64_t ArchiveSize = 0;
  std::vector<TChunkEntry> Chunks;
};

std::string FormatChunkIndex(const TChunkIndex& index);
// The index as it is published: its text, compressed. The list names this form by its SHA-256.
std::string EncodeChunkIndex(const TChunkIndex& index, std::uint32_t level);
// The index of a file of `fileSize` bytes from its published form; false (with the reason in
// `why`) for anything else.
bool DecodeChunkIndex(const std::string& stored, std::int64_t fileSize, TChunkIndex& index,
                      std::string& why);
// Reads an index; false (with the reason in `why`) for anything but a well-formed one whose
// chunks follow each other from 0 to the file's size, each within the chunker's limits.
bool ParseChunkIndex(const std::string& text, TChunkIndex& index, std::string& why);
// The longest published index a file of `fileSize` bytes can have: a download past it is no
// index.
std::int64_t ChunkIndexSizeBound(std::int64_t fileSize);

// Where a chunk and an index are published, relative to the list's folder.
std::string ChunkPath(const std::string& hex);       // "chunks/xx/<sha256>"
std::string ChunkIndexPath(const std::string& hex);  // "chunks/index/<sha256>"

}  // namespace kova
