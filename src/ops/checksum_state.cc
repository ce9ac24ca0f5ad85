#include "ops/checksum_state.h"

#include "image/crc.h"
#include "image/format.h"

namespace blkswap {

ChecksumCheck check_checksum(const BlockRecord& record) {
  ChecksumCheck check;
  check.stored = entry_checksum(record.entry);
  if (check.stored == kNoChecksum) return check;  // nothing to compare, so nothing to compute
  check.computed = block_crc(as_span(record.data));
  check.state = check.stored == check.computed ? ChecksumState::ok : ChecksumState::stale;
  return check;
}

std::string_view checksum_state_name(ChecksumState state) {
  switch (state) {
    case ChecksumState::ok:
      return "ok";
    case ChecksumState::stale:
      return "stale";
    case ChecksumState::none:
      return "none";
  }
  return "none";
}

}  // namespace blkswap
