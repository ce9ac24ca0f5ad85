// What follows an option on the command line: its operands and its flags, which may stand in
// any place after the option; "--" ends the flags, so a file may be named like one.
#pragma once

#include <ostream>
#include <span>
#include <string_view>
#include <vector>

namespace blkswap {

enum Flag : unsigned {
  kFlagJson = 1u << 0,         // --json: a JSON document instead of text
  kFlagDryRun = 1u << 1,       // --dry-run: for --repack, a rehearsal instead of WFILE
  kFlagIndex = 1u << 2,        // --index: every BLOCKNAME is a block's index
  kFlagSlot = 1u << 3,         // --slot: every BLOCKNAME is TABLE:SLOT
  kFlagKeepOffsets = 1u << 4,  // --keep-offsets: a merge moves no block
};

struct FlagName {
  std::string_view name;
  Flag flag;
  std::string_view help;
};
std::span<const FlagName> flag_names();

struct Arguments {
  std::vector<const char*> operands;
  unsigned flags = 0;
  bool has(Flag flag) const { return (flags & flag) != 0; }
};

// Splits the arguments after `option` into operands and the flags of `allowed`. "-" is an
// operand (standard input or output). Any other argument that starts with '-' before "--" and
// is none of those flags is refused: false, after one line on `err` that names it and the
// flags it is close to.
bool split_arguments(std::string_view option, unsigned allowed, std::span<const char* const> args,
                     Arguments& out, std::ostream& err);

// Whether `arg` is exactly the name of a flag.
bool is_flag_name(std::string_view arg);

}  // namespace blkswap
