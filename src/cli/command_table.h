// The command line as one contract: a row per flag and a row per command, holding everything
// about it (operands and what "-" means for each, the flags it takes, the formats it renders,
// whose codes it gives, its help). Dispatch, --help, each command's help, the bash completion
// and the synopses of the man page and README come from these rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string_view>

#include "image/failure.h"
#include "ops/render.h"

namespace blkswap {

enum Flag : unsigned {
  kFlagJson = 1u << 0,
  kFlagSvg = 1u << 1,
  kFlagDryRun = 1u << 2,
  kFlagIndex = 1u << 3,
  kFlagSlot = 1u << 4,
  kFlagKeepOffsets = 1u << 5,
};

struct FlagRow {
  std::string_view name;
  Flag flag;
  unsigned excludes;         // the flags it cannot stand with
  const Renderer* renderer;  // the format it chooses, for a format's flag
  std::string_view help;
};
std::span<const FlagRow> flag_rows();

// What "-" means for an operand: a file of that name, standard input, or standard output.
enum class Dash : uint8_t { file, input, output };

struct Operand {
  std::string_view name;  // as the help shows it: "FLASHFILE"
  Dash dash = Dash::file;
  bool repeats = false;     // one of a group given once or more (BLOCKNAME BLOCKFILE ...)
  bool block_name = false;  // a BLOCKNAME: completed with the image's block names
  Flag instead = Flag{0};   // a flag that stands in its place (--repack's --dry-run)
  bool optional = false;
};

struct Invocation;
enum class CommandKind : uint8_t {
  positional,      // list and merge: chosen by the number of arguments, without an option
  option,          // chosen by its first argument
  end_of_options,  // "--": the arguments after it are a list or a merge
};

struct Command {
  CommandKind kind;
  std::string_view option;  // "--info"; for a positional command, its name in the help
  std::string_view alias;
  std::array<Operand, 4> operands{};  // those in use have a name
  unsigned flags = 0;                 // the flags it takes
  std::string_view kind_word;         // whose codes its messages give: "(merge error -2)"
  unsigned steps = 0;                 // the steps whose codes it gives: bits of 1 << Step
  bool list_numbers = false;          // the list's numbers for a load (-3 for no usable table)
  std::string_view error_line;        // its failure line on standard output, in text
  int (*run)(const Invocation& call) = nullptr;
  std::string_view help;         // one line
  std::string_view more;         // a paragraph for its own help
  std::string_view exit_status;  // what 0 and 1 mean for it
};
std::span<const Command> command_table();

// The option command named `arg` (by its option or alias), or null.
const Command* find_option(std::string_view arg);
constexpr unsigned step_bit(Step step) {
  return 1u << static_cast<unsigned>(step);
}

// Whether `arg` is the name of an option or a flag.
bool is_option_name(std::string_view arg);

// "blkswap --info FLASHFILE [--json|--svg] [--keep-offsets]" after `lead`, wrapped at 80
// columns.
void put_synopsis(std::ostream& out, const Command& command, std::string_view lead = "  ");

}  // namespace blkswap
