// Cutting by content, on both builds: the Windows launcher must cut an old file exactly where the
// Linux publisher cut the new one.

#include "workers/chunks.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kova {
namespace {

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

// The chunks of `data` as the cutter hands them out, checked for what every cut must be.
std::vector<std::string> Cut(const std::string& data) {
  TMemoryStream stream(data);
  TChunkCutter cutter(stream);
  std::vector<std::string> digests;
  std::int64_t offset = 0;
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
  while (cutter.Next(bytes, size)) {
    EXPECT_EQ(cutter.Offset(), offset);
    EXPECT_LE(size, kMaxChunk);
    const bool last =
        offset + static_cast<std::int64_t>(size) == static_cast<std::int64_t>(data.size());
    EXPECT_TRUE(last || size >= kMinChunk) << "a short chunk before the last";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), size),
              data.substr(static_cast<std::size_t>(offset), size));
    offset += static_cast<std::int64_t>(size);
    digests.push_back(DigestHex(ChunkDigest(bytes, size)));
  }
  EXPECT_EQ(offset, static_cast<std::int64_t>(data.size()));
  return digests;
}

TEST(Chunks, CutsFollowTheContentSoAnInsertionMovesOnlyTheCutsAroundIt) {
  std::string data = Noise(3 << 20, 5);
  const std::vector<std::string> before = Cut(data);
  // About 64 KiB on average; and the first cut falls where it always has, on every build: a
  // launcher that cut elsewhere would find none of the chunks published so far.
  EXPECT_GT(before.size(), 36u);
  EXPECT_LT(before.size(), 72u);
  EXPECT_EQ(CutPoint(reinterpret_cast<const unsigned char*>(data.data()), data.size()), 32511u);

  data.insert(1000, Noise(100, 6));
  data.replace(2 << 20, 4096, Noise(4096, 7));
  const std::vector<std::string> after = Cut(data);
  std::set<std::string> fresh(after.begin(), after.end());
  for (const std::string& d : before) fresh.erase(d);
  EXPECT_GE(fresh.size(), 2u);
  EXPECT_LE(fresh.size(), 6u);
}

TEST(Chunks, AStoredChunkGivesBackExactlyItsContent) {
  const std::string text = "a chunk of text that compresses, " + std::string(70000, 'x');
  const std::string stored = EncodeChunk(text.data(), text.size(), 6);
  EXPECT_LT(stored.size(), text.size() / 10);
  std::string out;
  ASSERT_TRUE(DecodeChunk(stored, text.size(), out));
  EXPECT_EQ(out, text);
  EXPECT_FALSE(DecodeChunk(stored, text.size() - 1, out)) << "another size than announced";
  EXPECT_FALSE(DecodeChunk(stored.substr(0, stored.size() - 8), text.size(), out));
}

}  // namespace
}  // namespace kova
