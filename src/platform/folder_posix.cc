// Writing a folder of files so that it appears whole or not at all.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/posix_internal.h"

namespace blkswap {

namespace {

// The hidden folder the files go into and the files written into it, all in the registry of
// temporaries; removed with them unless it was renamed into place.
struct TemporaryFolder {
  TemporaryFolder() = default;
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    for (const int file : files) remove_temporary(file);
    remove_temporary(slot);
  }
  bool create(const std::string& beside) {
    path = beside + "/.blkswap-XXXXXX";
    return make_temporary_folder(path.data(), slot);
  }
  // Renames the folder to `dir`; its files go with it and are no longer temporaries.
  bool rename_to(const std::string& dir) {
    if (!rename_temporary(slot, dir.c_str())) return false;
    slot = -1;
    for (const int file : files) forget_temporary(file);
    files.clear();
    return true;
  }
  std::string path;
  int slot = -1;
  std::vector<int> files;  // the slots of the files written into it so far
};

// Writes a plain file inside the private folder: nobody else sees it before the folder is
// renamed into place, so it needs no temporary of its own.
FolderResult write_plain_file(TemporaryFolder& folder, const FolderFile& file, WriteFailure* why) {
  const std::string path = folder.path + "/" + file.name;
  int slot = -1;
  UniqueFd fd(make_temporary_file_at(path.c_str(), slot));
  if (fd.get() < 0) return fail(why, FolderResult::cannot_create, "the file cannot be made", errno);
  folder.files.push_back(slot);
  const Piece piece{file.bytes, file.from};
  if (!write_pieces(fd.get(), {&piece, 1})) {
    return fail(why, FolderResult::short_write, "the write failed", errno);
  }
  if (::fsync(fd.get()) != 0) return fail(why, FolderResult::short_write, "the sync failed", errno);
  if (!fd.close()) return fail(why, FolderResult::short_write, "the close failed", errno);
  return FolderResult::ok;
}

mode_t new_directory_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0777 & ~mask;
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

  TemporaryFolder temp;
  if (!temp.create(directory_of(dir))) {
    return fail(why, FolderResult::cannot_create, "no temporary folder can be made beside it",
                errno);
  }
  temp.files.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const FolderResult written = write_plain_file(temp, files[i], why);
    if (written != FolderResult::ok) {
      if (failed != nullptr) *failed = i;
      return written;
    }
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
  if (!temp.rename_to(dir)) {
    return fail(why, FolderResult::cannot_create, "the new folder cannot be renamed into place",
                errno);
  }
  sync_directory(directory_of(dir));
  return FolderResult::ok;
}

}  // namespace blkswap
