#include "workers/chunks.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

#include "support/error.h"
#include "support/signature.h"
#include "workers/zstd_frame.h"

namespace kova {

namespace {

// The gear table: one random 64-bit value per byte value, the same on every system and for
// every build (a launcher must cut an old file exactly where the publisher cut it).
struct TGear {
  std::uint64_t Table[256];
  TGear() {
    std::uint64_t state = 0x6b6f76615f636463ull;  // a fixed seed; splitmix64
    for (std::uint64_t& value : Table) {
      std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      value = z ^ (z >> 31);
    }
  }
};
const TGear kGear;

// The gear hash shifts left, so its high bits depend on the most bytes: a cut is where they are
// all zero. Before the average a cut needs more of them (rarer), after it fewer (likelier), which
// draws the sizes toward the average (normalised chunking).
constexpr std::uint64_t kMaskHard = ~0ull << (64 - 16);
constexpr std::uint64_t kMaskEasy = ~0ull << (64 - 12);

constexpr std::size_t kCutterBuffer = 4 * kMaxChunk;
constexpr std::size_t kMaxDict = 1 << 26;

bool ParseNumber(const std::string& text, std::int64_t max, std::int64_t& value) {
  // Written as the index writes it: no sign, no leading zero.
  if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1)) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= max;
}

// Fields separated by single blanks, as the index writes them.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t blank; (blank = line.find(' ', start)) != std::string::npos; start = blank + 1)
    fields.push_back(line.substr(start, blank - start));
  fields.push_back(line.substr(start));
  return fields;
}

}  // namespace

std::size_t CutPoint(const unsigned char* data, std::size_t size) {
  if (size <= kMinChunk) return size;
  const std::size_t end = size < kMaxChunk ? size : kMaxChunk;
  const std::size_t normal = end < kAvgChunk ? end : kAvgChunk;
  std::uint64_t hash = 0;
  std::size_t i = kMinChunk;
  for (; i < normal; ++i) {
    hash = (hash << 1) + kGear.Table[data[i]];
    if ((hash & kMaskHard) == 0) return i + 1;
  }
  for (; i < end; ++i) {
    hash = (hash << 1) + kGear.Table[data[i]];
    if ((hash & kMaskEasy) == 0) return i + 1;
  }
  return end;
}

TChunkCutter::TChunkCutter(TStream& stream) : stream_(stream), buffer_(kCutterBuffer) {}

bool TChunkCutter::Next(const unsigned char*& data, std::size_t& size) {
  // Keeps at least a largest chunk in view, so that a cut is where the whole file would put it.
  if (end_ - begin_ < kMaxChunk && !ended_) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < buffer_.size()) {
      const std::size_t n = stream_.Read(buffer_.data() + end_, buffer_.size() - end_);
      if (n == 0) {
        ended_ = true;
        break;
      }
      end_ += n;
    }
  }
  if (begin_ == end_) return false;
  data = buffer_.data() + begin_;
  size = CutPoint(data, end_ - begin_);
  begin_ += size;
  offset_ = next_;
  next_ += static_cast<std::int64_t>(size);
  return true;
}

TDigest ChunkDigest(const void* data, std::size_t size) {
  TSha256 hash;
  hash.Update(data, size);
  TDigest digest{};
  DigestFromHex(hash.HexDigest(), digest);
  return digest;
}

std::string DigestHex(const TDigest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex(64, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return hex;
}

bool DigestFromHex(const std::string& hex, TDigest& digest) {
  if (!IsSha256Hex(hex)) return false;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (std::size_t i = 0; i < digest.size(); ++i)
    digest[i] = static_cast<unsigned char>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
  return true;
}

std::size_t StoredChunkBound(std::size_t size) {
  return size + size / 16 + 1024;
}

std::string EncodeChunk(const void* data, std::size_t size, std::uint32_t level) {
  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, level)) throw EStreamError("bad compression level");
  // A dictionary larger than the data only costs the decoder's memory.
  options.dict_size = static_cast<std::uint32_t>(size < 4096 ? 4096 : std::min(size, kMaxDict));
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::string out(13 + StoredChunkBound(size), '\0');
  unsigned char* header = reinterpret_cast<unsigned char*>(out.data());
  header[0] = static_cast<unsigned char>((options.pb * 5 + options.lp) * 9 + options.lc);
  for (int i = 0; i < 4; ++i)
    header[1 + i] = static_cast<unsigned char>(options.dict_size >> (8 * i));
  for (int i = 0; i < 8; ++i)
    header[5 + i] = static_cast<unsigned char>(static_cast<std::uint64_t>(size) >> (8 * i));
  std::size_t position = 13;
  if (lzma_raw_buffer_encode(filters, nullptr, static_cast<const std::uint8_t*>(data), size,
                             reinterpret_cast<std::uint8_t*>(out.data()), &position,
                             out.size()) != LZMA_OK)
    throw EStreamError("the encoder failed");
  out.resize(position);
  return out;
}

namespace {

// The longest index text a file of `fileSize` bytes can have: every chunk but the last holds at
// least kMinChunk bytes, and a line is at most ~110 bytes.
std::int64_t IndexTextBound(std::int64_t fileSize) {
  return 128 + (fileSize / static_cast<std::int64_t>(kMinChunk) + 1) * 112;
}

// The announced size of an LZMA-Alone stream, or -1 when there is no header.
std::int64_t AnnouncedSize(const std::string& stored) {
  if (stored.size() < 13) return -1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(stored.data());
  std::uint64_t announced = 0;
  for (int i = 7; i >= 0; --i) announced = (announced << 8) | bytes[5 + i];
  return announced > (1ull << 50) ? -1 : static_cast<std::int64_t>(announced);
}

bool DecodeAlone(const std::string& stored, std::size_t size, std::string& out) {
  if (stored.size() < 13) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(stored.data());
  std::uint64_t announced = 0;
  for (int i = 7; i >= 0; --i) announced = (announced << 8) | bytes[5 + i];
  std::uint32_t dict = 0;
  for (int i = 3; i >= 0; --i) dict = (dict << 8) | bytes[1 + i];
  if (announced != size || bytes[0] >= 225 || dict > (1u << 26)) return false;
  lzma_options_lzma options{};
  options.dict_size = dict < 4096 ? 4096 : dict;
  options.lc = bytes[0] % 9;
  options.lp = (bytes[0] / 9) % 5;
  options.pb = bytes[0] / 45;
  if (options.lc + options.lp > 4) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  out.assign(size, '\0');
  std::size_t inPos = 13, outPos = 0;
  // Raw LZMA1 without an end marker: the decoder stops at the announced size; output missing
  // means a broken chunk. (What it holds is judged by its digest.)
  const lzma_ret ret =
      lzma_raw_buffer_decode(filters, nullptr, bytes, &inPos, stored.size(),
                             reinterpret_cast<std::uint8_t*>(out.data()), &outPos, out.size());
  return (ret == LZMA_OK || ret == LZMA_STREAM_END) && outPos == size;
}

}  // namespace

bool DecodeChunk(const std::string& stored, std::size_t size, std::string& out) {
  if (size > kMaxChunk) return false;
  if (!IsZstdFrame(stored.data(), stored.size())) return DecodeAlone(stored, size, out);
  // A zstd chunk: exactly `size` bytes, and never more decoded than that.
  out.clear();
  out.reserve(size);
  TZstdDecoder decoder;
  bool over = false;
  const auto result =
      decoder.Decode(stored.data(), stored.size(), [&](const char* d, std::size_t n) {
        if (over || n > size - out.size()) {
          over = true;
          return;
        }
        out.append(d, n);
      });
  return result == TZstdDecoder::TResult::Ended && !over && out.size() == size;
}

std::string EncodeChunkIndex(const TChunkIndex& index, std::uint32_t level) {
  const std::string text = FormatChunkIndex(index);
  return EncodeChunk(text.data(), text.size(), level);
}

bool DecodeChunkIndex(const std::string& stored, std::int64_t fileSize, TChunkIndex& index,
                      std::string& why) {
  const std::int64_t size = AnnouncedSize(stored);
  std::string text;
  if (size < 0 || size > IndexTextBound(fileSize) ||
      !DecodeAlone(stored, static_cast<std::size_t>(size), text))
    return why = "not a compressed chunk index", false;
  return ParseChunkIndex(text, index, why);
}

std::string FormatChunkIndex(const TChunkIndex& index) {
  std::string text = "kova-chunks 1\nsize " + std::to_string(index.FileSize) + "\narchive " +
                     std::to_string(index.ArchiveSize) + "\n";
  for (const TChunkEntry& c : index.Chunks)
    text += DigestHex(c.Digest) + " " + std::to_string(c.Offset) + " " + std::to_string(c.Size) +
            " " + std::to_string(c.Stored) + "\n";
  return text;
}

bool ParseChunkIndex(const std::string& text, TChunkIndex& index, std::string& why) {
  index = TChunkIndex();
  std::size_t pos = 0;
  auto line = [&](std::string& out) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) return false;
    out = text.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  constexpr std::int64_t kMaxFile = 1ll << 50;
  std::string l;
  std::int64_t value = 0;
  if (!line(l) || l != "kova-chunks 1") return why = "not a chunk index", false;
  if (!line(l) || l.compare(0, 5, "size ") != 0 || !ParseNumber(l.substr(5), kMaxFile, value))
    return why = "no file size", false;
  index.FileSize = value;
  if (!line(l) || l.compare(0, 8, "archive ") != 0 ||
      !ParseNumber(l.substr(8), kMaxFile, index.ArchiveSize))
    return why = "no archive size", false;
  std::int64_t offset = 0;
  while (pos < text.size()) {
    if (!line(l)) return why = "the last line is cut short", false;
    const std::vector<std::string> f = Fields(l);
    TChunkEntry c;
    std::int64_t off = 0, size = 0, stored = 0;
    if (f.size() != 4 || !DigestFromHex(f[0], c.Digest) || !ParseNumber(f[1], kMaxFile, off) ||
        !ParseNumber(f[2], static_cast<std::int64_t>(kMaxChunk), size) ||
        !ParseNumber(f[3], static_cast<std::int64_t>(StoredChunkBound(kMaxChunk)), stored))
      return why = "a malformed chunk line", false;
    if (off != offset || size == 0 ||
        stored > static_cast<std::int64_t>(StoredChunkBound(static_cast<std::size_t>(size))))
      return why = "a chunk out of place or of an impossible size", false;
    // Only a file's last chunk may be shorter than the least the chunker cuts.
    if (!index.Chunks.empty() && index.Chunks.back().Size < kMinChunk)
      return why = "a short chunk before the last", false;
    if (index.FileSize - offset < size) return why = "chunks past the file's end", false;
    c.Offset = off;
    c.Size = static_cast<std::uint32_t>(size);
    c.Stored = static_cast<std::uint32_t>(stored);
    index.Chunks.push_back(c);
    offset += size;
  }
  if (offset != index.FileSize) return why = "the chunks do not cover the file", false;
  return true;
}

std::int64_t ChunkIndexSizeBound(std::int64_t fileSize) {
  // In 64 bits: the index of a large file is more than a 32-bit size holds.
  const std::int64_t text = IndexTextBound(std::max<std::int64_t>(fileSize, 0));
  return 13 + text + text / 16 + 1024;
}

std::string ChunkPath(const std::string& hex) {
  return "chunks/" + hex.substr(0, 2) + "/" + hex;
}

std::string ChunkIndexPath(const std::string& hex) {
  return "chunks/index/" + hex;
}

}  // namespace kova
