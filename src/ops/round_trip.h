// Unpacking an image into a folder of block files with a manifest, and reading that manifest
// back: the round trip's two ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/load.h"
#include "ops/replace.h"
#include "platform/files.h"

namespace blkswap {

inline constexpr std::string_view kManifestName = "manifest.json";

// "NN-NAME.bin": the block's index in two digits, then its stored name with every byte outside
// A-Z a-z 0-9 . _ - written as %XX, so that the name is a plain file name, distinct and
// reversible.
std::string block_file_name(size_t index, std::string_view name);

// The checksum of every block's bytes as loaded, taken on two threads where it can.
using BlockChecksums = std::array<uint32_t, kMaxBlocks>;
BlockChecksums block_checksums(const FlashImage& image);

// The checksum of the whole image, by the block checksum's rule, from its blocks' checksums
// and the bytes between them.
uint32_t image_checksum(const FlashImage& image, const BlockChecksums& blocks);

// The manifest of `image`: --info's document with the image's checksum after the tables and
// each block's file last in its block. False when there is no memory for it.
bool manifest_text(const FlashImage& image, std::string& text);

// Writes every block to DIR/NN-NAME.bin and the manifest (--info's document with the image's
// checksum and each block's file) to DIR/manifest.json, all or nothing.
Failure unpack_image(const FlashImage& image, const char* dir);

// What a block file held when it was unpacked, as its manifest records it: its size and the
// checksum of its bytes. Not known only from a manifest an earlier blkswap wrote (without
// "file_checksum") for an image changed since, of a block whose stored checksum was not its
// bytes'.
struct UnpackedBlock {
  uint64_t size = 0;
  uint32_t checksum = 0;
  bool known = false;
};
using UnpackedBlocks = std::array<UnpackedBlock, kMaxBlocks>;

// Checks that the manifest `text` describes `image`, whose blocks have the checksums `blocks`.
Failure check_manifest_text(const FlashImage& image, const BlockChecksums& blocks,
                            std::string_view text, std::string_view dir = {},
                            UnpackedBlocks* unpacked = nullptr);

// Reads DIR/manifest.json and checks that it describes `image` (length, tables, every block's
// entry and file name, then the whole image's checksum), and that DIR holds no file it does not
// name. `unpacked` receives what each block file held when it was unpacked.
Failure check_manifest(const FlashImage& image, const BlockChecksums& blocks, const char* dir,
                       UnpackedBlocks* unpacked = nullptr);

// A repack is a three-way merge of each block: what its file held when it was unpacked (the
// manifest's record), what it holds now (the folder), and the block in FLASHFILE.
enum class Verdict {
  unchanged,    // the folder's file is FLASHFILE's block
  from_folder,  // only the file changed since the unpack: the user's change, taken
  kept,         // only FLASHFILE's block changed since the unpack: it stays
  conflict,     // both changed, and differently: nothing is written
};
std::string_view verdict_word(Verdict verdict);  // "unchanged", "from_folder", ...

struct RepackBlock {
  Verdict verdict = Verdict::unchanged;
  uint64_t folder_size = 0;
  uint32_t folder_checksum = 0;
};
struct RepackVerdicts {
  std::array<RepackBlock, kMaxBlocks> blocks{};
  std::array<size_t, 4> count{};  // by Verdict
  size_t of(Verdict v) const { return count[static_cast<size_t>(v)]; }
};

// Reads every block's file from DIR, judges each block against `unpacked` (the manifest's
// record) and the block in `image` (whose checksums are `blocks`), and adds to `replacements`
// the file of each block taken from the folder, by the merge's rules for a block file (an empty
// file stays an empty block). Conflicts are counted in `verdicts`; nothing is added for them.
Failure take_changed_blocks(const FlashImage& image, const BlockChecksums& blocks,
                            const UnpackedBlocks& unpacked, const char* dir,
                            Replacements& replacements, RepackVerdicts& verdicts,
                            const MergeOptions& options = {});

}  // namespace blkswap
