#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <span>

#include "cli/commands.h"

int main(int argc, char** argv) {
  // A write past a file-size limit, or into a pipe whose reader has gone, then fails with an
  // error the command reports and cleans up after, instead of killing the process silently
  // with a temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  const std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
  int status = blkswap::run_command(args, std::cout, std::cerr);
  // A write that failed while the command ran left its reason in errno; nothing after it wrote.
  const int during = errno;
  errno = 0;
  std::cout.flush();
  const bool written = std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (!written) {
    const bool a_write_reason =
        during == EPIPE || during == ENOSPC || during == EFBIG || during == EIO || during == EDQUOT;
    const int error = errno != 0 ? errno : a_write_reason ? during : 0;
    std::cerr << "blkswap: standard output cannot be written" << (error != 0 ? ": " : "")
              << (error != 0 ? std::strerror(error) : "") << "\n";
    if (status == blkswap::kExitOk) status = blkswap::kExitFailed;
  }
  return status;
}
