// The merge: a plan computed from a loaded image and its replacements, which every command that
// merges or rehearses a merge asks, and the composition of the merged image from that plan.
// Neither changes the image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/load.h"
#include "ops/replace.h"
#include "platform/files.h"

namespace blkswap {

// Why a merge is refused (WriteCode::does_not_fit).
enum class MergeFault {
  none,
  field_overflow,    // `block`'s offset or size would not fit its 32-bit field
  past_end,          // `block` would end at `at`, past the image's end
  last_at_end,       // `block`, the last, would end at `at`, not before the image's end
  covers_table,      // `block` would newly cover the table at `table_pos`
  covers_block,      // `block` would newly cover block `other`
  written_over,      // a later write of block `other` lands at `at`, inside `block`'s new bytes
  checksum_cycle,    // `block` holds its own checksum field (through nested tables)
  reads_back_wrong,  // the composed image does not load back as laid out at `table_pos`
};

struct MergeRefusal {
  MergeFault fault = MergeFault::none;
  size_t block = 0;
  size_t other = 0;
  uint64_t at = 0;
  uint32_t table_pos = 0;
  // When a replaced block's new bytes are more than the merge can take for it, with the other
  // replacements as they are: that block, its new size and its room.
  bool too_big = false;
  size_t grown = 0;
  uint64_t grown_size = 0;
  uint64_t room = 0;
};

struct PlannedBlock {
  uint32_t offset = 0;  // from its table
  uint32_t size = 0;
  // The checksum field as written: block_crc of its bytes, or the field as loaded for "NCRC".
  // A block that later writes land in (the plan's settle_order) has its checksum taken from the
  // composed image.
  uint32_t checksum = 0;
  bool replaced = false;
  bool was_stale = false;          // not replaced, and its stored checksum was not its bytes'
  int written_over_by = -1;        // the first later block whose entry or bytes land inside it
  std::span<const uint8_t> bytes;  // what lands at its place: a view of the image or of its
                                   // replacement
};

// Bytes of the image that the merge does not carry over as blocks: how many, and the first.
struct ByteCount {
  uint64_t count = 0;
  uint64_t first = 0;
};

struct MergePlan {
  std::array<PlannedBlock, kMaxBlocks> blocks{};
  size_t placed = 0;  // blocks [0, placed) have a place; all of them when the plan holds
  MergeRefusal refusal;
  // From the last table that has blocks on, the bytes outside every table and block that are not
  // 0xFF in the image and become 0xFF; before it, the old bytes of blocks that shrank or moved,
  // which the merged image keeps as they were.
  ByteCount erased;
  ByteCount stale;
  // The order in which compose takes the checksums of the settled blocks.
  std::array<uint8_t, kMaxBlocks> settle_order{};
  size_t settle_count = 0;
  bool holds() const { return refusal.fault == MergeFault::none; }
};

// A refusal as a failure (does_not_fit, naming the flash file and the block at fault): what
// exactly stopped the merge, in a sentence.
Failure refusal_failure(const FlashImage& image, const MergeRefusal& refusal);

// Plans the merge of `replacements` into `image`: every block's new place (slot 0 keeps its
// offset, every later slot starts where the previous one ends, ids 0xA4 and 0xA8 round up to
// 64 KiB from their table), size and checksum. A block must fit its 32-bit fields and the image
// (the last block must end strictly before the image's end); may not newly cover a table or
// another block; a replaced block's new bytes must stand in the merged image, but where the
// entries of a table they carry, or another replaced block inside them, are written; and no
// block may hold its own checksum field. False, with plan.refusal saying why, when it cannot.
// The plan views the replacements' bytes: they must outlive it. `loaded_checksums`, when given,
// are the checksums of the blocks' bytes as loaded, already taken (they are not taken again).
bool plan_merge(const FlashImage& image, const Replacements& replacements, MergePlan& plan,
                const MergeOptions& options = {},
                const std::array<uint32_t, kMaxBlocks>* loaded_checksums = nullptr);

// The largest new size of block `index` that a merge of it, with `others` (its own replacement
// there aside), would take: by the plan's own rules, for bytes that carry no table of their own
// (the read-back of the composed image then decides), and with no later entry or block written
// over the new bytes (unless they belong to a table whose header the new bytes hold). 0 when no
// size would do. A merge takes that size and refuses one byte more, and no larger size fits,
// unless a table or block lies wholly inside a gap that a 64 KiB alignment opens, which a growing
// block can jump over.
uint64_t block_room(const FlashImage& image, const Replacements& others, size_t index,
                    const MergeOptions& options = {});

// What a merge that holds changes beyond the blocks it was given, each with how many and the
// first: bytes that are not 0xFF it erases (plan.erased), headers of tables without entries it
// does not carry to their place, and stored checksums of blocks it was not given that were
// stale and come out computed (`checksums`: every checksum field as written).
struct StaleChecksums {
  size_t count = 0;
  size_t first = 0;      // the first such block
  uint32_t stored = 0;   // its checksum as loaded
  uint32_t written = 0;  // its checksum in the merged image
};
struct MergeWarnings {
  ByteCount erased;
  uint32_t erased_after = 0;  // the last table that has blocks, from which bytes are erased
  ByteCount dropped_tables;   // `first` is the first such table's position
  StaleChecksums stale_checksums;
  bool any() const {
    return erased.count > 0 || dropped_tables.count > 0 || stale_checksums.count > 0;
  }
};
MergeWarnings merge_warnings(const FlashImage& image, const MergePlan& plan,
                             std::span<const uint32_t> checksums);

// The merged image of a plan that holds: the flash file's bytes up to the last table that has
// blocks, 0xFF from there on, then every entry and every block's bytes at their new places,
// later writes over earlier ones; the checksums of settled blocks taken from it. It is read back
// as any flash file is, and must show the tables as planned and every replaced block's bytes.
// Composed whole in memory: for a dry run, an output that cannot be read back, and blocks that
// later writes land in.
struct Composed {
  Bytes bytes;
  std::array<uint32_t, kMaxBlocks> checksums{};  // every block's checksum field as written
};
Failure compose(const FlashImage& image, const MergePlan& plan, Composed& out);

// The merged image of `plan` (whose new bytes are `replacements`') written to `wfile` by the
// safe-write rules: from where its bytes lie (the flash file, the block files, the entries and
// 0xFF), read back from the written file before it is put in place; or, for blocks that later
// writes land in or an output that cannot be read back, composed in memory first. wfile_empty,
// does_not_fit, output_no_memory, cannot_create or short_write; `checksums` (when given)
// receives every checksum field as written.
// A `draft` (start_draft's, of the flash file into WFILE) spares the writing of every piece that
// is the flash file's bytes at their own place.
Failure write_merged_image(const FlashImage& image, const MergePlan& plan, const char* wfile,
                           const Replacements& replacements,
                           std::array<uint32_t, kMaxBlocks>* checksums = nullptr,
                           Draft* draft = nullptr);

}  // namespace blkswap
