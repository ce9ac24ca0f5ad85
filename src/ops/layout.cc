#include "ops/layout.h"

#include "image/format.h"

namespace blkswap {

namespace {

constexpr int kLayoutOk = 1;
constexpr int kLayoutDoesNotFit = -2;

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
bool overlaps_something_new(const FlashImage& image, const Layout& layout) {
  const size_t n = image.block_count;
  std::array<ByteRange, kMaxBlocks> before{};
  std::array<ByteRange, kMaxBlocks> after{};
  for (size_t k = 0; k < n; ++k) {
    const BlockRecord& record = image.records[k];
    before[k] = {uint64_t{record.table_pos} + entry_offset(image.snapshot[k]),
                 entry_size(image.snapshot[k])};
    after[k] = {uint64_t{record.table_pos} + layout.offsets[k], record.data.size};
  }
  for (size_t t = 0; t < n; ++t) {
    if (image.records[t].slot != 0) continue;  // each table that has blocks, once
    const uint32_t pos = image.records[t].table_pos;
    const ByteRange table = table_range(pos, entries_of_table(image, pos));
    for (size_t k = 0; k < n; ++k) {
      if (ranges_overlap(after[k], table) && !ranges_overlap(before[k], table)) return true;
    }
  }
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = 0; j < k; ++j) {
      if (ranges_overlap(after[k], after[j]) && !ranges_overlap(before[k], before[j])) return true;
    }
  }
  return false;
}

}  // namespace

int plan_layout(const FlashImage& image, Layout& layout) {
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    const BlockRecord& record = image.records[k];
    const uint64_t size = record.data.size;
    if (size > UINT32_MAX) return kLayoutDoesNotFit;
    uint64_t offset = entry_offset(record.entry);
    if (record.slot != 0) offset = uint64_t{layout.offsets[k - 1]} + image.records[k - 1].data.size;
    if (is_aligned_id(entry_id(record.entry)) && offset % kAlignment != 0) {
      offset = (offset / kAlignment + 1) * kAlignment;
    }
    if (offset > UINT32_MAX) return kLayoutDoesNotFit;
    const uint64_t end = uint64_t{record.table_pos} + offset + size;
    if (end > image.length) return kLayoutDoesNotFit;
    if (k == n - 1 && end >= image.length) return kLayoutDoesNotFit;
    layout.offsets[k] = static_cast<uint32_t>(offset);
  }
  return overlaps_something_new(image, layout) ? kLayoutDoesNotFit : kLayoutOk;
}

}  // namespace blkswap
