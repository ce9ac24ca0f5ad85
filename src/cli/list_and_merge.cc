// The list and the merge: chosen by the number of arguments, with their error lines on
// standard output.
#include "cli/commands.h"
#include "cli/error_text.h"
#include "cli/run_command.h"
#include "image/flash_image.h"
#include "image/load.h"
#include "ops/list.h"
#include "ops/rebuild.h"
#include "ops/replace.h"

namespace blkswap {

int run_list(Operands operands, Streams io) {
  std::unique_ptr<FlashImage> image = allocate_flash_image();
  const int rc = image ? list_blocks(*image, operands[0], io.out) : kLoadNoMemory;
  if (rc > 0) return kExitOk;
  print_list_error_line(io.out, rc);
  return kExitFailed;
}

int run_merge(Operands operands, Streams io) {
  std::unique_ptr<FlashImage> image = allocate_flash_image();
  int rc = image ? load_image(*image, operands[0]) : kLoadNoMemory;
  if (rc > 0) {
    rc = merge_code_of_replace(replace_block(*image, operands[1], operands[2]), operands[3]);
  }
  WriteFailure why;
  if (rc > 0) rc = write_merged_image(*image, operands[3], &why);
  if (rc > 0) return kExitOk;
  print_merge_error_line(io.out, rc);
  // A write that failed also says why, on standard error; the line above stays as it is.
  if (!why.what.empty()) report_write_failure(io.err, operands[3], why, "merge", rc);
  return kExitFailed;
}

}  // namespace blkswap
