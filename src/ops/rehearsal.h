// What a merge would change, block by block, before anything is written.
#pragma once

#include <cstddef>
#include <ostream>

#include "image/flash_image.h"

namespace blkswap {

// For an image that compose_merged_image has laid out again: each block's old offset and size
// (as loaded) beside the new ones, and whether its stored checksum changes ("changes", "same",
// or "none" for a block without one). The block given new bytes is marked.
void print_merge_rehearsal(const FlashImage& image, std::ostream& out);

}  // namespace blkswap
