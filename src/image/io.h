// The two ends of file I/O: owned byte buffers, reading a whole file, and writing an output file
// so that a failure never leaves a truncated file behind and no output costs the user a file.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace blkswap {

// An owned, fixed-length byte buffer whose allocation failure is a value, not an abort.
struct Bytes {
  std::unique_ptr<uint8_t[]> ptr;
  size_t size = 0;
};

// Replaces `out` with `size` uninitialised bytes. Returns false, leaving `out` empty, when the
// memory cannot be had. Uninitialised on purpose: every caller overwrites the whole buffer, and
// touching fresh pages twice costs as much as reading the file.
bool allocate_bytes(Bytes& out, size_t size);

inline std::span<uint8_t> as_span(Bytes& b) {
  return {b.ptr.get(), b.size};
}
inline std::span<const uint8_t> as_span(const Bytes& b) {
  return {b.ptr.get(), b.size};
}

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

// The option commands' "-": given this very pointer, read_whole_file reads standard input and
// write_file_safely writes standard output. Any other "-" names a file.
extern const char kStandardStream[];

// Reading. A regular file is read up to the length it has when opened; a pipe, FIFO, socket or
// device to its end, and refused once it gives more than the caller's limit. A directory or a
// terminal is refused at once.
enum class ReadResult {
  ok,           // `bytes` holds what was read (bytes.size may be below file_length at EOF)
  cannot_open,  // missing, a directory, or a terminal
  read_error,   // the system reported an error while reading
  too_long,     // file_length above the caller's limit (a stream: it gave more)
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
  uint64_t file_length = 0;    // the length found by seeking to the end, or the bytes a stream gave
  bool stopped_early = false;  // too_long from a stream: it had file_length bytes, or more
  FileIdentity identity;
  int error = 0;  // the system's error number for cannot_open and read_error; 0 when it had none
};

// The identity of the file `path` names (links followed); unknown when it cannot be had.
FileIdentity identify_file(const char* path);

// Whether the file read may be reached through a symbolic link. A folder handed over by someone
// else is read with `refuse`: a link, or anything but a regular file, is cannot_open with one of
// the two error numbers below, which no system error has.
enum class Links { follow, refuse };
inline constexpr int kIsSymbolicLink = 0x10001;
inline constexpr int kNotRegularFile = 0x10002;

ReadResult read_whole_file(const char* path, uint64_t max_length, FileContents& out,
                           Links links = Links::follow);

// Writing.
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
// Any signal that would end the process while the temporary file exists removes it first
// (temporaries.h). A reader that goes away is a short write, not a SIGPIPE. The new file must
// end with the old one's mode, set-id bits included, owner and group, or the write is refused.
WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes,
                              WriteFailure* why = nullptr);

// The directory a path lies in ("." for a bare name), and a sync of it that makes a rename in it
// durable (a directory that cannot be synced is no reason to fail).
std::string directory_of(const std::string& path);
void sync_directory(const std::string& dir);

// The names in `dir` but "." and "..". False (with errno) when it cannot be opened or read
// to its end.
bool list_directory(const std::string& dir, std::vector<std::string>& names);

// Writes every byte to `fd`, through short writes and interruptions. False with errno.
bool write_whole(int fd, std::span<const uint8_t> bytes);

// A folder written whole: `files` go into a new hidden directory beside `dir` as plain files,
// each synced, then the directory is synced and renamed to `dir`. `dir` must not exist, or be
// an empty directory (a link to one is refused: the rename would replace the link). On any
// failure, or a signal that ends the process, nothing of it is left behind. `failed` receives
// the index of the file a write failed on.
enum class FolderResult { ok, not_empty, cannot_create, short_write };
struct FolderFile {
  std::string name;  // a plain name: no '/', not "." or ".."
  std::span<const uint8_t> bytes;
};
FolderResult write_folder_safely(const char* dir, std::span<const FolderFile> files,
                                 WriteFailure* why = nullptr, size_t* failed = nullptr);

}  // namespace blkswap
