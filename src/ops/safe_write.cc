#include "ops/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "image/unique_fd.h"

namespace blkswap {

namespace {

constexpr int kMaxLinkHops = 40;

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The path of the file a chain of symbolic links ends at, which need not exist yet. Empty when
// the chain is a loop or too long to follow.
std::string follow_links(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
    if (got <= 0 || static_cast<size_t>(got) >= target.size()) return {};
    target.resize(static_cast<size_t>(got));
    path = target.front() == '/' ? target : directory_of(path) + "/" + target;
  }
  return {};
}

bool write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Writes straight into `path`, as for a device, a FIFO, or a directory that takes no new file.
WriteResult write_directly(const std::string& path, std::span<const uint8_t> bytes) {
  // O_NONBLOCK makes the open of a FIFO without a reader fail instead of waiting for ever.
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (fd.get() < 0) return WriteResult::cannot_create;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return WriteResult::cannot_create;
  }
  if (!write_all(fd.get(), bytes)) return WriteResult::short_write;
  struct stat st {};
  const bool syncable = ::fstat(fd.get(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  if (syncable && ::fsync(fd.get()) != 0) return WriteResult::short_write;
  return fd.close() ? WriteResult::ok : WriteResult::short_write;
}

// Gives the temporary file the old file's permissions (or a new file's), its bytes, and syncs it.
WriteResult fill_temporary(int fd, const struct stat* old, std::span<const uint8_t> bytes) {
  if (old != nullptr) {
    // Owner first: a change of owner clears set-id bits that the mode then restores. Only root
    // may give a file away, so failing to is not an error.
    (void)!::fchown(fd, old->st_uid, old->st_gid);
    if (::fchmod(fd, old->st_mode & 07777) != 0) return WriteResult::cannot_create;
  } else if (::fchmod(fd, new_file_mode()) != 0) {
    return WriteResult::cannot_create;
  }
  if (!write_all(fd, bytes) || ::fsync(fd) != 0) return WriteResult::short_write;
  return WriteResult::ok;
}

// Makes a rename durable; a directory that cannot be synced is no reason to fail.
void sync_directory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) (void)::fsync(fd.get());
}

}  // namespace

WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes) {
  const std::string target = follow_links(path);
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return WriteResult::cannot_create;
  if (exists && !S_ISREG(st.st_mode)) return write_directly(target, bytes);

  std::string temp = directory_of(target) + "/.blkswap-XXXXXX";
  const int raw_fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (raw_fd < 0) return write_directly(target, bytes);
  UniqueFd fd(raw_fd);
  WriteResult result = fill_temporary(fd.get(), exists ? &st : nullptr, bytes);
  if (result == WriteResult::ok && !fd.close()) result = WriteResult::short_write;
  if (result == WriteResult::ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    result = WriteResult::cannot_create;
  }
  if (result != WriteResult::ok) {
    ::unlink(temp.c_str());
    return result;
  }
  sync_directory(directory_of(target));
  return WriteResult::ok;
}

}  // namespace blkswap
