#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "platform/files.h"
#include "platform/posix_internal.h"
#include "platform/read_common.h"

#ifdef __EMSCRIPTEN__
// The C library of WebAssembly declares the extended-attribute calls but has none; its file
// systems keep no attributes, as a file system without them says.
extern "C" {
ssize_t listxattr(const char*, char*, size_t) {
  errno = ENOTSUP;
  return -1;
}
ssize_t flistxattr(int, char*, size_t) {
  errno = ENOTSUP;
  return -1;
}
ssize_t getxattr(const char*, const char*, void*, size_t) {
  errno = ENOTSUP;
  return -1;
}
int fsetxattr(int, const char*, const void*, size_t, int) {
  errno = ENOTSUP;
  return -1;
}
int fremovexattr(int, const char*) {
  errno = ENOTSUP;
  return -1;
}
}
#endif

namespace blkswap {

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename durable; a directory that cannot be synced is no reason to fail.
void sync_directory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) (void)::fsync(fd.get());
}

namespace {

constexpr int kMaxLinkHops = 40;

// The path of the file a chain of symbolic links ends at, which need not exist yet. Empty when
// the chain is a loop or too long to follow.
std::string follow_links(std::string path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    // Links under /proc report no length; their targets still fit a path.
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
    if (got <= 0 || static_cast<size_t>(got) >= target.size()) return {};
    target.resize(static_cast<size_t>(got));
    path = target.front() == '/' ? target : directory_of(path) + "/" + target;
  }
  return {};
}

}  // namespace

bool write_whole(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

// Copies `bytes`, which lie in the mapped file `from`, to `fd` straight from that file, without
// passing them through this process (nor its memory). False, with nothing of them written, when
// the system does not copy between these two files; a file that has become shorter than it was
// mapped ends the command as its report says.
namespace {

bool copy_from_file(int fd, const Mapping& from, std::span<const uint8_t> bytes) {
  static bool unsupported = false;
  if (unsupported) return false;
  const auto at = static_cast<uint64_t>(bytes.data() - static_cast<const uint8_t*>(from.address));
  auto offset = static_cast<off_t>(from.offset + at);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t copied = ::copy_file_range(from.fd, &offset, fd, nullptr, bytes.size() - done, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && done == 0 &&
        (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
         errno == EBADF)) {
      unsupported = true;
      return false;
    }
    if (copied < 0) return false;
    if (copied == 0) end_for_changed_size(from.guard);
    done += static_cast<size_t>(copied);
  }
  return true;
}

}  // namespace

// Writes the pieces to `fd` in order, 0xFF from one small buffer. Bytes that lie in a mapped
// file are copied from it by the system where it can (in one step, and without their pages
// coming into this process), else written a window at a time, each window's pages handed back
// once written. False (with errno) when a write fails; bytes whose pages vanished (their file
// became shorter than it was mapped) end the command as that file's report says.
bool write_pieces(int fd, std::span<const Piece> pieces, const Mapping* in_place) {
  constexpr size_t kWriteWindow = size_t{8} << 20;
  static const auto erased = [] {
    std::array<uint8_t, 1 << 16> bytes;
    bytes.fill(0xFF);
    return bytes;
  }();
  uint64_t at = 0;         // where the next piece goes
  bool positioned = true;  // whether the file's offset is there
  const auto file_offset = [](const Mapping& m, std::span<const uint8_t> bytes) {
    return m.offset + static_cast<uint64_t>(bytes.data() - static_cast<const uint8_t*>(m.address));
  };
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    const Mapping* from = piece.from != nullptr ? piece.from->mapping.get() : nullptr;
    // Bytes of the file the draft copied, at their own place, are there already.
    if (from != nullptr && from == in_place && piece.fill == 0 &&
        file_offset(*from, piece.bytes) == at) {
      at += piece.bytes.size();
      positioned = false;
      continue;
    }
    if (!positioned && ::lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) return false;
    positioned = true;
    for (uint64_t left = piece.fill; left > 0;) {
      const size_t now = static_cast<size_t>(std::min<uint64_t>(left, erased.size()));
      if (!write_whole(fd, {erased.data(), now})) return false;
      left -= now;
    }
    at += piece.fill + piece.bytes.size();
    if (from != nullptr && !piece.bytes.empty()) {
      // Pieces that follow each other in the same file as in the output go in one copy.
      std::span<const uint8_t> run = piece.bytes;
      size_t last = i;
      while (last + 1 < pieces.size() && pieces[last + 1].from == piece.from &&
             pieces[last + 1].fill == 0 &&
             pieces[last + 1].bytes.data() == run.data() + run.size() &&
             (from != in_place || file_offset(*from, pieces[last + 1].bytes) != at)) {
        run = {run.data(), run.size() + pieces[++last].bytes.size()};
        at += pieces[last].bytes.size();
      }
      if (copy_from_file(fd, *from, run)) {
        i = last;
        continue;
      }
      at -= run.size() - piece.bytes.size();  // copied piece by piece below instead
    }
    for (std::span<const uint8_t> rest = piece.bytes; !rest.empty();) {
      const std::span<const uint8_t> window = rest.first(std::min(rest.size(), kWriteWindow));
      if (!write_whole(fd, window)) {
        if (errno == EFAULT && from != nullptr) end_for_changed_size(from->guard);
        return false;
      }
      if (piece.from != nullptr) release_pages(*piece.from, window);
      rest = rest.subspan(window.size());
    }
  }
  return !positioned ? ::lseek(fd, static_cast<off_t>(at), SEEK_SET) >= 0 : true;
}

namespace {

// Writes with SIGPIPE held back: a reader that goes away makes the write fail with EPIPE, and
// the signal it raised is taken back instead of killing the process.
bool write_all_without_sigpipe(int fd, std::span<const Piece> pieces) {
  sigset_t pipe_only, saved;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::sigprocmask(SIG_BLOCK, &pipe_only, &saved);
  const bool ok = write_pieces(fd, pieces);
  const int error = errno;
  sigset_t pending;
  if (!ok && error == EPIPE && !sigismember(&saved, SIGPIPE) && ::sigpending(&pending) == 0 &&
      sigismember(&pending, SIGPIPE)) {
    int taken = 0;
    (void)::sigwait(&pipe_only, &taken);  // pending, so it returns at once
  }
  ::sigprocmask(SIG_SETMASK, &saved, nullptr);
  errno = error;
  return ok;
}

// The bytes `fd` holds, read back for `read_back` to judge. False when it refuses them
// (refused), or they cannot be read (short_write, with errno).
bool read_back_written(int fd, ReadBack read_back, WriteFailure* why, WriteResult& result) {
  result = WriteResult::ok;
  if (read_back.check == nullptr) return true;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    result = fail(why, WriteResult::short_write, "the new file cannot be read back", errno);
    return false;
  }
  const auto read_at = [fd](uint8_t* p, size_t size, uint64_t offset) {
    for (size_t done = 0; done < size;) {
      const ssize_t got = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got == 0) errno = EIO;
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  };
  switch (read_back_windows(static_cast<uint64_t>(st.st_size), read_back, read_at)) {
    case ReadBackEnd::accepted:
      return true;
    case ReadBackEnd::refused:
      result = WriteResult::refused;
      return false;
    case ReadBackEnd::unreadable:
      break;
  }
  result = fail(why, WriteResult::short_write, "the new file cannot be read back", errno);
  return false;
}

// Syncs the file and reads it back: the two at once, the sync on a second thread (it mostly waits
// for the disk), where one can be had.
WriteResult sync_and_read_back(int fd, ReadBack read_back, WriteFailure* why) {
  int sync_error = -1;  // not yet synced
  const auto sync = [fd, &sync_error] { sync_error = ::fsync(fd) == 0 ? 0 : errno; };
  std::thread syncer;  // none: one after the other
  if (read_back.check != nullptr) start_thread(syncer, sync);
  WriteResult judged = WriteResult::ok;
  const bool accepted = read_back_written(fd, read_back, why, judged);
  if (syncer.joinable()) {
    syncer.join();
  } else {
    sync();
  }
  if (!accepted) return judged;
  if (sync_error != 0) return fail(why, WriteResult::short_write, "the sync failed", sync_error);
  return WriteResult::ok;
}

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Writes straight into `path` as given, for what is not a regular file: a device, a FIFO, a
// socket, a terminal, or the pipe behind /dev/stdout.
WriteResult write_directly(const char* path, std::span<const Piece> pieces, WriteFailure* why) {
  // O_NONBLOCK makes the open of a FIFO without a reader fail instead of waiting for ever.
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return fail(why, WriteResult::cannot_create, "the open failed", errno);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(why, WriteResult::cannot_create, "the open failed", errno);
  }
  if (!write_all_without_sigpipe(fd.get(), pieces)) {
    return fail(why, WriteResult::short_write, "the write failed", errno);
  }
  struct stat st {};
  const bool syncable = ::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode);
  if (syncable && ::fsync(fd.get()) != 0) {
    return fail(why, WriteResult::short_write, "the sync failed", errno);
  }
  if (!fd.close()) return fail(why, WriteResult::short_write, "the close failed", errno);
  return WriteResult::ok;
}

// A temporary file beside the target, removed on every path out but a successful rename, and
// by the registry's handler when a signal ends the process first.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates `dir`/.blkswap-XXXXXX. False (with errno) when it cannot be made.
  bool create(const std::string& dir) {
    std::string path = dir + "/.blkswap-XXXXXX";
    fd_ = make_temporary_file(path.data(), slot_);
    return fd_ >= 0;
  }

  int fd() const { return fd_; }

  // Closes the file; false (with errno) when the close reports a deferred write error.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

  // Renames the closed file over `target`. False (with errno) when that cannot be done.
  bool rename_over(const std::string& target) {
    if (!rename_temporary(slot_, target.c_str())) return false;
    slot_ = -1;
    return true;
  }

  ~TemporaryFile() {
    const int error = errno;
    if (fd_ >= 0) ::close(fd_);
    remove_temporary(slot_);
    errno = error;
  }

 private:
  int fd_ = -1;
  int slot_ = -1;
};

// The names of a file's extended attributes, NUL-separated. False (with errno) on failure; a
// file system without extended attributes has none.
bool list_attributes(const char* path, int fd, Bytes& names) {
  names = Bytes{};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t size = path ? ::listxattr(path, nullptr, 0) : ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    if (size == 0) return true;
    if (!allocate_bytes(names, static_cast<size_t>(size))) {
      errno = ENOMEM;
      return false;
    }
    char* list = reinterpret_cast<char*>(names.ptr.get());
    const ssize_t got =
        path ? ::listxattr(path, list, names.size) : ::flistxattr(fd, list, names.size);
    if (got >= 0) {
      names.size = static_cast<size_t>(got);
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile, ask again
  }
  return false;
}

bool has_name(const Bytes& names, std::string_view name) {
  const char* list = reinterpret_cast<const char*>(names.ptr.get());
  for (size_t at = 0; at < names.size;) {
    const std::string_view here(list + at);
    if (here == name) return true;
    at += here.size() + 1;
  }
  return false;
}

// Gives the temporary file exactly the extended attributes of `old_path`: ACLs, user and
// security attributes alike. Attributes it got from its directory (a default ACL) and the old
// file lacks are removed.
bool copy_attributes(const char* old_path, int fd) {
  Bytes old_names, new_names;
  if (!list_attributes(old_path, -1, old_names) || !list_attributes(nullptr, fd, new_names)) {
    return false;
  }
  const char* list = reinterpret_cast<const char*>(old_names.ptr.get());
  for (size_t at = 0; at < old_names.size;) {
    const char* name = list + at;
    at += std::strlen(name) + 1;
    Bytes value;
    ssize_t size = ::getxattr(old_path, name, nullptr, 0);
    if (size < 0 || !allocate_bytes(value, static_cast<size_t>(size))) return false;
    size = ::getxattr(old_path, name, value.ptr.get(), value.size);
    if (size < 0 || ::fsetxattr(fd, name, value.ptr.get(), static_cast<size_t>(size), 0) != 0) {
      return false;
    }
  }
  const char* inherited = reinterpret_cast<const char*>(new_names.ptr.get());
  for (size_t at = 0; at < new_names.size;) {
    const char* name = inherited + at;
    at += std::strlen(name) + 1;
    if (!has_name(old_names, name) && ::fremovexattr(fd, name) != 0) return false;
  }
  return true;
}

// Writes the pieces into the temporary file and reads them back, then gives it what the replaced
// file had and syncs it. The read-back comes before the sync so that it runs while the system
// writes the bytes to the disk; the metadata comes after the bytes because a write clears set-id
// bits and file capabilities.
WriteResult fill_temporary(int fd, const std::string& old_path, const struct stat* old,
                           std::span<const Piece> pieces, ReadBack read_back,
                           const Mapping* in_place, WriteFailure* why) {
  if (!write_pieces(fd, pieces, in_place))
    return fail(why, WriteResult::short_write, "the write failed", errno);
  if (old != nullptr) {
    struct stat now {};
    if (::fstat(fd, &now) != 0)
      return fail(why, WriteResult::cannot_create, "the new file cannot be examined", errno);
    if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
        ::fchown(fd, old->st_uid, old->st_gid) != 0) {
      return fail(why, WriteResult::cannot_create,
                  "the new file cannot be given the owner and group of the file it replaces",
                  errno);
    }
    if (!copy_attributes(old_path.c_str(), fd)) {
      return fail(why, WriteResult::cannot_create,
                  "the new file cannot be given the extended attributes (ACLs included) of the "
                  "file it replaces",
                  errno);
    }
  }
  const mode_t mode = old != nullptr ? old->st_mode & 07777 : new_file_mode();
  if (::fchmod(fd, mode) != 0) {
    return fail(why, WriteResult::cannot_create,
                "the new file cannot be given the mode of the file it replaces", errno);
  }
  // The system may drop a set-id bit without an error (a caller outside the file's group): what
  // the replacing file ended with is checked, not assumed. (A new file keeps nothing of anyone's;
  // on a file system without modes it gets the mount's.)
  if (old != nullptr) {
    struct stat kept {};
    if (::fstat(fd, &kept) != 0) {
      return fail(why, WriteResult::cannot_create, "the new file cannot be examined", errno);
    }
    if ((kept.st_mode & 07777) != mode) {
      return fail(why, WriteResult::cannot_create,
                  "the new file cannot keep the mode of the file it replaces (its set-id bits)", 0);
    }
    if (kept.st_uid != old->st_uid || kept.st_gid != old->st_gid) {
      return fail(why, WriteResult::cannot_create,
                  "the new file cannot keep the owner and group of the file it replaces", 0);
    }
  }
  return sync_and_read_back(fd, read_back, why);
}

// Writes the pieces into `temp` (but for what a draft's copy holds already: the pieces in place
// in `in_place`), then syncs, reads back and renames it over `target`.
WriteResult finish_temporary(TemporaryFile& temp, const std::string& target, const struct stat* old,
                             std::span<const Piece> pieces, ReadBack read_back,
                             const Mapping* in_place, WriteFailure* why) {
  const WriteResult filled =
      fill_temporary(temp.fd(), target, old, pieces, read_back, in_place, why);
  if (filled != WriteResult::ok) return filled;
  if (!temp.close()) return fail(why, WriteResult::short_write, "the close failed", errno);
  if (!temp.rename_over(target)) {
    return fail(why, WriteResult::cannot_create, "the new file cannot be renamed over it", errno);
  }
  sync_directory(directory_of(target));
  return WriteResult::ok;
}

WriteResult replace_through_temporary(const std::string& target, const struct stat* old,
                                      std::span<const Piece> pieces, ReadBack read_back,
                                      WriteFailure* why) {
  TemporaryFile temp;
  if (!temp.create(directory_of(target))) {
    return fail(why, WriteResult::cannot_create, "no temporary file can be made beside it", errno);
  }
  return finish_temporary(temp, target, old, pieces, read_back, nullptr, why);
}

// The descriptor a path names when it is one of this process's own open descriptors
// (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N); -1 otherwise. Such a path is the
// caller's stream, not a file to replace: a rename would put a new file where `>>log` appends.
int own_descriptor(std::string_view path) {
  int fd = -1;
  if (path == "/dev/stdin") fd = STDIN_FILENO;
  if (path == "/dev/stdout") fd = STDOUT_FILENO;
  if (path == "/dev/stderr") fd = STDERR_FILENO;
  for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (!path.starts_with(prefix) || path.size() == prefix.size() ||
        path.size() - prefix.size() > 9) {
      continue;
    }
    fd = 0;
    for (const char c : path.substr(prefix.size())) {
      if (c < '0' || c > '9') return -1;
      fd = fd * 10 + (c - '0');
    }
  }
  const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY ? fd : -1;
}

WriteResult write_to_stream(int fd, std::span<const Piece> pieces, WriteFailure* why) {
  if (write_all_without_sigpipe(fd, pieces)) return WriteResult::ok;
  return fail(
      why, WriteResult::short_write,
      fd == STDOUT_FILENO ? "standard output took not all of it" : "the stream took not all of it",
      errno);
}

}  // namespace

bool is_written_through_temporary(const char* path) {
  if (path == kStandardStream || own_descriptor(path) >= 0) return false;
  struct stat st {};
  return ::stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

bool standard_output_is_terminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes, WriteFailure* why) {
  const Piece whole{bytes};
  return write_pieces_safely(path, {&whole, 1}, {}, why);
}

namespace {

// Where a write to a path goes: through a stream the process holds (`fd`), straight into a
// device or FIFO (`direct`), or through a temporary file renamed over `target` (with `old`, the
// file it replaces, when there is one); or nowhere, for the reason a failure says.
struct Destination {
  enum Kind { stream, direct, temporary, refused } kind = refused;
  int fd = -1;
  std::string target;
  bool replaces = false;
  struct stat old {};
  WriteResult failure = WriteResult::cannot_create;
};

Destination refused(WriteFailure* why, std::string_view what, int error) {
  return {
      Destination::refused, -1, {}, false, {}, fail(why, WriteResult::cannot_create, what, error)};
}

Destination destination_of(const char* path, WriteFailure* why) {
  if (path == kStandardStream) return {Destination::stream, STDOUT_FILENO};
  if (const int fd = own_descriptor(path); fd >= 0) return {Destination::stream, fd};
  struct stat st {};
  if (::stat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return refused(why, "it is a directory", 0);
    if (!S_ISREG(st.st_mode)) return {Destination::direct};
    // A regular file: replaced where the links end, and only by a rename.
    std::string target = follow_links(path);
    struct stat found {};
    if (target.empty() || ::lstat(target.c_str(), &found) != 0 || !S_ISREG(found.st_mode) ||
        found.st_dev != st.st_dev || found.st_ino != st.st_ino) {
      return refused(why, "the file its links end at cannot be found", 0);
    }
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return refused(why, "the caller may not write it", errno);
    }
    return {Destination::temporary, -1, std::move(target), true, st};
  }
  if (errno != ENOENT) return refused(why, "its directory cannot be reached", errno);
  // No file yet (or a link to none): a new one is made where the links end.
  std::string target = follow_links(path);
  struct stat found {};
  if (target.empty()) return refused(why, "its links form a loop", ELOOP);
  if (::lstat(target.c_str(), &found) == 0 || errno != ENOENT) {
    return refused(why, "the file its links end at cannot be found", 0);
  }
  struct stat folder {};
  const bool found_folder = ::stat(directory_of(target).c_str(), &folder) == 0;
  if (!found_folder && errno == ENOENT) return refused(why, "its folder does not exist", 0);
  if (found_folder && !S_ISDIR(folder.st_mode))
    return refused(why, "its folder is not a folder", 0);
  return {Destination::temporary, -1, std::move(target)};
}

}  // namespace

// The temporary file made ahead for `target`, and the copy of `source` into it.
struct Draft {
  std::string target;
  TemporaryFile temp;
  const Mapping* source = nullptr;
  size_t length = 0;
  std::thread copier;
  std::atomic<bool> stop{false};
  bool copied = false;  // the copier's; read once it has been joined
};

void DropDraft::operator()(Draft* draft) const {
  if (draft == nullptr) return;
  draft->stop = true;
  if (draft->copier.joinable()) draft->copier.join();
  delete draft;  // its temporary file, unless it was renamed into place, with it
}

DraftPtr start_draft(const char* path, const FileBytes& from) {
  const Mapping* source = from.mapping.get();
  if (source == nullptr || source->offset != 0 || from.view.data() != source->address) return {};
  Destination destination = destination_of(path, nullptr);
  if (destination.kind != Destination::temporary) return {};
  DraftPtr draft(new (std::nothrow) Draft);
  if (!draft || !draft->temp.create(directory_of(destination.target))) return {};
  draft->target = std::move(destination.target);
  draft->source = source;
  draft->length = from.view.size();
  Draft* d = draft.get();
  const auto copy = [d] {
    constexpr size_t kChunk = size_t{16} << 20;  // how often it looks whether it is still wanted
    off_t offset = 0;
    for (size_t done = 0; done < d->length;) {
      if (d->stop) return;
      const ssize_t copied = ::copy_file_range(d->source->fd, &offset, d->temp.fd(), nullptr,
                                               std::min(d->length - done, kChunk), 0);
      if (copied < 0 && errno == EINTR) continue;
      if (copied <= 0) return;
      done += static_cast<size_t>(copied);
    }
    d->copied = true;
  };
  if (!start_thread(draft->copier, copy)) return {};  // no head start without a thread
  return draft;
}

WriteResult write_pieces_safely(const char* path, std::span<const Piece> pieces, ReadBack read_back,
                                WriteFailure* why, Draft* draft) {
  Destination destination = destination_of(path, why);
  switch (destination.kind) {
    case Destination::refused:
      return destination.failure;
    case Destination::stream:
      return write_to_stream(destination.fd, pieces, why);
    case Destination::direct:
      return write_directly(path, pieces, why);
    case Destination::temporary:
      break;
  }
  const struct stat* old = destination.replaces ? &destination.old : nullptr;
  if (draft != nullptr && draft->target == destination.target) {
    if (draft->copier.joinable()) draft->copier.join();
    if (draft->copied) {
      return finish_temporary(draft->temp, destination.target, old, pieces, read_back,
                              draft->source, why);
    }
  }
  return replace_through_temporary(destination.target, old, pieces, read_back, why);
}

}  // namespace blkswap
