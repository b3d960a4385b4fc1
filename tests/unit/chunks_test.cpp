// Cutting by content, on both builds: the Windows launcher must cut an old file exactly where the
// Linux publisher cut the new one.

#include "workers/chunks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/common/temp_dir.h"
#include "workers/chunk_threads.h"

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

TEST(Chunks, AnOldFileIsCutOnceHoweverManyNewFilesAreAssembledFromIt) {
  // The parts of a file that was split: each part's chunks are found in the one old file, whose
  // cut is kept after the first part instead of being read again for each.
  const std::string old = Noise(2 << 20, 8);
  test::TTempDir dir;
  const std::string seed = dir.Path() + "/old.pak";
  test::WriteFile(seed, old);
  std::vector<std::shared_ptr<TSeedCut>> cuts;
  std::vector<TChunkPlaces> found;
  for (int part = 0; part < 2; ++part) {
    TChunkIndex index;
    TMemoryStream stream(old.substr(static_cast<std::size_t>(part) << 20, 1 << 20));
    TChunkCutter cutter(stream);
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    while (cutter.Next(data, size)) index.Chunks.push_back({ChunkDigest(data, size), 0, 0, 0});
    TSeedScanThread worker({seed}, index, nullptr, nullptr, &cuts);
    WaitWithMessages(worker);
    ASSERT_FALSE(worker.HasError());
    found.push_back(worker.Found);
    // Gone after the first part: the second is found from the kept cut alone.
    std::filesystem::remove(seed);
  }
  ASSERT_EQ(cuts.size(), 1u);
  ASSERT_NE(cuts[0], nullptr);
  // Most of each part's chunks (all but those around the part's edges) are in the old file.
  for (const TChunkPlaces& places : found) EXPECT_GE(places.size(), 8u);
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
