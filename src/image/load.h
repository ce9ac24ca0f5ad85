// Loading a flash file and finding its block tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "image/bytes.h"
#include "image/flash_image.h"

namespace blkswap {

// Codes of load_image (the list command reports kLoadNoTable as its own -3).
inline constexpr int kLoadOk = 1;
inline constexpr int kLoadEmptyName = -1;
inline constexpr int kLoadCannotOpen = -2;
inline constexpr int kLoadNoMemory = -3;
inline constexpr int kLoadBadLength = -4;  // not a multiple of 512 KiB, or 4 GiB or more
inline constexpr int kLoadNoTable = -5;    // no table, too many blocks, or a bound broken

int load_image(FlashImage& image, const char* flashfile);

// The same steps on bytes already in memory (they become image.bytes).
int load_image_bytes(FlashImage& image, Bytes bytes);

inline constexpr size_t kNoTableHeader = static_cast<size_t>(-1);

// The position of the first table header at or after `from`, or kNoTableHeader.
size_t find_table_header(std::span<const uint8_t> image, size_t from);

// Finds every table in image.bytes[0, length) and fills the records and the snapshot. False
// when there is no table, more than 64 blocks, a table or block not wholly inside the image,
// or no memory for a block's copy.
bool scan_tables(FlashImage& image, uint32_t length);

}  // namespace blkswap
