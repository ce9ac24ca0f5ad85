// The commands blkswap knows: one table from which both the dispatch and the help text come.
#pragma once

#include <cstddef>
#include <ostream>
#include <span>
#include <string_view>

namespace blkswap {

struct Streams {
  std::ostream& out;  // the data a command produces, and the list's and merge's error lines
  std::ostream& err;  // the error messages of the option commands
};

using Operands = std::span<const char* const>;

struct Command {
  std::string_view option;  // the argument that selects it; empty for list and merge
  std::string_view alias;   // a second spelling, or empty
  size_t min_operands = 0;  // the arguments after the option (for list and merge, all of them)
  size_t max_operands = 0;
  int (*run)(Operands operands, Streams io) = nullptr;  // none for "--", which ends the options
  std::string_view synopsis;                            // the operands as the help shows them
  std::string_view help;                                // one line
};

inline constexpr std::string_view kUsageText =
    "Usage: blkswap [flashfile] [blockname] [blockfile] [wfile]\n"
    "eg:blkswap flash.bin bootload bootloader.bin merge.bin\n";

std::span<const Command> command_table();

// Says on `io.err` how the option command `option` is called; returns the usage exit status.
int report_usage_error(std::string_view option, Streams io);

// Chooses the command for `args` (the arguments after the program name) and runs it.
int dispatch_command(std::span<const char* const> args, Streams io);

}  // namespace blkswap
