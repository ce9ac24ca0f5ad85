// --help and --version. The help's list of commands comes from the command table.
#include <string_view>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/run_command.h"

#ifndef BLKSWAP_VERSION
#error "BLKSWAP_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace blkswap {

namespace {

constexpr std::string_view kAfterCommands =
    "\n"
    "BLOCKNAME chooses the first block, in block order, whose name equals it (at\n"
    "most eight characters are compared) or whose id equals it read whole as a\n"
    "hexadecimal number (a4, 0xA4). WFILE and OUTFILE are replaced safely: a\n"
    "failure leaves them as they were.\n"
    "\n"
    "Exit status:\n"
    "  0  success; --verify: no stale checksum; --dry-run: the merge would succeed\n"
    "  1  the command failed and said why; --verify: a checksum is stale;\n"
    "     --dry-run: the merge would fail\n"
    "  2  wrong arguments; --verify: the image cannot be loaded\n"
    "\n"
    "Error codes. The list and the merge print \"List flash block error with CODE\"\n"
    "or \"Merge flash file error with CODE\" on standard output; the other commands\n"
    "print \"blkswap: FILE: message (KIND error CODE)\" on standard error. A merge\n"
    "runs three steps, and the same code means different things in each:\n"
    "  1. loading FLASHFILE (the list's codes are these, but -5 is -3 there)\n"
    "     -1 no file name   -2 cannot be opened or read   -3 no memory\n"
    "     -4 length not a multiple of 512 KiB, or 4 GiB or more\n"
    "     -5 no table, more than 64 blocks, or a table or block outside the image\n"
    "  2. taking in BLOCKFILE\n"
    "     -1 BLOCKNAME or BLOCKFILE empty   -2 cannot be opened\n"
    "     -3 BLOCKFILE is empty   -4 no memory   -5 fewer bytes read than its size\n"
    "     -6 no block matches BLOCKNAME\n"
    "  3. rebuilding and writing WFILE\n"
    "     -1 no file name   -2 the blocks would not fit, or cover a table or block,\n"
    "        or the image would not load back as laid out with true checksums\n"
    "     -3 no memory   -4 WFILE cannot be created or replaced whole\n"
    "     -5 fewer bytes written\n"
    "--info and --verify give the list's codes. --extract gives those of steps 1\n"
    "and 2, and -1, -4, -5 of step 3 for OUTFILE. --dry-run gives the code the\n"
    "merge would give.\n"
    "\n"
    "See blkswap(1) for the image format and examples.\n";

void print_command(const Command& command, std::ostream& out) {
  out << "  blkswap";
  if (!command.option.empty()) out << ' ' << command.option;
  if (!command.alias.empty()) out << ", " << command.alias;
  if (!command.synopsis.empty()) out << ' ' << command.synopsis;
  out << "\n      " << command.help << '\n';
}

}  // namespace

int run_help(Operands, Streams io) {
  io.out << kUsageText << "\nCommands:\n";
  for (const Command& command : command_table()) print_command(command, io.out);
  io.out << kAfterCommands;
  return kExitOk;
}

int run_version(Operands, Streams io) {
  io.out << "blkswap " BLKSWAP_VERSION "\n";
  return kExitOk;
}

}  // namespace blkswap
