#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/read_common.h"
#include "platform/windows_internal.h"

namespace blkswap {

bool write_whole(HANDLE h, std::span<const uint8_t> bytes) {
  constexpr size_t kMostAtOnce = size_t{1} << 30;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    const auto wanted = static_cast<DWORD>(std::min(bytes.size() - done, kMostAtOnce));
    if (!::WriteFile(h, bytes.data() + done, wanted, &put, nullptr)) {
      set_errno_from_last_error();
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    done += put;
  }
  return true;
}

// Writes the pieces to `h` in order, 0xFF from one small buffer. False with errno.
bool write_pieces(HANDLE h, std::span<const Piece> pieces) {
  static const auto erased = [] {
    std::array<uint8_t, 1 << 16> bytes;
    bytes.fill(0xFF);
    return bytes;
  }();
  for (const Piece& piece : pieces) {
    for (uint64_t left = piece.fill; left > 0;) {
      const size_t now = static_cast<size_t>(std::min<uint64_t>(left, erased.size()));
      if (!write_whole(h, {erased.data(), now})) return false;
      left -= now;
    }
    if (!write_whole(h, piece.bytes)) return false;
  }
  return true;
}

namespace {

WriteResult fail_with_system_error(WriteFailure* why, WriteResult result, std::string_view what) {
  return fail(why, result, what, set_errno_from_last_error());
}

// Another program holding the target open keeps it from being replaced, often for a moment only
// (a virus scanner, an indexer): the replace is tried again for about two seconds.
constexpr int kInUseTries = 20;
constexpr DWORD kInUsePauseMs = 100;

bool in_use(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_ACCESS_DENIED;
}

// Writes straight into what is not a file on a disk: a device (NUL, a serial port) or a pipe.
WriteResult write_directly(const std::wstring& path, std::span<const Piece> pieces,
                           WriteFailure* why) {
  UniqueHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h.valid()) return fail_with_system_error(why, WriteResult::cannot_create, "the open failed");
  if (!write_pieces(h.get(), pieces)) {
    return fail(why, WriteResult::short_write, "the write failed", errno);
  }
  if (!h.close()) return fail_with_system_error(why, WriteResult::short_write, "the close failed");
  return WriteResult::ok;
}

// The temporary file beside the target: marked for deletion while it is written, so that not
// even a process killed outright leaves it behind, and registered, so that Ctrl-C removes it in
// the moment between the mark's removal and the move into place.
struct TemporaryFile {
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    const int error = errno;
    remove_temporary(slot);
    errno = error;
  }
  std::wstring path;
  int slot = -1;
};

// The written file's bytes, read back from its handle, for `read_back` to judge.
WriteResult read_back_written(HANDLE file, uint64_t total, ReadBack read_back, WriteFailure* why) {
  const auto read_at = [file](uint8_t* p, size_t size, uint64_t offset) {
    for (size_t done = 0; done < size;) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset + done);
      at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      DWORD got = 0;
      if (!::ReadFile(file, p + done, static_cast<DWORD>(size - done), &got, &at)) {
        set_errno_from_last_error();
        return false;
      }
      if (got == 0) {  // the file ends before its length: no system error to give
        errno = EIO;
        return false;
      }
      done += got;
    }
    return true;
  };
  switch (read_back_windows(total, read_back, read_at)) {
    case ReadBackEnd::accepted:
      return WriteResult::ok;
    case ReadBackEnd::refused:
      return WriteResult::refused;
    case ReadBackEnd::unreadable:
      break;
  }
  return fail(why, WriteResult::short_write, "the new file cannot be read back", errno);
}

WriteResult fill_temporary(TemporaryFile& temp, std::span<const Piece> pieces, ReadBack read_back,
                           WriteFailure* why) {
  const HANDLE file = temporary_handle(temp.slot);
  if (!write_pieces(file, pieces)) {
    return fail(why, WriteResult::short_write, "the write failed", errno);
  }
  uint64_t length = 0;
  for (const Piece& piece : pieces) length += piece.bytes.size() + piece.fill;
  const WriteResult judged = read_back_written(file, length, read_back, why);
  if (judged != WriteResult::ok) return judged;
  if (!::FlushFileBuffers(file)) {
    return fail_with_system_error(why, WriteResult::short_write, "the sync failed");
  }
  FILE_DISPOSITION_INFO keep{FALSE};
  if (!::SetFileInformationByHandle(file, FileDispositionInfo, &keep, sizeof keep)) {
    return fail_with_system_error(why, WriteResult::cannot_create,
                                  "the new file cannot be kept past its making");
  }
  if (!close_temporary_handle(temp.slot)) {
    return fail(why, WriteResult::short_write, "the close failed", errno);
  }
  return WriteResult::ok;
}

// Moves the temporary into place: over an existing file with ReplaceFileW, which gives the new
// file the old one's permissions (its DACL), creation time, short name, object id, encryption,
// compression and named streams, and fails, leaving both as they were, when it cannot; to a new
// name with MoveFileExW, which never takes a file that appeared meanwhile. Another program
// holding the target is waited for a little.
WriteResult move_into_place(TemporaryFile& temp, const std::wstring& target, bool replacing,
                            WriteFailure* why) {
  DWORD error = 0;
  for (int attempt = 0; attempt < kInUseTries; ++attempt) {
    if (attempt > 0) ::Sleep(kInUsePauseMs);
    const bool moved = move_temporary(temp.slot, [&] {
      return replacing
                 ? ::ReplaceFileW(target.c_str(), temp.path.c_str(), nullptr, 0, nullptr,
                                  nullptr) != 0
                 : ::MoveFileExW(temp.path.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    });
    if (moved) {
      temp.slot = -1;
      return WriteResult::ok;
    }
    error = ::GetLastError();
    if (!replacing || !in_use(error)) break;
  }
  // Still denied after the tries: another program's hold (a sharing or lock violation), or
  // a right the caller lacks (access denied), as the system says.
  const bool held = replacing && in_use(error) && error != ERROR_ACCESS_DENIED;
  const int mapped = held ? kInUse : set_errno_from(error);
  return fail(why, WriteResult::cannot_create, "the new file cannot be moved over it", mapped);
}

WriteResult replace_through_temporary(const std::wstring& target, bool replacing,
                                      std::span<const Piece> pieces, ReadBack read_back,
                                      WriteFailure* why) {
  TemporaryFile temp;
  if (!make_temporary_file(folder_of(target), temp.path, temp.slot)) {
    return fail(why, WriteResult::cannot_create, "no temporary file can be made beside it", errno);
  }
  const WriteResult filled = fill_temporary(temp, pieces, read_back, why);
  if (filled != WriteResult::ok) return filled;
  return move_into_place(temp, target, replacing, why);
}

// The file a path's links end at, by its full name. False with the system's error when it
// cannot be opened.
bool final_path(const std::wstring& path, std::wstring& out) {
  UniqueHandle h(::CreateFileW(path.c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return false;
  std::wstring name(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD got =
        ::GetFinalPathNameByHandleW(h.get(), name.data(), static_cast<DWORD>(name.size()), 0);
    if (got == 0) return false;
    if (got < name.size()) {
      name.resize(got);
      out = std::move(name);
      return true;
    }
    name.assign(got + 1, L'\0');
  }
  ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// Whether the caller may write the file: read-only, or no right to write it, is refused before
// anything is made. A file another program holds is waited for a little.
WriteResult check_writable(const std::wstring& target, DWORD attributes, WriteFailure* why) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return fail(why, WriteResult::cannot_create, "the caller may not write it: it is read-only", 0);
  }
  DWORD error = 0;
  for (int attempt = 0; attempt < kInUseTries; ++attempt) {
    if (attempt > 0) ::Sleep(kInUsePauseMs);
    UniqueHandle h(::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (h.valid()) return WriteResult::ok;
    error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) break;
  }
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    return fail(why, WriteResult::cannot_create, "it cannot be replaced", kInUse);
  }
  return fail(why, WriteResult::cannot_create, "the caller may not write it",
              set_errno_from(error));
}

}  // namespace

bool standard_output_is_terminal() {
  DWORD mode = 0;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return ::GetFileType(out) == FILE_TYPE_CHAR && ::GetConsoleMode(out, &mode);
}

// No head start on Windows: the output is written whole from its pieces.
struct Draft {};
void DropDraft::operator()(Draft* draft) const {
  delete draft;
}
DraftPtr start_draft(const char*, const FileBytes&) {
  return {};
}

bool is_written_through_temporary(const char* path) {
  std::wstring name;
  return path != kStandardStream && system_path(path, name) && name.rfind(L"\\\\.\\", 0) != 0;
}

WriteResult write_file_safely(const char* path, std::span<const uint8_t> bytes, WriteFailure* why) {
  const Piece whole{bytes};
  return write_pieces_safely(path, {&whole, 1}, {}, why);
}

WriteResult write_pieces_safely(const char* path, std::span<const Piece> pieces, ReadBack read_back,
                                WriteFailure* why, Draft*) {
  if (path == kStandardStream) {
    if (write_pieces(::GetStdHandle(STD_OUTPUT_HANDLE), pieces)) return WriteResult::ok;
    return fail(why, WriteResult::short_write, "standard output took not all of it", errno);
  }
  std::wstring name;
  if (!system_path(path, name)) {
    return fail(why, WriteResult::cannot_create, "its name cannot be used", errno);
  }
  if (name.rfind(L"\\\\.\\", 0) == 0) return write_directly(name, pieces, why);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return fail(why, WriteResult::cannot_create, "it is a directory", 0);
    }
    // A file: replaced where its links end, and only by a move.
    std::wstring target;
    DWORD target_attributes = attributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      if (!final_path(name, target)) {
        return fail(why, WriteResult::cannot_create, "the file its links end at cannot be found",
                    0);
      }
      target_attributes = ::GetFileAttributesW(target.c_str());
      if (target_attributes == INVALID_FILE_ATTRIBUTES ||
          (target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return fail(why, WriteResult::cannot_create, "the file its links end at cannot be found",
                    0);
      }
    } else {
      target = name;
    }
    const WriteResult writable = check_writable(target, target_attributes, why);
    if (writable != WriteResult::ok) return writable;
    return replace_through_temporary(target, true, pieces, read_back, why);
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
    return fail(why, WriteResult::cannot_create, "its directory cannot be reached",
                set_errno_from(error));
  }
  const DWORD folder = ::GetFileAttributesW(folder_of(name).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES) {
    return fail(why, WriteResult::cannot_create, "its folder does not exist", 0);
  }
  if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail(why, WriteResult::cannot_create, "its folder is not a folder", 0);
  }
  return replace_through_temporary(name, false, pieces, read_back, why);
}

}  // namespace blkswap
