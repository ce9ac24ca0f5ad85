// The block checksum: reflected CRC-32 (polynomial 0x04C11DB7) with initial value 0xFFFFFFFF and
// no final inversion, one byte at a time through a 256-entry table computed at start.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace blkswap {

using Crc32Table = std::array<uint32_t, 256>;

// Process-wide; filled by build_crc_table() before any checksum is taken.
extern Crc32Table crc32_table;

void build_crc_table();
uint32_t block_crc(std::span<const uint8_t> bytes);

}  // namespace blkswap
