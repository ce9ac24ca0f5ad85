// Laying the blocks out again, recomputing their checksums and writing the merged image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/io.h"
#include "image/load.h"

namespace blkswap {

enum class WriteCode { ok, empty_name, does_not_fit, no_memory, cannot_create, short_write };

// The code of a write's outcome: ok, cannot_create or short_write.
WriteCode write_code(WriteResult result);

// Why the rebuild refused (WriteCode::does_not_fit), for the message and the dry run.
enum class RebuildFault {
  none,
  no_blocks,         // the image lists no block
  field_overflow,    // `block`'s offset or size would not fit its 32-bit field
  past_end,          // `block` would end at `end`, past the image's end
  last_at_end,       // `block`, the last, would end at `end`, not before the image's end
  covers_table,      // `block` would newly cover the table at `table_pos`
  covers_block,      // `block` would newly cover block `other`
  checksum_cycle,    // `block` holds its own checksum field (through nested tables)
  reads_back_wrong,  // the composed image does not load back as laid out at `table_pos`
};

struct RebuildReport {
  std::array<uint32_t, kMaxBlocks> offsets{};  // the new offsets of blocks [0, placed)
  size_t placed = 0;
  RebuildFault fault = RebuildFault::none;
  size_t block = 0;
  size_t other = 0;
  uint64_t end = 0;
  uint32_t table_pos = 0;
  bool composed = false;  // the merged image was made: every entry holds its final values
};

// Places every block: slot 0 keeps its offset, every later slot starts where the previous one
// ends, and ids 0xA4 and 0xA8 round up to 64 KiB from their table. A block must fit its 32-bit
// fields and the image (the last block must end strictly before the image's end), and may not
// newly overlap a table's header and entries or another block. False, with `report` saying
// which block and why, when it cannot.
bool plan_layout(const FlashImage& image, RebuildReport& report);

// Builds the merged image in memory: places the blocks, updates the records' entries (offset
// and checksum; "NCRC" stays), and composes `out` (image.length bytes). does_not_fit leaves
// `report` saying why; no_memory when the output cannot be had.
WriteCode compose_merged_image(FlashImage& image, Bytes& out, RebuildReport* report = nullptr);

// compose_merged_image, then writes the result to `wfile` by the safe-write rules: empty_name,
// does_not_fit, no_memory, cannot_create or short_write; `why` says what failed in a write.
WriteCode write_merged_image(FlashImage& image, const char* wfile, RebuildReport* report = nullptr,
                             WriteFailure* why = nullptr);

}  // namespace blkswap
