// Content codings on their own, from arbitrary bytes: the first byte picks gzip or deflate and
// the piece sizes, the rest is the coded body. Decoding never crashes, hands out nothing after
// it reports an error, and stops at the coded data's end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/content_coding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  using TCoding = kova::TContentDecoder::TCoding;
  kova::TContentDecoder decoder((data[0] & 1) ? TCoding::Gzip : TCoding::Deflate);
  const std::size_t piece = 1 + (data[0] >> 1);
  std::size_t produced = 0;
  bool failed = false;
  for (std::size_t at = 1; at < size; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    const bool ok = decoder.Decode(reinterpret_cast<const char*>(data) + at, n,
                                   [&](const char*, std::size_t count) {
                                     if (failed) std::abort();  // nothing after a failure
                                     produced += count;
                                   });
    if (!ok) failed = true;
    // Pieces keep being offered after a failure, as a server would send them.
  }
  (void)produced;
  return 0;
}
