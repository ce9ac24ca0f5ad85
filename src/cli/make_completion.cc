// Writes blkswap's bash completion script to standard output, at build time.
#include <iostream>

#include "cli/commands.h"

int main() {
  blkswap::print_bash_completion(std::cout);
  std::cout.flush();
  return std::cout ? 0 : 1;
}
