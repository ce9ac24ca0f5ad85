#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/windows_internal.h"

namespace blkswap {

namespace {

// A folder holds at most 64 block files and a manifest; with its own slot and one for a single
// output file, this many always suffice.
constexpr size_t kSlots = 72;

struct Slot {
  std::wstring path;
  int kind = 0;  // 0: free, 1: file, 2: folder
};

// The handler runs on a thread of its own, so the registry is held by a lock; a handler that
// has removed everything keeps it, and nothing is made or moved after it.
CRITICAL_SECTION registry_lock;
INIT_ONCE lock_made = INIT_ONCE_STATIC_INIT;
Slot slots[kSlots];
size_t live = 0;
bool handler_installed = false;

BOOL CALLBACK make_lock(PINIT_ONCE, PVOID, PVOID*) {
  ::InitializeCriticalSection(&registry_lock);
  return TRUE;
}

void remove_every_temporary() {
  for (Slot& slot : slots) {
    if (slot.kind == 1) ::DeleteFileW(slot.path.c_str());
  }
  for (Slot& slot : slots) {
    if (slot.kind == 2) ::RemoveDirectoryW(slot.path.c_str());
  }
  for (Slot& slot : slots) slot.kind = 0;
}

// Ctrl-C, Ctrl-Break, the console's closing, a log-off or a shutdown: the temporaries go, then
// the next handler (the system's, which ends the process) runs.
BOOL WINAPI on_console_event(DWORD) {
  ::EnterCriticalSection(&registry_lock);
  remove_every_temporary();
  return FALSE;
}

void free_slot(int slot) {
  slots[slot].kind = 0;
  slots[slot].path.clear();
  if (--live == 0 && handler_installed) {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    handler_installed = false;
  }
}

bool valid(int slot) {
  return slot >= 0 && static_cast<size_t>(slot) < kSlots && slots[slot].kind != 0;
}

// Registers `path` as the caller creates it; -1 (ENFILE) when every slot is taken. Called with
// the registry held.
int register_path(const std::wstring& path, int kind) {
  for (size_t i = 0; i < kSlots; ++i) {
    if (slots[i].kind != 0) continue;
    if (live++ == 0) handler_installed = ::SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    slots[i].path = path;
    slots[i].kind = kind;
    return static_cast<int>(i);
  }
  errno = ENFILE;
  return -1;
}

// A name no other run of the tool is likely to choose at the same moment; a clash is tried again.
std::wstring fresh_name(const std::wstring& folder, unsigned attempt) {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const auto mixed = static_cast<unsigned>(now.QuadPart) * 2654435761u ^
                     ::GetCurrentProcessId() * 40503u ^ attempt * 2246822519u;
  wchar_t hex[9];
  std::swprintf(hex, 9, L"%08x", mixed);
  return folder + L"\\.blkswap-" + hex;
}

constexpr unsigned kNameAttempts = 100;

// Creates with `make` (which returns false with the system's error) and registers what it made.
template <typename Make>
bool make_registered(const std::wstring& path, int kind, int& slot, Make make) {
  slot = -1;
  lock_temporaries();
  if (!make()) {
    set_errno_from_last_error();
    unlock_temporaries();
    return false;
  }
  slot = register_path(path, kind);
  if (slot < 0) {
    if (kind == 1) {
      ::DeleteFileW(path.c_str());
    } else {
      ::RemoveDirectoryW(path.c_str());
    }
    errno = ENFILE;
  }
  unlock_temporaries();
  return slot >= 0;
}

bool create_file(const std::wstring& path, UniqueHandle& file) {
  file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid();
}

}  // namespace

void lock_temporaries() {
  ::InitOnceExecuteOnce(&lock_made, make_lock, nullptr, nullptr);
  ::EnterCriticalSection(&registry_lock);
}

void unlock_temporaries() {
  ::LeaveCriticalSection(&registry_lock);
}

bool make_temporary_file(const std::wstring& folder, UniqueHandle& file, std::wstring& path,
                         int& slot) {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = fresh_name(folder, attempt);
    if (make_registered(path, 1, slot, [&] { return create_file(path, file); })) {
      // Marked for deletion from the start: should the process be killed outright, the
      // system removes the file when its handle goes. The mark is taken off just before the
      // file is moved into place.
      FILE_DISPOSITION_INFO disposition{TRUE};
      (void)::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                         sizeof disposition);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool make_temporary_file_at(const std::wstring& path, UniqueHandle& file, int& slot) {
  return make_registered(path, 1, slot, [&] { return create_file(path, file); });
}

bool make_temporary_folder(const std::wstring& beside, std::wstring& path, int& slot) {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = fresh_name(beside, attempt);
    if (make_registered(path, 2, slot,
                        [&] { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; })) {
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void remove_temporary(int slot) {
  lock_temporaries();
  if (valid(slot)) {
    const int error = errno;
    const DWORD system_error = ::GetLastError();
    if (slots[slot].kind == 1) {
      ::DeleteFileW(slots[slot].path.c_str());
    } else {
      ::RemoveDirectoryW(slots[slot].path.c_str());
    }
    free_slot(slot);
    ::SetLastError(system_error);
    errno = error;
  }
  unlock_temporaries();
}

void forget_temporary(int slot) {
  lock_temporaries();
  forget_temporary_locked(slot);
  unlock_temporaries();
}

void forget_temporary_locked(int slot) {
  if (valid(slot)) free_slot(slot);
}

}  // namespace blkswap
