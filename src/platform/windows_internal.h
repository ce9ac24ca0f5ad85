// The Windows implementation's own helpers: handles, UTF-8 and UTF-16 names, the system's error
// numbers as errno values, and the one registry of the temporary files and folders that exist
// while an output is being made. Ctrl-C, Ctrl-Break and the console's closing remove every one
// of them (files, then folders) before the process ends, unless the caller has the console's
// Ctrl-C ignored.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace blkswap {

// A handle that is closed when it goes out of scope.
struct UniqueHandle {
  explicit UniqueHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  void reset(HANDLE h) {
    close();
    h_ = h;
  }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h == INVALID_HANDLE_VALUE || h == nullptr || ::CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

// Sets errno to the errno value nearest the system's error `error` (GetLastError's), and
// returns it: the messages above the layer speak of errno values on every system.
int set_errno_from(DWORD error);
inline int set_errno_from_last_error() {
  return set_errno_from(::GetLastError());
}

// UTF-8 and UTF-16. False (errno EILSEQ) for a text that is not valid in its encoding.
bool utf16_of(std::string_view utf8, std::wstring& out);
bool utf8_of(std::wstring_view utf16, std::string& out);

// The name the wide file calls are given for `path` (UTF-8): absolute, with backslashes, and
// prefixed with \\?\ so that it may be longer than MAX_PATH. A device name (\\.\...) stays
// as it is. False with errno.
bool system_path(std::string_view path, std::wstring& out);

// The folder a system path lies in: everything before its last backslash.
std::wstring folder_of(const std::wstring& path);

// Writes every byte to `h`, in pieces a DWORD can count. False with errno.
bool write_whole(HANDLE h, std::span<const uint8_t> bytes);

// Writes the pieces to `h` in order (write_pieces_safely's pieces). False with errno.
bool write_pieces(HANDLE h, std::span<const Piece> pieces);

// A read-only view of a file's section, unmapped (and the section closed) when it goes.
struct Mapping {
  const void* view = nullptr;
  HANDLE section = nullptr;
};

// Maps the first `length` bytes of the file `h` read-only into `out`. False (with errno) when
// it cannot be mapped.
bool map_handle(HANDLE h, uint64_t length, FileBytes& out);

// The registry. A temporary file is made in `folder` under a fresh hidden-by-name
// (.blkswap-XXXXXXXX) name, opened for writing and deleting, and its handle stays the
// registry's: the console handler closes it before deleting the file, as a folder with an open
// file in it cannot be removed. `path` receives its name, `slot` its place. False with errno.
bool make_temporary_file(const std::wstring& folder, std::wstring& path, int& slot);
// Creates `path`, which must not exist, for writing: a file inside a temporary folder.
bool make_temporary_file_at(const std::wstring& path, int& slot);
// The open handle of the file in `slot`, and its closing (false with errno when the close fails).
HANDLE temporary_handle(int slot);
bool close_temporary_handle(int slot);
// Creates a folder in `beside` as make_temporary_file does.
bool make_temporary_folder(const std::wstring& beside, std::wstring& path, int& slot);
// Removes the temporary in `slot` now and forgets it.
void remove_temporary(int slot);
// Forgets a temporary that is no longer there under its name.
void forget_temporary(int slot);
// The lock the registry is held with: its console-control handler takes it too.
void lock_temporaries();
void unlock_temporaries();
void forget_temporary_locked(int slot);

// Runs `move` (which renames the temporary in `slot` into place and says whether it did) with the
// registry held, so that Ctrl-C cannot remove it half moved; forgets it when `move` succeeded.
template <typename Move>
bool move_temporary(int slot, Move move) {
  lock_temporaries();
  const bool moved = move();
  const DWORD error = ::GetLastError();
  if (moved) forget_temporary_locked(slot);
  unlock_temporaries();
  ::SetLastError(error);
  return moved;
}

}  // namespace blkswap
