// Writing a folder of files so that it appears whole or not at all.
#include <cerrno>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/windows_internal.h"

namespace blkswap {

namespace {

// The hidden folder the files go into and the files written into it, all in the registry of
// temporaries; removed with them unless it was moved into place.
struct TemporaryFolder {
  TemporaryFolder() = default;
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    for (const int file : files) remove_temporary(file);
    remove_temporary(slot);
  }
  std::wstring path;
  int slot = -1;
  std::vector<int> files;  // the slots of the files written into it so far
};

FolderResult write_plain_file(TemporaryFolder& folder, const FolderFile& file, WriteFailure* why) {
  std::wstring name;
  if (!utf16_of(file.name, name)) {
    return fail(why, FolderResult::cannot_create, "the file cannot be named", errno);
  }
  int slot = -1;
  if (!make_temporary_file_at(folder.path + L"\\" + name, slot)) {
    return fail(why, FolderResult::cannot_create, "the file cannot be made", errno);
  }
  folder.files.push_back(slot);
  const Piece piece{file.bytes, file.from};
  if (!write_pieces(temporary_handle(slot), {&piece, 1})) {
    return fail(why, FolderResult::short_write, "the write failed", errno);
  }
  if (!::FlushFileBuffers(temporary_handle(slot))) {
    return fail(why, FolderResult::short_write, "the sync failed", set_errno_from_last_error());
  }
  if (!close_temporary_handle(slot)) {
    return fail(why, FolderResult::short_write, "the close failed", errno);
  }
  return FolderResult::ok;
}

}  // namespace

FolderResult write_folder_safely(const char* dir_argument, std::span<const FolderFile> files,
                                 WriteFailure* why, size_t* failed) {
  std::wstring dir;
  if (!system_path(dir_argument, dir)) {
    return fail(why, FolderResult::cannot_create, "its name cannot be used", errno);
  }
  while (dir.size() > 7 && dir.back() == L'\\') dir.pop_back();
  const DWORD attributes = ::GetFileAttributesW(dir.c_str());
  bool existed = false;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return fail(why, FolderResult::not_empty, "it is a symbolic link; name the folder itself", 0);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return fail(why, FolderResult::not_empty, "it is not a folder", 0);
    }
    std::vector<std::string> names;
    if (!list_directory(dir_argument, names)) {
      return fail(why, FolderResult::cannot_create, "it cannot be read", errno);
    }
    if (!names.empty()) return fail(why, FolderResult::not_empty, "it is not empty", 0);
    existed = true;
  } else if (const DWORD error = ::GetLastError();
             error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
    return fail(why, FolderResult::cannot_create, "its parent folder cannot be reached",
                set_errno_from(error));
  }

  TemporaryFolder temp;
  if (!make_temporary_folder(folder_of(dir), temp.path, temp.slot)) {
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
  // A move does not replace a folder, even an empty one: the empty folder goes first, and comes
  // back should the move fail.
  const bool moved = move_temporary(temp.slot, [&] {
    if (existed && !::RemoveDirectoryW(dir.c_str())) return false;
    if (::MoveFileExW(temp.path.c_str(), dir.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = ::GetLastError();
    if (existed) ::CreateDirectoryW(dir.c_str(), nullptr);
    ::SetLastError(error);
    return false;
  });
  if (!moved) {
    return fail(why, FolderResult::cannot_create, "the new folder cannot be moved into place",
                set_errno_from_last_error());
  }
  temp.slot = -1;
  for (const int file : temp.files) forget_temporary(file);
  temp.files.clear();
  return FolderResult::ok;
}

}  // namespace blkswap
