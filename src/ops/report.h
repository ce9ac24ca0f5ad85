// What the commands report, each as one value built here and turned into text, JSON or a picture
// by a renderer (render.h): the layout of an image, its checksum check, a merge or its rehearsal,
// a comparison of two images, and what a command wrote.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/failure.h"
#include "image/load.h"
#include "ops/diff.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "ops/round_trip.h"

namespace blkswap {

// Whether a block's stored checksum still describes its bytes: "ok", "stale", or "none" for an
// entry with the no-checksum marker (nothing is computed then).
enum class ChecksumState { ok, stale, none };
ChecksumState checksum_state_of(const BlockEntry& entry, uint32_t crc);
std::string_view checksum_state_name(ChecksumState state);

// Every block's checksum as loaded, the state of its stored one, and how many are in each state.
struct ChecksumCheck {
  BlockChecksums crcs{};
  std::array<ChecksumState, kMaxBlocks> state{};
  std::array<size_t, 3> count{};  // by ChecksumState
  size_t of(ChecksumState s) const { return count[static_cast<size_t>(s)]; }
};
// From the checksums of the blocks' bytes when they are known already.
ChecksumCheck check_checksums(const FlashImage& image, const BlockChecksums* crcs = nullptr);

// --info: every table, and every block's place, size, checksum state and room (block_room: the
// largest block file a merge of it alone would take).
struct InfoReport {
  const FlashImage* image = nullptr;
  ChecksumCheck checksums;
  std::array<uint64_t, kMaxBlocks> room{};
};
InfoReport info_report(const FlashImage& image, const MergeOptions& options = {},
                       const BlockChecksums* crcs = nullptr);

// --verify: each image given, in turn: its check, or why it could not be loaded.
struct VerifiedImage {
  std::string file;
  std::unique_ptr<FlashImage> image;  // its records, its bytes let go; null when it failed
  ChecksumCheck checksums;
  Failure failure;
  int number = 0;  // the failure's code as printed
};
struct VerifyReport {
  std::vector<VerifiedImage> images;
  bool labelled = false;           // several were given: every line and document names its file
  std::string_view kind = "list";  // whose codes a failure gives
};

// A repack's judgement of each block: its verdict, and the three checksums it was made from.
struct RepackReport {
  const RepackVerdicts* verdicts = nullptr;
  const UnpackedBlocks* unpacked = nullptr;
  const BlockChecksums* flashfile = nullptr;  // the checksums of FLASHFILE's blocks
  std::string flashfile_name;
};
// A repack refused because blocks changed both in DIR and in FLASHFILE: each such block with its
// three checksums.
Failure conflict_failure(const FlashImage& image, const char* dir, const RepackReport& repack);

// How many blocks a plan moves from their offsets, and the first of them (its index).
ByteCount moved_blocks(const FlashImage& image, const MergePlan& plan);

// A merge or its rehearsal (a dry run, a repack's): the image as loaded (null when it did not
// load), the plan (null when the merge stopped before it), every checksum field as written
// (null unless the merged image was made whole), what it moves and warns of, a repack's
// verdicts, and why it fails (nothing when it succeeds).
struct MergeReport {
  const FlashImage* image = nullptr;
  const MergePlan* plan = nullptr;
  const std::array<uint32_t, kMaxBlocks>* checksums = nullptr;
  MergeWarnings warnings;
  ByteCount moved;
  const RepackReport* repack = nullptr;
  std::array<ChecksumState, kMaxBlocks> states{};  // each block's stored checksum, as loaded
  Failure failure;
  std::string_view kind = "merge";  // whose codes a failure gives
  std::string output;               // the file a merge wrote; empty for a rehearsal
};
// Fills the checksum states of the image's blocks (from `loaded`, their checksums as loaded,
// when a step before took them), and the moves and warnings of a merge made whole.
void complete_merge_report(MergeReport& report, const BlockChecksums* loaded = nullptr);

// --diff: two images and what differs between them.
struct DiffReport {
  const FlashImage* a = nullptr;
  const FlashImage* b = nullptr;
  ImageComparison comparison;
};

// What --extract and --unpack wrote: one block's bytes to a file, or every block and the
// manifest to a folder.
struct WrittenReport {
  const FlashImage* image = nullptr;
  std::string output;
  int block = -1;  // the block extracted; -1 for an unpack
};

// The kinds of change a merge makes that nobody asked for (MergeWarnings), and each one's line:
// the count and the first place or block. Nothing is said of a kind that did not occur.
enum class WarningKind { erased, dropped_tables, stale_checksums };
inline constexpr WarningKind kWarningKinds[] = {WarningKind::erased, WarningKind::dropped_tables,
                                                WarningKind::stale_checksums};
std::string_view warning_word(WarningKind kind);  // "erased", ..., as JSON names it
size_t warning_count(const MergeWarnings& warnings, WarningKind kind);
std::string warning_text(const FlashImage& image, const MergeWarnings& warnings, WarningKind kind);

}  // namespace blkswap
