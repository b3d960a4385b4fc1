#include "workers/crc32.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "support/error.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KOVA_CRC_CLMUL 1
#endif

namespace kova {
namespace {

// Eight tables so the portable path consumes eight bytes per step ("slicing by eight"); table 0
// is the classic one-byte table.
using TCrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr TCrcTables MakeTables() {
  TCrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t i = 0; i < 256; ++i) {
    for (std::size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr TCrcTables kTables = MakeTables();

std::uint32_t UpdateBytes(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  while (n--) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::uint32_t UpdateSliced(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  while (n >= 8) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= crc;  // little-endian layout
    crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
          kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
          kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  return UpdateBytes(crc, p, n);
}

#ifdef KOVA_CRC_CLMUL

// Folding with carry-less multiplication (the method of Intel's "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ"), with the bit-reflected constants for 0xEDB88320: four 128-bit
// lanes fold 64 bytes per step, then fold into one lane, then a Barrett reduction to 32 bits.
#define KOVA_CLMUL_TARGET __attribute__((target("sse4.1,pclmul")))

KOVA_CLMUL_TARGET inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One 128-bit fold of `acc` over the constants in `k`, then `next` added.
KOVA_CLMUL_TARGET inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

// Takes at least 64 bytes and a multiple of 16.
KOVA_CLMUL_TARGET std::uint32_t UpdateClmul(std::uint32_t crc, const unsigned char* buf,
                                                                   std::size_t len) {
  alignas(16) static const std::uint64_t k1k2[] = {0x0154442bd4ull, 0x01c6e41596ull};
  alignas(16) static const std::uint64_t k3k4[] = {0x01751997d0ull, 0x00ccaa009eull};
  alignas(16) static const std::uint64_t k5k0[] = {0x0163cd6124ull, 0x0000000000ull};
  alignas(16) static const std::uint64_t poly[] = {0x01db710641ull, 0x01f7011641ull};

  __m128i x1 = Load(buf + 0x00);
  __m128i x2 = Load(buf + 0x10);
  __m128i x3 = Load(buf + 0x20);
  __m128i x4 = Load(buf + 0x30);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  buf += 64;
  len -= 64;

  while (len >= 64) {
    x1 = Fold(x1, x0, Load(buf + 0x00));
    x2 = Fold(x2, x0, Load(buf + 0x10));
    x3 = Fold(x3, x0, Load(buf + 0x20));
    x4 = Fold(x4, x0, Load(buf + 0x30));
    buf += 64;
    len -= 64;
  }

  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = Fold(x1, x0, x2);
  x1 = Fold(x1, x0, x3);
  x1 = Fold(x1, x0, x4);
  while (len >= 16) {
    x1 = Fold(x1, x0, Load(buf));
    buf += 16;
    len -= 16;
  }

  // 128 bits to 64.
  __m128i x2b = _mm_clmulepi64_si128(x1, x0, 0x10);
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2b);

  // Barrett reduction to 32 bits.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2b = _mm_and_si128(x1, mask32);
  x2b = _mm_clmulepi64_si128(x2b, x0, 0x10);
  x2b = _mm_and_si128(x2b, mask32);
  x2b = _mm_clmulepi64_si128(x2b, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2b);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool DetectClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif

}  // namespace

bool CrcUsesClmul() {
#ifdef KOVA_CRC_CLMUL
  static const bool available = DetectClmul();
  return available;
#else
  return false;
#endif
}

std::uint32_t CrcUpdateTable(std::uint32_t crc, const void* data, std::size_t length) {
  return UpdateSliced(crc, static_cast<const unsigned char*>(data), length);
}

std::uint32_t CrcUpdate(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
#ifdef KOVA_CRC_CLMUL
  if (length >= 64 && CrcUsesClmul()) {
    const std::size_t chunk = length & ~static_cast<std::size_t>(15);
    crc = UpdateClmul(crc, p, chunk);
    p += chunk;
    length -= chunk;
  }
#endif
  return UpdateSliced(crc, p, length);
}

std::uint32_t CrcOfStream(TStream& stream, std::uint64_t count, std::uint32_t crc) {
  // The caller's position is restored at the end, also when the whole stream was read.
  const std::int64_t position = stream.Position();
  if (count == 0) {
    stream.Seek(0);
    count = static_cast<std::uint64_t>(stream.Size());
  }
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(count, 65536)));
  try {
    while (count > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, 65536));
      std::size_t got = 0;
      while (got < want) {
        const std::size_t n = stream.Read(buffer.data() + got, want - got);
        if (n == 0) throw EStreamError("Stream read error");
        got += n;
      }
      crc = CrcUpdate(crc, buffer.data(), want);
      count -= want;
    }
  } catch (...) {
    stream.Seek(position);
    throw;
  }
  stream.Seek(position);
  return crc;
}

}  // namespace kova
