#include "cli/command_table.h"

#include <algorithm>
#include <string>

#include "cli/commands.h"
#include "cli/invocation.h"

namespace blkswap {

namespace {

constexpr unsigned kFormats = kFlagJson | kFlagSvg;
constexpr unsigned kChoosing = kFlagIndex | kFlagSlot;

constexpr FlagRow kFlags[] = {
    {"--json", kFlagJson, kFlagSvg, &kJsonRenderer,
     "print one JSON document instead of text (a failure too)"},
    {"--svg", kFlagSvg, kFlagJson, &kSvgRenderer, "print an SVG picture of the image instead"},
    {"--dry-run", kFlagDryRun, 0, nullptr, "--repack: show what it would change, write nothing"},
    {"--index", kFlagIndex, kFlagSlot, nullptr,
     "every BLOCKNAME is a block's index as --info shows it (0, 1)"},
    {"--slot", kFlagSlot, kFlagIndex, nullptr,
     "every BLOCKNAME is TABLE:SLOT, as --info shows them (0x1000:2)"},
    {"--keep-offsets", kFlagKeepOffsets, 0, nullptr,
     "every block keeps its offset; only replaced blocks change"},
};

constexpr Operand kFlashfile{"FLASHFILE", Dash::input};
constexpr Operand kBlockname{"BLOCKNAME", Dash::file, true, true};
constexpr Operand kBlockfile{"BLOCKFILE", Dash::input, true};
constexpr std::string_view kLoadFailsOne =
    "0 success; 1 the command failed and said why on standard error";

const Command kCommands[] = {
    {.kind = CommandKind::positional,
     .option = "list",
     .operands = {{{"FLASHFILE"}}},
     .kind_word = "list",
     .steps = step_bit(Step::load),
     .list_numbers = true,
     .error_line = "List flash block error with ",
     .run = run_list,
     .help = "list the blocks: one \"id:0x%x name:%s\" line each",
     .more = "Prints one line per block, in block order (tables by position, entries by slot):\n"
             "the id in lower-case hexadecimal without leading zeros, the name as stored.\n"
             "A failure prints \"List flash block error with CODE\" on standard output.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::positional,
     .option = "merge",
     .operands =
         {{{"FLASHFILE"}, {"BLOCKNAME", Dash::file, false, true}, {"BLOCKFILE"}, {"WFILE"}}},
     .kind_word = "merge",
     .steps = step_bit(Step::load) | step_bit(Step::replace) | step_bit(Step::write),
     .error_line = "Merge flash file error with ",
     .run = run_merge,
     .help = "merge BLOCKFILE into the block BLOCKNAME; write the new image to WFILE",
     .more = "Places each table's blocks again: slot 0 keeps its offset, each later slot\n"
             "starts where the one before ends, ids 0xA4 and 0xA8 round their offset from the\n"
             "table up to 64 KiB, and the last block must end strictly before the image's end.\n"
             "Every checksum is computed again. WFILE is replaced safely: a failure leaves it\n"
             "as it was. What the merge changes beyond the blocks given it says on standard\n"
             "error, one \"blkswap: warning:\" line per kind, and still exits 0. A failure\n"
             "prints \"Merge flash file error with CODE\" on standard output.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--info",
     .operands = {{kFlashfile}},
     .flags = kFormats | kFlagKeepOffsets,
     .kind_word = "list",
     .steps = step_bit(Step::load),
     .list_numbers = true,
     .run = run_info,
     .help = "show the tables, and every block's place, size, checksum state and room",
     .more = "A block's room is the largest block file a merge of it alone would take (with\n"
             "--keep-offsets, in its place). With --svg, a map of the image: the whole image\n"
             "to scale, then each table's span with its blocks, gaps, checksum states and\n"
             "the place from which a merge erases.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--verify",
     .operands = {{{"FLASHFILE", Dash::input, true}}},
     .flags = kFlagJson,
     .kind_word = "list",
     .steps = step_bit(Step::load),
     .list_numbers = true,
     .run = run_verify,
     .help = "check every stored checksum and name the stale blocks, for each image",
     .more = "Several images are checked one after the other; with --json, one document holds\n"
             "each image's report.",
     .exit_status = "0 every checksum holds; 1 a stale checksum, or an image that failed to load"},
    {.kind = CommandKind::option,
     .option = "--extract",
     .operands = {{kFlashfile, {"BLOCKNAME", Dash::file, false, true}, {"OUTFILE", Dash::output}}},
     .flags = kFlagJson | kChoosing,
     .kind_word = "extract",
     .steps = step_bit(Step::load) | step_bit(Step::extract),
     .run = run_extract,
     .help = "write the bytes of the block BLOCKNAME to OUTFILE",
     .more = "OUTFILE is replaced safely, and never when it is FLASHFILE itself.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--dry-run",
     .operands = {{kFlashfile, kBlockname, kBlockfile}},
     .flags = kFormats | kChoosing | kFlagKeepOffsets,
     .kind_word = "merge",
     .steps = step_bit(Step::load) | step_bit(Step::replace) | step_bit(Step::write),
     .error_line = "Merge flash file error with ",
     .run = run_dry_run,
     .help = "run the merge in memory: show what would change, write nothing",
     .more = "Each block's place and size before and after, its checksum state, what moves, the\n"
             "bytes the merge would erase or leave stale, and its warnings; for a merge that\n"
             "would fail, the block at fault and why, then the merge's own line. With --svg,\n"
             "the image before and after, one above the other.",
     .exit_status = "0 the merge would succeed; 1 it would fail"},
    {.kind = CommandKind::option,
     .option = "--merge",
     .operands = {{kFlashfile, kBlockname, kBlockfile, {"WFILE", Dash::output}}},
     .flags = kFlagJson | kChoosing | kFlagKeepOffsets,
     .kind_word = "merge",
     .steps = step_bit(Step::load) | step_bit(Step::replace) | step_bit(Step::write),
     .error_line = "Merge flash file error with ",
     .run = run_merge_several,
     .help = "merge several block files in one rebuild; write the new image to WFILE",
     .more = "The merge of the four-argument form, for several blocks at once; with --json, a\n"
             "document says what was written where and each block's new place.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--unpack",
     .operands = {{kFlashfile, {"DIR"}}},
     .flags = kFlagJson,
     .kind_word = "unpack",
     .steps = step_bit(Step::load) | step_bit(Step::unpack),
     .run = run_unpack,
     .help = "write every block to DIR/NN-NAME.bin and a manifest to DIR/manifest.json",
     .more = "DIR must not exist, or be empty; it is written whole or not at all.",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--repack",
     .operands = {{kFlashfile, {"DIR"}, {"WFILE", Dash::output, false, false, kFlagDryRun}}},
     .flags = kFlagDryRun | kFormats | kFlagKeepOffsets,
     .kind_word = "repack",
     .steps = step_bit(Step::load) | step_bit(Step::manifest) | step_bit(Step::replace) |
              step_bit(Step::write),
     .run = run_repack,
     .help = "merge the block files changed since DIR was unpacked into FLASHFILE",
     .more = "A three-way merge: each block against its file at the unpack (the manifest), its\n"
             "file now, and FLASHFILE's block; FLASHFILE's own changes stay, and a block\n"
             "changed on both sides stops the repack. With --dry-run, each block's verdict and\n"
             "what the merge would change; nothing is written (--svg goes with --dry-run).",
     .exit_status = kLoadFailsOne},
    {.kind = CommandKind::option,
     .option = "--diff",
     .operands = {{{"FLASHFILE_A", Dash::input}, {"FLASHFILE_B", Dash::input}}},
     .flags = kFormats,
     .kind_word = "diff",
     .steps = step_bit(Step::load),
     .run = run_diff,
     .help = "compare two images' tables, blocks and other bytes",
     .more = "Tables are paired by position, and a table that moved by its blocks' ids and\n"
             "names; blocks by slot, or by id and name in a table that moved. For each block\n"
             "that differs: its entry's fields, and how many bytes differ where.",
     .exit_status = "0 the images are the same; 1 they differ, or one failed to load"},
    {.kind = CommandKind::option,
     .option = "--help",
     .alias = "-h",
     .operands = {{{"COMMAND", Dash::file, false, false, Flag{0}, true}}},
     .run = run_help,
     .help = "show this help, or a command's own (its flags, exit statuses and codes)"},
    {.kind = CommandKind::option,
     .option = "--version",
     .run = run_version,
     .help = "show the name and version"},
    {.kind = CommandKind::end_of_options,
     .option = "--",
     .operands = {{{"ARGUMENTS"}}},
     .help = "take ARGUMENTS as a list or a merge even if one is named like an option"},
};

}  // namespace

std::span<const FlagRow> flag_rows() {
  return kFlags;
}

std::span<const Command> command_table() {
  return kCommands;
}

const Command* find_option(std::string_view arg) {
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::positional) continue;
    if (arg == command.option || (!command.alias.empty() && arg == command.alias)) return &command;
  }
  return nullptr;
}

bool is_option_name(std::string_view arg) {
  return find_option(arg) != nullptr ||
         std::any_of(std::begin(kFlags), std::end(kFlags),
                     [&](const FlagRow& f) { return f.name == arg; });
}

void put_synopsis(std::ostream& out, const Command& command, std::string_view indent) {
  std::vector<std::string> words{"blkswap"};
  if (command.kind != CommandKind::positional) {
    std::string word(command.option);
    if (!command.alias.empty()) word.append(", ").append(command.alias);
    words.push_back(word);
  }
  std::string group;  // the operands that repeat, shown again after their last
  for (size_t k = 0; k < command.operands.size() && !command.operands[k].name.empty(); ++k) {
    const Operand& operand = command.operands[k];
    std::string word(operand.name);
    if (operand.dash == Dash::output) word.append("|-");
    for (const FlagRow& flag : kFlags) {
      if (flag.flag == operand.instead) word.append("|").append(flag.name);
    }
    words.push_back(operand.optional ? "[" + word + "]" : word);
    if (!operand.repeats) continue;
    group.append(group.empty() ? "" : " ").append(word);
    if (k + 1 == command.operands.size() || !command.operands[k + 1].repeats) {
      words.push_back("[" + group + " ...]");
    }
  }
  unsigned shown = 0;
  for (const FlagRow& flag : kFlags) {
    if ((command.flags & flag.flag) == 0 || (shown & flag.flag) != 0) continue;
    bool instead = false;
    for (const Operand& operand : command.operands) instead |= operand.instead == flag.flag;
    if (instead) continue;
    std::string word("[");
    word.append(flag.name);
    for (const FlagRow& other : kFlags) {
      if ((flag.excludes & other.flag) != 0 && (command.flags & other.flag) != 0) {
        word.append("|").append(other.name);
        shown |= other.flag;
      }
    }
    words.push_back(word.append("]"));
  }
  size_t column = indent.size();
  out << indent;
  for (size_t w = 0; w < words.size(); ++w) {
    if (w > 0 && column + 1 + words[w].size() > 80) {
      out << '\n' << std::string(indent.size() + 6, ' ');
      column = indent.size() + 6;
    } else if (w > 0) {
      out << ' ';
      ++column;
    }
    out << words[w];
    column += words[w].size();
  }
  out << '\n';
}

}  // namespace blkswap
