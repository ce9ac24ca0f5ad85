// Why a step failed: one value, made where the failure happens and carried up unchanged, and the
// one table of codes that gives each its number and meaning.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace blkswap {

// The steps a command runs: the merge's three, unpacking into a folder, reading a folder's
// manifest and writing one block out. The same number means different things in each.
enum class Step : uint8_t { load, replace, write, unpack, manifest, extract };

enum class Code : uint8_t {
  ok,
  // loading FLASHFILE
  flashfile_empty,
  flashfile_unreadable,
  image_no_memory,
  bad_length,
  no_table,
  // taking in BLOCKFILE
  block_argument_empty,
  blockfile_unopenable,
  blockfile_empty,
  block_no_memory,
  blockfile_short,
  no_match,
  chosen_twice,
  // rebuilding and writing WFILE
  wfile_empty,
  does_not_fit,
  output_no_memory,
  cannot_create,
  short_write,
  // unpacking into DIR
  dir_empty,
  dir_not_empty,
  unpack_no_memory,
  dir_cannot_create,
  dir_short_write,
  // reading DIR for a repack
  repack_dir_empty,
  manifest_unreadable,
  manifest_malformed,
  other_image,
  extra_file,
  manifest_no_memory,
  conflict,
  // extracting a block to OUTFILE
  extract_blockname_empty,
  outfile_empty,
  extract_no_match,
  outfile_is_flashfile,
  outfile_cannot_create,
  outfile_short_write,
};

struct CodeRow {
  Code code;
  Step step;
  int number;  // what the command line prints
  std::string_view meaning;
};

// Every failure code, in step order: the messages, the help, README and man page all say what
// these rows say.
std::span<const CodeRow> code_table();
const CodeRow& row_of(Code code);
std::string_view step_title(Step step);  // "loading FLASHFILE", ...
std::string_view step_word(Step step);   // "load", ..., as JSON documents name the step

// The number a code prints. The list and the reports that load as it does (list_numbers) give
// the load's "no usable table" as -3, the number the list has always printed for it.
int code_number(Code code, bool list_numbers = false);

struct Failure {
  Code code = Code::ok;
  std::string argument;  // the argument or file the message names
  std::string detail;    // what exactly, with its lead (": it is 1000 bytes", "; did you ...")
  int error = 0;         // the system's error number, when it gave one
  int block = -1;        // the block at fault, when there is one
  bool failed() const { return code != Code::ok; }
};

inline Failure fail(Code code, std::string_view argument, std::string detail = {}, int error = 0) {
  return {code, std::string(argument), std::move(detail), error};
}

// A write's outcome as a failure: none for ok, else `cannot_create` (a refusal too) or
// `short_write`, naming `path`, with what could not be done and the system's reason.
enum class WriteResult;
struct WriteFailure;
Failure write_outcome(WriteResult result, const WriteFailure& why, std::string_view path,
                      Code cannot_create, Code short_write);

// "ARGUMENT: meaning: what exactly: the system's reason": the argument made printable ('' when
// empty).
void put_message(std::ostream& out, const Failure& failure);
std::string message_of(const Failure& failure);

}  // namespace blkswap
