// The block checksum: reflected CRC-32 (polynomial 0x04C11DB7) with initial value 0xFFFFFFFF and
// no final inversion. Taken with carry-less multiplication where the processor has it, else eight
// bytes at a time through tables; both give the same value for every input.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace blkswap {

// crc32_tables()[0] is the byte-at-a-time table; [k][b] is the register's change for byte b
// followed by k zero bytes, so that eight bytes are folded in with eight look-ups.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

// The tables, computed on first use (at the latest by the first checksum), so that no checksum
// can be taken with tables not yet made.
const Crc32Tables& crc32_tables();

// Makes the tables now, and chooses the fast path, so that the first checksum pays for neither.
void build_crc_table();

uint32_t block_crc(std::span<const uint8_t> bytes);

// The checksum of A followed by `more`, from the checksum of A: a checksum taken a piece at a
// time (block_crc({}) is the checksum of nothing).
uint32_t block_crc_update(uint32_t crc, std::span<const uint8_t> more);

// The same through the tables alone, whatever the processor offers: for tests and comparisons.
uint32_t block_crc_with_tables(std::span<const uint8_t> bytes);

// Whether block_crc takes the carry-less multiplication path on this processor.
bool block_crc_is_accelerated();

// The checksum of A followed by B, from the checksums of A and of B and the length of B, without
// reading either again.
uint32_t block_crc_concat(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

// The same for many B of one length: what that length does to A's checksum, worked out once.
struct CrcJoin {
  std::array<uint32_t, 32> columns{};
};
CrcJoin crc_join_for(uint64_t length_b);
uint32_t block_crc_concat(const CrcJoin& join, uint32_t crc_a, uint32_t crc_b);

}  // namespace blkswap
