// Choosing a block by name or id and giving it the bytes of a block file.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/flash_image.h"

namespace blkswap {

inline constexpr int kReplaceOk = 1;
inline constexpr int kReplaceEmptyArgument = -1;
inline constexpr int kReplaceCannotOpen = -2;  // also: longer than a 32-bit size can say
inline constexpr int kReplaceEmptyFile = -3;
inline constexpr int kReplaceNoMemory = -4;
inline constexpr int kReplaceShortRead = -5;
inline constexpr int kReplaceNoMatch = -6;

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

}  // namespace blkswap
