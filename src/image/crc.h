// The block checksum: reflected CRC-32 (polynomial 0x04C11DB7) with initial value 0xFFFFFFFF and
// no final inversion, eight bytes at a time through tables computed at start.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace blkswap {

// crc32_tables[0] is the byte-at-a-time table; crc32_tables[k][b] is the register's change for
// byte b followed by k zero bytes, so that eight bytes are folded in with eight look-ups.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

// Process-wide; filled by build_crc_table() before any checksum is taken.
extern Crc32Tables crc32_tables;

void build_crc_table();
uint32_t block_crc(std::span<const uint8_t> bytes);

// The checksum of A followed by B, from the checksums of A and of B and the length of B, without
// reading either again.
uint32_t block_crc_concat(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

}  // namespace blkswap
