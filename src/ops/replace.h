// Choosing a block by name or id and giving it the bytes of a block file.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/flash_image.h"

namespace blkswap {

inline constexpr int kReplaceOk = 1;
inline constexpr int kReplaceEmptyArgument = -1;
inline constexpr int kReplaceCannotOpen = -2;
inline constexpr int kReplaceEmptyFile = -3;
inline constexpr int kReplaceNoMemory = -4;
inline constexpr int kReplaceShortRead = -5;
inline constexpr int kReplaceNoMatch = -6;
// Not a code of this step, never printed: the block file is longer than any place the rebuild
// could give it, so the merge fails as its rebuild would (see merge_code_of_replace), without
// reading the file.
inline constexpr int kReplaceWillNotFit = -7;

inline constexpr int kNoBlock = -1;

// Reads `text` as a block id when the whole of it is a hexadecimal number: optional leading
// white space, an optional sign, an optional 0x or 0X, one or more hex digits and nothing else.
// The value accumulates in 32 bits, saturates at 0xFFFFFFFF, and a minus sign negates it
// modulo 2^32. Anything else is no id (false): such a name matches by name only.
bool parse_block_id(std::string_view text, uint32_t& id);

// The block index of the first block (in block order, as loaded) whose name equals the first
// eight characters of `blockname`, or whose id equals it read as a number; kNoBlock if none.
int find_block(const FlashImage& image, std::string_view blockname);

// Makes `data` the new contents of block `index` (its size must fit the 32-bit size field).
void set_block_data(FlashImage& image, size_t index, Bytes data);

int replace_block(FlashImage& image, const char* blockname, const char* blockfile);

// The code a merge into `wfile` reports for a code of replace_block: its own, except that a
// block file too long to fit gives the rebuild's codes, -1 for an empty `wfile` (which the
// rebuild tests first) and -2 otherwise.
int merge_code_of_replace(int replace_code, const char* wfile);

}  // namespace blkswap
