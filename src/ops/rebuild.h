// Laying the blocks out again, recomputing their checksums and writing the merged image.
#pragma once

#include "image/bytes.h"
#include "image/flash_image.h"
#include "ops/safe_write.h"

namespace blkswap {

inline constexpr int kWriteOk = 1;
inline constexpr int kWriteEmptyName = -1;
inline constexpr int kWriteDoesNotFit = -2;
inline constexpr int kWriteNoMemory = -3;
inline constexpr int kWriteCannotCreate = -4;
inline constexpr int kWriteShortWrite = -5;

// Builds the merged image in memory: places the blocks, updates the records' entries (offset
// and checksum; "NCRC" stays), and composes `out` (image.length bytes). Returns 1, -2 (the
// layout does not fit, nothing changed) or -3 (no memory for the output).
int compose_merged_image(FlashImage& image, Bytes& out);

// compose_merged_image, then writes the result to `wfile` without ever leaving a partial file
// in place of a regular one. Returns 1, -1, -2, -3, -4 (cannot create) or -5 (short write);
// for -4 and -5, `why` (when given) says what failed.
int write_merged_image(FlashImage& image, const char* wfile, WriteFailure* why = nullptr);

// The code of a write's outcome: 1, -4 (cannot create) or -5 (short write).
int write_result_code(WriteResult result);

}  // namespace blkswap
