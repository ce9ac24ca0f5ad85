#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "platform/files.h"
#include "platform/posix_internal.h"

namespace blkswap {

namespace {

// Every signal whose default action ends the process and that a handler can catch, the real-time
// ones (whose numbers are known only when the program runs) aside. SIGKILL and SIGSTOP cannot be
// caught; nothing can clean up after those.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// A folder holds at most 64 block files and a manifest; with its own slot and one for a
// single output file, this many always suffice.
constexpr size_t kSlots = 72;

struct Slot {
  char path[PATH_MAX];
  volatile sig_atomic_t kind;  // 0: free, 1: file, 2: folder
};
Slot slots[kSlots];
size_t live = 0;  // slots in use; the handlers are installed while it is above 0

// Indexed by signal number.
struct sigaction saved_actions[NSIG];
bool installed[NSIG];

// Calls `visit` with every ending signal: the fixed ones, then every real-time signal, whose
// default action ends the process too.
template <typename Visit>
void for_each_ending_signal(Visit visit) {
  for (const int s : kEndingSignals) visit(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX && s < NSIG; ++s) visit(s);
}

sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for_each_ending_signal([&](int s) { sigaddset(&set, s); });
  return set;
}

void remove_every_temporary() {
  for (Slot& slot : slots) {
    if (slot.kind == 1) ::unlink(slot.path);
  }
  for (Slot& slot : slots) {
    if (slot.kind == 2) ::rmdir(slot.path);
  }
  for (Slot& slot : slots) slot.kind = 0;
}

extern "C" void remove_temporaries_and_die(int signal_number) {
  remove_every_temporary();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);  // delivered, with its default action, when the handler returns
}

// What to say when a mapped file changes size: one report per file named before it was read,
// and one for any other file.
constexpr size_t kReports = 4;
struct Report {
  char path[PATH_MAX];
  bool standard_input;
  bool used;
  char out[2048];
  size_t out_size;
  char err[1024];
  size_t err_size;
};
Report reports[kReports + 1];  // the last: for any file

// The mappings a change of size must not kill, and the report of each.
constexpr size_t kGuards = 80;
struct Guard {
  volatile sig_atomic_t used;
  uintptr_t start;
  uintptr_t end;
  const Report* report;
};
Guard guards[kGuards];
bool bus_handler_installed = false;

void write_text(int fd, const char* text, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, text, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    text += put;
    size -= static_cast<size_t>(put);
  }
}

// Once, whichever thread comes first: another waits for the process to end.
[[noreturn]] void end_with(const Report* report) {
  static std::atomic_flag ending = ATOMIC_FLAG_INIT;
  if (ending.test_and_set()) {
    for (;;) ::pause();
  }
  remove_every_temporary();
  if (report != nullptr) {
    write_text(STDOUT_FILENO, report->out, report->out_size);
    write_text(STDERR_FILENO, report->err, report->err_size);
  }
  ::_exit(1);
}

// SIGBUS: a read of a mapped page past the end of a file that shrank. For a guarded mapping the
// command ends as its report says; anything else ends the process as the signal would, every
// temporary removed first.
extern "C" void on_bus_error(int signal_number, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (const Guard& guard : guards) {
    if (guard.used && at >= guard.start && at < guard.end) end_with(guard.report);
  }
  remove_temporaries_and_die(signal_number);
}

// Installed over anything but an ignored SIGBUS: no handler outlives an exec, so any other is
// this process's own (a sanitizer's, or the temporaries' above).
void install_bus_handler() {
  if (bus_handler_installed) return;
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) return;
  struct sigaction handler {};
  handler.sa_sigaction = on_bus_error;
  handler.sa_flags = SA_SIGINFO;
  handler.sa_mask = ending_signals();
  bus_handler_installed = ::sigaction(SIGBUS, &handler, nullptr) == 0;
}

void copy_text(char* to, size_t capacity, size_t& size, std::string_view text) {
  size = std::min(text.size(), capacity);
  std::memcpy(to, text.data(), size);
}

// Blocks every ending signal for as long as it lives, so that the handler sees each slot
// either free or whole.
struct Blocked {
  Blocked() {
    const sigset_t set = ending_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &saved);
  }
  ~Blocked() { ::pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
  Blocked(const Blocked&) = delete;
  Blocked& operator=(const Blocked&) = delete;
  sigset_t saved{};
};

void install_handlers() {
  const sigset_t all = ending_signals();
  for_each_ending_signal([&](int s) {
    struct sigaction current {};
    installed[s] = false;
    if (s == SIGBUS && bus_handler_installed) return;  // it removes the temporaries too
    if (::sigaction(s, nullptr, &current) != 0) return;
    if (current.sa_handler != SIG_DFL) return;  // ignored, or the caller's own handler
    struct sigaction handler {};
    handler.sa_handler = remove_temporaries_and_die;
    handler.sa_mask = all;
    installed[s] = ::sigaction(s, &handler, &saved_actions[s]) == 0;
  });
}

void restore_handlers() {
  for_each_ending_signal([](int s) {
    if (installed[s] && !(s == SIGBUS && bus_handler_installed)) {
      ::sigaction(s, &saved_actions[s], nullptr);
    }
    installed[s] = false;
  });
}

void free_slot(int slot) {
  slots[slot].kind = 0;
  if (--live == 0) restore_handlers();
}

// Registers `path` (shorter than PATH_MAX: make_registered checked) as the caller creates it;
// -1 (ENFILE) when every slot is taken. Called with the signals blocked.
int register_path(const char* path, int kind) {
  const size_t length = std::strlen(path);
  for (size_t i = 0; i < kSlots; ++i) {
    if (slots[i].kind != 0) continue;
    if (live++ == 0) install_handlers();
    std::memcpy(slots[i].path, path, length + 1);
    slots[i].kind = kind;
    return static_cast<int>(i);
  }
  errno = ENFILE;
  return -1;
}

bool valid(int slot) {
  return slot >= 0 && static_cast<size_t>(slot) < kSlots && slots[slot].kind != 0;
}

// Creates with `make` and registers what it made; `kind` 1 for a file, 2 for a folder.
template <typename Make>
int make_registered(const char* path, int kind, int& slot, Make make) {
  slot = -1;
  if (std::strlen(path) >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const Blocked blocked;
  const int made = make();
  if (made < 0) return -1;
  slot = register_path(path, kind);
  if (slot < 0) {
    const int error = errno;
    if (kind == 1) {
      ::close(made);
      ::unlink(path);
    } else {
      ::rmdir(path);
    }
    errno = error;
    return -1;
  }
  return made;
}

}  // namespace

int make_temporary_file(char* path_template, int& slot) {
  return make_registered(path_template, 1, slot,
                         [&] { return ::mkostemp(path_template, O_CLOEXEC); });
}

int make_temporary_file_at(const char* path, int& slot) {
  return make_registered(path, 1, slot, [&] {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  });
}

bool make_temporary_folder(char* path_template, int& slot) {
  return make_registered(path_template, 2, slot,
                         [&] { return ::mkdtemp(path_template) != nullptr ? 0 : -1; }) >= 0;
}

void remove_temporary(int slot) {
  if (!valid(slot)) return;
  const Blocked blocked;
  const int error = errno;
  if (slots[slot].kind == 1) {
    ::unlink(slots[slot].path);
  } else {
    ::rmdir(slots[slot].path);
  }
  errno = error;
  free_slot(slot);
}

void forget_temporary(int slot) {
  if (!valid(slot)) return;
  const Blocked blocked;
  free_slot(slot);
}

bool rename_temporary(int slot, const char* target) {
  if (!valid(slot)) {
    errno = EINVAL;
    return false;
  }
  const Blocked blocked;
  if (::rename(slots[slot].path, target) != 0) return false;
  free_slot(slot);
  return true;
}

namespace {

// Whether `report` is the one for `path` (standard input has no name: it matches by kind).
bool names(const Report& report, const char* path) {
  if (!report.used || report.standard_input != (path == kStandardStream)) return false;
  return report.standard_input || std::strcmp(report.path, path) == 0;
}

}  // namespace

void set_changed_size_report(const char* path, std::string_view out_text,
                             std::string_view err_text) {
  const Blocked blocked;
  Report* report = &reports[kReports];
  if (path != nullptr) {
    report = nullptr;
    for (Report& r : std::span(reports, kReports)) {
      if (names(r, path)) report = &r;
    }
    for (Report& r : std::span(reports, kReports)) {
      if (report == nullptr && !r.used) report = &r;
    }
    const bool fits = path == kStandardStream || std::strlen(path) < PATH_MAX;
    if (report == nullptr || !fits) return;  // the report for any file serves it
    report->standard_input = path == kStandardStream;
    if (!report->standard_input) std::strcpy(report->path, path);
  }
  report->used = true;
  copy_text(report->out, sizeof report->out, report->out_size, out_text);
  copy_text(report->err, sizeof report->err, report->err_size, err_text);
}

void forget_changed_size_reports() {
  const Blocked blocked;
  for (Report& report : reports) report.used = false;
}

int guard_mapping(const void* address, size_t length, const char* path) {
  const Blocked blocked;
  install_bus_handler();
  const Report* report = reports[kReports].used ? &reports[kReports] : nullptr;
  for (const Report& r : std::span(reports, kReports)) {
    if (names(r, path)) report = &r;
  }
  for (size_t i = 0; i < kGuards; ++i) {
    Guard& guard = guards[i];
    if (guard.used) continue;
    guard.start = reinterpret_cast<uintptr_t>(address);
    guard.end = guard.start + length;
    guard.report = report;
    guard.used = 1;
    return static_cast<int>(i);
  }
  return -1;
}

void unguard_mapping(int slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= kGuards) return;
  const Blocked blocked;
  guards[slot].used = 0;
}

void end_for_changed_size(int slot) {
  const sigset_t set = ending_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  end_with(slot >= 0 && static_cast<size_t>(slot) < kGuards ? guards[slot].report : nullptr);
}

}  // namespace blkswap
