#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/files.h"
#include "platform/posix_internal.h"
#include "platform/read_common.h"

namespace blkswap {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels answer EINVAL, and nothing changes
#endif

// A large fresh buffer is filled whole right after it is made (a read, a composition): its pages
// are made present with one call instead of one fault each. Where the kernel cannot, they fault
// in as they are written.
void make_pages_present(uint8_t* p, size_t size) {
  constexpr size_t kWorthIt = size_t{1} << 20;
  const long page = ::sysconf(_SC_PAGESIZE);
  if (size < kWorthIt || page <= 0) return;
  const auto at = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first =
      (at + static_cast<uintptr_t>(page) - 1) & ~(static_cast<uintptr_t>(page) - 1);
  const uintptr_t end = (at + size) & ~(static_cast<uintptr_t>(page) - 1);
  if (end > first)
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

namespace {

ReadResult failed(FileContents& out, ReadResult result) {
  out.error = errno;
  return result;
}

// Reads into `p` until `size` bytes are there or the file ends, through interruptions; `done`
// counts what is there. False (with errno) when a read fails: never mistaken for a shorter file.
bool read_up_to(int fd, uint8_t* p, size_t size, size_t& done) {
  while (done < size) {
    const ssize_t got = ::read(fd, p + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Reads `fd` to its end into `out.bytes`; more than `max_length` bytes is too_long.
ReadResult read_stream(int fd, uint64_t max_length, FileContents& out) {
  const ReadResult result = read_stream_to_end(
      max_length, out,
      [fd](uint8_t* p, size_t size, size_t& done) { return read_up_to(fd, p, size, done); });
  if (result == ReadResult::read_error) out.error = errno;
  return result;
}

// Maps the `length` bytes of the regular file `fd` from `start` on, read-only and private, the
// file kept open beside it. False, with nothing changed, when it cannot be: it is read instead.
bool map_file(int fd, const char* path, uint64_t start, uint64_t length, FileContents& out) {
  const long page = ::sysconf(_SC_PAGESIZE);
  if (length == 0 || page <= 0) return false;
  const uint64_t first = start - start % static_cast<uint64_t>(page);
  const uint64_t mapped = start - first + length;
  if (mapped > SIZE_MAX || first > static_cast<uint64_t>(INT64_MAX)) return false;
  std::unique_ptr<Mapping, Unmap> mapping(new (std::nothrow) Mapping);
  if (!mapping) return false;
  mapping->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (mapping->fd < 0) return false;
  void* at = ::mmap(nullptr, static_cast<size_t>(mapped), PROT_READ, MAP_PRIVATE, fd,
                    static_cast<off_t>(first));
  if (at == MAP_FAILED) return false;
  mapping->address = at;
  mapping->length = static_cast<size_t>(mapped);
  mapping->offset = first;
  mapping->guard = guard_mapping(at, mapping->length, path);
  if (mapping->guard < 0) return false;
  out.bytes.view = {static_cast<const uint8_t*>(at) + (start - first), static_cast<size_t>(length)};
  out.bytes.mapping = std::move(mapping);
  return true;
}

}  // namespace

void Unmap::operator()(Mapping* mapping) const {
  if (mapping == nullptr) return;
  unguard_mapping(mapping->guard);
  if (mapping->address != nullptr) ::munmap(mapping->address, mapping->length);
  if (mapping->fd >= 0) ::close(mapping->fd);
  delete mapping;
}

void copy_bytes(const FileBytes& bytes, std::span<const uint8_t> part, std::span<uint8_t> into) {
  const Mapping* mapping = bytes.mapping.get();
  size_t done = 0;
  if (mapping != nullptr) {
    const auto at =
        static_cast<uint64_t>(part.data() - static_cast<const uint8_t*>(mapping->address));
    while (done < part.size()) {
      const ssize_t got = ::pread(mapping->fd, into.data() + done, part.size() - done,
                                  static_cast<off_t>(mapping->offset + at + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // shorter than it was mapped: what is left comes through the mapping
      done += static_cast<size_t>(got);
    }
  }
  std::copy(part.begin() + static_cast<std::ptrdiff_t>(done), part.end(),
            into.begin() + static_cast<std::ptrdiff_t>(done));
}

void release_pages(const FileBytes& bytes, std::span<const uint8_t> part) {
  const long page = ::sysconf(_SC_PAGESIZE);
  if (!bytes.mapping || part.empty() || page <= 0) return;
  const auto at = reinterpret_cast<uintptr_t>(part.data());
  const auto size = static_cast<uintptr_t>(page);
  const uintptr_t first = (at + size - 1) & ~(size - 1);
  const uintptr_t end = (at + part.size()) & ~(size - 1);
  if (end > first) (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

ReadResult read_whole_file(const char* path, uint64_t max_length, FileContents& out, Links links) {
  out = FileContents{};
  const bool standard_input = path == kStandardStream;
  const bool only_regular = links == Links::refuse;
  // O_NONBLOCK keeps the open of a FIFO from waiting before it is known to be one.
  const int open_flags =
      O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (only_regular ? O_NOFOLLOW : 0);
  UniqueFd opened(standard_input ? -1 : ::open(path, open_flags));
  if (!standard_input && opened.get() < 0) {
    const ReadResult result = failed(out, ReadResult::cannot_open);
    if (only_regular && out.error == ELOOP) out.error = kIsSymbolicLink;
    return result;
  }
  const int fd = standard_input ? STDIN_FILENO : opened.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(out, ReadResult::cannot_open);
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return failed(out, ReadResult::cannot_open);
  }
  if (only_regular && !S_ISREG(st.st_mode)) {
    out.error = kNotRegularFile;
    return ReadResult::cannot_open;
  }
  // A person at a terminal would type an image; nobody means that.
  if (::isatty(fd) == 1) {
    errno = ENOTTY;
    return failed(out, ReadResult::cannot_open);
  }
  out.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
  if (S_ISFIFO(st.st_mode) && !standard_input) {
    // A FIFO is read from its writer, who may not have come yet: its first bytes, or its
    // leaving without any, are waited for, as any reader of it waits.
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, -1) < 0) {
      if (errno != EINTR) return failed(out, ReadResult::cannot_open);
    }
  }
  if (!standard_input) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return failed(out, ReadResult::cannot_open);
    }
  }
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return read_stream(fd, max_length, out);

  // A file with a length: read from where it stands (standard input may be part read) to the
  // end it has now. A device is measured the same way (/dev/zero has none), never read without
  // end.
  const off_t start = ::lseek(fd, 0, SEEK_CUR);
  const off_t end = start < 0 ? -1 : ::lseek(fd, 0, SEEK_END);
  if (end < start || ::lseek(fd, start, SEEK_SET) != start) {
    return failed(out, ReadResult::cannot_open);
  }
  const auto length = static_cast<uint64_t>(end - start);
  if (S_ISREG(st.st_mode) && length <= max_length &&
      map_file(fd, path, static_cast<uint64_t>(start), length, out)) {
    out.file_length = length;
    if (standard_input) (void)::lseek(fd, end, SEEK_SET);  // taken, as a read would take it
    return ReadResult::ok;
  }
  const ReadResult result = read_measured(
      static_cast<uint64_t>(end - start), max_length, out,
      [fd](uint8_t* p, size_t size, size_t& done) { return read_up_to(fd, p, size, done); });
  if (result == ReadResult::read_error) out.error = errno;
  return result;
}

FileIdentity identify_file(const char* path) {
  struct stat st {};
  if (::stat(path, &st) != 0) return {};
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
}

bool list_directory(const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  // readdir tells its end from an error only by errno.
  errno = 0;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const int error = errno;
  ::closedir(d);
  errno = error;
  return error == 0;
}

size_t find_bytes(std::span<const uint8_t> haystack, std::span<const uint8_t> needle) {
  const void* hit = ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return hit == nullptr ? haystack.size()
                        : static_cast<size_t>(static_cast<const uint8_t*>(hit) - haystack.data());
}

void prepare_standard_streams() {
  // A write past a file-size limit, or into a pipe whose reader has gone, then fails with an
  // error the command reports and cleans up after, instead of killing the process silently
  // with a temporary file left behind.
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

bool is_write_error(int error) {
  return error == EPIPE || error == ENOSPC || error == EFBIG || error == EIO || error == EDQUOT;
}

}  // namespace blkswap
