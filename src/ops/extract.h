// Writing one block's bytes, as loaded, to a file of their own.
#pragma once

#include "image/flash_image.h"
#include "ops/rebuild.h"
#include "ops/replace.h"

namespace blkswap {

// The codes are those the merge gives for the same faults.
inline constexpr int kExtractOk = 1;
inline constexpr int kExtractEmptyArgument = kReplaceEmptyArgument;  // block name or output file
inline constexpr int kExtractCannotCreate = kWriteCannotCreate;
inline constexpr int kExtractShortWrite = kWriteShortWrite;
inline constexpr int kExtractNoMatch = kReplaceNoMatch;

// Whether `path` names the flash file `image` was read from (the same file, links followed).
bool names_the_flash_file(const FlashImage& image, const char* path);

// Chooses the block as the merge does and writes its bytes to `outfile` with the merge's
// safe-write rules. An empty block gives an empty file.
int extract_block(const FlashImage& image, const char* blockname, const char* outfile,
                  WriteFailure* why = nullptr);

}  // namespace blkswap
