#include "image/crc.h"

namespace blkswap {

Crc32Table crc32_table{};

void build_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    crc32_table[i] = c;
  }
}

uint32_t block_crc(std::span<const uint8_t> bytes) {
  uint32_t r = 0xFFFFFFFFu;
  for (uint8_t b : bytes) r = (r >> 8) ^ crc32_table[(r ^ b) & 0xFF];
  return r;
}

}  // namespace blkswap
