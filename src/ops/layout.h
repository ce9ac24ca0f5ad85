// The new places of the blocks when an image is rebuilt, and the checks that keep the rebuilt
// image inside its length and its tables and blocks from being written over.
#pragma once

#include <array>
#include <cstdint>

#include "image/flash_image.h"

namespace blkswap {

struct Layout {
  std::array<uint32_t, kMaxBlocks> offsets{};  // per block index, relative to its table
};

// Places every block: slot 0 keeps its offset, every later slot starts where the previous one
// ends, and ids 0xA4 and 0xA8 round up to 64 KiB. Returns 1, or -2 when a block would not fit
// its 32-bit fields or the image (the last block must end strictly before the image's end), or
// would newly overlap a table's header and entries or another block.
int plan_layout(const FlashImage& image, Layout& layout);

}  // namespace blkswap
