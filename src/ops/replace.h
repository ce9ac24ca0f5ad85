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
  bool add(size_t index, FileBytes bytes);
};

// How a merge lays the blocks out. By default every later slot of a table starts where the slot
// before it ends; with keep_offsets every block keeps the offset its entry holds (a layout a boot
// ROM reads at fixed places), and only the replaced blocks' sizes, bytes and checksums change.
// Either way ids 0xA4 and 0xA8 round an offset that is not aligned up to 64 KiB.
struct MergeOptions {
  bool keep_offsets = false;
};

enum class ReplaceCode {
  ok,
  empty_argument,  // the block name or the block file
  cannot_open,
  empty_file,
  no_memory,
  short_read,
  no_match,
  // The block file is longer than any place the rebuild could give it: refused from its length,
  // before it is read. The merge reports it as its rebuild's refusal.
  too_long,
  chosen_twice,  // a merge of several blocks names this block a second time
};

// What the message of a failed replacement needs beyond its code.
struct ReplaceFailure {
  int block = kNoBlock;   // the block chosen, once the look-up has found it
  int error = 0;          // cannot_open, short_read: the system's error number, when it gave one
  uint64_t length = 0;    // the block file's length
  bool at_least = false;  // too_long from a pipe: it gave `length` bytes before it was refused
  uint64_t read = 0;      // short_read: the bytes it gave
  uint64_t room = 0;      // too_long: the largest block file the merge would take for it
  BlockChoice choice = BlockChoice::name_or_id;  // how BLOCKNAME chose
};

// Chooses the block `blockname` names (as `how` says) and adds the bytes of `blockfile` to
// `replacements` as its new contents (chosen_twice when it has some there already).
ReplaceCode replace_block(const FlashImage& image, const char* blockname, const char* blockfile,
                          Replacements& replacements, ReplaceFailure* why = nullptr,
                          BlockChoice how = BlockChoice::name_or_id,
                          const MergeOptions& options = {});

// Reads `blockfile` whole as new bytes for block `index`: refused when it is empty, longer than
// any place in the image (before it is read; `failure.room` then says what the merge, with the
// `others` it already has, would take), or cannot be read whole.
ReplaceCode read_block_file(const FlashImage& image, size_t index, const char* blockfile,
                            const Replacements& others, FileBytes& data, ReplaceFailure& failure,
                            Links links = Links::follow, const MergeOptions& options = {});

// Whether `path` names the flash file `image` was read from (the same file, links followed).
bool names_the_flash_file(const FlashImage& image, const char* path);

// Writes the bytes of block `index`, as loaded, to `outfile` by the safe-write rules. An empty
// block gives an empty file.
WriteResult extract_block(const FlashImage& image, size_t index, const char* outfile,
                          WriteFailure* why = nullptr);

}  // namespace blkswap
