#pragma once

#include <ostream>

#include "image/flash_image.h"

namespace blkswap {

// Codes: 1, or -1 (empty name), -2 (cannot open), -3 (no memory, or no usable table),
// -4 (bad length).
inline constexpr int kListScanFailed = -3;

// Prints "id:0x%x name:%s\n" for each block of a loaded image, in block order.
void print_block_list(const FlashImage& image, std::ostream& out);

// Loads `flashfile` into `image` and prints "id:0x%x name:%s\n" per block, in block order.
int list_blocks(FlashImage& image, const char* flashfile, std::ostream& out);

}  // namespace blkswap
