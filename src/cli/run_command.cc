#include "cli/run_command.h"

#include <cstdio>
#include <memory>
#include <new>

#include "image/crc.h"
#include "image/flash_image.h"
#include "image/load.h"
#include "ops/list.h"
#include "ops/rebuild.h"
#include "ops/replace.h"

namespace blkswap {

namespace {

constexpr const char* kUsage =
    "Usage: blkswap [flashfile] [blockname] [blockfile] [wfile]\n"
    "eg:blkswap flash.bin bootload bootloader.bin merge.bin\n";

void print_error(std::ostream& out, const char* format, int rc) {
  char line[64];
  const int n = std::snprintf(line, sizeof line, format, rc);
  out.write(line, n);
}

int merge(FlashImage& image, std::span<const char* const> args) {
  int rc = load_image(image, args[0]);
  if (rc > 0) rc = replace_block(image, args[1], args[2]);
  if (rc > 0) rc = write_merged_image(image, args[3]);
  return rc;
}

}  // namespace

int run_command(std::span<const char* const> args, std::ostream& out) {
  build_crc_table();
  if (args.size() != 1 && args.size() != 4) {
    out << kUsage;
    return kExitUsage;
  }
  // About 8 KiB of records: kept off the stack, and its allocation failing is a failed load.
  std::unique_ptr<FlashImage> image(new (std::nothrow) FlashImage);
  if (args.size() == 4) {
    const int rc = image ? merge(*image, args) : kLoadNoMemory;
    if (rc > 0) return kExitOk;
    print_error(out, "Merge flash file error with %d\n", rc);
    return kExitFailed;
  }
  const int rc = image ? list_blocks(*image, args[0], out) : kLoadNoMemory;
  if (rc > 0) return kExitOk;
  print_error(out, "List flash block error with %d\n", rc);
  return kExitFailed;
}

}  // namespace blkswap
