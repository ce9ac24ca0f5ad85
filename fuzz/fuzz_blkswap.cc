// libFuzzer entry, all in memory: loading and every report on the image (listing, info and
// verification in every rendering); or loading, block selection, replacement, the merge's plan
// and composition, the dry run's report and a comparison of the image with the merged one, in
// every rendering; or
// loading and the check of a manifest (the block bytes) against the image.
#include <cstring>
#include <memory>
#include <sstream>

#include "fuzz_input.h"
#include "image/crc.h"
#include "image/format.h"
#include "image/load.h"
#include "ops/diff.h"
#include "ops/merge.h"
#include "ops/render.h"
#include "ops/replace.h"
#include "ops/report.h"
#include "ops/round_trip.h"

namespace {

using namespace blkswap;

bool copy_into(Bytes& out, std::span<const uint8_t> bytes, size_t length) {
  if (!allocate_bytes(out, length)) return false;
  std::memcpy(out.ptr.get(), bytes.data(), bytes.size());
  std::memset(out.ptr.get() + bytes.size(), 0xFF, length - bytes.size());
  return true;
}

const Renderer* const kRenderers[] = {&kTextRenderer, &kJsonRenderer, &kSvgRenderer};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  build_crc_table();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzInput input;
  if (!fuzzing::split_fuzz_input({data, size}, input)) return -1;
  const size_t head = input.image_head.size();
  const size_t length =
      (input.flags & fuzzing::kUnpadded) ? head : (head / kImageUnit + 1) * kImageUnit;
  Bytes bytes;
  if (!copy_into(bytes, input.image_head, length)) return 0;

  auto image = std::make_unique<FlashImage>();
  if (load_image_bytes(*image, std::move(bytes)).failed()) return 0;
  if (input.flags & fuzzing::kManifest) {
    const std::string_view text(reinterpret_cast<const char*>(input.block.data()),
                                input.block.size());
    check_manifest_text(*image, block_checksums(*image), text);
    return 0;
  }
  if (!(input.flags & fuzzing::kMerge)) {
    std::ostringstream reports;
    print_block_list(*image, reports);
    const InfoReport info = info_report(*image);
    for (const Renderer* renderer : kRenderers) renderer->info(reports, info);
    VerifyReport verify;
    verify.images.push_back({"image", std::move(image), {}, {}, 0});
    verify.images[0].checksums = check_checksums(*verify.images[0].image);
    for (const Renderer* renderer : kRenderers) {
      if (renderer->verify != nullptr) renderer->verify(reports, verify);
    }
    return 0;
  }
  const int index = find_block(*image, input.blockname);
  if (index == kNoBlock || input.block.empty()) return 0;
  // Both ways of taking the checksum agree on every input.
  if (block_crc(input.block) != block_crc_with_tables(input.block)) __builtin_trap();
  Bytes block;
  if (!copy_into(block, input.block, input.block.size())) return 0;
  Replacements replacements;
  if (!replacements.add(static_cast<size_t>(index), held_bytes(std::move(block)))) __builtin_trap();
  MergePlan plan;
  Composed out;
  const MergeOptions options{.keep_offsets = (input.flags & fuzzing::kKeepOffsets) != 0};
  const bool planned = plan_merge(*image, replacements, plan, options);
  MergeReport report{.image = image.get(), .plan = &plan};
  report.failure = planned ? compose(*image, plan, out) : refusal_failure(*image, plan.refusal);
  const bool composed = !report.failure.failed();
  if (composed && out.bytes.size != image->length) __builtin_trap();
  if (composed) report.checksums = &out.checksums;
  complete_merge_report(report);
  // The room search runs the plan's rules on sizes alone.
  (void)block_room(*image, {}, static_cast<size_t>(index), options);
  std::ostringstream reports;
  for (const Renderer* renderer : kRenderers) renderer->merge(reports, report);
  if (!composed) return 0;
  // The merged image loads (the rebuild checked it), and differs from the flash file only where
  // a comparison can say.
  auto merged = std::make_unique<FlashImage>();
  if (load_image_bytes(*merged, std::move(out.bytes)).failed()) __builtin_trap();
  DiffReport diff{image.get(), merged.get(), {}};
  compare_images(*image, *merged, diff.comparison);
  for (const Renderer* renderer : kRenderers) renderer->diff(reports, diff);
  return 0;
}
