// --extract and --dry-run: choose a block as the merge does; take it out, or rehearse the merge.
#include <string_view>

#include "cli/commands.h"
#include "cli/error_text.h"
#include "cli/run_command.h"
#include "image/flash_image.h"
#include "image/load.h"
#include "ops/extract.h"
#include "ops/rebuild.h"
#include "ops/rehearsal.h"
#include "ops/replace.h"

namespace blkswap {

namespace {

// The argument a code of the block step is about: the block name when nothing matches it or it
// is empty, otherwise the file (the block file, or the output file). The codes -1 and -6 mean
// the same to --extract as to the merge.
const char* argument_at_fault(int code, const char* blockname, const char* file) {
  if (code == kReplaceNoMatch) return blockname;
  if (code == kReplaceEmptyArgument && blockname[0] == '\0') return blockname;
  return file;
}

// A rehearsal that finds the merge would fail shows the merge's own error line as data, and
// says why on standard error.
int merge_would_fail(Streams io, const char* file, std::string_view why, int code) {
  print_merge_error_line(io.out, code);
  report_failure(io.err, file, why, "merge", code);
  return kExitFailed;
}

}  // namespace

int run_extract(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  const char* blockname = operands[1];
  const char* outfile = operands[2];
  std::unique_ptr<FlashImage> image = allocate_flash_image();
  const int load_rc = image ? load_image(*image, flashfile) : kLoadNoMemory;
  if (load_rc < 0) {
    report_failure(io.err, flashfile, load_failure(load_rc), "extract", load_rc);
    return kExitFailed;
  }
  // The merge may write over its flash file, which it has read whole; a block written over
  // the image it comes from would leave one block where the image was.
  if (outfile[0] != '\0' && names_the_flash_file(*image, outfile)) {
    report_failure(io.err, outfile, "is the flash file itself; refusing to write one block over it",
                   "extract", kExtractCannotCreate);
    return kExitFailed;
  }
  WriteFailure write_failed;
  const int rc = extract_block(*image, blockname, outfile, &write_failed);
  if (rc > 0) return kExitOk;
  if (!write_failed.what.empty()) {
    report_write_failure(io.err, outfile, write_failed, "extract", rc);
    return kExitFailed;
  }
  const std::string_view why = rc == kExtractNoMatch         ? replace_failure(rc)
                               : rc == kExtractEmptyArgument ? "no block name or output file named"
                                                             : write_failure(rc);
  report_failure(io.err, argument_at_fault(rc, blockname, outfile), why, "extract", rc);
  return kExitFailed;
}

int run_dry_run(Operands operands, Streams io) {
  const char* flashfile = operands[0];
  const char* blockname = operands[1];
  const char* blockfile = operands[2];
  std::unique_ptr<FlashImage> image = allocate_flash_image();
  int rc = image ? load_image(*image, flashfile) : kLoadNoMemory;
  if (rc < 0) return merge_would_fail(io, flashfile, load_failure(rc), rc);
  rc = replace_block(*image, blockname, blockfile);
  if (rc == kReplaceWillNotFit) {
    return merge_would_fail(io, blockfile, "too long to fit the image", kWriteDoesNotFit);
  }
  if (rc < 0) {
    return merge_would_fail(io, argument_at_fault(rc, blockname, blockfile), replace_failure(rc),
                            rc);
  }
  Bytes merged;  // composed in full, so that a lack of memory shows here as it would there
  rc = compose_merged_image(*image, merged);
  if (rc < 0) return merge_would_fail(io, flashfile, write_failure(rc), rc);
  print_merge_rehearsal(*image, io.out);
  io.out << "The merge would succeed. Nothing was written.\n";
  return kExitOk;
}

}  // namespace blkswap
