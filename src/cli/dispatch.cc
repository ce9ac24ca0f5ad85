// From the arguments to a command's handler: the option or the number of arguments chooses the
// row, the row's operands and flags are checked, and the format is chosen from the flags.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <sstream>

#include "cli/commands.h"
#include "cli/invocation.h"
#include "image/crc.h"
#include "image/text.h"
#include "platform/files.h"

namespace blkswap {

namespace {

using Arguments = std::span<const char* const>;

}  // namespace

void hint_if_mistyped(std::ostream& err, std::string_view first) {
  if (first.size() < 2 || first[0] != '-') return;
  std::vector<std::string_view> options;
  for (const Command& command : command_table()) {
    if (command.kind == CommandKind::option) options.push_back(command.option);
  }
  std::ostringstream line;
  line << "blkswap: hint: '" << printable(first) << "' is no file; did you mean ";
  if (put_close_names(err, first, options, line.str()) > 0) err << "? See 'blkswap --help'.\n";
}

namespace {

// An argument as a shell reads it back: quoted when it holds anything but plain characters.
void put_shell_word(std::ostream& out, std::string_view arg) {
  const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_./=:,+@%", c) != nullptr;
  });
  if (plain) {
    out << arg;
  } else if (!is_printable(arg)) {  // bash's $'...', so that the line stays one line
    out << "$'";
    for (const char c : arg) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '\'' || c == '\\') {
        out << '\\' << c;
      } else if (byte < 0x20 || byte >= 0x7F) {
        put_format(out, "\\x%02x", byte);
      } else {
        out << c;
      }
    }
    out << '\'';
  } else {
    out << '\'';
    for (const char c : arg) out << (c == '\'' ? "'\\''" : std::string(1, c));
    out << '\'';
  }
}

// The command without an option that takes `count` arguments (the list, the merge), or null.
const Command* positional_command(size_t count) {
  for (const Command& command : command_table()) {
    size_t operands = 0;
    while (operands < command.operands.size() && !command.operands[operands].name.empty()) {
      ++operands;
    }
    if (command.kind == CommandKind::positional && count == operands) return &command;
  }
  return nullptr;
}

// List and merge, chosen by the number of arguments alone; any other number gets the usage text
// (and, with no argument at all, a pointer to the help). A list or merge must not take an
// option's name for a file: a file of that name would be read, or written, where the person
// meant the option.
int dispatch_positional(Arguments args, std::ostream& out, std::ostream& err, bool* wrote,
                        bool names_checked) {
  if (const Command* found = positional_command(args.size())) {
    const Command& command = *found;
    for (const char* arg : args) {
      if (!names_checked || !is_option_name(arg)) continue;
      err << "blkswap: '" << arg
          << "' is an option's name, not a file: options come first (see 'blkswap --help'); for "
             "a file of that name: blkswap --";
      for (const char* word : args) {
        err << ' ';
        put_shell_word(err, word);
      }
      err << '\n';
      return kExitUsage;
    }
    const Invocation call{command, {args.begin(), args.end()}, 0, out, err, wrote};
    return command.run(call);
  }
  out << kUsageText;
  if (args.empty()) err << "blkswap: 'blkswap --help' says more\n";
  if (names_checked && !args.empty()) hint_if_mistyped(err, args[0]);
  return kExitUsage;
}

const FlagRow* find_flag(std::string_view name) {
  for (const FlagRow& flag : flag_rows()) {
    if (flag.name == name) return &flag;
  }
  return nullptr;
}

// Splits the arguments after the option into operands and the flags of its row. "-" is an
// operand; "--" ends the flags; any other argument that starts with '-' and is none of its flags
// is refused, naming the flags it is close to. "--help" anywhere asks for the command's help.
bool split_arguments(Invocation& call, Arguments args, bool& help) {
  bool flags_ended = false;
  for (const char* arg : args) {
    const std::string_view text = arg;
    // The help takes a command's name, option or not, as its topic.
    if (flags_ended || text.size() < 2 || text[0] != '-' || call.command.run == run_help) {
      call.operands.push_back(arg);
      continue;
    }
    if (text == "--") {
      flags_ended = true;
      continue;
    }
    if (text == "--help" && call.command.run != run_help) {
      help = true;
      continue;
    }
    const FlagRow* flag = find_flag(text);
    if (flag != nullptr && (call.command.flags & flag->flag) != 0) {
      call.flags |= flag->flag;
      continue;
    }
    std::vector<std::string_view> own;
    for (const FlagRow& f : flag_rows()) {
      if ((call.command.flags & f.flag) != 0) own.push_back(f.name);
    }
    call.err << "blkswap: " << call.typed << ": unknown flag '" << printable(text) << "'";
    if (put_close_names(call.err, text, own, "; did you mean ") > 0) call.err << '?';
    if (own.empty()) call.err << "; it takes no flags";
    call.err << '\n';
    return false;
  }
  return true;
}

// Whether the operands have the shape the row gives: each operand once, a group that repeats
// once or more (a group of pairs at most once per block), an operand a flag stands in for
// absent exactly when the flag is given.
bool operands_fit(const Invocation& call) {
  size_t fixed = 0, group = 0;
  for (const Operand& operand : call.command.operands) {
    if (operand.name.empty() || operand.optional) continue;
    if (operand.repeats) {
      ++group;
    } else if (operand.instead == 0 || !call.has(operand.instead)) {
      ++fixed;
    }
  }
  const size_t count = call.operands.size();
  size_t optional = 0;
  for (const Operand& operand : call.command.operands) optional += operand.optional;
  if (group == 0) return count >= fixed && count <= fixed + optional;
  const size_t most_groups = group == 1 ? SIZE_MAX : kMaxBlocks;
  return count >= fixed + group && (count - fixed) % group == 0 &&
         (count - fixed) / group <= most_groups;
}

int dispatch_command(Arguments args, std::ostream& out, std::ostream& err, bool* wrote) {
  const Command* command = args.empty() || args[0] == nullptr ? nullptr : find_option(args[0]);
  if (command == nullptr) return dispatch_positional(args, out, err, wrote, true);
  if (command->kind == CommandKind::end_of_options) {
    return dispatch_positional(args.subspan(1), out, err, wrote, false);
  }
  Invocation call{*command, {}, 0, out, err, wrote, &kTextRenderer, args[0]};
  bool help = false;
  if (!split_arguments(call, args.subspan(1), help)) return usage_error(call, {}, false);
  if (help) return print_command_help(out, command->option) ? kExitOk : kExitUsage;
  for (const FlagRow& flag : flag_rows()) {
    if (call.has(flag.flag) && (call.flags & flag.excludes) != 0) {
      for (const FlagRow& other : flag_rows()) {
        if ((flag.excludes & other.flag) != 0 && call.has(other.flag)) {
          return usage_error(call, std::string(flag.name) + " and " + std::string(other.name) +
                                       " exclude each other");
        }
      }
    }
    if (call.has(flag.flag) && flag.renderer != nullptr) call.renderer = flag.renderer;
  }
  if (!operands_fit(call)) return usage_error(call);
  return command->run(call);
}

}  // namespace

int usage_error(const Invocation& call, std::string_view why, bool first_line) {
  if (first_line) {
    call.err << "blkswap: wrong arguments for "
             << (call.typed.empty() ? call.command.option : call.typed);
    if (!why.empty()) call.err << ": " << why;
    call.err << "\n";
  }
  put_synopsis(call.err, call.command, "Usage: ");
  call.err << "Try 'blkswap --help";
  if (call.command.run != run_help) call.err << ' ' << topic_of(call.command);
  call.err << "' for more.\n";
  return kExitUsage;
}

int run_command(std::span<const char* const> args, std::ostream& out, std::ostream& err,
                bool* wrote) {
  build_crc_table();
  // The standard library and the JSON library report a lack of memory by throwing; anywhere
  // (a path, a message, a document) it ends as the no-memory code, never as an abort.
  try {
    bool ignored = false;
    forget_changed_size_reports();
    return dispatch_command(args, out, err, wrote != nullptr ? wrote : &ignored);
  } catch (const std::bad_alloc&) {
    const int code = code_number(Code::image_no_memory);
    const Command* positional =
        !args.empty() && args[0] != nullptr && find_option(args[0]) == nullptr
            ? positional_command(args.size())
            : nullptr;
    if (positional != nullptr) out << positional->error_line << code << '\n';
    err << "blkswap: not enough memory to go on (error " << code << ")\n";
    return kExitFailed;
  }
}

}  // namespace blkswap
