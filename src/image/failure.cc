#include "image/failure.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "image/text.h"
#include "platform/files.h"

namespace blkswap {

namespace {

constexpr CodeRow kCodes[] = {
    {Code::flashfile_empty, Step::load, -1, "FLASHFILE is an empty argument"},
    {Code::flashfile_unreadable, Step::load, -2, "cannot be opened or read whole"},
    {Code::image_no_memory, Step::load, -3, "not enough memory for the image"},
    {Code::bad_length, Step::load, -4,
     "its length is not a multiple of 512 KiB, or is 4 GiB or more"},
    {Code::no_table, Step::load, -5, "no usable block table"},
    {Code::block_argument_empty, Step::replace, -1, "BLOCKNAME or BLOCKFILE is an empty argument"},
    {Code::blockfile_unopenable, Step::replace, -2, "cannot be opened"},
    {Code::blockfile_empty, Step::replace, -3, "is empty"},
    {Code::block_no_memory, Step::replace, -4, "not enough memory for the block"},
    {Code::blockfile_short, Step::replace, -5, "could not be read whole"},
    {Code::no_match, Step::replace, -6, "no block has this name or id"},
    {Code::chosen_twice, Step::replace, -7, "names a block another BLOCKNAME already chose"},
    {Code::wfile_empty, Step::write, -1, "WFILE is an empty argument"},
    {Code::does_not_fit, Step::write, -2, "the blocks cannot be laid out into a whole image"},
    {Code::output_no_memory, Step::write, -3, "not enough memory for the new image"},
    {Code::cannot_create, Step::write, -4, "cannot be created or replaced whole"},
    {Code::short_write, Step::write, -5, "could not be written whole"},
    {Code::dir_empty, Step::unpack, -1, "DIR is an empty argument"},
    {Code::dir_not_empty, Step::unpack, -2, "exists and is not an empty folder"},
    {Code::unpack_no_memory, Step::unpack, -3, "not enough memory for the manifest"},
    {Code::dir_cannot_create, Step::unpack, -4, "cannot be created whole"},
    {Code::dir_short_write, Step::unpack, -5, "could not be written whole"},
    {Code::repack_dir_empty, Step::manifest, -1, "DIR is an empty argument"},
    {Code::manifest_unreadable, Step::manifest, -2, "its manifest cannot be opened or read whole"},
    {Code::manifest_malformed, Step::manifest, -3, "its manifest is not one blkswap can read"},
    {Code::other_image, Step::manifest, -4, "its manifest describes another image"},
    {Code::extra_file, Step::manifest, -5, "holds a file its manifest does not name"},
    {Code::manifest_no_memory, Step::manifest, -6, "not enough memory for the manifest"},
    {Code::conflict, Step::manifest, -4,
     "a block changed both in its file and in FLASHFILE since the unpack"},
    {Code::extract_blockname_empty, Step::extract, -1, "BLOCKNAME is an empty argument"},
    {Code::outfile_empty, Step::extract, -1, "OUTFILE is an empty argument"},
    {Code::extract_no_match, Step::extract, -6, "no block has this name or id"},
    {Code::outfile_is_flashfile, Step::extract, -4,
     "is the flash file itself; refusing to write one block over it"},
    {Code::outfile_cannot_create, Step::extract, -4, "cannot be created or replaced whole"},
    {Code::outfile_short_write, Step::extract, -5, "could not be written whole"},
};

// The row of a success, which no message reports.
constexpr CodeRow kSuccess = {Code::ok, Step::load, 1, "succeeded"};

struct StepNames {
  Step step;
  std::string_view title;
  std::string_view word;
};
constexpr StepNames kSteps[] = {
    {Step::load, "loading FLASHFILE", "load"},
    {Step::replace, "taking in BLOCKFILE", "replace"},
    {Step::write, "rebuilding and writing WFILE", "write"},
    {Step::unpack, "unpacking into DIR", "unpack"},
    {Step::manifest, "reading DIR for a repack", "manifest"},
    {Step::extract, "extracting a block to OUTFILE", "extract"},
};

// The system's reason, except where its words would mislead: a terminal or a device is refused
// as a source of bytes, not for a call the user never asked for.
const char* system_reason(int error) {
  if (error == ENOTTY) return "it is a terminal; give it through a file or a pipe";
  if (error == ESPIPE) return "it is a device with no length to read up to";
  if (error == kIsSymbolicLink)
    return "it is a symbolic link, which is not followed out of a folder";
  if (error == kNotRegularFile) return "it is not a regular file";
  if (error == kInUse) return "another program has it open; close that program and try again";
  if (error == kChangedSize) return "it changed size while it was read";
  return std::strerror(error);
}

}  // namespace

std::span<const CodeRow> code_table() {
  return kCodes;
}

const CodeRow& row_of(Code code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return row;
  }
  return kSuccess;
}

std::string_view step_title(Step step) {
  return kSteps[static_cast<size_t>(step)].title;
}

std::string_view step_word(Step step) {
  return kSteps[static_cast<size_t>(step)].word;
}

int code_number(Code code, bool list_numbers) {
  return row_of(list_numbers && code == Code::no_table ? Code::image_no_memory : code).number;
}

Failure write_outcome(WriteResult result, const WriteFailure& why, std::string_view path,
                      Code cannot_create, Code short_write) {
  if (result == WriteResult::ok) return {};
  const Code code = result == WriteResult::short_write ? short_write : cannot_create;
  return fail(code, path, why.what.empty() ? "" : ": " + std::string(why.what), why.error);
}

void put_message(std::ostream& out, const Failure& failure) {
  if (failure.argument.empty()) {
    out << "''";
  } else {
    put_printable(out, failure.argument);
  }
  out << ": " << row_of(failure.code).meaning << failure.detail;
  if (failure.error != 0) out << ": " << system_reason(failure.error);
}

std::string message_of(const Failure& failure) {
  std::ostringstream text;
  put_message(text, failure);
  return text.str();
}

}  // namespace blkswap
