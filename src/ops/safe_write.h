// Writing an output file so that a failure never leaves a truncated file behind.
#pragma once

#include <cstdint>
#include <span>

namespace blkswap {

enum class WriteResult { ok, cannot_create, short_write };

// A regular file (or a name not yet taken) is replaced through a new temporary file in the same
// directory, synced and renamed over it with the old file's permissions and, where permitted,
// its owner; a symbolic link is followed and stays a link. A device or FIFO is written directly.
// When no temporary file can be made in the directory, the file itself is written directly.
// On failure the temporary file is removed and the old file is as it was.
WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes);

}  // namespace blkswap
