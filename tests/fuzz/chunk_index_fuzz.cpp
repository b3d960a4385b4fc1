// A chunk index and a stored chunk as a server may send them: a well-formed index whose chunks
// cover the file exactly, or a refusal; a chunk's content of exactly its size, or a refusal.
// Never a crash, and an index read back writes the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "workers/chunks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kova::TChunkIndex index;
  std::string why;
  if (kova::ParseChunkIndex(text, index, why)) {
    std::int64_t covered = 0;
    for (const kova::TChunkEntry& c : index.Chunks) {
      if (c.Offset != covered || c.Size == 0 || c.Size > kova::kMaxChunk) std::abort();
      covered += c.Size;
    }
    if (covered != index.FileSize || kova::FormatChunkIndex(index) != text) std::abort();
  } else if (why.empty()) {
    std::abort();
  }
  // The same bytes as a published index (it is read once its digest is the listed one, but a
  // list need not be signed), and as a stored chunk of a size its first bytes choose.
  kova::TChunkIndex published;
  kova::DecodeChunkIndex(text, 1ll << 32, published, why);
  if (size >= 2) {
    const std::size_t chunkSize = (static_cast<std::size_t>(data[0]) << 8 | data[1]) * 4;
    std::string out;
    if (kova::DecodeChunk(text.substr(2), chunkSize, out) && out.size() != chunkSize) std::abort();
  }
  return 0;
}
