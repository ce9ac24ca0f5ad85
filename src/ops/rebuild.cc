#include "ops/rebuild.h"

#include <array>
#include <cstring>

#include "image/crc.h"
#include "image/format.h"

namespace blkswap {

namespace {

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

bool is_aligned_id(uint8_t id) {
  return id == kAlignedIdA || id == kAlignedIdB;
}

ByteRange table_range(uint32_t table_pos, uint32_t entry_count) {
  return {table_pos, kHeaderSize + uint64_t{kEntrySize} * entry_count};
}

// A table's entries are the records that name its position; there is one record per entry.
uint32_t entries_of_table(const FlashImage& image, uint32_t table_pos) {
  uint32_t count = 0;
  for (size_t i = 0; i < image.block_count; ++i) count += image.records[i].table_pos == table_pos;
  return count;
}

// A merge may not move a block onto a table or another block it did not already cover: that
// would silently destroy it. Overlaps the flash file already had (a table nested inside a
// block) are kept.
bool overlaps_something_new(const FlashImage& image, RebuildReport& report) {
  const size_t n = image.block_count;
  std::array<ByteRange, kMaxBlocks> before{};
  std::array<ByteRange, kMaxBlocks> after{};
  for (size_t k = 0; k < n; ++k) {
    const BlockRecord& record = image.records[k];
    before[k] = {uint64_t{record.table_pos} + entry_offset(image.snapshot[k]),
                 entry_size(image.snapshot[k])};
    after[k] = {uint64_t{record.table_pos} + report.offsets[k], record.data.size};
  }
  for (size_t t = 0; t < n; ++t) {
    if (image.records[t].slot != 0) continue;  // each table that has blocks, once
    const uint32_t pos = image.records[t].table_pos;
    const ByteRange table = table_range(pos, entries_of_table(image, pos));
    for (size_t k = 0; k < n; ++k) {
      if (ranges_overlap(after[k], table) && !ranges_overlap(before[k], table)) {
        report.fault = RebuildFault::covers_table;
        report.block = k;
        report.table_pos = pos;
        return true;
      }
    }
  }
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = 0; j < k; ++j) {
      if (ranges_overlap(after[k], after[j]) && !ranges_overlap(before[k], before[j])) {
        report.fault = RebuildFault::covers_block;
        report.block = k;
        report.other = j;
        return true;
      }
    }
  }
  return false;
}

bool refuse(RebuildReport& report, RebuildFault fault, size_t block, uint64_t end = 0) {
  report.fault = fault;
  report.block = block;
  report.end = end;
  return false;
}

}  // namespace

bool plan_layout(const FlashImage& image, RebuildReport& report) {
  const size_t n = image.block_count;
  report = RebuildReport{};
  if (n == 0) return refuse(report, RebuildFault::no_blocks, 0);
  for (size_t k = 0; k < n; ++k) {
    const BlockRecord& record = image.records[k];
    const uint64_t size = record.data.size;
    if (size > UINT32_MAX) return refuse(report, RebuildFault::field_overflow, k);
    uint64_t offset = entry_offset(record.entry);
    if (record.slot != 0) offset = uint64_t{report.offsets[k - 1]} + image.records[k - 1].data.size;
    if (is_aligned_id(entry_id(record.entry)) && offset % kAlignment != 0) {
      offset = (offset / kAlignment + 1) * kAlignment;
    }
    if (offset > UINT32_MAX) return refuse(report, RebuildFault::field_overflow, k);
    const uint64_t end = uint64_t{record.table_pos} + offset + size;
    if (end > image.length) return refuse(report, RebuildFault::past_end, k, end);
    if (k == n - 1 && end >= image.length) return refuse(report, RebuildFault::last_at_end, k, end);
    report.offsets[k] = static_cast<uint32_t>(offset);
    report.placed = k + 1;
  }
  return !overlaps_something_new(image, report);
}

namespace {

// The blocks whose bytes in `out` are no longer their records' bytes: an entry or a block that
// the composition wrote after them landed inside them (a table nested in a block). Found from
// the places alone, so that images without overlaps pay nothing.
std::array<bool, kMaxBlocks> blocks_written_over(const FlashImage& image,
                                                 const RebuildReport& plan) {
  std::array<bool, kMaxBlocks> touched{};
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    const ByteRange block = data_range(image.records[k], plan.offsets[k]);
    for (size_t j = k + 1; j < n && !touched[k]; ++j) {
      const BlockRecord& later = image.records[j];
      touched[k] = ranges_overlap(entry_range(later), block) ||
                   ranges_overlap(data_range(later, plan.offsets[j]), block);
    }
  }
  return touched;
}

// Gives every block that was written over the checksum of its bytes as they stand in `out`.
// Writing that checksum into the block's entry may change yet another block (an entry inside
// a block), whose checksum is then taken after it, and so on. False when the chain comes back
// to a block already in it (a block that holds its own checksum field): no value can be right.
bool settle_checksums(FlashImage& image, RebuildReport& plan, Bytes& out) {
  const size_t n = image.block_count;
  std::array<bool, kMaxBlocks> pending = blocks_written_over(image, plan);
  // Every block whose checksum must be taken again: those written over, and those that hold
  // the checksum field of one of them.
  std::array<bool, kMaxBlocks> changed_by[kMaxBlocks] = {};  // changed_by[m][k]: k's field in m
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t k = 0; k < n; ++k) {
      if (!pending[k] || !has_checksum(image.records[k].entry)) continue;
      const ByteRange field = checksum_field_range(image.records[k]);
      for (size_t m = 0; m < n; ++m) {
        if (changed_by[m][k] ||
            !ranges_overlap(field, data_range(image.records[m], plan.offsets[m]))) {
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
      if (!has_checksum(record.entry)) continue;
      const ByteRange block = data_range(record, plan.offsets[m]);
      const uint32_t crc = block_crc({out.ptr.get() + block.start, record.data.size});
      set_entry_checksum(record.entry, crc);
      write_le32(out.ptr.get() + checksum_field_range(record).start, crc);
    }
    if (left == 0) return true;
    if (settled == 0) {
      for (size_t m = 0; m < n; ++m) {
        if (pending[m] && !done[m]) plan.block = m;  // the last block of the cycle
      }
      plan.fault = RebuildFault::checksum_cycle;
      return false;
    }
  }
}

// Reads the composed image back as any flash file is read and compares its tables with the
// layout the merge made: every table that had blocks is where it was, with its entry count and
// exactly the entries written. A further table with blocks is allowed only inside a replaced
// block's new bytes (an image the block file brings in); anything else is a table the merge
// broke or invented.
bool reads_back_as_laid_out(const FlashImage& image, RebuildReport& plan, const Bytes& out) {
  plan.fault = RebuildFault::reads_back_wrong;  // until the whole read-back agrees
  FoundLayout found;
  if (!find_layout(as_span(out), found)) {
    plan.table_pos = found.failure.table_pos;
    return false;
  }
  const size_t n = image.block_count;
  size_t next = 0;  // the first record not yet matched
  for (size_t i = 0; i < found.entry_count;) {
    const uint32_t table_pos = found.entries[i].table_pos;
    plan.table_pos = table_pos;
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
        const ByteRange block = data_range(record, plan.offsets[k]);
        brought_in = record.replaced && table_pos >= block.start &&
                     table_pos + kHeaderSize <= block.start + block.size;
      }
      if (!brought_in) return false;
    }
    i += count;
  }
  if (next != n) {
    plan.table_pos = image.records[next].table_pos;
    return false;
  }
  plan.fault = RebuildFault::none;
  return true;
}

}  // namespace

WriteCode compose_merged_image(FlashImage& image, Bytes& out, RebuildReport* report) {
  RebuildReport ignored;
  RebuildReport& plan = report != nullptr ? *report : ignored;
  if (!plan_layout(image, plan)) return WriteCode::does_not_fit;
  if (!allocate_bytes(out, image.length)) return WriteCode::no_memory;

  // Up to the last table that has blocks the flash file's bytes are kept; from there on only
  // that table and the blocks written below survive, the rest is erased flash (0xFF).
  const size_t n = image.block_count;
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
    set_entry_offset(record.entry, plan.offsets[k]);
    if (has_checksum(record.entry)) {
      set_entry_checksum(record.entry, block_crc(as_span(record.data)));
    }
    std::memcpy(dst + entry_range(record).start, record.entry.raw.data(), kEntrySize);
    if (record.data.size > 0) {
      std::memcpy(dst + record.table_pos + plan.offsets[k], record.data.ptr.get(),
                  record.data.size);
    }
  }
  if (!settle_checksums(image, plan, out) || !reads_back_as_laid_out(image, plan, out)) {
    out = Bytes{};
    return WriteCode::does_not_fit;
  }
  plan.composed = true;
  return WriteCode::ok;
}

WriteCode write_merged_image(FlashImage& image, const char* wfile, RebuildReport* report,
                             WriteFailure* why) {
  if (wfile == nullptr || wfile[0] == '\0') return WriteCode::empty_name;
  Bytes out;
  const WriteCode composed = compose_merged_image(image, out, report);
  if (composed != WriteCode::ok) return composed;
  return write_code(write_file_safely(wfile, as_span(out), why));
}

WriteCode write_code(WriteResult result) {
  switch (result) {
    case WriteResult::ok:
      return WriteCode::ok;
    case WriteResult::cannot_create:
      return WriteCode::cannot_create;
    case WriteResult::short_write:
      break;
  }
  return WriteCode::short_write;
}

}  // namespace blkswap
