// Whether a block's stored checksum still describes its bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/flash_image.h"

namespace blkswap {

enum class ChecksumState {
  ok,     // the stored checksum is the checksum of the block's bytes
  stale,  // it is not
  none,   // the entry carries the no-checksum marker instead
};

struct ChecksumCheck {
  uint32_t stored = 0;
  uint32_t computed = 0;  // left 0 when the state is none
  ChecksumState state = ChecksumState::none;
};

// Compares the record's entry with its bytes. The marker wins even over a block whose own
// checksum happens to equal it: the rebuild never writes a checksum there.
ChecksumCheck check_checksum(const BlockRecord& record);

// "ok", "stale" or "none".
std::string_view checksum_state_name(ChecksumState state);

}  // namespace blkswap
