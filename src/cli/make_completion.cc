// Writes blkswap's bash completion script to standard output, at build time.
#include <iostream>

#include "cli/commands.h"
#include "platform/files.h"

int main() {
  blkswap::prepare_standard_streams();
  blkswap::print_bash_completion(std::cout);
  std::cout.flush();
  return std::cout ? 0 : 1;
}
