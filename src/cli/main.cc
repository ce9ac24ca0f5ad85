#include <csignal>
#include <iostream>
#include <span>

#include "cli/commands.h"

int main(int argc, char** argv) {
  // A write past a file-size limit then fails with an error the merge reports and cleans up
  // after, instead of killing the process with a temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
  int status = blkswap::run_command(args, std::cout, std::cerr);
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "blkswap: cannot write to standard output\n";
    if (status == blkswap::kExitOk) status = blkswap::kExitFailed;
  }
  return status;
}
