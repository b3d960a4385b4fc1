#pragma once
// Forgeries a CRC-32 cannot see: CRC-32 is linear, so whoever can change four bytes can keep any
// checksum. The trust tests forge archives and files that keep the listed CRC-32 and size.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/common/test_servers.h"
#include "workers/crc32.h"

namespace kova::test {

inline std::uint32_t Crc(const std::string& data) {
  return ~CrcUpdate(kCrcInit, data.data(), data.size());
}

// Four bytes that, appended to `data`, give the whole the CRC-32 `target`.
inline std::string ForgeCrcTail(const std::string& data, std::uint32_t target) {
  std::uint32_t table[256];
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  std::uint32_t r = ~target;
  std::uint8_t index[4];
  for (int k = 3; k >= 0; --k) {
    int i = 0;
    while ((table[i] >> 24) != (r >> 24)) ++i;
    index[k] = static_cast<std::uint8_t>(i);
    r = (r ^ table[i]) << 8;
  }
  std::uint32_t reg = CrcUpdate(kCrcInit, data.data(), data.size());
  std::string tail;
  for (int k = 0; k < 4; ++k) {
    tail += static_cast<char>((reg ^ index[k]) & 0xFF);
    reg = (reg >> 8) ^ table[index[k]];
  }
  return tail;
}

// A forged archive in place of `archive` (the real encoder's packing of `original`): it unpacks
// to other bytes with the original's CRC-32 and size, and has the archive's own CRC-32. `dir` is
// a scratch folder; the forged file's bytes go to `forgedFile`.
inline std::string ForgeArchive(const std::string& original, const std::string& archive,
                                const std::string& dir, std::string* forgedFile = nullptr) {
  std::string forged = original.substr(0, original.size() - 4);
  forged.replace(0, 16, "forged content!!");
  forged += ForgeCrcTail(forged, Crc(original));
  EXPECT_EQ(forged.size(), original.size());
  EXPECT_EQ(Crc(forged), Crc(original));
  WriteFile(dir + "/forged.pak", forged);
  EXPECT_EQ(
      std::system(
          ("xz --format=lzma -k -c '" + dir + "/forged.pak' > '" + dir + "/forged.lzma'").c_str()),
      0);
  // Four bytes after the end of its data keep the listed CRC-32.
  std::string forgedArchive = ReadFile(dir + "/forged.lzma");
  forgedArchive += ForgeCrcTail(forgedArchive, Crc(archive));
  EXPECT_EQ(Crc(forgedArchive), Crc(archive));
  if (forgedFile) *forgedFile = forged;
  return forgedArchive;
}

}  // namespace kova::test
