// A merge as every command that merges or rehearses one runs it: the image as loaded, the new
// bytes of the blocks it replaces, the plan, and the merged image written or composed.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <span>

#include "cli/invocation.h"
#include "image/load.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "ops/report.h"

namespace blkswap {

struct MergeRun {
  std::unique_ptr<FlashImage> image;
  Replacements replacements;
  MergePlan plan;
  bool planned = false;
  // The checksums of the blocks as loaded, when a step before the plan took them already.
  std::optional<BlockChecksums> loaded_checksums;
  MergeOptions options;
  DraftPtr draft;  // WFILE's head start, when it has one
  Composed composed;
  std::array<uint32_t, kMaxBlocks> checksums{};  // as written
  MergeReport report;
};

// Loads FLASHFILE for a command that writes `wfile` from it (null: none), whose temporary file
// then gets a head start: the flash file copied into it while the merge is planned.
Failure load_for_output(const Invocation& call, const char* flashfile, const char* wfile,
                        std::unique_ptr<FlashImage>& image, DraftPtr* draft = nullptr);

// Adds the block file of every BLOCKNAME BLOCKFILE pair to the run's replacements.
Failure take_pairs(const Invocation& call, MergeRun& run, std::span<const char* const> pairs);

// Plans the merge and writes the merged image to `wfile`; the report then says what it did.
Failure write_merged(MergeRun& run, const char* wfile);

// Plans the merge and composes it in memory, in full, so that a lack of memory shows here as it
// would in the merge; the report says what it found (`failure` when a step before failed).
void rehearse(MergeRun& run, Failure failure = {});

// The option commands' "-" as an input (standard input) or as an output (standard output).
const char* stream_or_file(const char* operand);

// How the BLOCKNAMEs choose, and how the merge lays out, as the flags say.
BlockChoice choice_of(const Invocation& call);
MergeOptions options_of(const Invocation& call);

}  // namespace blkswap
