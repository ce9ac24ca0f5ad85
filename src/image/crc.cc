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

}  // namespace blkswap
