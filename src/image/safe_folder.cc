// Writing a folder of files so that it appears whole or not at all.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "image/io.h"

namespace blkswap {

namespace {

FolderResult fail(WriteFailure* why, FolderResult result, std::string_view what, int error) {
  if (why != nullptr) *why = {what, error};
  return result;
}

// The signals that would end the process, held for as long as this lives: delivered, with
// whatever action they have, once the folder is whole or gone.
struct HeldSignals {
  HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
    ::sigprocmask(SIG_BLOCK, &set, &saved);
  }
  ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &saved, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  sigset_t saved{};
};

// The hidden directory the files go into, removed with them unless it was renamed into place.
struct TemporaryDirectory {
  TemporaryDirectory() = default;
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    if (path.empty()) return;
    const int error = errno;
    for (const std::string& name : names) ::unlink((path + "/" + name).c_str());
    ::rmdir(path.c_str());
    errno = error;
  }
  bool create(const std::string& beside) {
    std::string pattern = beside + "/.blkswap-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    path = pattern;
    return true;
  }
  std::string path;
  std::vector<std::string> names;  // the files written into it so far
};

mode_t new_directory_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0777 & ~mask;
}

FolderResult from_write(WriteResult result) {
  return result == WriteResult::short_write ? FolderResult::short_write
                                            : FolderResult::cannot_create;
}

}  // namespace

FolderResult write_folder_safely(const char* dir_argument, std::span<const FolderFile> files,
                                 WriteFailure* why, size_t* failed) {
  std::string dir = dir_argument;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  mode_t mode = new_directory_mode();
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      return fail(why, FolderResult::not_empty, "it is a symbolic link; name the folder itself", 0);
    }
    if (!S_ISDIR(st.st_mode)) return fail(why, FolderResult::not_empty, "it is not a folder", 0);
    std::vector<std::string> names;
    if (!list_directory(dir, names)) {
      return fail(why, FolderResult::cannot_create, "it cannot be read", errno);
    }
    if (!names.empty()) return fail(why, FolderResult::not_empty, "it is not empty", 0);
    mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return fail(why, FolderResult::cannot_create, "its parent folder cannot be reached", errno);
  }

  const HeldSignals held;
  TemporaryDirectory temp;
  if (!temp.create(directory_of(dir))) {
    return fail(why, FolderResult::cannot_create, "no temporary folder can be made beside it",
                errno);
  }
  temp.names.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const WriteResult written =
        write_file_safely((temp.path + "/" + files[i].name).c_str(), files[i].bytes, why);
    if (written != WriteResult::ok) {
      if (failed != nullptr) *failed = i;
      return from_write(written);
    }
    temp.names.push_back(files[i].name);
  }
  if (::chmod(temp.path.c_str(), mode) != 0) {
    return fail(why, FolderResult::cannot_create, "the new folder cannot be given its mode", errno);
  }
  {
    UniqueFd fd(::open(temp.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
      return fail(why, FolderResult::short_write, "the new folder cannot be synced", errno);
    }
  }
  if (::rename(temp.path.c_str(), dir.c_str()) != 0) {
    return fail(why, FolderResult::cannot_create, "the new folder cannot be renamed into place",
                errno);
  }
  temp.path.clear();
  sync_directory(directory_of(dir));
  return FolderResult::ok;
}

}  // namespace blkswap
