// The on-disk layout of a flash image: block tables (a header followed by entries) and the
// fields of an entry. All integers are little-endian; fields are read and written byte by byte.
//
// Where each rule of the format is enforced:
//   image length: a whole number of kImageUnit, below 4 GiB ........ load_image_bytes (load.cc)
//   a table header: the magic and the format mark, found at any byte .. is_table_header, here
//   a table's entry count (one byte) ................................ table_entry_count, here
//   entries and blocks wholly inside the image; at most kMaxBlocks ... find_layout (load.cc)
//   an entry's fields (id is one byte; the rest is carried as is) ..... entry_* below
//   a name of up to eight bytes, not always NUL-ended ................ entry_name, here
//   the no-checksum marker "NCRC" ...................................... has_checksum, here
//   the checksum itself ............................................... block_crc (crc.h)
//   where a merge places blocks (64 KiB ids, the strict last bound) ... plan_merge (merge.cc)
//   what a merged image keeps, erases and writes over ................. compose (merge.cc)
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
inline constexpr size_t kChecksumFieldAt = 12;       // within an entry, four bytes
inline constexpr uint32_t kNoChecksum = 0x4352434E;  // "NCRC" read as a little-endian word
inline constexpr uint32_t kAlignment = 0x10000;      // for the ids below, from the table
inline constexpr uint8_t kAlignedIdA = 0xA4;
inline constexpr uint8_t kAlignedIdB = 0xA8;

// Kept as the raw 48 bytes so that the fields the tool never interprets travel with the entry.
struct BlockEntry {
  std::array<uint8_t, kEntrySize> raw{};
};

uint32_t read_le32(const uint8_t* p);
void write_le32(uint8_t* p, uint32_t value);

// True when a table header starts at `pos`: the magic and the format mark, with all 28 header
// bytes inside `image`.
bool is_table_header(std::span<const uint8_t> image, size_t pos);

// The entry count of the table header at `pos`; 0 when no header lies there.
uint8_t table_entry_count(std::span<const uint8_t> image, size_t pos);

uint8_t entry_id(const BlockEntry& entry);
uint32_t entry_offset(const BlockEntry& entry);
uint32_t entry_size(const BlockEntry& entry);
uint32_t entry_checksum(const BlockEntry& entry);
void set_entry_offset(BlockEntry& entry, uint32_t value);
void set_entry_size(BlockEntry& entry, uint32_t value);
void set_entry_checksum(BlockEntry& entry, uint32_t value);

// False for an entry that carries the no-checksum marker: its checksum is neither checked nor
// written, even when a block's own checksum happens to equal the marker.
bool has_checksum(const BlockEntry& entry);

// The name field may fill all eight bytes with no terminator; this is the one place that knows.
std::string_view entry_name(const BlockEntry& entry);

// Byte ranges [start, start + size) for layout checks; an empty range overlaps nothing.
struct ByteRange {
  uint64_t start = 0;
  uint64_t size = 0;
};
bool ranges_overlap(ByteRange a, ByteRange b);

}  // namespace blkswap
