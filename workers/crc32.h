#pragma once
// CRC-32, the program's only checksum: the reflected CRC with polynomial 0xEDB88320 (IEEE 802.3,
// zlib). A file's checksum starts from 0xFFFFFFFF and is complemented at the end; "abc" gives
// 0x352441C2 and the empty file 0.

#include <cstddef>
#include <cstdint>

#include "support/stream.h"

namespace kova {

constexpr std::uint32_t kCrcInit = 0xFFFFFFFFu;

// Feeds bytes into a running CRC register; no pre- or post-conditioning. Uses carry-less
// multiplication where the processor has it and tables elsewhere; both give the same result.
std::uint32_t CrcUpdate(std::uint32_t crc, const void* data, std::size_t length);
// The table-driven path alone, for comparison.
std::uint32_t CrcUpdateTable(std::uint32_t crc, const void* data, std::size_t length);
// Whether CrcUpdate uses the carry-less multiplication path on this processor.
bool CrcUsesClmul();

// Feeds the next `count` bytes of the stream into `crc` and restores the stream position, also
// when a read fails (a short read raises EStreamError). A count of 0 means the whole stream
// from its start.
std::uint32_t CrcOfStream(TStream& stream, std::uint64_t count, std::uint32_t crc);

}  // namespace kova
