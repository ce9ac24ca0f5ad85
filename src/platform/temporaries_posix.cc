#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

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
    if (installed[s]) ::sigaction(s, &saved_actions[s], nullptr);
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

}  // namespace blkswap
