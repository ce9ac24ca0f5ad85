#include "cli/command_table.h"

#include "cli/commands.h"
#include "cli/run_command.h"

namespace blkswap {

namespace {

constexpr Command kCommands[] = {
    {"", "", 1, 1, run_list, "FLASHFILE", "list the blocks: one \"id:0x%x name:%s\" line each"},
    {"", "", 4, 4, run_merge, "FLASHFILE BLOCKNAME BLOCKFILE WFILE",
     "merge BLOCKFILE into the block BLOCKNAME; write the new image to WFILE"},
    {"--info", "", 1, 2, run_info, "FLASHFILE [--json]",
     "show the tables, and every block's place, size and checksum state"},
    {"--verify", "", 1, 1, run_verify, "FLASHFILE",
     "check every stored checksum and name the stale blocks"},
    {"--extract", "", 3, 3, run_extract, "FLASHFILE BLOCKNAME OUTFILE",
     "write the bytes of the block BLOCKNAME to OUTFILE"},
    {"--dry-run", "", 3, 3, run_dry_run, "FLASHFILE BLOCKNAME BLOCKFILE",
     "rehearse the merge: show what would change, write nothing"},
    {"--help", "-h", 0, 0, run_help, "", "show this help"},
    {"--version", "", 0, 0, run_version, "", "show the name and version"},
    {"--", "", 0, 0, nullptr, "ARGUMENTS",
     "take ARGUMENTS as a list or a merge even if the first is an option"},
};

const Command* find_option(std::string_view arg) {
  for (const Command& command : kCommands) {
    if (command.option.empty()) continue;
    if (arg == command.option || (!command.alias.empty() && arg == command.alias)) return &command;
  }
  return nullptr;
}

// List and merge, chosen by the number of arguments alone; any other number gets the usage text.
int dispatch_positional(std::span<const char* const> args, Streams io) {
  for (const Command& command : kCommands) {
    if (command.option.empty() && args.size() == command.min_operands) {
      return command.run(args, io);
    }
  }
  io.out << kUsageText;
  return kExitUsage;
}

}  // namespace

int report_usage_error(std::string_view option, Streams io) {
  const Command* command = find_option(option);
  io.err << "blkswap: wrong arguments for " << option << "\n";
  if (command != nullptr) {
    io.err << "Usage: blkswap " << option;
    if (!command->synopsis.empty()) io.err << ' ' << command->synopsis;
    io.err << '\n';
  }
  io.err << "Try 'blkswap --help' for more.\n";
  return kExitUsage;
}

std::span<const Command> command_table() {
  return kCommands;
}

int dispatch_command(std::span<const char* const> args, Streams io) {
  const Command* command = args.empty() || args[0] == nullptr ? nullptr : find_option(args[0]);
  if (command == nullptr) return dispatch_positional(args, io);
  const Operands operands = args.subspan(1);
  if (command->run == nullptr) return dispatch_positional(operands, io);
  if (operands.size() < command->min_operands || operands.size() > command->max_operands) {
    return report_usage_error(args[0], io);
  }
  return command->run(operands, io);
}

}  // namespace blkswap
