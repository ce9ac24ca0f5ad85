#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/windows_internal.h"

namespace blkswap {

namespace {

// A folder holds at most 64 block files and a manifest; with its own slot and one for a single
// output file, this many always suffice.
constexpr size_t kSlots = 72;

constexpr UINT kInterruptedStatus = 0xC000013A;  // STATUS_CONTROL_C_EXIT

struct Slot {
  std::wstring path;
  int kind = 0;                        // 0: free, 1: file, 2: folder
  HANDLE file = INVALID_HANDLE_VALUE;  // a file's, while it is open
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

void close_file(Slot& slot) {
  if (slot.file != INVALID_HANDLE_VALUE) ::CloseHandle(slot.file);
  slot.file = INVALID_HANDLE_VALUE;
}

void remove_every_temporary() {
  for (Slot& slot : slots) {
    if (slot.kind != 1) continue;
    close_file(slot);
    ::DeleteFileW(slot.path.c_str());
  }
  for (Slot& slot : slots) {
    if (slot.kind == 2) ::RemoveDirectoryW(slot.path.c_str());
  }
  for (Slot& slot : slots) slot.kind = 0;
}

// Ctrl-C, Ctrl-Break, the console's closing, a log-off or a shutdown: the temporaries go, and
// the process ends with the status the system gives an interrupted program, whatever the next
// handler would do (Wine's ends it with 0, which a script would take for success). The registry
// stays held: nothing is made or moved after it.
BOOL WINAPI on_console_event(DWORD) {
  ::EnterCriticalSection(&registry_lock);
  remove_every_temporary();
  ::TerminateProcess(::GetCurrentProcess(), kInterruptedStatus);
  return TRUE;
}

void install_handler() {
  if (!handler_installed) handler_installed = ::SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

// The handler goes with the last temporary.
void remove_handler_if_unused() {
  if (live == 0 && handler_installed) {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    handler_installed = false;
  }
}

void free_slot(int slot) {
  close_file(slots[slot]);
  slots[slot].kind = 0;
  slots[slot].path.clear();
  --live;
  remove_handler_if_unused();
}

bool valid(int slot) {
  return slot >= 0 && static_cast<size_t>(slot) < kSlots && slots[slot].kind != 0;
}

// Registers `path`, made just now; -1 (ENFILE) when every slot is taken. Called with the
// registry held.
int register_path(const std::wstring& path, int kind, HANDLE file) {
  for (size_t i = 0; i < kSlots; ++i) {
    if (slots[i].kind != 0) continue;
    ++live;
    slots[i].path = path;
    slots[i].kind = kind;
    slots[i].file = file;
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

// Creates with `make` (which returns the file's handle, nullptr for a folder, or
// INVALID_HANDLE_VALUE with the system's error) and registers what it made. The handler is
// there before anything is made, and waits for the registry: an event in between finds the new
// temporary registered.
template <typename Make>
bool make_registered(const std::wstring& path, int kind, int& slot, Make make) {
  slot = -1;
  lock_temporaries();
  install_handler();
  const HANDLE made = make();
  if (made == INVALID_HANDLE_VALUE) {
    set_errno_from_last_error();
  } else {
    slot = register_path(path, kind, made == nullptr ? INVALID_HANDLE_VALUE : made);
    if (slot < 0) {
      if (kind == 1) {
        ::CloseHandle(made);
        ::DeleteFileW(path.c_str());
      } else {
        ::RemoveDirectoryW(path.c_str());
      }
      errno = ENFILE;
    }
  }
  remove_handler_if_unused();
  unlock_temporaries();
  return slot >= 0;
}

HANDLE create_file(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void lock_temporaries() {
  ::InitOnceExecuteOnce(&lock_made, make_lock, nullptr, nullptr);
  ::EnterCriticalSection(&registry_lock);
}

void unlock_temporaries() {
  ::LeaveCriticalSection(&registry_lock);
}

bool make_temporary_file(const std::wstring& folder, std::wstring& path, int& slot) {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = fresh_name(folder, attempt);
    if (make_registered(path, 1, slot, [&] { return create_file(path); })) {
      // Marked for deletion from the start: should the process be killed outright, the
      // system removes the file when its handle goes. The mark is taken off just before the
      // file is moved into place.
      FILE_DISPOSITION_INFO disposition{TRUE};
      (void)::SetFileInformationByHandle(temporary_handle(slot), FileDispositionInfo, &disposition,
                                         sizeof disposition);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool make_temporary_file_at(const std::wstring& path, int& slot) {
  return make_registered(path, 1, slot, [&] { return create_file(path); });
}

HANDLE temporary_handle(int slot) {
  return valid(slot) ? slots[slot].file : INVALID_HANDLE_VALUE;
}

bool close_temporary_handle(int slot) {
  lock_temporaries();
  const HANDLE file = valid(slot) ? slots[slot].file : INVALID_HANDLE_VALUE;
  if (valid(slot)) slots[slot].file = INVALID_HANDLE_VALUE;
  const bool closed = file == INVALID_HANDLE_VALUE || ::CloseHandle(file) != 0;
  if (!closed) set_errno_from_last_error();
  unlock_temporaries();
  return closed;
}

bool make_temporary_folder(const std::wstring& beside, std::wstring& path, int& slot) {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = fresh_name(beside, attempt);
    if (make_registered(path, 2, slot, [&] {
          return ::CreateDirectoryW(path.c_str(), nullptr) ? nullptr : INVALID_HANDLE_VALUE;
        })) {
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
      close_file(slots[slot]);
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
