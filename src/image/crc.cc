#include "image/crc.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace blkswap {

namespace {

inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

Crc32Tables make_tables() {
  Crc32Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t c = t[k - 1][i];
      t[k][i] = (c >> 8) ^ t[0][c & 0xFF];
    }
  }
  return t;
}

// Carries the register `r` over `bytes` through the tables.
uint32_t update_with_tables(uint32_t r, const uint8_t* p, size_t left) {
  const Crc32Tables& t = crc32_tables();
  // The register takes the next four bytes whole (little-endian, as the reflected CRC reads
  // them), then all eight are looked up at once; the byte loop finishes the tail.
  for (; left >= 8; p += 8, left -= 8) {
    const uint32_t low = r ^ le32(p);
    const uint32_t high = le32(p + 4);
    r = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
        t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
  }
  for (; left > 0; ++p, --left) r = (r >> 8) ^ t[0][(r ^ *p) & 0xFF];
  return r;
}

#if defined(__x86_64__) || defined(__i386__)
#define BLKSWAP_HAS_CLMUL 1
#define BLKSWAP_CLMUL __attribute__((target("pclmul,sse4.1")))

// The constants of folding, for the reflected polynomial: x^n mod P, bit-reflected and shifted
// left by one, for the distances the loops fold over (4 x 128 bits and 128 bits, each +-32),
// x^64 mod P for the last 64 bits, and P itself with its quotient for the Barrett reduction.
constexpr long long kFold4Low = 0x154442bd4;   // x^(512+32) mod P
constexpr long long kFold4High = 0x1c6e41596;  // x^(512-32) mod P
constexpr long long kFold1Low = 0x1751997d0;   // x^(128+32) mod P
constexpr long long kFold1High = 0x0ccaa009e;  // x^(128-32) mod P
constexpr long long kFold64 = 0x163cd6124;     // x^64 mod P
constexpr long long kPoly = 0x1db710641;       // P, reflected, with its x^32 term
constexpr long long kQuotient = 0x1f7011641;   // x^64 div P, reflected

BLKSWAP_CLMUL __m128i load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One 128-bit lane carried on by the distance of `k` (its low and high constants), folded
// into `next`.
BLKSWAP_CLMUL __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Carries the register `r` over `left` bytes (at least 64) by carry-less multiplication; the
// bytes past the last whole 16 are left to the tables.
BLKSWAP_CLMUL uint32_t update_with_clmul(uint32_t r, const uint8_t* p, size_t left) {
  const __m128i fold4 = _mm_set_epi64x(kFold4High, kFold4Low);
  const __m128i fold1 = _mm_set_epi64x(kFold1High, kFold1Low);
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(r)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  left -= 64;
  for (; left >= 64; p += 64, left -= 64) {
    x0 = fold(x0, fold4, load(p));
    x1 = fold(x1, fold4, load(p + 16));
    x2 = fold(x2, fold4, load(p + 32));
    x3 = fold(x3, fold4, load(p + 48));
  }
  __m128i x = fold(fold(fold(x0, fold1, x1), fold1, x2), fold1, x3);
  for (; left >= 16; p += 16, left -= 16) x = fold(x, fold1, load(p));

  // 128 bits to 64: the low half carried 64 bits on, with the high half.
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, fold1, 0x10), _mm_srli_si128(x, 8));
  // 64 bits to 32.
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_set_epi64x(0, kFold64), 0x00),
                    _mm_srli_si128(x, 4));
  // Barrett reduction to the 32-bit register.
  const __m128i barrett = _mm_set_epi64x(kQuotient, kPoly);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  r = static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(t, x), 1));
  return update_with_tables(r, p, left);
}

bool processor_has_clmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

}  // namespace

const Crc32Tables& crc32_tables() {
  static const Crc32Tables tables = make_tables();
  return tables;
}

bool block_crc_is_accelerated() {
#ifdef BLKSWAP_HAS_CLMUL
  static const bool accelerated = processor_has_clmul();
  return accelerated;
#else
  return false;
#endif
}

void build_crc_table() {
  (void)crc32_tables();
  (void)block_crc_is_accelerated();
}

uint32_t block_crc_with_tables(std::span<const uint8_t> bytes) {
  return update_with_tables(0xFFFFFFFFu, bytes.data(), bytes.size());
}

uint32_t block_crc_update(uint32_t crc, std::span<const uint8_t> more) {
#ifdef BLKSWAP_HAS_CLMUL
  if (more.size() >= 64 && block_crc_is_accelerated()) {
    return update_with_clmul(crc, more.data(), more.size());
  }
#endif
  return update_with_tables(crc, more.data(), more.size());
}

uint32_t block_crc(std::span<const uint8_t> bytes) {
  return block_crc_update(0xFFFFFFFFu, bytes);
}

namespace {

// The register's change over zero bits is linear: a 32x32 matrix over GF(2), one column per
// register bit, applied to a register and squared to double the run of zeros.
using Gf2Matrix = std::array<uint32_t, 32>;

uint32_t times(const Gf2Matrix& matrix, uint32_t vector) {
  uint32_t sum = 0;
  for (size_t bit = 0; vector != 0; vector >>= 1, ++bit) {
    if (vector & 1) sum ^= matrix[bit];
  }
  return sum;
}

Gf2Matrix squared(const Gf2Matrix& matrix) {
  Gf2Matrix square{};
  for (size_t bit = 0; bit < 32; ++bit) square[bit] = times(matrix, matrix[bit]);
  return square;
}

// The register after `length` zero bytes follow it.
uint32_t after_zeros(uint32_t reg, uint64_t length) {
  Gf2Matrix step{};  // one zero bit
  step[0] = 0xEDB88320u;
  for (size_t bit = 1; bit < 32; ++bit) step[bit] = uint32_t{1} << (bit - 1);
  step = squared(squared(squared(step)));  // eight zero bits: one byte
  for (; length != 0; length >>= 1) {
    if (length & 1) reg = times(step, reg);
    step = squared(step);
  }
  return reg;
}

}  // namespace

uint32_t block_crc_concat(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  // Both checksums start from 0xFFFFFFFF; B's, started from A's register instead, differs from
  // it by the difference of the two starts carried through B's length in zeros.
  return crc_b ^ after_zeros(crc_a ^ 0xFFFFFFFFu, length_b);
}

CrcJoin crc_join_for(uint64_t length_b) {
  CrcJoin join;
  for (size_t bit = 0; bit < 32; ++bit)
    join.columns[bit] = after_zeros(uint32_t{1} << bit, length_b);
  return join;
}

uint32_t block_crc_concat(const CrcJoin& join, uint32_t crc_a, uint32_t crc_b) {
  return crc_b ^ times(join.columns, crc_a ^ 0xFFFFFFFFu);
}

}  // namespace blkswap
