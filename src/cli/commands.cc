// The commands blkswap knows: one table from which the dispatch and the help text come, and
// the handler of each command.
#include "cli/commands.h"

#include <memory>
#include <new>
#include <optional>
#include <string_view>

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
  std::ostream& err;  // the error messages of the option commands
};

using Operands = std::span<const char* const>;

enum class CommandKind {
  positional,      // list and merge: chosen by the number of arguments, without an option
  option,          // chosen by its first argument
  end_of_options,  // "--": the arguments after it are a list or a merge
};

struct Command {
  CommandKind kind;
  std::string_view option;  // the argument that selects an option command, or "--"
  std::string_view alias;   // a second spelling, or empty
  size_t min_operands = 0;  // the arguments after the option (for list and merge, all of them)
  size_t max_operands = 0;
  int (*run)(Operands operands, Streams io) = nullptr;  // none for "--"
  std::string_view synopsis;                            // the operands as the help shows them
  std::string_view help;                                // one line
};

int run_list(Operands operands, Streams io);
int run_merge(Operands operands, Streams io);
int run_info(Operands operands, Streams io);
int run_verify(Operands operands, Streams io);
int run_extract(Operands operands, Streams io);
int run_dry_run(Operands operands, Streams io);
int run_merge_several(Operands operands, Streams io);
int run_unpack(Operands operands, Streams io);
int run_repack(Operands operands, Streams io);
int run_diff(Operands operands, Streams io);
int run_help(Operands operands, Streams io);
int run_version(Operands operands, Streams io);

constexpr Command kCommands[] = {
    {CommandKind::positional, "", "", 1, 1, run_list, "FLASHFILE",
     "list the blocks: one \"id:0x%x name:%s\" line each"},
    {CommandKind::positional, "", "", 4, 4, run_merge, "FLASHFILE BLOCKNAME BLOCKFILE WFILE",
     "merge BLOCKFILE into the block BLOCKNAME; write the new image to WFILE"},
    {CommandKind::option, "--info", "", 1, 2, run_info, "FLASHFILE [--json]",
     "show the tables, and every block's place, size, checksum state and room"},
    {CommandKind::option, "--verify", "", 1, 2, run_verify, "FLASHFILE [--json]",
     "check every stored checksum and name the stale blocks"},
    {CommandKind::option, "--extract", "", 3, 3, run_extract, "FLASHFILE BLOCKNAME OUTFILE",
     "write the bytes of the block BLOCKNAME to OUTFILE"},
    {CommandKind::option, "--dry-run", "", 3, 2 + 2 * kMaxBlocks, run_dry_run,
     "FLASHFILE BLOCKNAME BLOCKFILE [BLOCKNAME BLOCKFILE ...] [--json]",
     "run the merge in memory: show what would change and be erased, write nothing"},
    {CommandKind::option, "--merge", "", 4, 2 + 2 * kMaxBlocks, run_merge_several,
     "FLASHFILE BLOCKNAME BLOCKFILE [BLOCKNAME BLOCKFILE ...] WFILE",
     "merge several block files in one rebuild; write the new image to WFILE"},
    {CommandKind::option, "--unpack", "", 2, 2, run_unpack, "FLASHFILE DIR",
     "write every block to DIR/NN-NAME.bin and a manifest to DIR/manifest.json"},
    {CommandKind::option, "--repack", "", 3, 4, run_repack,
     "FLASHFILE DIR WFILE|--dry-run [--json]",
     "merge the changed block files of an unpacked DIR; write the new image to WFILE,\n"
     "      or with --dry-run show what the repack would change, write nothing"},
    {CommandKind::option, "--diff", "", 2, 3, run_diff, "FLASHFILE_A FLASHFILE_B [--json]",
     "compare two images' tables, blocks and other bytes; 1 when they differ"},
    {CommandKind::option, "--help", "-h", 0, 0, run_help, "", "show this help"},
    {CommandKind::option, "--version", "", 0, 0, run_version, "", "show the name and version"},
    {CommandKind::end_of_options, "--", "", 0, 0, nullptr, "ARGUMENTS",
     "take ARGUMENTS as a list or a merge even if the first is an option"},
};

const Command* find_option(std::string_view arg) {
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::positional) continue;
    if (arg == command.option || (!command.alias.empty() && arg == command.alias)) return &command;
  }
  return nullptr;
}

// List and merge, chosen by the number of arguments alone; any other number gets the usage text.
int dispatch_positional(Operands args, Streams io) {
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::positional && args.size() == command.min_operands) {
      return command.run(args, io);
    }
  }
  io.out << kUsageText;
  return kExitUsage;
}

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

// A list or merge whose first argument could not be opened may have been a mistyped option.
void hint_if_mistyped(const char* first, LoadCode code, Streams io) {
  if (code != LoadCode::cannot_open) return;
  std::string_view options[std::size(kCommands)];
  size_t count = 0;
  for (const Command& command : kCommands) {
    if (command.kind == CommandKind::option) options[count++] = command.option;
  }
  hint_at_option(io.err, first, {options, count});
}

// Loads `file` into a new image; no_memory when not even the image's records can be had.
LoadCode load_new_image(const char* file, std::unique_ptr<FlashImage>& image,
                        LoadFailure* why = nullptr) {
  image = allocate_flash_image();
  return image ? load_image(*image, file, why) : LoadCode::no_memory;
}

int run_list(Operands operands, Streams io) {
  std::unique_ptr<FlashImage> image;
  const LoadCode code = load_new_image(operands[0], image);
  if (code == LoadCode::ok) {
    print_block_list(*image, io.out);
    return kExitOk;
  }
  print_list_error_line(io.out, list_code_number(code));
  hint_if_mistyped(operands[0], code, io);
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
};

bool plan_run(MergeRun& run) {
  return plan_merge(*run.image, run.replacements, run.plan,
                    run.loaded_checksums ? &*run.loaded_checksums : nullptr);
}

// Plans the merge and writes the merged image to `wfile`. A write that fails says why on
// standard error; with `explain`, so does a plan or composition that fails.
bool write_merged(MergeRun& run, const char* flashfile, const char* wfile, Kind kind, bool explain,
                  Streams io, WriteCode& written) {
  MergeRefusal refusal;
  WriteFailure why;
  if (wfile[0] == '\0') {
    written = WriteCode::empty_name;
  } else if (!plan_run(run)) {
    written = WriteCode::does_not_fit;
    refusal = run.plan.refusal;
  } else {
    written = write_merged_image(*run.image, run.plan, wfile, &refusal, &why);
  }
  if (written == WriteCode::ok) return true;
  if (written == WriteCode::does_not_fit || written == WriteCode::no_memory) {
    if (explain) report_rebuild_failure({io.err}, kind, *run.image, flashfile, written, refusal);
  } else if (explain || !why.what.empty()) {
    report_write_failure({io.err}, kind, "WFILE", wfile, written, why);
  }
  return false;
}

// Adds the block file of every BLOCKNAME BLOCKFILE pair to the run's replacements. On failure,
// `failed` is the place of the pair's first argument.
ReplaceCode take_pairs(MergeRun& run, Operands pairs, ReplaceFailure& why, size_t& failed) {
  for (failed = 0; failed + 1 < pairs.size(); failed += 2) {
    why = ReplaceFailure{};
    const ReplaceCode replaced =
        replace_block(*run.image, pairs[failed], pairs[failed + 1], run.replacements, &why);
    if (replaced != ReplaceCode::ok) return replaced;
  }
  return ReplaceCode::ok;
}

// The merge of one or more pairs: FLASHFILE, then BLOCKNAME BLOCKFILE pairs, then WFILE. A
// failure prints the merge's line on standard output. A write that fails also says why on
// standard error; with `explain` (--merge) every failure does.
int merge_blocks(Operands operands, Streams io, bool explain) {
  const char* flashfile = operands[0];
  const char* wfile = operands.back();
  MergeRun run;
  LoadFailure load_failure;
  const LoadCode loaded = load_new_image(flashfile, run.image, &load_failure);
  if (loaded != LoadCode::ok) {
    if (explain) report_load_failure({io.err}, Kind::merge, flashfile, loaded, load_failure);
    print_merge_error_line(io.out, code_number(step_code(loaded)));
    if (!explain) hint_if_mistyped(flashfile, loaded, io);
    return kExitFailed;
  }
  ReplaceFailure why;
  size_t failed = 0;
  const Operands pairs = operands.subspan(1, operands.size() - 2);
  const ReplaceCode replaced = take_pairs(run, pairs, why, failed);
  if (replaced != ReplaceCode::ok) {
    if (explain) {
      report_replace_failure({io.err}, Kind::merge, *run.image, pairs[failed], pairs[failed + 1],
                             replaced, why);
    }
    print_merge_error_line(io.out, code_number(merge_step_code(replaced, wfile)));
    return kExitFailed;
  }
  WriteCode written = WriteCode::ok;
  if (write_merged(run, flashfile, wfile, Kind::merge, explain, io, written)) return kExitOk;
  print_merge_error_line(io.out, code_number(step_code(written)));
  return kExitFailed;
}

int run_merge(Operands operands, Streams io) {
  return merge_blocks(operands, io, false);
}

// Loads `file` for an option command; on failure says why on standard error, with `kind`'s code.
std::unique_ptr<FlashImage> load_or_say_why(const char* file, Kind kind, Streams io) {
  std::unique_ptr<FlashImage> image;
  LoadFailure why;
  const LoadCode code = load_new_image(file, image, &why);
  if (code == LoadCode::ok) return image;
  report_load_failure({io.err}, kind, file, code, why);
  return nullptr;
}

// Whether a command that takes `plain` operands was given --json after them; false for any other
// extra operand.
bool takes_json(Operands operands, size_t plain, bool& json) {
  json = operands.size() > plain;
  return !json || std::string_view(operands[plain]) == "--json";
}

void report_no_memory_for_document(Streams io, Kind kind) {
  report_refusal({io.err}, kind, "--json", "not enough memory for the JSON document",
                 step_code(LoadCode::no_memory));
}

int run_info(Operands operands, Streams io) {
  bool json = false;
  if (!takes_json(operands, 1, json)) return report_usage_error("--info", io);
  const std::unique_ptr<FlashImage> image = load_or_say_why(operands[0], Kind::list, io);
  if (!image) return kExitFailed;
  if (!json) {
    print_image_info(*image, io.out);
  } else if (!print_image_info_json(*image, io.out)) {
    report_no_memory_for_document(io, Kind::list);
    return kExitFailed;
  }
  return kExitOk;
}

int run_verify(Operands operands, Streams io) {
  // Verify keeps 1 for "a checksum is stale", so an image it cannot read gets 2.
  constexpr int kExitCannotVerify = 2;
  bool json = false;
  if (!takes_json(operands, 1, json)) return report_usage_error("--verify", io);
  const std::unique_ptr<FlashImage> image = load_or_say_why(operands[0], Kind::list, io);
  if (!image) return kExitCannotVerify;
  if (!json) return verify_checksums(*image, io.out) == 0 ? kExitOk : kExitFailed;
  size_t stale = 0;
  if (!print_verify_json(*image, io.out, stale)) {
    report_no_memory_for_document(io, Kind::list);
    return kExitCannotVerify;
  }
  return stale == 0 ? kExitOk : kExitFailed;
}

// --extract gives the merge's codes for the same faults.
int run_extract(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  const char* blockname = operands[1];
  const char* outfile = operands[2];
  const std::unique_ptr<FlashImage> image = load_or_say_why(flashfile, Kind::extract, io);
  if (!image) return kExitFailed;
  // The merge may write over its flash file, which it has read whole; a block written over
  // the image it comes from would leave one block where the image was.
  if (outfile[0] != '\0' && names_the_flash_file(*image, outfile)) {
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
  const int index = find_block(*image, blockname);
  if (index == kNoBlock) {
    report_replace_failure({io.err}, Kind::extract, *image, blockname, outfile,
                           ReplaceCode::no_match, {});
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
// its document takes the table's place, and standard error alone says why.
constexpr std::string_view kWouldFail = "The merge would fail: ";

// Where the dry run's reasons go: standard error, and under the table unless it prints JSON.
struct DryRunOutput {
  Streams io;
  bool json;
  template <typename Report>
  void say_why(Report report) const {
    if (!json) report(MessageTo{io.out, kWouldFail});
    report(MessageTo{io.err});
  }
  int fail(StepCode code) const {
    if (!json) print_merge_error_line(io.out, code_number(code));
    return kExitFailed;
  }
};

// Plans the run's merge and composes it in memory, in full, so that a lack of memory shows here
// as it would in the merge; prints what it found.
int rehearse(MergeRun& run, const char* flashfile, const DryRunOutput& output) {
  const Streams io = output.io;
  const FlashImage& image = *run.image;
  WriteCode composed = WriteCode::does_not_fit;
  if (plan_run(run)) {
    composed = compose(image, run.plan, run.composed);
  }
  const MergeRefusal& refusal = run.plan.holds() ? run.composed.refusal : run.plan.refusal;
  DryRun report{&run.plan, composed == WriteCode::ok ? &run.composed : nullptr, kNoBlock};
  if (composed == WriteCode::does_not_fit && refusal.fault != MergeFault::no_blocks) {
    report.at_fault = static_cast<int>(refusal.block);
  }
  const int number = composed == WriteCode::ok ? 0 : code_number(step_code(composed));
  if (output.json) {
    if (!print_dry_run_json(&image, report, number, io.out)) {
      report_no_memory_for_document(io, Kind::merge);
      return kExitFailed;
    }
  } else {
    print_dry_run(image, report, io.out);
  }
  if (composed != WriteCode::ok) {
    output.say_why([&](MessageTo to) {
      report_rebuild_failure(to, Kind::merge, image, flashfile, composed, refusal);
    });
    return output.fail(step_code(composed));
  }
  if (!output.json) io.out << "The merge would succeed. Nothing was written.\n";
  return kExitOk;
}

// Loads the flash file of a dry run; on failure says why, as a dry run says everything.
bool load_for_dry_run(MergeRun& run, const char* flashfile, const DryRunOutput& output) {
  LoadFailure load_failure;
  const LoadCode loaded = load_new_image(flashfile, run.image, &load_failure);
  if (loaded == LoadCode::ok) return true;
  if (output.json) print_dry_run_json(nullptr, {}, code_number(step_code(loaded)), output.io.out);
  output.say_why(
      [&](MessageTo to) { report_load_failure(to, Kind::merge, flashfile, loaded, load_failure); });
  output.fail(step_code(loaded));
  return false;
}

int run_dry_run(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  // FLASHFILE, the pairs, and --json when the count is even.
  const bool json = operands.size() % 2 == 0;
  if (json && std::string_view(operands.back()) != "--json") {
    return report_usage_error("--dry-run", io);
  }
  const DryRunOutput output{io, json};
  MergeRun run;
  if (!load_for_dry_run(run, flashfile, output)) return kExitFailed;
  ReplaceFailure why;
  size_t failed = 0;
  const Operands pairs = operands.subspan(1, operands.size() - 1 - (json ? 1 : 0));
  const ReplaceCode replaced = take_pairs(run, pairs, why, failed);
  if (replaced != ReplaceCode::ok) {
    const StepCode code = merge_step_code(replaced, nullptr);
    const DryRun report{nullptr, nullptr, why.block};
    if (json) {
      print_dry_run_json(run.image.get(), report, code_number(code), io.out);
    } else {
      print_dry_run(*run.image, report, io.out);
    }
    output.say_why([&](MessageTo to) {
      report_replace_failure(to, Kind::merge, *run.image, pairs[failed], pairs[failed + 1],
                             replaced, why);
    });
    return output.fail(code);
  }
  return rehearse(run, flashfile, output);
}

// --merge: the merge with several pairs, saying why it failed.
int run_merge_several(Operands operands, Streams io) {
  if (operands.size() % 2 != 0) return report_usage_error("--merge", io);
  return merge_blocks(operands, io, true);
}

int run_unpack(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  const char* dir = operands[1];
  const std::unique_ptr<FlashImage> image = load_or_say_why(flashfile, Kind::unpack, io);
  if (!image) return kExitFailed;
  UnpackFailure why;
  const UnpackCode unpacked = unpack_image(*image, dir, &why);
  if (unpacked != UnpackCode::ok) {
    report_unpack_failure({io.err}, dir, unpacked, why);
    return kExitFailed;
  }
  io.out << "unpacked " << image->block_count << " blocks and " << kManifestName << " into " << dir
         << '\n';
  return kExitOk;
}

// --repack FLASHFILE DIR WFILE, or FLASHFILE DIR --dry-run [--json] to rehearse it.
int run_repack(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  const char* dir = operands[1];
  const char* wfile = operands[2];
  const bool dry_run = std::string_view(wfile) == "--dry-run";
  bool json = false;
  if (!dry_run ? operands.size() != 3 : !takes_json(operands, 3, json)) {
    return report_usage_error("--repack", io);
  }
  MergeRun run;
  run.image = load_or_say_why(flashfile, Kind::repack, io);
  if (!run.image) return kExitFailed;
  ManifestFailure manifest_failure;
  run.loaded_checksums = block_checksums(*run.image);
  const ManifestCode checked =
      check_manifest(*run.image, *run.loaded_checksums, dir, &manifest_failure);
  if (checked != ManifestCode::ok) {
    report_manifest_failure({io.err}, dir, checked, manifest_failure);
    return kExitFailed;
  }
  RepackFailure why;
  const ReplaceCode taken = take_changed_blocks(*run.image, dir, run.replacements, &why);
  if (taken != ReplaceCode::ok) {
    report_replace_failure({io.err}, Kind::repack, *run.image, why.file.c_str(), why.file.c_str(),
                           taken, why.replace);
    return kExitFailed;
  }
  if (dry_run) return rehearse(run, flashfile, DryRunOutput{io, json});
  WriteCode written = WriteCode::ok;
  if (!write_merged(run, flashfile, wfile, Kind::repack, true, io, written)) return kExitFailed;
  io.out << "repacked " << run.image->block_count << " blocks (" << run.replacements.count
         << " changed) into " << wfile << '\n';
  return kExitOk;
}

int run_diff(Operands operands, Streams io) {
  // As with diff(1): 0 for identical images, 1 for images that differ, 2 for trouble.
  constexpr int kExitTrouble = 2;
  bool json = false;
  if (!takes_json(operands, 2, json)) return report_usage_error("--diff", io);
  std::unique_ptr<FlashImage> images[2];
  for (size_t k = 0; k < 2; ++k) {
    images[k] = load_or_say_why(operands[k], Kind::diff, io);
    if (!images[k]) return kExitTrouble;
  }
  ImageComparison comparison;
  compare_images(*images[0], *images[1], comparison);
  if (!json) {
    print_comparison(*images[0], *images[1], comparison, io.out);
  } else if (!print_comparison_json(*images[0], *images[1], comparison, io.out)) {
    report_no_memory_for_document(io, Kind::diff);
    return kExitTrouble;
  }
  return comparison.identical ? kExitOk : kExitFailed;
}

constexpr std::string_view kAfterCommands =
    "\n"
    "BLOCKNAME chooses the first block, in block order, whose name equals it (at\n"
    "most eight characters are compared) or whose id (one byte) equals it read\n"
    "whole as a hexadecimal number (a4, 0xA4). A merge places each table's blocks\n"
    "again: slot 0 keeps its offset, each later slot starts where the one before\n"
    "ends, ids 0xA4 and 0xA8 round their offset from the table up to 64 KiB, and\n"
    "the last block must end strictly before the image's end. WFILE and OUTFILE\n"
    "are replaced safely: a failure leaves them as they were.\n"
    "\n"
    "Exit status:\n"
    "  0  success; --verify: no stale checksum; --dry-run: the merge would succeed\n"
    "  1  the command failed and said why; --verify: a checksum is stale;\n"
    "     --dry-run: the merge would fail\n"
    "  2  wrong arguments; --verify: the image cannot be loaded\n"
    "\n";

void print_command(const Command& command, std::ostream& out) {
  out << "  blkswap";
  if (command.kind != CommandKind::positional) out << ' ' << command.option;
  if (!command.alias.empty()) out << ", " << command.alias;
  if (!command.synopsis.empty()) out << ' ' << command.synopsis;
  out << "\n      " << command.help << '\n';
}

int run_help(Operands, Streams io) {
  io.out << kUsageText << "\nCommands:\n";
  for (const Command& command : kCommands) print_command(command, io.out);
  io.out << kAfterCommands;
  print_code_help(io.out);
  io.out << "\nSee blkswap(1) for the image format and examples.\n";
  return kExitOk;
}

int run_version(Operands, Streams io) {
  io.out << "blkswap " BLKSWAP_VERSION "\n";
  return kExitOk;
}

int dispatch_command(Operands args, Streams io) {
  const Command* command = args.empty() || args[0] == nullptr ? nullptr : find_option(args[0]);
  if (command == nullptr) return dispatch_positional(args, io);
  const Operands operands = args.subspan(1);
  if (command->kind == CommandKind::end_of_options) return dispatch_positional(operands, io);
  if (operands.size() < command->min_operands || operands.size() > command->max_operands) {
    return report_usage_error(args[0], io);
  }
  return command->run(operands, io);
}

}  // namespace

int run_command(std::span<const char* const> args, std::ostream& out, std::ostream& err) {
  build_crc_table();
  // The standard library and the JSON library report a lack of memory by throwing; the commands
  // catch it where they build their larger documents. Anywhere else (a path, a message) it still
  // ends as the no-memory code, never as an abort.
  try {
    return dispatch_command(args, Streams{out, err});
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
