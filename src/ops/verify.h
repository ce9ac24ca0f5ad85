// Checking every stored block checksum of a loaded image.
#pragma once

#include <cstddef>
#include <ostream>

#include "image/flash_image.h"

namespace blkswap {

// Prints one line per block whose checksum is stale, then a summary line, and returns how many
// were stale.
size_t verify_checksums(const FlashImage& image, std::ostream& out);

}  // namespace blkswap
