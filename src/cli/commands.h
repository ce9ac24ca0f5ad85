// The program's entry, callable with any arguments and output streams.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace blkswap {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the command failed (its error line says why)
inline constexpr int kExitUsage = 2;   // wrong arguments

inline constexpr std::string_view kUsageText =
    "Usage: blkswap [flashfile] [blockname] [blockfile] [wfile]\n"
    "eg:blkswap flash.bin bootload bootloader.bin merge.bin\n";

// `args` are the arguments after the program name. Runs one command and returns the exit status.
// A command prints what it produces on `out`, the list's and merge's failure lines too, and every
// message that says why it failed, and every warning, on `err`.
// `wrote`, when given, is set once the command has written its output file or folder whole: a
// summary then lost on standard output costs nothing the command made.
int run_command(std::span<const char* const> args, std::ostream& out, std::ostream& err,
                bool* wrote = nullptr);

// A bash completion script made from the command table: the options first, each option's flags
// after it, the image's block names where a BLOCKNAME goes, file names everywhere else.
void print_bash_completion(std::ostream& out);

}  // namespace blkswap
