// The POSIX implementation's own helpers, and its one registry of the temporary files and
// folders that exist while an output is being made. A signal whose default action would end the
// process removes every one of them first (files, then folders), then ends the process as it
// would have; a signal the caller ignores, or handles itself, is left as it is. Each is created
// and registered with no signal in between.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>

namespace blkswap {

// A file descriptor that is closed when it goes out of scope.
struct UniqueFd {
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded (it can report a deferred write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The directory a path lies in ("." for a bare name), and a sync of it that makes a rename in it
// durable (a directory that cannot be synced is no reason to fail).
std::string directory_of(const std::string& path);
void sync_directory(const std::string& dir);

// Writes every byte to `fd`, through short writes and interruptions. False with errno.
bool write_whole(int fd, std::span<const uint8_t> bytes);

// Creates a file from `path_template`, whose last six characters are XXXXXX (replaced by the
// name chosen), open for writing. Returns the descriptor, or -1 with errno.
int make_temporary_file(char* path_template, int& slot);

// Creates `path`, which must not exist, for writing, with the mode a new file gets (0666 less
// the umask): a file inside a temporary folder. Returns the descriptor, or -1 with errno.
int make_temporary_file_at(const char* path, int& slot);

// Creates a folder from `path_template` as make_temporary_file does. False with errno.
bool make_temporary_folder(char* path_template, int& slot);

// Removes the temporary in `slot` now and forgets it.
void remove_temporary(int slot);

// Renames the temporary in `slot` to `target` and forgets it, with no signal in between. False
// (with errno, the temporary still registered) when the rename fails.
bool rename_temporary(int slot, const char* target);

// Forgets a temporary that is no longer there under its name (a file of a folder renamed into
// place).
void forget_temporary(int slot);

// A read-only private mapping of a file, with the file kept open for copying straight from it.
struct Mapping {
  void* address = nullptr;  // `length` bytes of the file from `offset` (a page's start) on
  size_t length = 0;
  uint64_t offset = 0;
  int fd = -1;
  int guard = -1;  // its place among the mappings a change of size must not kill
};

// Writes the pieces to `fd` in order (write_pieces_safely's pieces), but those whose bytes lie in
// `in_place` at their own place (the file a draft copied whole). False with errno.
struct Piece;
bool write_pieces(int fd, std::span<const Piece> pieces, const Mapping* in_place = nullptr);

// Registers the mapping [address, address + length) of `path`, with the report set for it (or
// for any file), so that a read of a page a change of size took away ends the command as that
// report says, not by SIGBUS. Returns its slot, or -1 when every slot is taken (the mapping is
// then refused: the file is read instead).
int guard_mapping(const void* address, size_t length, const char* path);
void unguard_mapping(int slot);

// Ends the command as the report of the mapping in `slot` says: a copy from that file found it
// shorter than mapped.
[[noreturn]] void end_for_changed_size(int slot);

}  // namespace blkswap
