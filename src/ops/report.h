// What the commands show about an image: the list, the layout for people and for scripts, the
// checksum check, and the dry run of a merge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "image/format.h"
#include "image/load.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "ops/round_trip.h"

namespace blkswap {

// Whether a block's stored checksum still describes its bytes: "ok", "stale", or "none" for an
// entry with the no-checksum marker (nothing is computed then).
enum class ChecksumState { ok, stale, none };

// The state of block `index`'s stored checksum; `computed` (when given) receives the checksum of
// its bytes, or 0 for none.
ChecksumState checksum_state(const FlashImage& image, size_t index, uint32_t* computed = nullptr);
// The same from the checksum of the block's bytes, already taken.
ChecksumState checksum_state_of(const BlockEntry& entry, uint32_t crc);
std::string_view checksum_state_name(ChecksumState state);

// A block name with every byte outside printable ASCII, and the backslash, written as \xNN or
// \\ so that it stays on one line and in its column. At most four characters per stored byte.
struct PrintableName {
  char text[4 * kNameSize + 1] = {};
  size_t size = 0;
  std::string_view view() const { return {text, size}; }
};
PrintableName printable_name(std::string_view name);

// An argument (a file's name, a BLOCKNAME) as a message shows it: UTF-8 as it is, every control
// character and every byte that is not UTF-8 as \xNN, so that a message stays one line of text.
void put_printable(std::ostream& out, std::string_view text);
// Whether put_printable shows `text` as it is.
bool is_printable(std::string_view text);

// "id:0x%x name:%s\n" for each block, in block order, the name as its raw bytes.
void print_block_list(const FlashImage& image, std::ostream& out);

// Every table header the scan finds (position and entry count), then every block: index,
// table, slot, id, name, offset, size, start and end in the image, stored checksum and state,
// and its room (block_room: the largest block file a merge of it alone would take).
void print_image_info(const FlashImage& image, std::ostream& out, const MergeOptions& options = {});

// The same as one JSON document (schema 1):
//   {"schema": 1, "length": N,
//    "tables": [{"position": N, "entries": N}, ...],
//    "blocks": [{"index": N, "table": N, "slot": N, "id": N, "name": S, "name_hex": S,
//                "offset": N, "size": N, "start": N, "end": N, "checksum": N, "state": S,
//                "room": N}, ...]}
// Numbers are decimal integers; "end" is one past the block's last byte. "name" holds one
// character per stored byte (up to the first NUL): printable ASCII as itself, any other byte
// as the character of the same code (\u0000 to \u00ff); "name_hex" is those bytes in hex.
// False, with nothing printed, when there is no memory for the document.
bool print_image_info_json(const FlashImage& image, std::ostream& out,
                           const MergeOptions& options = {});

// --verify's document: schema, length, every block's identity with its stored and computed
// checksum (null for none) and state, and how many blocks are ok, stale and none (`stale`).
// With a `file`, the document names it first (--verify of several images).
bool print_verify_json(const FlashImage& image, std::ostream& out, size_t& stale,
                       const char* file = nullptr);

// A repack's judgement of each block: its verdict, and the three checksums it was made from.
struct RepackReport {
  const RepackVerdicts* verdicts = nullptr;
  const UnpackedBlocks* unpacked = nullptr;
  const BlockChecksums* flashfile = nullptr;  // the checksums of FLASHFILE's blocks
  const char* flashfile_name = "";
};

// "1 from the folder, 1 kept from merged.bin, 3 unchanged": the verdicts that occurred.
void put_repack_counts(std::ostream& out, const RepackReport& repack);
// One line per block: "block 0 (bootload): taken from the folder", ... A conflict names the
// three checksums: the folder's, FLASHFILE's and the unpacked file's.
void put_repack_verdicts(std::ostream& out, const FlashImage& image, const RepackReport& repack);
// Every conflicting block with its three checksums, joined by "; ".
void put_repack_conflicts(std::ostream& out, const FlashImage& image, const RepackReport& repack);

// What a dry run found: the plan (null when the merge stopped before it), the image composed
// from it (null unless it was composed whole), and for a merge that would succeed, its warnings;
// for a repack's rehearsal, each block's verdict.
struct DryRun {
  const MergePlan* plan = nullptr;
  const Composed* composed = nullptr;
  int at_fault = kNoBlock;
  const MergeWarnings* warnings = nullptr;
  const RepackReport* repack = nullptr;
};

// --dry-run's document: schema, "merge" ("succeeds" or "fails") and the merge's code (0 on
// success); then, when the image loaded, its length, the block at fault (or null), each block's
// identity with old and new offset, size and checksum (null where the merge would not get that
// far), its state as loaded, whether it is replaced and which later block writes inside it; and
// the bytes erased and left stale ({"count": N, "first": N or null}; null unless the merge would
// succeed).
// Why a command failed, for its JSON document: the step that failed ("load", "replace",
// "write", "unpack", "manifest"), the code and the message, as standard error gives them.
struct ErrorNote {
  std::string_view step;
  int code = 0;
  std::string message;
};
// The document of a command that failed: schema, the file it failed on (when `file` is not
// null) and error. False when there is no memory for it.
bool print_error_json(std::ostream& out, const ErrorNote& error, const char* file = nullptr);

bool print_dry_run_json(const FlashImage* image, const DryRun& run, int code, std::ostream& out,
                        const ErrorNote* error = nullptr);

// What --verify reports, as text or JSON: every block's checksum state and the checksum of its
// bytes (0 for none), and how many blocks are in each state.
struct ChecksumReport {
  std::array<ChecksumState, kMaxBlocks> state{};
  std::array<uint32_t, kMaxBlocks> computed{};
  std::array<size_t, 3> count{};  // by ChecksumState
  size_t of(ChecksumState s) const { return count[static_cast<size_t>(s)]; }
};
ChecksumReport check_every_checksum(const FlashImage& image);

// Prints one line per block whose checksum is stale, then a summary line, and returns how many
// were stale. With a `label` (the file, when several are verified), every line starts with it.
size_t verify_checksums(const FlashImage& image, std::ostream& out, std::string_view label = {});

// What a merge would change, block by block: each block's old offset and size (as loaded) beside
// the new ones, its checksum state as loaded, and whether its stored checksum changes. Blocks
// given new bytes are marked "(replaced)". For a merge that would fail, the blocks the plan did
// not place show "-", as does every checksum column, and block `at_fault` (unless kNoBlock) is
// marked "(at fault)". Under the table, for a merge that would succeed, the blocks it moves, the
// bytes it erases and those it leaves stale, and the other warnings the merge would give.
void print_dry_run(const FlashImage& image, const DryRun& run, std::ostream& out);

// How many blocks a plan moves from their offsets, and the first of them (its index).
ByteCount moved_blocks(const FlashImage& image, const MergePlan& plan);

// The kinds of change a merge makes that nobody asked for (MergeWarnings), and each one's line:
// the count and the first place or block. Nothing is printed for a kind that did not occur.
enum class WarningKind { erased, dropped_tables, stale_checksums };
inline constexpr WarningKind kWarningKinds[] = {WarningKind::erased, WarningKind::dropped_tables,
                                                WarningKind::stale_checksums};
std::string_view warning_word(WarningKind kind);  // "erased", ..., as JSON names it
size_t warning_count(const MergeWarnings& warnings, WarningKind kind);
void put_warning(std::ostream& out, const FlashImage& image, const MergeWarnings& warnings,
                 WarningKind kind);

// One line per warning of `warnings`, each started with `lead` ("blkswap: warning: ").
void put_merge_warnings(std::ostream& out, std::string_view lead, const FlashImage& image,
                        const MergeWarnings& warnings);

// Formats like printf into a bounded buffer (256 bytes; longer output is cut) and writes it.
void put_format(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace blkswap
