// What the command line says when something goes wrong: the one table of codes (each step's
// numbers and meanings), the list's and the merge's error lines, and the option commands'
// messages on standard error.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

#include "image/load.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "ops/report.h"
#include "ops/round_trip.h"
#include "platform/files.h"

namespace blkswap {

// The three steps of a merge, then unpacking into a folder and reading a folder's manifest; the
// same number means different things in each.
enum class Step { load, replace, write, unpack, manifest };

// A code of one step: its enumerator, tagged with the step it belongs to, so that no code can
// be looked up in another step's rows.
struct StepCode {
  Step step;
  int which;
  friend constexpr bool operator==(StepCode, StepCode) = default;
};
constexpr StepCode step_code(LoadCode c) {
  return {Step::load, static_cast<int>(c)};
}
constexpr StepCode step_code(ReplaceCode c) {
  return {Step::replace, static_cast<int>(c)};
}
constexpr StepCode step_code(WriteCode c) {
  return {Step::write, static_cast<int>(c)};
}
constexpr StepCode step_code(UnpackCode c) {
  return {Step::unpack, static_cast<int>(c)};
}
constexpr StepCode step_code(ManifestCode c) {
  return {Step::manifest, static_cast<int>(c)};
}

struct CodeRow {
  StepCode code;
  int number;  // what the command line prints
  std::string_view meaning;
};

// Every failure code of every step, in step order: the messages, --help, README and man page
// all say what these rows say.
std::span<const CodeRow> code_table();
std::string_view step_title(Step step);  // "loading FLASHFILE", ...
std::string_view step_word(Step step);   // "load", ..., as JSON documents name the step

// Whose numbers a message gives (see the messages below).
enum class Kind { list, extract, merge, unpack, repack, diff };

// The printed number of a code. The list reports the load's "no usable table" as its -3.
int code_number(StepCode code);
int list_code_number(LoadCode code);
// The number a load failure gives for `kind`: the list's for the list, --info and --verify.
int load_code_number(Kind kind, LoadCode code);

// The code a merge gives for a replacement's outcome: its own, except that a block file too long
// for any place in the image is the rebuild's refusal, which tests an empty WFILE first (a dry
// run has no WFILE: null).
StepCode merge_step_code(ReplaceCode code, const char* wfile);

// "List flash block error with N\n", "Merge flash file error with N\n" (standard output).
void print_list_error_line(std::ostream& out, int number);
void print_merge_error_line(std::ostream& out, int number);

// The code section of --help, from the table.
void print_code_help(std::ostream& out);

// Where a message goes and what it starts with: "blkswap: " on standard error, or "The merge
// would fail: " under the dry run's table.
struct MessageTo {
  std::ostream& out;
  std::string_view lead = "blkswap: ";
};

// The messages: "blkswap: ARGUMENT: meaning: what exactly (KIND error N)\n". An empty argument
// shows as ''. KIND says whose numbers the message gives: the list's (for --info and --verify),
// or the command's own. None of them allocates memory.
void report_load_failure(MessageTo to, Kind kind, const char* flashfile, LoadCode code,
                         const LoadFailure& why);
void report_replace_failure(MessageTo to, Kind kind, const FlashImage& image, const char* blockname,
                            const char* blockfile, ReplaceCode code, const ReplaceFailure& why);
void report_rebuild_failure(MessageTo to, Kind kind, const FlashImage& image, const char* file,
                            WriteCode code, const MergeRefusal& why);
void report_write_failure(MessageTo to, Kind kind, std::string_view role, const char* file,
                          WriteCode code, const WriteFailure& why);
void report_unpack_failure(MessageTo to, const char* dir, UnpackCode code,
                           const UnpackFailure& why);
void report_manifest_failure(MessageTo to, const char* dir, ManifestCode code,
                             const ManifestFailure& why);
void report_refusal(MessageTo to, Kind kind, const char* file, std::string_view message,
                    StepCode code);
// A repack refused because blocks changed both in DIR and in FLASHFILE: each such block with its
// three checksums.
void report_repack_conflict(MessageTo to, const char* dir, const FlashImage& image,
                            const RepackReport& repack);

// What exactly stopped the rebuild, in a sentence: which block, and where or what.
void describe_rebuild_fault(std::ostream& out, const FlashImage& image, const MergeRefusal& why);

// Prints `before`, then the names among `names` that `typed` is close to (names it begins, or
// else names a slip or two away, case and dashes aside), joined by " or "; nothing when it is
// close to none. Block names are shown as every block name is. Returns how many it named.
size_t put_close_names(std::ostream& out, std::string_view typed,
                       std::span<const std::string_view> names, std::string_view before,
                       bool block_names = false);

// When a list or merge could not open a first argument that looks like a mistyped option
// ("--inf", "--dryrun", "-v"), one line naming the options it is close to and --help.
void hint_at_option(std::ostream& err, std::string_view first_argument,
                    std::span<const std::string_view> options);

}  // namespace blkswap
