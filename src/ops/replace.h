// Choosing a block by name or id, giving it the bytes of a block file, and taking its bytes out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "image/load.h"
#include "platform/files.h"

namespace blkswap {

inline constexpr int kNoBlock = -1;

// Reads `text` as a block id when the whole of it is a hexadecimal number: optional leading
// white space, an optional sign, an optional 0x or 0X, one or more hex digits and nothing else.
// The value accumulates in 32 bits, saturates at 0xFFFFFFFF, and a minus sign negates it
// modulo 2^32. Anything else is no id (false): such a name matches by name only.
bool parse_block_id(std::string_view text, uint32_t& id);

// How a BLOCKNAME chooses a block. By name or id: the first block (in block order, as loaded)
// whose name equals its first eight characters, or whose id equals it read as a number. By
// index: the block at that place in block order. By slot: "TABLE:SLOT", the entry at place
// SLOT of the table at position TABLE. Numbers are decimal, or hexadecimal after 0x; no stored
// name can be taken for an index or a slot.
enum class BlockChoice { name_or_id, index, slot };

// The block index `blockname` chooses; kNoBlock if none.
int find_block(const FlashImage& image, std::string_view blockname,
               BlockChoice how = BlockChoice::name_or_id);

// New contents for blocks of a loaded image, from block files: they hold their bytes (a block
// file mapped, or read), the image is left as loaded. At most one for each block.
struct NewBlock {
  size_t block = 0;
  FileBytes bytes;
};
struct Replacements {
  std::array<NewBlock, kMaxBlocks> items;
  size_t count = 0;
  // The new bytes of block `index`, or null when it keeps its own.
  const NewBlock* find(size_t index) const;
  // Adds the new bytes of block `index`; false when it has some already.
  [[nodiscard]] bool add(size_t index, FileBytes bytes);
};

// How a merge lays the blocks out. By default every later slot of a table starts where the slot
// before it ends; with keep_offsets every block keeps the offset its entry holds (a layout a boot
// ROM reads at fixed places), and only the replaced blocks' sizes, bytes and checksums change.
// Either way ids 0xA4 and 0xA8 round an offset that is not aligned up to 64 KiB.
struct MergeOptions {
  bool keep_offsets = false;
};

// Chooses the block `blockname` names (as `how` says) into `index`; none is a failure with the
// code `none` (no_match, extract_no_match) that names the close names or the places there are.
Failure choose_block(const FlashImage& image, const char* blockname, BlockChoice how, Code none,
                     size_t& index);

// Chooses the block `blockname` names (as `how` says) and adds the bytes of `blockfile` to
// `replacements` as its new contents (chosen_twice when it has some there already).
Failure replace_block(const FlashImage& image, const char* blockname, const char* blockfile,
                      Replacements& replacements, BlockChoice how = BlockChoice::name_or_id,
                      const MergeOptions& options = {});

// The refusals of new bytes for block `index` that come before the merge's plan: the block
// chosen by another replacement already (`argument` the name that chose it again), and bytes
// (`length` of them, `at_least` for a stream that gave more) that are none at all or more than
// any place in the image could hold (does_not_fit, with what the merge, with the `others` it
// already has, would take). length_refusal is no failure for a length that may fit.
Failure chosen_twice(const FlashImage& image, size_t index, const char* argument);
Failure length_refusal(const FlashImage& image, size_t index, const char* blockfile,
                       uint64_t length, bool at_least, const Replacements& others,
                       const MergeOptions& options = {});

// Reads `blockfile` whole as new bytes for block `index`: refused when it is empty, longer than
// any place in the image (does_not_fit, before it is read, with what the merge, with the
// `others` it already has, would take), or cannot be read whole.
Failure read_block_file(const FlashImage& image, size_t index, const char* blockfile,
                        const Replacements& others, FileBytes& data, Links links = Links::follow,
                        const MergeOptions& options = {});

// Whether `path` names the flash file `image` was read from (the same file, links followed).
bool names_the_flash_file(const FlashImage& image, const char* path);

// Writes the bytes of block `index`, as loaded, to `outfile` by the safe-write rules. An empty
// block gives an empty file.
Failure extract_block(const FlashImage& image, size_t index, const char* outfile);

}  // namespace blkswap
