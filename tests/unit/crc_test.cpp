// CRC-32: the standard values, the two paths agreeing, and the stream helper.

#include <gtest/gtest.h>

#include <random>

#include "support/error.h"
#include "workers/crc32.h"

namespace kova {
namespace {

std::uint32_t Crc(const std::string& s) {
  return ~CrcUpdate(kCrcInit, s.data(), s.size());
}

TEST(Crc32, GivesTheStandardValues) {
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(Crc("abc"), 0x352441C2u);
  EXPECT_EQ(Crc("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_EQ(Crc(std::string(1000000, 'a')), 0xDC25BFBCu);
  EXPECT_EQ(CrcUpdate(0x12345678u, "x", 0), 0x12345678u);
}

TEST(Crc32, FastAndTablePathsAgreeOnRandomLengthsAndAlignments) {
  std::mt19937_64 rng(42);
  std::vector<unsigned char> data(1 << 20);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (int i = 0; i < 3000; ++i) {
    const std::size_t offset = rng() % 64;
    const std::size_t length =
        i < 300 ? static_cast<std::size_t>(i) : rng() % (data.size() - offset);
    const auto seed = static_cast<std::uint32_t>(rng());
    ASSERT_EQ(CrcUpdate(seed, data.data() + offset, length),
              CrcUpdateTable(seed, data.data() + offset, length))
        << "offset " << offset << " length " << length;
  }
  RecordProperty("clmul", CrcUsesClmul() ? "yes" : "no");
}

TEST(Crc32, SplitInputGivesTheSameResult) {
  std::string text(200000, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + 7);
  std::uint32_t crc = kCrcInit;
  for (std::size_t pos = 0, step = 1; pos < text.size(); pos += step, step = step * 3 % 7919 + 1) {
    crc = CrcUpdate(crc, text.data() + pos, std::min(step, text.size() - pos));
  }
  EXPECT_EQ(~crc, Crc(text));
}

TEST(Crc32, OfStreamCoversTheCountAndRestoresThePosition) {
  std::string text(150000, 'x');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i % 251);
  TMemoryStream stream(text);
  stream.Seek(70000);
  EXPECT_EQ(~CrcOfStream(stream, 0, kCrcInit), Crc(text));  // 0: the whole stream
  EXPECT_EQ(stream.Position(), 70000);
  EXPECT_EQ(~CrcOfStream(stream, 1000, kCrcInit), Crc(text.substr(70000, 1000)));
  EXPECT_EQ(stream.Position(), 70000);
  EXPECT_THROW(CrcOfStream(stream, 100000, kCrcInit), EStreamError);  // runs past the end
  EXPECT_EQ(stream.Position(), 70000);
}

}  // namespace
}  // namespace kova
