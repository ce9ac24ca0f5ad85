#include "ops/rebuild.h"

#include <array>
#include <cstring>

#include "image/crc.h"
#include "image/format.h"
#include "image/load.h"
#include "ops/layout.h"

namespace blkswap {

namespace {

constexpr size_t kChecksumFieldAt = 12;  // within an entry
constexpr size_t kChecksumFieldSize = 4;

ByteRange entry_range(const BlockRecord& record) {
  return {uint64_t{record.table_pos} + kHeaderSize + uint64_t{kEntrySize} * record.slot,
          kEntrySize};
}

ByteRange checksum_field_range(const BlockRecord& record) {
  return {entry_range(record).start + kChecksumFieldAt, kChecksumFieldSize};
}

ByteRange data_range(const BlockRecord& record, uint32_t offset) {
  return {uint64_t{record.table_pos} + offset, record.data.size};
}

bool has_checksum(const BlockRecord& record) {
  return entry_checksum(record.entry) != kNoChecksum;
}

// The blocks whose bytes in `out` are no longer their records' bytes: an entry or a block that
// the composition wrote after them landed inside them (a table nested in a block). Found from
// the places alone, so that images without overlaps pay nothing.
std::array<bool, kMaxBlocks> blocks_written_over(const FlashImage& image, const Layout& layout) {
  std::array<bool, kMaxBlocks> touched{};
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    const ByteRange block = data_range(image.records[k], layout.offsets[k]);
    for (size_t j = k + 1; j < n && !touched[k]; ++j) {
      const BlockRecord& later = image.records[j];
      touched[k] = ranges_overlap(entry_range(later), block) ||
                   ranges_overlap(data_range(later, layout.offsets[j]), block);
    }
  }
  return touched;
}

// Gives every block that was written over the checksum of its bytes as they stand in `out`.
// Writing that checksum into the block's entry may change yet another block (an entry inside
// a block), whose checksum is then taken after it, and so on. False when the chain comes back
// to a block already in it (a block that holds its own checksum field): no value can be right.
bool settle_checksums(FlashImage& image, const Layout& layout, Bytes& out) {
  const size_t n = image.block_count;
  std::array<bool, kMaxBlocks> pending = blocks_written_over(image, layout);
  // Every block whose checksum must be taken again: those written over, and those that hold
  // the checksum field of one of them.
  std::array<bool, kMaxBlocks> changed_by[kMaxBlocks] = {};  // changed_by[m][k]: k's field in m
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t k = 0; k < n; ++k) {
      if (!pending[k] || !has_checksum(image.records[k])) continue;
      const ByteRange field = checksum_field_range(image.records[k]);
      for (size_t m = 0; m < n; ++m) {
        if (changed_by[m][k] ||
            !ranges_overlap(field, data_range(image.records[m], layout.offsets[m]))) {
          continue;
        }
        changed_by[m][k] = true;
        grew |= !pending[m];
        pending[m] = true;
      }
    }
  }
  // Take each checksum once all the fields inside its block are final.
  std::array<bool, kMaxBlocks> done{};
  for (size_t settled = 0, left = 0;; settled = 0, left = 0) {
    for (size_t m = 0; m < n; ++m) {
      if (!pending[m] || done[m]) continue;
      bool ready = true;
      for (size_t k = 0; k < n && ready; ++k) ready = !changed_by[m][k] || done[k];
      if (!ready) {
        ++left;
        continue;
      }
      done[m] = true;
      ++settled;
      BlockRecord& record = image.records[m];
      if (!has_checksum(record)) continue;
      const ByteRange block = data_range(record, layout.offsets[m]);
      const uint32_t crc = block_crc({out.ptr.get() + block.start, record.data.size});
      set_entry_checksum(record.entry, crc);
      write_le32(out.ptr.get() + checksum_field_range(record).start, crc);
    }
    if (left == 0) return true;
    if (settled == 0) return false;
  }
}

// Reads the composed image back as any flash file is read and compares its tables with the
// layout the merge made: every table that had blocks is where it was, with its entry count and
// exactly the entries written. A further table with blocks is allowed only inside a replaced
// block's new bytes (an image the block file brings in); anything else is a table the merge
// broke or invented.
bool reads_back_as_laid_out(const FlashImage& image, const Layout& layout, const Bytes& out) {
  FoundLayout found;
  if (!find_layout(as_span(out), found)) return false;
  const size_t n = image.block_count;
  size_t next = 0;  // the first record not yet matched
  for (size_t i = 0; i < found.entry_count;) {
    const uint32_t table_pos = found.entries[i].table_pos;
    size_t count = 0;
    while (i + count < found.entry_count && found.entries[i + count].table_pos == table_pos) {
      ++count;
    }
    if (next < n && image.records[next].table_pos == table_pos) {
      for (size_t k = 0; k < count; ++k) {
        if (next + k >= n) return false;  // more entries than the merge wrote
        const BlockRecord& record = image.records[next + k];
        if (record.table_pos != table_pos || found.entries[i + k].entry.raw != record.entry.raw) {
          return false;
        }
      }
      next += count;
      if (next < n && image.records[next].table_pos == table_pos) return false;  // fewer entries
    } else {
      if (next < n && image.records[next].table_pos < table_pos) return false;  // a table lost
      bool brought_in = false;
      for (size_t k = 0; k < n && !brought_in; ++k) {
        const BlockRecord& record = image.records[k];
        const ByteRange block = data_range(record, layout.offsets[k]);
        brought_in = record.replaced && table_pos >= block.start &&
                     table_pos + kHeaderSize <= block.start + block.size;
      }
      if (!brought_in) return false;
    }
    i += count;
  }
  return next == n;
}

}  // namespace

int compose_merged_image(FlashImage& image, Bytes& out) {
  const size_t n = image.block_count;
  if (n == 0) return kWriteDoesNotFit;
  Layout layout;
  if (plan_layout(image, layout) < 0) return kWriteDoesNotFit;
  if (!allocate_bytes(out, image.length)) return kWriteNoMemory;

  // Up to the last table that has blocks the flash file's bytes are kept; from there on only
  // that table and the blocks written below survive, the rest is erased flash (0xFF).
  const uint8_t* in = image.bytes.ptr.get();
  uint8_t* dst = out.ptr.get();
  const size_t last_table = image.records[n - 1].table_pos;
  std::memcpy(dst, in, last_table);
  std::memset(dst + last_table, 0xFF, image.length - last_table);
  std::memcpy(dst + image.records[0].table_pos, in + image.records[0].table_pos, kHeaderSize);
  std::memcpy(dst + last_table, in + last_table, kHeaderSize);

  // Later writes win where an entry or block lands on an earlier one (nested tables).
  for (size_t k = 0; k < n; ++k) {
    BlockRecord& record = image.records[k];
    set_entry_offset(record.entry, layout.offsets[k]);
    if (has_checksum(record)) set_entry_checksum(record.entry, block_crc(as_span(record.data)));
    std::memcpy(dst + entry_range(record).start, record.entry.raw.data(), kEntrySize);
    if (record.data.size > 0) {
      std::memcpy(dst + record.table_pos + layout.offsets[k], record.data.ptr.get(),
                  record.data.size);
    }
  }
  if (!settle_checksums(image, layout, out) || !reads_back_as_laid_out(image, layout, out)) {
    out = Bytes{};
    return kWriteDoesNotFit;
  }
  return kWriteOk;
}

int write_merged_image(FlashImage& image, const char* wfile, WriteFailure* why) {
  if (wfile == nullptr || wfile[0] == '\0') return kWriteEmptyName;
  Bytes out;
  const int rc = compose_merged_image(image, out);
  if (rc < 0) return rc;
  return write_result_code(write_file_safely(wfile, as_span(out), why));
}

int write_result_code(WriteResult result) {
  switch (result) {
    case WriteResult::ok:
      return kWriteOk;
    case WriteResult::cannot_create:
      return kWriteCannotCreate;
    case WriteResult::short_write:
      return kWriteShortWrite;
  }
  return kWriteShortWrite;
}

}  // namespace blkswap
