#pragma once

#include <ostream>

#include "image/flash_image.h"

namespace blkswap {

// Codes: 1, or -1 (empty name), -2 (cannot open), -3 (no memory, or no usable table),
// -4 (bad length).
inline constexpr int kListScanFailed = -3;

// Loads `flashfile` into `image` and prints "id:0x%x name:%s\n" per block, in block order.
int list_blocks(FlashImage& image, const char* flashfile, std::ostream& out);

}  // namespace blkswap
