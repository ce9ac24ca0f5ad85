// Reading a whole file into memory, with the failures the loading and replacement steps tell
// apart. POSIX descriptors are used so that a FIFO, a directory or a terminal is refused at
// once instead of blocking or being read without end.
#pragma once

#include <cstdint>

#include "image/bytes.h"

namespace blkswap {

enum class ReadResult {
  ok,           // `bytes` holds what was read (bytes.size may be below file_length at EOF)
  cannot_open,  // missing, a directory, or no length (FIFO, terminal)
  read_error,   // the system reported an error while reading
  too_long,     // file_length above the caller's limit; nothing allocated or read
  no_memory,
};

// Which file was read, so that a later write can tell whether it would land on it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool known = false;
};

struct FileContents {
  Bytes bytes;
  uint64_t file_length = 0;  // the length found by seeking to the end
  FileIdentity identity;
};

// The identity of the file `path` names (links followed); unknown when it cannot be had.
FileIdentity identify_file(const char* path);

ReadResult read_whole_file(const char* path, uint64_t max_length, FileContents& out);

}  // namespace blkswap
