// The program's entry, callable with any arguments and output stream.
#pragma once

#include <ostream>
#include <span>

namespace blkswap {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a list or merge reported an error line
inline constexpr int kExitUsage = 2;   // wrong number of arguments

// `args` are the arguments after the program name. Runs one command and returns the exit status.
int run_command(std::span<const char* const> args, std::ostream& out);

}  // namespace blkswap
