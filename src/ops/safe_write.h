// Writing an output file so that a failure never leaves a truncated file behind, and no output
// ever costs the user the file it replaces.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace blkswap {

enum class WriteResult { ok, cannot_create, short_write };

// Why a write failed, for the message: what could not be done, and the system's error number
// (0 when there is none).
struct WriteFailure {
  std::string_view what;
  int error = 0;
};

// A regular file, or a name not yet taken, is only ever replaced through a new temporary file
// in the same directory: written, given the old file's owner, group, extended attributes (ACLs
// included) and mode (a new file: 0666 less the umask), synced and renamed over it. When any of
// that cannot be done, or the caller may not write the existing file, the result is
// cannot_create and the old file is as it was. Symbolic links are followed by hand to the
// file they end at, and stay links. A path whose file is anything else (a device, a FIFO, a
// socket, a terminal, a pipe behind /dev/stdout) is opened as given and written directly.
// SIGINT, SIGTERM, SIGHUP and SIGQUIT while the temporary file exists remove it before the
// signal takes its default course. A reader that goes away is a short write, not a SIGPIPE.
WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes,
                              WriteFailure* why = nullptr);

}  // namespace blkswap
