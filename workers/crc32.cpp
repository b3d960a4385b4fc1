#include "workers/crc32.h"

#include <algorithm>
#include <array>
#include <cstdlib>
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
// Polynomials Using PCLMULQDQ"): 128-bit lanes of the running remainder are multiplied by
// x^(D+32) and x^(D-32) modulo the polynomial, which moves them D bits further along the message,
// and added to the data found there; a Barrett reduction gives the 32-bit result.

// (x^n mod P), bit-reflected and shifted as the reflected folding needs it.
constexpr std::uint64_t FoldConstant(int n) {
  std::uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if (r & (1ull << 32)) r ^= 0x104C11DB7ull;
  }
  std::uint64_t reflected = 0;
  for (int i = 0; i < 32; ++i) {
    if (r & (1ull << i)) reflected |= 1ull << (31 - i);
  }
  return reflected << 1;
}
static_assert(FoldConstant(544) == 0x154442bd4ull && FoldConstant(480) == 0x1c6e41596ull);
static_assert(FoldConstant(160) == 0x1751997d0ull && FoldConstant(96) == 0x0ccaa009eull);

#define KOVA_CLMUL_TARGET __attribute__((target("sse4.1,pclmul")))
#define KOVA_VPCLMUL_TARGET __attribute__((target("avx512f,avx512vl,vpclmulqdq,sse4.1,pclmul")))

// Folding distances: 512 bits (four 128-bit lanes), 128 bits (one lane).
alignas(16) const std::uint64_t kFold512[] = {FoldConstant(512 + 32), FoldConstant(512 - 32)};
alignas(16) const std::uint64_t kFold128[] = {FoldConstant(128 + 32), FoldConstant(128 - 32)};
alignas(16) const std::uint64_t kFold64[] = {FoldConstant(64), 0};
alignas(16) const std::uint64_t kBarrett[] = {0x01db710641ull, 0x01f7011641ull};  // P' and mu

KOVA_CLMUL_TARGET inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One fold of `acc` by the distance of `k`, with `next` added.
KOVA_CLMUL_TARGET inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

// Folds the remaining 16-byte blocks into `x1`, then reduces it to the 32-bit CRC register.
KOVA_CLMUL_TARGET std::uint32_t FinishClmul(__m128i x1, const unsigned char* buf, std::size_t len) {
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  while (len >= 16) {
    x1 = Fold(x1, x0, Load(buf));
    buf += 16;
    len -= 16;
  }
  // 128 bits to 64.
  __m128i x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  // Barrett reduction to 32 bits.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_and_si128(x1, mask32);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
  x2 = _mm_and_si128(x2, mask32);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// Four 128-bit lanes, 64 bytes a step. Takes at least 64 bytes and a multiple of 16.
KOVA_CLMUL_TARGET std::uint32_t UpdateClmul(std::uint32_t crc, const unsigned char* buf,
                                            std::size_t len) {
  __m128i x1 = _mm_xor_si128(Load(buf), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(buf + 0x10);
  __m128i x3 = Load(buf + 0x20);
  __m128i x4 = Load(buf + 0x30);
  buf += 64;
  len -= 64;
  const __m128i k512 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold512));
  while (len >= 64) {
    x1 = Fold(x1, k512, Load(buf + 0x00));
    x2 = Fold(x2, k512, Load(buf + 0x10));
    x3 = Fold(x3, k512, Load(buf + 0x20));
    x4 = Fold(x4, k512, Load(buf + 0x30));
    buf += 64;
    len -= 64;
  }
  const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  x1 = Fold(x1, k128, x2);
  x1 = Fold(x1, k128, x3);
  x1 = Fold(x1, k128, x4);
  return FinishClmul(x1, buf, len);
}

// The same with 512-bit registers, each four lanes: sixteen lanes, 256 bytes a step. Takes at
// least 256 bytes and a multiple of 16.
alignas(16) const std::uint64_t kFold2048[] = {FoldConstant(2048 + 32), FoldConstant(2048 - 32)};

// GCC 12's AVX-512 intrinsics pass an undefined source operand on purpose, which its own
// uninitialized-use warning then reports inside the intrinsic headers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

KOVA_VPCLMUL_TARGET inline __m512i Load512(const unsigned char* p) {
  return _mm512_loadu_si512(p);
}

KOVA_VPCLMUL_TARGET inline __m512i Fold512(__m512i acc, __m512i k, __m512i next) {
  const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
  const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // three-way xor
}

KOVA_VPCLMUL_TARGET std::uint32_t UpdateVpclmul(std::uint32_t crc, const unsigned char* buf,
                                                std::size_t len) {
  __m512i x0 = _mm512_xor_si512(Load512(buf),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  __m512i x1 = Load512(buf + 64);
  __m512i x2 = Load512(buf + 128);
  __m512i x3 = Load512(buf + 192);
  buf += 256;
  len -= 256;
  const __m512i k2048 =
      _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(kFold2048)));
  while (len >= 256) {
    x0 = Fold512(x0, k2048, Load512(buf));
    x1 = Fold512(x1, k2048, Load512(buf + 64));
    x2 = Fold512(x2, k2048, Load512(buf + 128));
    x3 = Fold512(x3, k2048, Load512(buf + 192));
    buf += 256;
    len -= 256;
  }
  const __m512i k512 =
      _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(kFold512)));
  x1 = Fold512(x0, k512, x1);
  x2 = Fold512(x1, k512, x2);
  x3 = Fold512(x2, k512, x3);
  while (len >= 64) {
    x3 = Fold512(x3, k512, Load512(buf));
    buf += 64;
    len -= 64;
  }
  const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  __m128i lane = _mm512_extracti32x4_epi32(x3, 0);
  lane = Fold(lane, k128, _mm512_extracti32x4_epi32(x3, 1));
  lane = Fold(lane, k128, _mm512_extracti32x4_epi32(x3, 2));
  lane = Fold(lane, k128, _mm512_extracti32x4_epi32(x3, 3));
  return FinishClmul(lane, buf, len);
}

#pragma GCC diagnostic pop

bool DetectClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool DetectVpclmul() {
  __builtin_cpu_init();
  return DetectClmul() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("vpclmulqdq");
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

namespace {

// Tests may turn the wide path off to check the narrower one on the same machine.
bool UseWidePath() {
#ifdef KOVA_CRC_CLMUL
  static const bool available = DetectVpclmul() && std::getenv("KOVA_CRC_NO_AVX512") == nullptr;
  return available;
#else
  return false;
#endif
}

}  // namespace

std::uint32_t CrcUpdateTable(std::uint32_t crc, const void* data, std::size_t length) {
  return UpdateSliced(crc, static_cast<const unsigned char*>(data), length);
}

std::uint32_t CrcUpdate(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
#ifdef KOVA_CRC_CLMUL
  if (length >= 256 && UseWidePath()) {
    const std::size_t chunk = length & ~static_cast<std::size_t>(15);
    crc = UpdateVpclmul(crc, p, chunk);
    p += chunk;
    length -= chunk;
  } else if (length >= 64 && CrcUsesClmul()) {
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
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(count, 65536)));
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
