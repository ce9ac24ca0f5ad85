#include "image/crc.h"

namespace blkswap {

Crc32Tables crc32_tables{};

namespace {

inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

void build_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    crc32_tables[0][i] = c;
  }
  for (size_t k = 1; k < crc32_tables.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t c = crc32_tables[k - 1][i];
      crc32_tables[k][i] = (c >> 8) ^ crc32_tables[0][c & 0xFF];
    }
  }
}

uint32_t block_crc(std::span<const uint8_t> bytes) {
  const auto& t = crc32_tables;
  uint32_t r = 0xFFFFFFFFu;
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
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

}  // namespace blkswap
