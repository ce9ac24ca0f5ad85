// Loading a flash file: its bytes, its block tables and a record per block.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "image/failure.h"
#include "image/format.h"
#include "platform/files.h"

namespace blkswap {

// A block as loaded. Its bytes are not copied: they are the image's, at the entry's place, which
// the loader has checked lies wholly inside the image (block_bytes).
struct BlockRecord {
  BlockEntry entry;        // exactly as found in the image, opaque bytes included
  uint32_t table_pos = 0;  // position of the header of the table that lists the block
  uint32_t slot = 0;       // the entry's 0-based place in that table
};

// The positions of the first this many tables are kept at load, so that the reports need not
// scan again; an image with more (tables without entries can fill an image) finds the rest by
// scanning on from the last one kept.
inline constexpr size_t kKeptTables = 256;

// The checksum of every kWindow bytes of an image, taken as it was scanned (the last window may
// be shorter), so that a block's checksum needs only its two ends read again.
struct WindowChecksums {
  std::unique_ptr<uint32_t[]> crc;
  size_t count = 0;
};

// A loaded image. Nothing changes it after loading: a merge is planned from it and written from
// its pieces.
struct FlashImage {
  FileBytes bytes;      // the whole flash file: mapped, or read where it cannot be
  uint32_t length = 0;  // bytes read from the flash file
  uint16_t block_count = 0;
  uint32_t table_count = 0;  // every table header found, with blocks or without
  FileIdentity source;       // the flash file the bytes were read from
  std::array<BlockRecord, kMaxBlocks> records;
  std::array<uint32_t, kKeptTables> tables{};  // positions of the first kKeptTables tables
  WindowChecksums windows;                     // of a mapped image, as it was scanned
  std::string name;                            // what messages call it: the flash file as given
};

// About 4 KiB of records, kept off the stack. Empty when the memory cannot be had.
inline std::unique_ptr<FlashImage> allocate_flash_image() {
  return std::unique_ptr<FlashImage>(new (std::nothrow) FlashImage);
}

// Why a scan of the tables found no usable layout.
enum class ScanFault {
  none,
  no_table,          // no table header anywhere
  entries_past_end,  // the table at table_pos announces more entries than the image holds
  block_outside,     // entry `slot` of the table at table_pos places its block outside
  too_many_blocks,   // entry `slot` of the table at table_pos is the 65th of the image
};
struct ScanFailure {
  ScanFault fault = ScanFault::none;
  uint32_t table_pos = 0;
  uint32_t slot = 0;
};

// Loads `flashfile` (standard input for kStandardStream): flashfile_empty, flashfile_unreadable,
// image_no_memory, bad_length or no_table.
Failure load_image(FlashImage& image, const char* flashfile);

// load_image in its two steps: the flash file read (mapped) whole, then its tables found.
Failure read_image_file(const char* flashfile, FileContents& contents);
Failure load_image_contents(FlashImage& image, FileContents contents, std::string_view name);

// The same steps on bytes already in memory (they become image.bytes); `name` is what a failure
// names.
Failure load_image_bytes(FlashImage& image, FileBytes bytes, std::string_view name = {});
Failure load_image_bytes(FlashImage& image, Bytes bytes, std::string_view name = {});

// Finds every table in image.bytes[0, length) and fills the records. False when find_layout
// fails (`scan` says why).
bool scan_tables(FlashImage& image, uint32_t length, ScanFailure* scan = nullptr);

// The image's bytes, all `length` of them.
inline std::span<const uint8_t> image_bytes(const FlashImage& image) {
  return image.bytes.view.first(std::min<size_t>(image.length, image.bytes.view.size()));
}

inline constexpr size_t kNoTableHeader = static_cast<size_t>(-1);

// The position of the first table header at or after `from`, or kNoTableHeader.
size_t find_table_header(std::span<const uint8_t> image, size_t from);

// Every table of an image and the entries of those with blocks, found and bounds-checked but
// with no block copied: what loading builds its records from, and what the rebuild reads back
// from the image it composed.
struct FoundEntry {
  BlockEntry entry;
  uint32_t table_pos = 0;
  uint32_t slot = 0;
};
struct FoundLayout {
  std::array<FoundEntry, kMaxBlocks> entries;
  size_t entry_count = 0;
  uint32_t table_count = 0;                    // with entries or without
  std::array<uint32_t, kKeptTables> tables{};  // the first kKeptTables positions
  ScanFailure failure;                         // why find_layout returned false
};

// Fills `found` from `image`. False, with found.failure saying why, when there is no table,
// more than 64 entries in all, or a table's entries or an entry's block not wholly inside.
bool find_layout(std::span<const uint8_t> image, FoundLayout& found);

// The same a window at a time, for an image too large to view at once: adds to `found` the
// tables whose headers start before `to`, in a `window` that holds the image's bytes from
// `offset` on and reaches kTableReach past `to` (or to the image's end at `total`). Windows
// taken in order, each starting where the one before stopped searching, find what find_layout
// finds, but for the missing table, which the caller judges from found.table_count.
inline constexpr size_t kTableReach = kHeaderSize + 255 * kEntrySize;
bool find_layout_part(std::span<const uint8_t> window, uint64_t offset, uint64_t total, uint64_t to,
                      FoundLayout& found);

// "block 1 (kernel)": a block's index and its name made printable (if it has one), as messages
// name it.
std::string block_label(const FlashImage& image, size_t index);

// Start of block `index` in the image (its table's position plus its offset) and one past its
// end. The loader has checked that both lie inside the image.
uint64_t block_start(const FlashImage& image, size_t index);
uint64_t block_end(const FlashImage& image, size_t index);

// The bytes of block `index`, a view into the image's bytes; empty for an index past the blocks
// (or a place outside the bytes, which a loaded image never has).
std::span<const uint8_t> block_bytes(const FlashImage& image, size_t index);

// The passes over many bytes of a file, a window at a time (for_each_window): the checksum of
// `part` of `file`, and whether two parts of two files hold the same bytes.
uint32_t checksum_of(const FileBytes& file, std::span<const uint8_t> part);
bool same_bytes(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                std::span<const uint8_t> part_b, uint32_t* crc_b = nullptr);

// The checksum of block `index`'s bytes: from the window checksums where it spans whole windows.
uint32_t block_checksum(const FlashImage& image, size_t index);

// The checksum of `part` of the image's bytes, the same way.
uint32_t image_checksum_of(const FlashImage& image, std::span<const uint8_t> part);

// The position of table `index` (in order of position) of a loaded image, whose table `index - 1`
// lies at `previous`; kNoTableHeader past the last.
size_t table_position(const FlashImage& image, size_t index, size_t previous);

// Calls `visit(position, entry_count)` for every table header of a loaded image, in order of
// position, including tables that list no block.
template <typename Visit>
void for_each_table(const FlashImage& image, Visit visit) {
  const std::span<const uint8_t> bytes = image_bytes(image);
  size_t pos = kNoTableHeader;
  for (size_t t = 0; t < image.table_count; ++t) {
    pos = table_position(image, t, pos);
    visit(static_cast<uint32_t>(pos), table_entry_count(bytes, pos));
  }
}

}  // namespace blkswap
