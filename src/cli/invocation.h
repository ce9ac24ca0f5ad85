// One run of a command: its row, its arguments, and where its output goes; the handlers of the
// commands, and the one place that says why a command failed.
#pragma once

#include <memory>
#include <ostream>
#include <string_view>
#include <vector>

#include "cli/command_table.h"
#include "image/failure.h"
#include "image/load.h"
#include "ops/render.h"

namespace blkswap {

struct Invocation {
  const Command& command;
  std::vector<const char*> operands;
  unsigned flags = 0;
  std::ostream& out;  // what the command produces, and the list's and merge's failure lines
  std::ostream& err;  // every message that says why a command failed, and every warning
  bool* wrote;        // set once the command has written its output file or folder whole
  const Renderer* renderer = &kTextRenderer;  // chosen once, from the flags
  std::string_view typed;                     // the option as given ("-h" for --help)
  bool has(Flag flag) const { return (flags & flag) != 0; }
};

// The number a failure gives for this command (the list's numbers where its row says so).
int number_of(const Invocation& call, const Failure& failure);

// Says why the command failed: its failure line on standard output (the list and the merge),
// the message on standard error, and what its format puts on standard output (a JSON document);
// `file` names the image when a command reads several. Returns the exit status for a failure.
int say_failure(const Invocation& call, const Failure& failure, std::string_view file = {});

// Before `file` is mapped: what the command says should it change size while it is read (the
// process then ends at once; see set_changed_size_report): the failure `code` would give,
// naming `file` (null: any file of the folder `folder`).
void expect_changed_size(const Invocation& call, const char* file, Code code,
                         const char* folder = nullptr);

// Says on standard error what a merge changed beyond the blocks it was given.
void say_warnings(const Invocation& call, const MergeReport& report);

// "wrong arguments for OPTION" (unless a line before said what is wrong), then its usage.
int usage_error(const Invocation& call, std::string_view why = {}, bool first_line = true);

// A command's own help (the commands whose topic is `topic`: "merge" or "--merge" shows both
// merges): synopsis, what it does, its flags, exit statuses and codes. False for no such topic.
bool print_command_help(std::ostream& out, std::string_view topic);
// "info" for --info, "list" and "merge" for the positional ones.
std::string_view topic_of(const Command& command);

// When the first argument of a list or merge could not be opened and looks like a mistyped
// option ("--inf", "--dryrun", "-v"): one line naming the options it is close to.
void hint_if_mistyped(std::ostream& err, std::string_view first);

// Loads `file` for a command that reads it whole and writes nothing from it; on failure, says
// why (with `hint`, and a file that cannot be read, the options its name is close to) and gives
// null.
std::unique_ptr<FlashImage> load_or_say_why(const Invocation& call, const char* file,
                                            bool hint = false);

// The handlers, one per command row.
int run_list(const Invocation& call);
int run_merge(const Invocation& call);
int run_info(const Invocation& call);
int run_verify(const Invocation& call);
int run_extract(const Invocation& call);
int run_dry_run(const Invocation& call);
int run_merge_several(const Invocation& call);
int run_unpack(const Invocation& call);
int run_repack(const Invocation& call);
int run_diff(const Invocation& call);
int run_help(const Invocation& call);
int run_version(const Invocation& call);

}  // namespace blkswap
