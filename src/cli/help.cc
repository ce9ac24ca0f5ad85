// The help: a screen that names every command and flag, and each command's own, from its row.
#include <algorithm>

#include "cli/commands.h"
#include "cli/invocation.h"
#include "image/text.h"

#ifndef BLKSWAP_VERSION
#error "BLKSWAP_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace blkswap {

namespace {

void put_flag(std::ostream& out, const FlagRow& flag) {
  out << "  " << flag.name << std::string(16 - std::min<size_t>(flag.name.size(), 15), ' ')
      << flag.help << '\n';
}

// The codes of the command's steps, as it numbers them.
void put_codes(std::ostream& out, const Command& command) {
  out << "\nCodes, in \"(" << command.kind_word << " error CODE)\" on standard error";
  if (!command.error_line.empty()) out << "\nand in \"" << command.error_line << "CODE\"";
  out << ":\n";
  Step step = Step::load;
  bool first = true;
  for (const CodeRow& row : code_table()) {
    if ((command.steps & step_bit(row.step)) == 0) continue;
    if (first || row.step != step) out << "  " << step_title(row.step) << '\n';
    first = false;
    step = row.step;
    const int number = code_number(row.code, command.list_numbers);
    out << "    " << number << "  " << row.meaning;
    if (number != row.number) out << " (" << row.number << " elsewhere)";
    out << '\n';
  }
}

}  // namespace

std::string_view topic_of(const Command& command) {
  std::string_view topic = command.option;
  while (topic.starts_with('-')) topic.remove_prefix(1);
  return topic;
}

bool print_command_help(std::ostream& out, std::string_view topic) {
  while (topic.starts_with('-')) topic.remove_prefix(1);
  bool found = false;
  for (const Command& command : command_table()) {
    if (command.kind == CommandKind::end_of_options || topic_of(command) != topic) continue;
    if (found) out << '\n';
    found = true;
    out << "Usage:\n";
    put_synopsis(out, command);
    out << '\n' << command.help << ".\n";
    if (!command.more.empty()) out << command.more << '\n';
    const bool chooses = std::any_of(command.operands.begin(), command.operands.end(),
                                     [](const Operand& operand) { return operand.block_name; });
    if (chooses) {
      out << "BLOCKNAME chooses the first block, in block order, whose name equals it (at most\n"
             "eight characters are compared) or whose id equals it read whole as a hexadecimal\n"
             "number (a4, 0xA4)";
      out << ((command.flags & kFlagIndex) != 0 ? "; with --index or --slot, by place instead.\n"
                                                : ".\n");
    }
    if (command.flags != 0) {
      out << "\nFlags (anywhere after the option; \"--\" ends them):\n";
      for (const FlagRow& flag : flag_rows()) {
        if ((command.flags & flag.flag) != 0) put_flag(out, flag);
      }
    }
    if (!command.exit_status.empty()) {
      out << "\nExit status: " << command.exit_status
          << ";\n2 wrong arguments, nothing read or written.\n";
    }
    if (command.steps != 0) put_codes(out, command);
  }
  return found;
}

int run_help(const Invocation& call) {
  if (!call.operands.empty()) {
    if (print_command_help(call.out, call.operands[0])) return kExitOk;
    return usage_error(call, "no command is called '" + printable(call.operands[0]) + "'");
  }
  call.out << kUsageText << "\nCommands:\n";
  for (const Command& command : command_table()) {
    put_synopsis(call.out, command);
    call.out << "      " << command.help << '\n';
  }
  call.out << "\nFlags:\n";
  for (const FlagRow& flag : flag_rows()) put_flag(call.out, flag);
  call.out << "\nIn the option commands, \"-\" as an input reads standard input and as an output\n"
              "writes standard output. 'blkswap --help COMMAND' (or 'blkswap --COMMAND --help')\n"
              "gives a command's flags, exit statuses and codes; blkswap(1) the image format.\n";
  return kExitOk;
}

int run_version(const Invocation& call) {
  call.out << "blkswap " BLKSWAP_VERSION "\n";
  return kExitOk;
}

}  // namespace blkswap
