// The commands blkswap knows: one table from which the dispatch and the help text come, and
// the handler of each command.
#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "cli/messages.h"
#include "image/crc.h"
#include "image/load.h"
#include "ops/diff.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "ops/report.h"
#include "ops/round_trip.h"

#ifndef BLKSWAP_VERSION
#error "BLKSWAP_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace blkswap {

namespace {

struct Streams {
  std::ostream& out;  // the data a command produces, and the list's and merge's error lines
  std::ostream& err;  // every message that says why a command failed, and every warning
  bool* wrote;        // set once a command has written its output file or folder whole
};

using Operands = std::span<const char* const>;

enum class CommandKind {
  positional,      // list and merge: chosen by the number of arguments, without an option
  option,          // chosen by its first argument
  end_of_options,  // "--": the arguments after it are a list or a merge
};

constexpr size_t kAny = SIZE_MAX;

struct Command {
  CommandKind kind;
  std::string_view option;  // the argument that selects an option command, or "--"
  std::string_view alias;   // a second spelling, or empty
  size_t min_operands = 0;  // the arguments after the option but its flags (list and merge: all)
  size_t max_operands = 0;
  unsigned flags = 0;                                       // the flags it takes (arguments.h)
  int (*run)(const Arguments& args, Streams io) = nullptr;  // none for "--"
  std::string_view synopsis;                                // the operands as the help shows them
  std::string_view help;                                    // one line
};

int run_list(const Arguments& args, Streams io);
int run_merge(const Arguments& args, Streams io);
int run_info(const Arguments& args, Streams io);
int run_verify(const Arguments& args, Streams io);
int run_extract(const Arguments& args, Streams io);
int run_dry_run(const Arguments& args, Streams io);
int run_merge_several(const Arguments& args, Streams io);
int run_unpack(const Arguments& args, Streams io);
int run_repack(const Arguments& args, Streams io);
int run_diff(const Arguments& args, Streams io);
int run_help(const Arguments& args, Streams io);
int run_version(const Arguments& args, Streams io);

constexpr unsigned kChoosing = kFlagIndex | kFlagSlot;

constexpr Command kCommands[] = {
    {CommandKind::positional, "", "", 1, 1, 0, run_list, "FLASHFILE",
     "list the blocks: one \"id:0x%x name:%s\" line each"},
    {CommandKind::positional, "", "", 4, 4, 0, run_merge, "FLASHFILE BLOCKNAME BLOCKFILE WFILE",
     "merge BLOCKFILE into the block BLOCKNAME; write the new image to WFILE"},
    {CommandKind::option, "--info", "", 1, 1, kFlagJson | kFlagKeepOffsets, run_info,
     "FLASHFILE [--json] [--keep-offsets]",
     "show the tables, and every block's place, size, checksum state and room"},
    {CommandKind::option, "--verify", "", 1, kAny, kFlagJson, run_verify,
     "FLASHFILE [FLASHFILE ...] [--json]",
     "check every stored checksum and name the stale blocks, for each image"},
    {CommandKind::option, "--extract", "", 3, 3, kChoosing, run_extract,
     "FLASHFILE BLOCKNAME OUTFILE [--index|--slot]",
     "write the bytes of the block BLOCKNAME to OUTFILE"},
    {CommandKind::option, "--dry-run", "", 3, 1 + 2 * kMaxBlocks,
     kFlagJson | kChoosing | kFlagKeepOffsets, run_dry_run,
     "FLASHFILE BLOCKNAME BLOCKFILE [BLOCKNAME BLOCKFILE ...] [--json] [--index|--slot]\n"
     "      [--keep-offsets]",
     "run the merge in memory: show what would change and be erased, write nothing"},
    {CommandKind::option, "--merge", "", 4, 2 + 2 * kMaxBlocks, kChoosing | kFlagKeepOffsets,
     run_merge_several,
     "FLASHFILE BLOCKNAME BLOCKFILE [BLOCKNAME BLOCKFILE ...] WFILE|- [--index|--slot]\n"
     "      [--keep-offsets]",
     "merge several block files in one rebuild; write the new image to WFILE (- for\n"
     "      standard output)"},
    {CommandKind::option, "--unpack", "", 2, 2, 0, run_unpack, "FLASHFILE DIR",
     "write every block to DIR/NN-NAME.bin and a manifest to DIR/manifest.json"},
    {CommandKind::option, "--repack", "", 2, 3, kFlagDryRun | kFlagJson | kFlagKeepOffsets,
     run_repack, "FLASHFILE DIR WFILE|-|--dry-run [--json] [--keep-offsets]",
     "merge the block files changed since DIR was unpacked into FLASHFILE (a three-way\n"
     "      merge: FLASHFILE's own changes stay); write the new image to WFILE, or with\n"
     "      --dry-run show each block's verdict and what would change, write nothing"},
    {CommandKind::option, "--diff", "", 2, 2, kFlagJson, run_diff,
     "FLASHFILE_A FLASHFILE_B [--json]",
     "compare two images' tables, blocks and other bytes; 1 when they differ"},
    {CommandKind::option, "--help", "-h", 0, 0, 0, run_help, "", "show this help"},
    {CommandKind::option, "--version", "", 0, 0, 0, run_version, "", "show the name and version"},
    {CommandKind::end_of_options, "--", "", 0, 0, 0, nullptr, "ARGUMENTS",
     "take ARGUMENTS as a list or a merge even if one is named like an option"},
};

const Command* find_option(std::string_view arg) {
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::positional) continue;
    if (arg == command.option || (!command.alias.empty() && arg == command.alias)) return &command;
  }
  return nullptr;
}

bool is_option_name(std::string_view arg) {
  return find_option(arg) != nullptr || is_flag_name(arg);
}

// A list or merge whose first argument could not be opened, or an argument list of no command,
// may have started with a mistyped option.
void hint_if_mistyped(const char* first, Streams io) {
  std::string_view options[std::size(kCommands)];
  size_t count = 0;
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::option) options[count++] = command.option;
  }
  hint_at_option(io.err, first, {options, count});
}

// An argument as a shell reads it back: quoted when it holds anything but plain characters.
void put_shell_word(std::ostream& out, std::string_view arg) {
  const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_./=:,+@%", c) != nullptr;
  });
  if (plain) {
    out << arg;
    return;
  }
  if (!is_printable(arg)) {  // bash's $'...', so that the line stays one line
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
    return;
  }
  out << '\'';
  for (const char c : arg) {
    if (c == '\'') {
      out << "'\\''";
    } else {
      out << c;
    }
  }
  out << '\'';
}

// A list or merge must not take an option's name for a file: a file of that name would be read,
// or written, where the person meant the option.
int refuse_option_as_file(Operands args, std::string_view name, Streams io) {
  io.err << "blkswap: '" << name
         << "' is an option's name, not a file: options come first (see 'blkswap --help'); for a "
            "file of that name: blkswap --";
  for (const char* arg : args) {
    io.err << ' ';
    put_shell_word(io.err, arg);
  }
  io.err << '\n';
  return kExitUsage;
}

// List and merge, chosen by the number of arguments alone; any other number gets the usage text.
int dispatch_positional(Operands args, Streams io, bool names_checked) {
  for (const Command& command : kCommands) {
    if (command.kind != CommandKind::positional || args.size() != command.min_operands) continue;
    if (names_checked) {
      for (const char* arg : args) {
        if (is_option_name(arg)) return refuse_option_as_file(args, arg, io);
      }
    }
    Arguments taken;
    taken.operands.assign(args.begin(), args.end());
    return command.run(taken, io);
  }
  io.out << kUsageText;
  if (names_checked && !args.empty()) hint_if_mistyped(args[0], io);
  return kExitUsage;
}

// "wrong arguments for OPTION" (unless a line before said what is wrong), then its usage.
int report_usage_error(std::string_view option, Streams io, std::string_view why = {},
                       bool first_line = true) {
  const Command* command = find_option(option);
  if (first_line) {
    io.err << "blkswap: wrong arguments for " << option;
    if (!why.empty()) io.err << ": " << why;
    io.err << "\n";
  }
  if (command != nullptr) {
    io.err << "Usage: blkswap " << option;
    if (!command->synopsis.empty()) io.err << ' ' << command->synopsis;
    io.err << '\n';
  }
  io.err << "Try 'blkswap --help' for more.\n";
  return kExitUsage;
}

// The option commands' "-": standard input as an input, which can be read once, and standard
// output as --extract's OUTFILE.
const char* stream_or_file(const char* operand) {
  return std::string_view(operand) == "-" ? kStandardStream : operand;
}
bool reads_standard_input_twice(std::span<const char* const> inputs) {
  return std::count_if(inputs.begin(), inputs.end(),
                       [](const char* a) { return std::string_view(a) == "-"; }) > 1;
}

// FLASHFILE, then BLOCKNAME BLOCKFILE pairs up to `pairs_end`: the flash file and the block files
// as inputs. False when more than one of them is standard input.
bool take_merge_inputs(std::vector<const char*>& operands, size_t pairs_end) {
  std::vector<const char*> inputs{operands[0]};
  for (size_t k = 2; k < pairs_end; k += 2) inputs.push_back(operands[k]);
  if (reads_standard_input_twice(inputs)) return false;
  operands[0] = stream_or_file(operands[0]);
  for (size_t k = 2; k < pairs_end; k += 2) operands[k] = stream_or_file(operands[k]);
  return true;
}

// Loads `file` into a new image; no_memory when not even the image's records can be had.
LoadCode load_new_image(const char* file, std::unique_ptr<FlashImage>& image,
                        LoadFailure* why = nullptr) {
  image = allocate_flash_image();
  return image ? load_image(*image, file, why) : LoadCode::no_memory;
}

// What a report of a failure says, without the lead and the line's end: the message of a JSON
// document.
template <typename Report>
std::string message_of(Report report) {
  std::ostringstream text;
  report(MessageTo{text, ""});
  std::string message = text.str();
  if (!message.empty() && message.back() == '\n') message.pop_back();
  return message;
}

// Says why an option command failed: one line on standard error and, with --json, a document
// on standard output that says the same. `file` names the image in the document, when a
// command reads several.
template <typename Report>
int say_why(Streams io, bool json, Step step, int number, Report report,
            const char* file = nullptr) {
  report(MessageTo{io.err});
  if (json) print_error_json(io.out, {step_word(step), number, message_of(report)}, file);
  return kExitFailed;
}

// What the command says should a file it maps change size under it (a read of the pages that
// went would end the process by a signal): standard output's `line` (the list's or merge's
// error line, or nothing), or with --json the error document; and why, on standard error. As
// for a file that cannot be read whole.
template <typename Report>
void expect_changed_size(const char* file, bool json, std::string_view line, Step step, int number,
                         Report report) {
  std::ostringstream out, err;
  report(MessageTo{err});
  if (json) {
    print_error_json(out, {step_word(step), number, message_of(report)});
  } else {
    out << line;
  }
  set_changed_size_report(file, out.str(), err.str());
}

// For the flash file, which loading reads.
void expect_flash_file_change(const char* file, Kind kind, bool json, std::string_view line = {}) {
  const LoadFailure changed{.error = kChangedSize};
  expect_changed_size(
      file, json, line, Step::load, load_code_number(kind, LoadCode::cannot_open),
      [&](MessageTo to) { report_load_failure(to, kind, file, LoadCode::cannot_open, changed); });
}

// For a block file (`file`; null: any file of DIR, `label`), whose taking in reads it.
void expect_block_file_change(const FlashImage& image, const char* file, const char* label,
                              Kind kind, bool json, std::string_view line = {}) {
  const ReplaceFailure changed{.error = kChangedSize};
  expect_changed_size(file, json, line, Step::replace,
                      code_number(step_code(ReplaceCode::short_read)), [&](MessageTo to) {
                        report_replace_failure(to, kind, image, label, label,
                                               ReplaceCode::short_read, changed);
                      });
}

void report_no_memory_for_document(Streams io, Kind kind) {
  report_refusal({io.err}, kind, "--json", "not enough memory for the JSON document",
                 step_code(LoadCode::no_memory));
}

BlockChoice choice_of(const Arguments& args) {
  if (args.has(kFlagIndex)) return BlockChoice::index;
  return args.has(kFlagSlot) ? BlockChoice::slot : BlockChoice::name_or_id;
}

MergeOptions options_of(const Arguments& args) {
  return {.keep_offsets = args.has(kFlagKeepOffsets)};
}

// The option commands' "-" as WFILE: standard output, unless that is a terminal, which no image
// is for. False (a usage error said) then.
bool take_output(const char*& wfile, std::string_view option, Streams io, int& status) {
  if (std::string_view(wfile) != "-") return true;
  if (standard_output_is_terminal()) {
    status = report_usage_error(option, io,
                                "WFILE - is standard output, which is a terminal; redirect it to "
                                "a file or a pipe");
    return false;
  }
  wfile = kStandardStream;
  return true;
}

int run_list(const Arguments& args, Streams io) {
  const char* flashfile = args.operands[0];
  std::unique_ptr<FlashImage> image;
  LoadFailure why;
  std::ostringstream line;
  print_list_error_line(line, list_code_number(LoadCode::cannot_open));
  expect_flash_file_change(flashfile, Kind::list, false, line.str());
  const LoadCode code = load_new_image(flashfile, image, &why);
  if (code == LoadCode::ok) {
    print_block_list(*image, io.out);
    return kExitOk;
  }
  print_list_error_line(io.out, list_code_number(code));
  report_load_failure({io.err}, Kind::list, flashfile, code, why);
  if (code == LoadCode::cannot_open) hint_if_mistyped(flashfile, io);
  return kExitFailed;
}

// A merge as every command that merges or rehearses one runs it: the image as loaded, the new
// bytes of the blocks it replaces, the plan and the merged image composed from it.
struct MergeRun {
  std::unique_ptr<FlashImage> image;
  Replacements replacements;
  MergePlan plan;
  Composed composed;
  // The checksums of the blocks as loaded, when a step before the plan took them already.
  std::optional<BlockChecksums> loaded_checksums;
  MergeOptions options;
  DraftPtr draft;  // WFILE's head start, when it has one
};

// Loads FLASHFILE into `image` for a command that writes `wfile` from it (null: none), whose
// `draft` then gets a head start: the flash file copied into WFILE's temporary file while the
// merge is planned.
LoadCode load_for_output(const char* flashfile, const char* wfile,
                         std::unique_ptr<FlashImage>& image, DraftPtr& draft, LoadFailure* why) {
  image = allocate_flash_image();
  if (!image) return LoadCode::no_memory;
  FileContents contents;
  const LoadCode read = read_image_file(flashfile, contents, why);
  if (read != LoadCode::ok) return read;
  if (wfile != nullptr && wfile[0] != '\0') draft = start_draft(wfile, contents.bytes);
  return load_image_contents(*image, std::move(contents), why);
}

// The checksums of the blocks as loaded are taken on two threads, before the plan needs them.
bool plan_run(MergeRun& run) {
  if (!run.loaded_checksums) run.loaded_checksums = block_checksums(*run.image);
  return plan_merge(*run.image, run.replacements, run.plan, run.options,
                    run.loaded_checksums ? &*run.loaded_checksums : nullptr);
}

// Plans the merge and writes the merged image to `wfile`, then says on standard error what it
// changed that nobody asked for; a failure says why on standard error.
bool write_merged(MergeRun& run, const char* flashfile, const char* wfile, Kind kind, Streams io,
                  WriteCode& written) {
  MergeRefusal refusal;
  WriteFailure why;
  std::array<uint32_t, kMaxBlocks> checksums{};
  if (wfile[0] == '\0') {
    written = WriteCode::empty_name;
  } else if (!plan_run(run)) {
    written = WriteCode::does_not_fit;
    refusal = run.plan.refusal;
  } else {
    written = write_merged_image(*run.image, run.plan, wfile, run.replacements, &refusal, &why,
                                 &checksums, run.draft.get());
  }
  if (written == WriteCode::ok) {
    *io.wrote = wfile != kStandardStream;
    put_merge_warnings(io.err, "blkswap: warning: ", *run.image,
                       merge_warnings(*run.image, run.plan, checksums));
    return true;
  }
  if (written == WriteCode::does_not_fit || written == WriteCode::no_memory) {
    report_rebuild_failure({io.err}, kind, *run.image, flashfile, written, refusal);
  } else {
    report_write_failure({io.err}, kind, "WFILE", wfile, written, why);
  }
  return false;
}

// Adds the block file of every BLOCKNAME BLOCKFILE pair to the run's replacements. On failure,
// `failed` is the place of the pair's first argument.
ReplaceCode take_pairs(MergeRun& run, Operands pairs, BlockChoice how, ReplaceFailure& why,
                       size_t& failed, bool json = false) {
  std::ostringstream line;
  if (!json) print_merge_error_line(line, code_number(step_code(ReplaceCode::short_read)));
  for (failed = 0; failed + 1 < pairs.size(); failed += 2) {
    why = ReplaceFailure{};
    expect_block_file_change(*run.image, pairs[failed + 1], pairs[failed + 1], Kind::merge, json,
                             line.str());
    const ReplaceCode replaced = replace_block(*run.image, pairs[failed], pairs[failed + 1],
                                               run.replacements, &why, how, run.options);
    if (replaced != ReplaceCode::ok) return replaced;
  }
  return ReplaceCode::ok;
}

// The merge of one or more pairs: FLASHFILE, then BLOCKNAME BLOCKFILE pairs, then WFILE. A
// failure prints the merge's line on standard output and says why on standard error.
int merge_blocks(Operands operands, const char* wfile, BlockChoice how, const MergeOptions& options,
                 bool hint, Streams io) {
  const char* flashfile = operands[0];
  MergeRun run;
  run.options = options;
  LoadFailure load_failure;
  std::ostringstream line;
  print_merge_error_line(line, code_number(step_code(LoadCode::cannot_open)));
  expect_flash_file_change(flashfile, Kind::merge, false, line.str());
  const LoadCode loaded = load_for_output(flashfile, wfile, run.image, run.draft, &load_failure);
  if (loaded != LoadCode::ok) {
    print_merge_error_line(io.out, code_number(step_code(loaded)));
    report_load_failure({io.err}, Kind::merge, flashfile, loaded, load_failure);
    if (hint && loaded == LoadCode::cannot_open) hint_if_mistyped(flashfile, io);
    return kExitFailed;
  }
  ReplaceFailure why;
  size_t failed = 0;
  const Operands pairs = operands.subspan(1, operands.size() - 2);
  const ReplaceCode replaced = take_pairs(run, pairs, how, why, failed);
  if (replaced != ReplaceCode::ok) {
    print_merge_error_line(io.out, code_number(merge_step_code(replaced, wfile)));
    report_replace_failure({io.err}, Kind::merge, *run.image, pairs[failed], pairs[failed + 1],
                           replaced, why);
    return kExitFailed;
  }
  WriteCode written = WriteCode::ok;
  if (write_merged(run, flashfile, wfile, Kind::merge, io, written)) return kExitOk;
  print_merge_error_line(io.out, code_number(step_code(written)));
  return kExitFailed;
}

int run_merge(const Arguments& args, Streams io) {
  return merge_blocks(args.operands, args.operands.back(), BlockChoice::name_or_id, {}, true, io);
}

// Loads `file` for an option command; on failure says why, with `kind`'s code. A command that
// writes `wfile` from it gives `draft` for its head start.
std::unique_ptr<FlashImage> load_or_say_why(const char* file, Kind kind, Streams io,
                                            bool json = false, const char* label = nullptr,
                                            const char* wfile = nullptr,
                                            DraftPtr* draft = nullptr) {
  std::unique_ptr<FlashImage> image;
  LoadFailure why;
  expect_flash_file_change(file, kind, json);
  DraftPtr ignored;
  const LoadCode code =
      load_for_output(file, wfile, image, draft != nullptr ? *draft : ignored, &why);
  if (code == LoadCode::ok) return image;
  say_why(
      io, json, Step::load, load_code_number(kind, code),
      [&](MessageTo to) { report_load_failure(to, kind, file, code, why); }, label);
  return nullptr;
}

int run_info(const Arguments& args, Streams io) {
  const bool json = args.has(kFlagJson);
  const std::unique_ptr<FlashImage> image =
      load_or_say_why(stream_or_file(args.operands[0]), Kind::list, io, json);
  if (!image) return kExitFailed;
  if (!json) {
    print_image_info(*image, io.out, options_of(args));
  } else if (!print_image_info_json(*image, io.out, options_of(args))) {
    report_no_memory_for_document(io, Kind::list);
    return kExitFailed;
  }
  return kExitOk;
}

// Each image in turn, so that only one is held at a time; the status is the worst of them.
int run_verify(const Arguments& args, Streams io) {
  const bool json = args.has(kFlagJson);
  if (reads_standard_input_twice(args.operands)) {
    return report_usage_error("--verify", io, "standard input can be read only once");
  }
  const bool several = args.operands.size() > 1;
  int status = kExitOk;
  for (const char* file : args.operands) {
    const char* label = several ? file : nullptr;
    const std::unique_ptr<FlashImage> image =
        load_or_say_why(stream_or_file(file), Kind::list, io, json, label);
    size_t stale = 0;
    if (!image) {
      status = kExitFailed;
    } else if (!json) {
      stale = verify_checksums(*image, io.out, label == nullptr ? "" : label);
    } else if (!print_verify_json(*image, io.out, stale, label)) {
      report_no_memory_for_document(io, Kind::list);
      status = kExitFailed;
    }
    if (stale > 0) status = kExitFailed;
  }
  return status;
}

// --extract gives the merge's codes for the same faults.
int run_extract(const Arguments& args, Streams io) {
  const char* flashfile = stream_or_file(args.operands[0]);
  const char* blockname = args.operands[1];
  const char* outfile = stream_or_file(args.operands[2]);
  const std::unique_ptr<FlashImage> image = load_or_say_why(flashfile, Kind::extract, io);
  if (!image) return kExitFailed;
  // The merge may write over its flash file, which it has read whole; a block written over
  // the image it comes from would leave one block where the image was.
  if (outfile != kStandardStream && outfile[0] != '\0' && names_the_flash_file(*image, outfile)) {
    report_refusal({io.err}, Kind::extract, outfile,
                   "is the flash file itself; refusing to write one block over it",
                   step_code(WriteCode::cannot_create));
    return kExitFailed;
  }
  if (blockname[0] == '\0') {
    report_refusal({io.err}, Kind::extract, blockname, "BLOCKNAME is an empty argument",
                   step_code(ReplaceCode::empty_argument));
    return kExitFailed;
  }
  if (outfile[0] == '\0') {
    report_write_failure({io.err}, Kind::extract, "OUTFILE", outfile, WriteCode::empty_name, {});
    return kExitFailed;
  }
  const BlockChoice how = choice_of(args);
  const int index = find_block(*image, blockname, how);
  if (index == kNoBlock) {
    report_replace_failure({io.err}, Kind::extract, *image, blockname, outfile,
                           ReplaceCode::no_match, {.choice = how});
    return kExitFailed;
  }
  WriteFailure why;
  const WriteCode written =
      write_code(extract_block(*image, static_cast<size_t>(index), outfile, &why));
  if (written == WriteCode::ok) return kExitOk;
  report_write_failure({io.err}, Kind::extract, "OUTFILE", outfile, written, why);
  return kExitFailed;
}

// A dry run that finds the merge would fail says why twice: under its table, where the block
// at fault is marked, and on standard error; then it prints the merge's own line. With --json
// its document takes the table's place and carries the reason.
constexpr std::string_view kWouldFail = "The merge would fail: ";

struct DryRunOutput {
  Streams io;
  bool json;

  // Prints what the dry run found (`image` is null when it did not load) and, when `number`
  // is a failure's, why, with `why`.
  template <typename Report>
  int finish(const FlashImage* image, const DryRun& report, Step step, int number,
             Report why) const {
    bool printed = true;
    if (json) {
      const ErrorNote note{step_word(step), number, number != 0 ? message_of(why) : ""};
      printed = print_dry_run_json(image, report, number, io.out, number != 0 ? &note : nullptr);
    } else if (image != nullptr) {
      print_dry_run(*image, report, io.out);
    }
    if (number != 0) {
      if (!json) {
        why(MessageTo{io.out, kWouldFail});
        // A repack's own steps (its folder) are no step of the merge.
        if (step != Step::manifest) print_merge_error_line(io.out, number);
      }
      why(MessageTo{io.err});
      return kExitFailed;
    }
    if (!printed) {
      report_no_memory_for_document(io, Kind::merge);
      return kExitFailed;
    }
    if (!json) io.out << "The merge would succeed. Nothing was written.\n";
    return kExitOk;
  }
};

// Plans the run's merge and composes it in memory, in full, so that a lack of memory shows here
// as it would in the merge; prints what it found, and the warnings the merge would give.
int rehearse(MergeRun& run, const char* flashfile, const DryRunOutput& output,
             const RepackReport* repack = nullptr) {
  const FlashImage& image = *run.image;
  WriteCode composed = WriteCode::does_not_fit;
  if (plan_run(run)) {
    composed = compose(image, run.plan, run.composed);
  }
  const MergeRefusal& refusal = run.plan.holds() ? run.composed.refusal : run.plan.refusal;
  DryRun report{&run.plan, composed == WriteCode::ok ? &run.composed : nullptr, kNoBlock};
  MergeWarnings warnings;
  if (composed == WriteCode::ok) {
    warnings = merge_warnings(image, run.plan, run.composed.checksums);
    report.warnings = &warnings;
  }
  report.repack = repack;
  if (composed == WriteCode::does_not_fit) {
    report.at_fault = static_cast<int>(refusal.block);
  }
  const int number = composed == WriteCode::ok ? 0 : code_number(step_code(composed));
  return output.finish(&image, report, Step::write, number, [&](MessageTo to) {
    report_rebuild_failure(to, Kind::merge, image, flashfile, composed, refusal);
  });
}

int run_dry_run(const Arguments& args, Streams io) {
  std::vector<const char*> operands = args.operands;
  if (operands.size() % 2 == 0) return report_usage_error("--dry-run", io);
  if (!take_merge_inputs(operands, operands.size())) {
    return report_usage_error("--dry-run", io, "standard input can be read only once");
  }
  const char* flashfile = operands[0];
  const DryRunOutput output{io, args.has(kFlagJson)};
  MergeRun run;
  run.options = options_of(args);
  LoadFailure load_failure;
  std::ostringstream line;
  if (!output.json) print_merge_error_line(line, code_number(step_code(LoadCode::cannot_open)));
  expect_flash_file_change(flashfile, Kind::merge, output.json, line.str());
  const LoadCode loaded = load_new_image(flashfile, run.image, &load_failure);
  if (loaded != LoadCode::ok) {
    return output.finish(nullptr, {}, Step::load, code_number(step_code(loaded)),
                         [&](MessageTo to) {
                           report_load_failure(to, Kind::merge, flashfile, loaded, load_failure);
                         });
  }
  const Operands pairs = Operands(operands).subspan(1);
  ReplaceFailure why;
  size_t failed = 0;
  const ReplaceCode replaced = take_pairs(run, pairs, choice_of(args), why, failed, output.json);
  if (replaced != ReplaceCode::ok) {
    const StepCode code = merge_step_code(replaced, nullptr);
    return output.finish(run.image.get(), {nullptr, nullptr, why.block}, code.step,
                         code_number(code), [&](MessageTo to) {
                           report_replace_failure(to, Kind::merge, *run.image, pairs[failed],
                                                  pairs[failed + 1], replaced, why);
                         });
  }
  return rehearse(run, flashfile, output);
}

// --merge: the merge with several pairs.
int run_merge_several(const Arguments& args, Streams io) {
  if (args.operands.size() % 2 != 0) return report_usage_error("--merge", io);
  std::vector<const char*> operands = args.operands;
  if (!take_merge_inputs(operands, operands.size() - 1)) {
    return report_usage_error("--merge", io, "standard input can be read only once");
  }
  const char* wfile = operands.back();
  int status = kExitOk;
  if (!take_output(wfile, "--merge", io, status)) return status;
  return merge_blocks(operands, wfile, choice_of(args), options_of(args), false, io);
}

int run_unpack(const Arguments& args, Streams io) {
  const char* flashfile = stream_or_file(args.operands[0]);
  const char* dir = args.operands[1];
  const std::unique_ptr<FlashImage> image = load_or_say_why(flashfile, Kind::unpack, io);
  if (!image) return kExitFailed;
  UnpackFailure why;
  const UnpackCode unpacked = unpack_image(*image, dir, &why);
  if (unpacked != UnpackCode::ok) {
    report_unpack_failure({io.err}, dir, unpacked, why);
    return kExitFailed;
  }
  *io.wrote = true;
  io.out << "unpacked " << image->block_count << " blocks and " << kManifestName << " into ";
  put_printable(io.out, dir);
  io.out << '\n';
  return kExitOk;
}

// --repack FLASHFILE DIR WFILE, or FLASHFILE DIR --dry-run [--json] to rehearse it: each block
// judged against what its file held at the unpack (the manifest), its file now and FLASHFILE's.
int run_repack(const Arguments& args, Streams io) {
  const bool dry_run = args.has(kFlagDryRun);
  const bool json = args.has(kFlagJson);
  if (json && !dry_run) return report_usage_error("--repack", io, "--json goes with --dry-run");
  if (args.operands.size() != (dry_run ? 2u : 3u)) return report_usage_error("--repack", io);
  const char* wfile = dry_run ? "" : args.operands[2];
  int status = kExitOk;
  if (!take_output(wfile, "--repack", io, status)) return status;
  const char* flashfile = stream_or_file(args.operands[0]);
  const char* dir = args.operands[1];
  MergeRun run;
  run.options = options_of(args);
  run.image = load_or_say_why(flashfile, Kind::repack, io, json, nullptr, wfile, &run.draft);
  if (!run.image) return kExitFailed;
  ManifestFailure manifest_failure;
  UnpackedBlocks unpacked;
  run.loaded_checksums = block_checksums(*run.image);
  const ManifestCode checked =
      check_manifest(*run.image, *run.loaded_checksums, dir, &manifest_failure, &unpacked);
  if (checked != ManifestCode::ok) {
    return say_why(io, json, Step::manifest, code_number(step_code(checked)), [&](MessageTo to) {
      report_manifest_failure(to, dir, checked, manifest_failure);
    });
  }
  RepackFailure why;
  RepackVerdicts verdicts;
  expect_block_file_change(*run.image, nullptr, dir, Kind::repack, json);
  const ReplaceCode taken = take_changed_blocks(*run.image, *run.loaded_checksums, unpacked, dir,
                                                run.replacements, verdicts, &why, run.options);
  if (taken != ReplaceCode::ok) {
    const StepCode code = merge_step_code(taken, nullptr);
    return say_why(io, json, code.step, code_number(code), [&](MessageTo to) {
      report_replace_failure(to, Kind::repack, *run.image, why.file.c_str(), why.file.c_str(),
                             taken, why.replace);
    });
  }
  const RepackReport repack{&verdicts, &unpacked, &*run.loaded_checksums,
                            flashfile == kStandardStream ? "standard input" : flashfile};
  if (verdicts.of(Verdict::conflict) > 0) {
    auto report = [&](MessageTo to) { report_repack_conflict(to, dir, *run.image, repack); };
    const int number = code_number(step_code(ManifestCode::conflict));
    if (!dry_run) return say_why(io, json, Step::manifest, number, report);
    return DryRunOutput{io, json}.finish(run.image.get(), {.repack = &repack}, Step::manifest,
                                         number, report);
  }
  if (dry_run) return rehearse(run, flashfile, DryRunOutput{io, json}, &repack);
  WriteCode written = WriteCode::ok;
  if (!write_merged(run, flashfile, wfile, Kind::repack, io, written)) return kExitFailed;
  // The image itself may be what standard output carries.
  std::ostream& summary = wfile == kStandardStream ? io.err : io.out;
  summary << "repacked " << run.image->block_count << " blocks into ";
  put_printable(summary, wfile == kStandardStream ? "standard output" : wfile);
  if (run.image->block_count > 0) summary << ": ";
  put_repack_counts(summary, repack);
  summary << '\n';
  return kExitOk;
}

int run_diff(const Arguments& args, Streams io) {
  const bool json = args.has(kFlagJson);
  if (reads_standard_input_twice(args.operands)) {
    return report_usage_error("--diff", io, "standard input can be read only once");
  }
  std::unique_ptr<FlashImage> images[2];
  for (size_t k = 0; k < 2; ++k) {
    images[k] = load_or_say_why(stream_or_file(args.operands[k]), Kind::diff, io, json);
    if (!images[k]) return kExitFailed;
  }
  ImageComparison comparison;
  compare_images(*images[0], *images[1], comparison);
  if (!json) {
    print_comparison(*images[0], *images[1], comparison, io.out);
  } else if (!print_comparison_json(*images[0], *images[1], comparison, io.out)) {
    report_no_memory_for_document(io, Kind::diff);
    return kExitFailed;
  }
  return comparison.identical ? kExitOk : kExitFailed;
}

constexpr std::string_view kAfterCommands =
    "\n"
    "BLOCKNAME chooses the first block, in block order, whose name equals it (at\n"
    "most eight characters are compared) or whose id (one byte) equals it read\n"
    "whole as a hexadecimal number (a4, 0xA4). With --index or --slot it chooses\n"
    "by place instead, which no name can be taken for. A merge places each table's\n"
    "blocks again: slot 0 keeps its offset, each later slot starts where the one\n"
    "before ends, ids 0xA4 and 0xA8 round their offset from the table up to 64 KiB,\n"
    "and the last block must end strictly before the image's end. WFILE and OUTFILE\n"
    "are replaced safely: a failure leaves them as they were. What a merge changes\n"
    "beyond the blocks given (bytes erased after the last table with blocks, the\n"
    "header of a table without entries, a stale checksum made true) it says on\n"
    "standard error, one \"blkswap: warning:\" line per kind; it still exits 0.\n"
    "\n"
    "The options' flags may stand anywhere after the option; \"--\" ends them. In\n"
    "the option commands, \"-\" as FLASHFILE or BLOCKFILE reads standard input, and\n"
    "as OUTFILE, or the WFILE of --merge and --repack, writes standard output. The\n"
    "list and the merge take every argument for a file, but refuse one named like an\n"
    "option: put \"--\" first for that.\n"
    "\n"
    "Exit status, the same for every command:\n"
    "  0  success; for a check, nothing found: --verify: every checksum holds;\n"
    "     --diff: the images are the same; --dry-run: the merge would succeed\n"
    "  1  the command failed and said why on standard error (with --json, also in\n"
    "     its document); or a check found something: --verify: a stale checksum;\n"
    "     --diff: the images differ; --dry-run: the merge would fail\n"
    "  2  wrong arguments; nothing was read or written\n"
    "\n";

void print_command(const Command& command, std::ostream& out) {
  out << "  blkswap";
  if (command.kind != CommandKind::positional) out << ' ' << command.option;
  if (!command.alias.empty()) out << ", " << command.alias;
  if (!command.synopsis.empty()) out << ' ' << command.synopsis;
  out << "\n      " << command.help << '\n';
}

int run_help(const Arguments&, Streams io) {
  io.out << kUsageText << "\nCommands:\n";
  for (const Command& command : kCommands) print_command(command, io.out);
  io.out << "\nFlags:\n";
  for (const FlagName& flag : flag_names()) {
    io.out << "  " << flag.name << "\n      " << flag.help << '\n';
  }
  io.out << kAfterCommands;
  print_code_help(io.out);
  io.out << "\nSee blkswap(1) for the image format and examples.\n";
  return kExitOk;
}

int run_version(const Arguments&, Streams io) {
  io.out << "blkswap " BLKSWAP_VERSION "\n";
  return kExitOk;
}

int dispatch_command(Operands args, Streams io) {
  const Command* command = args.empty() || args[0] == nullptr ? nullptr : find_option(args[0]);
  if (command == nullptr) return dispatch_positional(args, io, true);
  if (command->kind == CommandKind::end_of_options) {
    return dispatch_positional(args.subspan(1), io, false);
  }
  Arguments parsed;
  if (!split_arguments(args[0], command->flags, args.subspan(1), parsed, io.err)) {
    return report_usage_error(args[0], io, {}, false);
  }
  if ((parsed.flags & kChoosing) == kChoosing) {
    return report_usage_error(args[0], io, "--index and --slot exclude each other");
  }
  const size_t count = parsed.operands.size();
  if (count < command->min_operands || count > command->max_operands) {
    return report_usage_error(args[0], io);
  }
  return command->run(parsed, io);
}

}  // namespace

void print_bash_completion(std::ostream& out) {
  out << "# bash completion for blkswap, made from its command table when it was built.\n"
         "_blkswap() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} flags=\"\" i\n"
         "  # After \"--\" every word is a file.\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    if [[ ${COMP_WORDS[i]} == -- ]]; then\n"
         "      COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "      return\n"
         "    fi\n"
         "  done\n"
         "  if ((COMP_CWORD == 1)) && [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"";
  const char* space = "";
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::positional) continue;
    out << space << command.option;
    if (!command.alias.empty()) out << ' ' << command.alias;
    space = " ";
  }
  out << "\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case ${COMP_WORDS[1]} in\n";
  for (const Command& command : kCommands) {
    if (command.flags == 0) continue;
    out << "    " << command.option << ") flags=\"";
    space = "";
    for (const FlagName& flag : flag_names()) {
      if ((command.flags & flag.flag) == 0) continue;
      out << space << flag.name;
      space = " ";
    }
    out << "\" ;;\n";
  }
  out << "  esac\n"
         "  if [[ $cur == -?* && -n $flags ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$flags\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _blkswap blkswap\n";
}

int run_command(std::span<const char* const> args, std::ostream& out, std::ostream& err,
                bool* wrote) {
  build_crc_table();
  // The standard library and the JSON library report a lack of memory by throwing; the commands
  // catch it where they build their larger documents. Anywhere else (a path, a message) it still
  // ends as the no-memory code, never as an abort.
  try {
    bool ignored = false;
    forget_changed_size_reports();
    return dispatch_command(args, Streams{out, err, wrote != nullptr ? wrote : &ignored});
  } catch (const std::bad_alloc&) {
    const int code = code_number(step_code(LoadCode::no_memory));
    if (!args.empty() && args[0] != nullptr && find_option(args[0]) == nullptr) {
      if (args.size() == 1) print_list_error_line(out, code);
      if (args.size() == 4) print_merge_error_line(out, code);
    }
    err << "blkswap: not enough memory to go on (error " << code << ")\n";
    return kExitFailed;
  }
}

}  // namespace blkswap
