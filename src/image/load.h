// Loading a flash file and finding its block tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/bytes.h"
#include "image/flash_image.h"

namespace blkswap {

// Codes of load_image (the list command reports kLoadNoTable as its own -3).
inline constexpr int kLoadOk = 1;
inline constexpr int kLoadEmptyName = -1;
inline constexpr int kLoadCannotOpen = -2;  // also: fewer bytes read than the file's length
inline constexpr int kLoadNoMemory = -3;
inline constexpr int kLoadBadLength = -4;  // not a multiple of 512 KiB, or 4 GiB or more
inline constexpr int kLoadNoTable = -5;    // no table, too many blocks, or a bound broken

int load_image(FlashImage& image, const char* flashfile);

// The same steps on bytes already in memory (they become image.bytes).
int load_image_bytes(FlashImage& image, Bytes bytes);

inline constexpr size_t kNoTableHeader = static_cast<size_t>(-1);

// The position of the first table header at or after `from`, or kNoTableHeader.
size_t find_table_header(std::span<const uint8_t> image, size_t from);

// Every table of an image and the entries of those with blocks, found and bounds-checked but
// with no block copied: what loading builds its records from, and what the rebuild reads back
// from the image it composed.
struct FoundEntry {
  BlockEntry entry;
  uint32_t table_pos = 0;
  uint32_t slot = 0;
};
struct FoundLayout {
  std::array<FoundEntry, kMaxBlocks> entries;
  size_t entry_count = 0;
  uint32_t table_count = 0;  // with entries or without
};

// Fills `found` from `image`. False when there is no table, more than 64 entries in all, or a
// table's entries or an entry's block not wholly inside the image.
bool find_layout(std::span<const uint8_t> image, FoundLayout& found);

// Finds every table in image.bytes[0, length) and fills the records and the snapshot. False
// when find_layout fails or there is no memory for a block's copy.
bool scan_tables(FlashImage& image, uint32_t length);

}  // namespace blkswap
