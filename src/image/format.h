// The on-disk layout of a flash image: block tables (a header followed by entries) and the
// fields of an entry. All integers are little-endian; fields are read and written byte by byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace blkswap {

inline constexpr size_t kImageUnit = 0x80000;  // an image is a whole number of these
inline constexpr size_t kHeaderSize = 28;
inline constexpr size_t kEntrySize = 48;
inline constexpr size_t kMaxBlocks = 64;  // across all tables of one image
inline constexpr size_t kNameSize = 8;
inline constexpr std::string_view kMagic = "*^_^*QK(^o^)";
inline constexpr size_t kEntryCountAt = 24;
inline constexpr size_t kFormatMarkAt = 26;
inline constexpr uint8_t kFormatMark = '0';
inline constexpr uint32_t kNoChecksum = 0x4352434E;  // "NCRC" read as a little-endian word
inline constexpr uint32_t kAlignment = 0x10000;      // for the ids below
inline constexpr uint8_t kAlignedIdA = 0xA4;
inline constexpr uint8_t kAlignedIdB = 0xA8;

struct TableHeader {
  std::array<uint8_t, kHeaderSize> raw{};
};

// Kept as the raw 48 bytes so that the fields the tool never interprets travel with the entry.
struct BlockEntry {
  std::array<uint8_t, kEntrySize> raw{};
};

uint32_t read_le32(const uint8_t* p);
void write_le32(uint8_t* p, uint32_t value);

uint8_t header_entry_count(const TableHeader& header);

uint8_t entry_id(const BlockEntry& entry);
uint32_t entry_offset(const BlockEntry& entry);
uint32_t entry_size(const BlockEntry& entry);
uint32_t entry_checksum(const BlockEntry& entry);
void set_entry_offset(BlockEntry& entry, uint32_t value);
void set_entry_size(BlockEntry& entry, uint32_t value);
void set_entry_checksum(BlockEntry& entry, uint32_t value);

// The name field may fill all eight bytes with no terminator; this is the one place that knows.
std::string_view entry_name(const BlockEntry& entry);

// True when a table header starts at `pos`: the magic and the format mark, with all 28 header
// bytes inside `image`.
bool is_table_header(std::span<const uint8_t> image, size_t pos);

// Byte ranges [start, start + size) for layout checks; an empty range overlaps nothing.
struct ByteRange {
  uint64_t start = 0;
  uint64_t size = 0;
};
bool ranges_overlap(ByteRange a, ByteRange b);

}  // namespace blkswap
