// --info and --verify: reports on an image as loaded, which change nothing.
#include <string_view>

#include "cli/commands.h"
#include "cli/error_text.h"
#include "cli/run_command.h"
#include "image/flash_image.h"
#include "image/load.h"
#include "ops/info.h"
#include "ops/verify.h"

namespace blkswap {

namespace {

// Verify keeps 1 for "a checksum is stale", so an image it cannot read gets 2.
constexpr int kExitCannotVerify = 2;

// Loads `file`; on failure says why on standard error, with the list command's code.
std::unique_ptr<FlashImage> load_for_report(const char* file, Streams io) {
  std::unique_ptr<FlashImage> image = allocate_flash_image();
  const int rc = image ? load_image(*image, file) : kLoadNoMemory;
  if (rc > 0) return image;
  report_failure(io.err, file, load_failure(rc), "list", list_code(rc));
  return nullptr;
}

}  // namespace

int run_info(Operands operands, Streams io) {
  const bool json = operands.size() == 2;
  if (json && std::string_view(operands[1]) != "--json") return report_usage_error("--info", io);
  const std::unique_ptr<FlashImage> image = load_for_report(operands[0], io);
  if (!image) return kExitFailed;
  if (json) {
    print_image_info_json(*image, io.out);
  } else {
    print_image_info(*image, io.out);
  }
  return kExitOk;
}

int run_verify(Operands operands, Streams io) {
  const std::unique_ptr<FlashImage> image = load_for_report(operands[0], io);
  if (!image) return kExitCannotVerify;
  return verify_checksums(*image, io.out) == 0 ? kExitOk : kExitFailed;
}

}  // namespace blkswap
