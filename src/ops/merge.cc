#include "ops/merge.h"

#include <algorithm>
#include <cstring>

#include "image/crc.h"
#include "image/format.h"
#include "image/text.h"

namespace blkswap {

namespace {

constexpr size_t kChecksumFieldSize = 4;

using Sizes = std::array<uint64_t, kMaxBlocks>;
using Flags = std::array<bool, kMaxBlocks>;

ByteRange entry_range(const BlockRecord& record) {
  return {uint64_t{record.table_pos} + kHeaderSize + uint64_t{kEntrySize} * record.slot,
          kEntrySize};
}

ByteRange checksum_field_range(const BlockRecord& record) {
  return {entry_range(record).start + kChecksumFieldAt, kChecksumFieldSize};
}

ByteRange new_range(const FlashImage& image, const MergePlan& plan, size_t k) {
  return {uint64_t{image.records[k].table_pos} + plan.blocks[k].offset, plan.blocks[k].size};
}

ByteRange old_range(const FlashImage& image, size_t k) {
  return {block_start(image, k), entry_size(image.records[k].entry)};
}

bool is_aligned_id(uint8_t id) {
  return id == kAlignedIdA || id == kAlignedIdB;
}

bool inside(ByteRange part, ByteRange whole) {
  return part.start >= whole.start && part.start + part.size <= whole.start + whole.size;
}

// A table's entries are the records that name its position; there is one record per entry.
ByteRange table_range(const FlashImage& image, uint32_t table_pos) {
  uint64_t count = 0;
  for (size_t i = 0; i < image.block_count; ++i) count += image.records[i].table_pos == table_pos;
  return {table_pos, kHeaderSize + kEntrySize * count};
}

bool refuse(MergeRefusal& refusal, MergeFault fault, size_t block, uint64_t at = 0,
            size_t other = 0) {
  refusal.fault = fault;
  refusal.block = block;
  refusal.at = at;
  refusal.other = other;
  return false;
}

bool place_blocks(const FlashImage& image, const Sizes& sizes, const MergeOptions& options,
                  MergePlan& plan) {
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    const BlockRecord& record = image.records[k];
    if (sizes[k] > UINT32_MAX) return refuse(plan.refusal, MergeFault::field_overflow, k);
    uint64_t offset = entry_offset(record.entry);
    if (record.slot != 0 && !options.keep_offsets) {
      offset = uint64_t{plan.blocks[k - 1].offset} + plan.blocks[k - 1].size;
    }
    if (is_aligned_id(entry_id(record.entry)) && offset % kAlignment != 0) {
      offset = (offset / kAlignment + 1) * kAlignment;
    }
    if (offset > UINT32_MAX) return refuse(plan.refusal, MergeFault::field_overflow, k);
    const uint64_t end = uint64_t{record.table_pos} + offset + sizes[k];
    if (end > image.length) return refuse(plan.refusal, MergeFault::past_end, k, end);
    if (k == n - 1 && end >= image.length)
      return refuse(plan.refusal, MergeFault::last_at_end, k, end);
    plan.blocks[k].offset = static_cast<uint32_t>(offset);  // its size lay_out has set
    plan.placed = k + 1;
  }
  return true;
}

// A merge may not move a block onto a table or another block it did not already cover: that
// would silently destroy it. Overlaps the flash file already had (a table nested inside a
// block) are kept.
bool covers_nothing_new(const FlashImage& image, MergePlan& plan) {
  const size_t n = image.block_count;
  for (size_t t = 0; t < n; ++t) {
    if (image.records[t].slot != 0) continue;  // each table that has blocks, once
    const uint32_t pos = image.records[t].table_pos;
    const ByteRange table = table_range(image, pos);
    for (size_t k = 0; k < n; ++k) {
      if (ranges_overlap(new_range(image, plan, k), table) &&
          !ranges_overlap(old_range(image, k), table)) {
        plan.refusal.table_pos = pos;
        return refuse(plan.refusal, MergeFault::covers_table, k);
      }
    }
  }
  for (size_t k = 0; k < n; ++k) {
    for (size_t j = 0; j < k; ++j) {
      if (ranges_overlap(new_range(image, plan, k), new_range(image, plan, j)) &&
          !ranges_overlap(old_range(image, k), old_range(image, j))) {
        return refuse(plan.refusal, MergeFault::covers_block, k, 0, j);
      }
    }
  }
  return true;
}

// Which blocks later writes land in: an entry or a block that the composition writes after a
// block's bytes, inside them (a table nested in a block). Their checksums are taken from the
// composed image, once every checksum field inside them is final; writing such a checksum may
// change yet another block, whose checksum is then taken after it, and so on. False when the
// chain comes back to a block already in it (a block that holds its own checksum field): no
// value can be right.
bool plan_settling(const FlashImage& image, MergePlan& plan) {
  const size_t n = image.block_count;
  Flags pending{};
  for (size_t k = 0; k < n; ++k) {
    const ByteRange block = new_range(image, plan, k);
    for (size_t j = k + 1; j < n && plan.blocks[k].written_over_by < 0; ++j) {
      if (ranges_overlap(entry_range(image.records[j]), block) ||
          ranges_overlap(new_range(image, plan, j), block)) {
        plan.blocks[k].written_over_by = static_cast<int>(j);
        pending[k] = true;
      }
    }
  }
  // changed_by[m][k]: block m holds the checksum field of block k, which is taken again.
  std::array<Flags, kMaxBlocks> changed_by{};
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t k = 0; k < n; ++k) {
      if (!pending[k] || !has_checksum(image.records[k].entry)) continue;
      const ByteRange field = checksum_field_range(image.records[k]);
      for (size_t m = 0; m < n; ++m) {
        if (changed_by[m][k] || !ranges_overlap(field, new_range(image, plan, m))) continue;
        changed_by[m][k] = true;
        grew |= !pending[m];
        pending[m] = true;
      }
    }
  }
  Flags done{};
  plan.settle_count = 0;
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
      plan.settle_order[plan.settle_count++] = static_cast<uint8_t>(m);
    }
    if (left == 0) return true;
    if (settled == 0) {
      size_t last = 0;
      for (size_t m = 0; m < n; ++m) {
        if (pending[m] && !done[m]) last = m;  // the last block of the cycle
      }
      return refuse(plan.refusal, MergeFault::checksum_cycle, last);
    }
  }
}

// The written-over rule from places alone, for the room: no later write (an entry, a block, a
// checksum taken again) may land inside a replaced block's new place, but the entries and blocks
// of a table whose header lies inside it (a table its bytes carry, which the read-back of the
// composed image judges) and another replaced block wholly inside it; nor may the new bytes land
// on an entry written before them. The composition applies the same rules to the bytes, where a
// write of the very bytes already there changes nothing.
bool new_places_stay_clear(const FlashImage& image, MergePlan& plan) {
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    if (!plan.blocks[k].replaced) continue;
    const ByteRange place = new_range(image, plan, k);
    auto carried = [&](size_t j) {
      return inside({image.records[j].table_pos, kHeaderSize}, place);
    };
    for (size_t j = 0; j <= k; ++j) {
      if (!carried(j) && ranges_overlap(entry_range(image.records[j]), place)) {
        plan.refusal.table_pos = image.records[j].table_pos;
        return refuse(plan.refusal, MergeFault::covers_table, k);
      }
    }
    auto lands = [&](ByteRange write, size_t j) {
      if (!ranges_overlap(write, place)) return false;
      refuse(plan.refusal, MergeFault::written_over, k, std::max(write.start, place.start), j);
      return true;
    };
    for (size_t j = k + 1; j < n; ++j) {
      if (carried(j)) continue;
      if (lands(entry_range(image.records[j]), j)) return false;
      const bool nested_new = plan.blocks[j].replaced && inside(new_range(image, plan, j), place);
      if (!nested_new && lands(new_range(image, plan, j), j)) return false;
    }
    for (size_t i = 0; i < plan.settle_count; ++i) {
      const size_t m = plan.settle_order[i];
      if (has_checksum(image.records[m].entry) && m != k && !carried(m) &&
          lands(checksum_field_range(image.records[m]), m)) {
        return false;
      }
    }
  }
  return true;
}

// Everything of a plan that depends on sizes alone, not on bytes; for the room, the written-over
// rule too (`for_room`), which a plan leaves to the composition's comparison of the bytes.
bool lay_out(const FlashImage& image, const Sizes& sizes, const Flags& replaced,
             const MergeOptions& options, MergePlan& plan, bool for_room = false) {
  plan = MergePlan{};
  for (size_t k = 0; k < image.block_count; ++k) {
    plan.blocks[k].replaced = replaced[k];
    plan.blocks[k].size = static_cast<uint32_t>(std::min<uint64_t>(sizes[k], UINT32_MAX));
  }
  return place_blocks(image, sizes, options, plan) && covers_nothing_new(image, plan) &&
         plan_settling(image, plan) && (!for_room || new_places_stay_clear(image, plan));
}

void sizes_of(const FlashImage& image, const Replacements& replacements, Sizes& sizes,
              Flags& replaced) {
  for (size_t k = 0; k < image.block_count; ++k) sizes[k] = entry_size(image.records[k].entry);
  for (size_t i = 0; i < replacements.count; ++i) {
    const NewBlock& item = replacements.items[i];
    if (item.block >= image.block_count) continue;
    sizes[item.block] = item.bytes.view.size();
    replaced[item.block] = true;
  }
}

// Ranges made disjoint and sorted, for counting the bytes one set leaves of another.
struct RangeSet {
  std::array<ByteRange, 3 * kMaxBlocks> ranges{};
  size_t count = 0;
  void add(ByteRange r) {
    if (r.size > 0 && count < ranges.size()) ranges[count++] = r;
  }
  void normalise() {
    std::sort(ranges.begin(), ranges.begin() + static_cast<std::ptrdiff_t>(count),
              [](ByteRange a, ByteRange b) { return a.start < b.start; });
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      if (kept > 0 && ranges[i].start <= ranges[kept - 1].start + ranges[kept - 1].size) {
        ByteRange& last = ranges[kept - 1];
        last.size = std::max(last.start + last.size, ranges[i].start + ranges[i].size) - last.start;
      } else {
        ranges[kept++] = ranges[i];
      }
    }
    count = kept;
  }
};

// Calls visit(start, end) for every part of [start, end) that `kept` (normalised) leaves.
template <typename Visit>
void for_each_gap(const RangeSet& kept, uint64_t start, uint64_t end, Visit visit) {
  for (size_t i = 0; i < kept.count && start < end; ++i) {
    const ByteRange r = kept.ranges[i];
    if (r.start + r.size <= start) continue;
    if (r.start >= end) break;
    if (r.start > start) visit(start, r.start);
    start = std::max(start, r.start + r.size);
  }
  if (start < end) visit(start, end);
}

void count(ByteCount& total, uint64_t first, uint64_t how_many) {
  if (how_many == 0) return;
  if (total.count == 0) total.first = first;
  total.count += how_many;
}

// Bytes of [start, end) of the image that are not 0xFF, eight at a time where they are.
void count_not_erased(const FlashImage& image, uint64_t start, uint64_t end, ByteCount& total) {
  uint64_t at = start;
  const auto count_window = [&](std::span<const uint8_t> window) {
    for (size_t p = 0; p < window.size();) {
      uint64_t word;
      if (window.size() - p >= 8 &&
          (std::memcpy(&word, window.data() + p, 8), word == ~uint64_t{0})) {
        p += 8;
        continue;
      }
      if (window[p] != 0xFF) count(total, at + p, 1);
      ++p;
    }
    at += window.size();
    return true;
  };
  const std::span<const uint8_t> part = image_bytes(image).subspan(start, end - start);
  if (!for_each_window(image.bytes, part, 0, count_window)) count_window(part);
}

// What the composition erases and what it leaves stale, from the places alone.
void count_lost_bytes(const FlashImage& image, MergePlan& plan) {
  const size_t n = image.block_count;
  if (n == 0) return;  // an image without blocks is merged as it is
  const uint64_t last_table = image.records[n - 1].table_pos;
  RangeSet kept;  // what the composition writes
  RangeSet old;   // where blocks were
  kept.add({image.records[0].table_pos, kHeaderSize});
  kept.add({last_table, kHeaderSize});
  for (size_t k = 0; k < n; ++k) {
    kept.add(entry_range(image.records[k]));
    kept.add(new_range(image, plan, k));
    old.add(old_range(image, k));
  }
  kept.normalise();
  old.normalise();
  for (size_t i = 0; i < old.count; ++i) {
    const ByteRange r = old.ranges[i];
    for_each_gap(kept, r.start, std::min(r.start + r.size, last_table),
                 [&](uint64_t from, uint64_t to) { count(plan.stale, from, to - from); });
  }
  for_each_gap(kept, last_table, image.length,
               [&](uint64_t from, uint64_t to) { count_not_erased(image, from, to, plan.erased); });
}

}  // namespace

namespace {

// A refusal that a smaller block file would have avoided names that block and its room, given
// the other replacements. When several are too big for that room (one block file too big for
// any place makes every other's room 0), the one too big even with every other block as
// loaded is named.
void name_the_block_too_big(const FlashImage& image, const Replacements& replacements,
                            const MergeOptions& options, MergeRefusal& refusal) {
  const Replacements none;
  bool chosen_alone = false;
  for (size_t i = 0; i < replacements.count && !chosen_alone; ++i) {
    const NewBlock& item = replacements.items[i];
    const uint64_t room = block_room(image, replacements, item.block, options);
    if (item.bytes.view.size() <= room) continue;
    chosen_alone = replacements.count == 1 ||
                   item.bytes.view.size() > block_room(image, none, item.block, options);
    if (refusal.too_big && !chosen_alone) continue;
    refusal.too_big = true;
    refusal.grown = item.block;
    refusal.grown_size = item.bytes.view.size();
    refusal.room = room;
  }
}

}  // namespace

bool plan_merge(const FlashImage& image, const Replacements& replacements, MergePlan& plan,
                const MergeOptions& options,
                const std::array<uint32_t, kMaxBlocks>* loaded_checksums) {
  Sizes sizes{};
  Flags replaced{};
  sizes_of(image, replacements, sizes, replaced);
  if (!lay_out(image, sizes, replaced, options, plan)) {
    name_the_block_too_big(image, replacements, options, plan.refusal);
    return false;
  }
  for (size_t k = 0; k < image.block_count; ++k) {
    PlannedBlock& block = plan.blocks[k];
    const NewBlock* item = replacements.find(k);
    block.bytes = item != nullptr ? as_span(item->bytes) : block_bytes(image, k);
    const BlockEntry& entry = image.records[k].entry;
    if (!has_checksum(entry)) {
      block.checksum = entry_checksum(entry);
    } else if (item == nullptr && loaded_checksums != nullptr) {
      block.checksum = (*loaded_checksums)[k];
    } else {
      block.checksum = checksum_of(item != nullptr ? item->bytes : image.bytes, block.bytes);
    }
    block.was_stale =
        item == nullptr && has_checksum(entry) && block.checksum != entry_checksum(entry);
  }
  count_lost_bytes(image, plan);
  return true;
}

uint64_t block_room(const FlashImage& image, const Replacements& others, size_t index,
                    const MergeOptions& options) {
  if (index >= image.block_count) return 0;
  Sizes sizes{};
  Flags replaced{};
  sizes_of(image, others, sizes, replaced);
  replaced[index] = true;
  MergePlan trial;
  auto fits = [&](uint64_t size) {
    sizes[index] = size;
    return lay_out(image, sizes, replaced, options, trial, true);
  };
  // No block reaches past the image's end from its table; within that, the largest size that
  // fits with the next one refused.
  uint64_t refused = uint64_t{image.length} - image.records[index].table_pos + 1;
  uint64_t fitting = entry_size(image.records[index].entry);
  if (fitting == 0 || !fits(fitting)) {
    fitting = 1;
    if (!fits(fitting)) return 0;
  }
  while (refused - fitting > 1) {
    const uint64_t middle = fitting + (refused - fitting) / 2;
    (fits(middle) ? fitting : refused) = middle;
  }
  return fitting;
}

namespace {

// The entry block `k` has in the merged image, with the checksum field `checksum`.
BlockEntry composed_entry(const FlashImage& image, const MergePlan& plan, uint32_t checksum,
                          size_t k) {
  BlockEntry entry = image.records[k].entry;
  set_entry_offset(entry, plan.blocks[k].offset);
  set_entry_size(entry, plan.blocks[k].size);
  set_entry_checksum(entry, checksum);
  return entry;
}

// What writes a stretch of the merged image: the flash file's bytes kept, erased flash, a kept
// header, or block k's entry or bytes.
enum class Source : uint8_t { kept, erased, header, entry, block };

// One stretch of the merged image, from one write: the last of the writes that cover it.
struct Segment {
  ByteRange range;
  Source source = Source::kept;
  size_t block = 0;                // for an entry or block
  std::span<const uint8_t> bytes;  // what it holds; empty for erased flash
};

// The merged image of a plan as the stretches its writes leave, in order, every byte in one:
// up to the last table that has blocks the flash file's bytes, from there on 0xFF; the headers
// of the first and the last table that have blocks; then every entry and every block's bytes at
// their new places, later writes over earlier ones (nested tables). Views the plan's bytes and
// `entries` (each block's entry as written, made here).
struct Layout {
  std::array<Segment, 4 * (2 + 2 * kMaxBlocks)> segments{};
  size_t count = 0;
  std::array<BlockEntry, kMaxBlocks> entries{};
};

void describe(const FlashImage& image, const MergePlan& plan, std::span<const uint32_t> checksums,
              Layout& layout) {
  struct Write {
    ByteRange range;
    Source source;
    size_t block;
    std::span<const uint8_t> bytes;
  };
  const size_t n = image.block_count;
  const std::span<const uint8_t> in = image_bytes(image);
  // An image without blocks has no table with blocks to erase after: it stays as it is.
  const uint64_t last_table = n > 0 ? image.records[n - 1].table_pos : image.length;
  std::array<Write, 4 + 2 * kMaxBlocks> writes{};
  size_t count = 0;
  writes[count++] = {{0, last_table}, Source::kept, 0, in.first(last_table)};
  writes[count++] = {{last_table, image.length - last_table}, Source::erased, 0, {}};
  if (n > 0) {
    for (const uint64_t header : {uint64_t{image.records[0].table_pos}, last_table}) {
      writes[count++] = {{header, kHeaderSize}, Source::header, 0, in.subspan(header, kHeaderSize)};
    }
  }
  for (size_t k = 0; k < n; ++k) {
    layout.entries[k] = composed_entry(image, plan, checksums[k], k);
    writes[count++] = {entry_range(image.records[k]), Source::entry, k, layout.entries[k].raw};
    writes[count++] = {new_range(image, plan, k), Source::block, k, plan.blocks[k].bytes};
  }
  // Every place a write starts or ends; between two of them one write is the last to land.
  std::array<uint64_t, 2 * writes.size()> edges{};
  size_t edge_count = 0;
  for (size_t w = 0; w < count; ++w) {
    edges[edge_count++] = writes[w].range.start;
    edges[edge_count++] = writes[w].range.start + writes[w].range.size;
  }
  std::sort(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(edge_count));
  layout.count = 0;
  for (size_t e = 0; e + 1 < edge_count; ++e) {
    const ByteRange stretch{edges[e], edges[e + 1] - edges[e]};
    if (stretch.size == 0) continue;
    size_t last = count;
    for (size_t w = count; w-- > 0 && last == count;) {
      if (ranges_overlap(writes[w].range, stretch)) last = w;
    }
    if (last == count) continue;
    const Write& write = writes[last];
    Segment& previous = layout.segments[layout.count > 0 ? layout.count - 1 : 0];
    if (layout.count > 0 && previous.source == write.source && previous.block == write.block &&
        previous.range.start + previous.range.size == stretch.start &&
        (write.source == Source::erased ||
         previous.bytes.data() + previous.bytes.size() ==
             write.bytes.data() + (stretch.start - write.range.start))) {
      previous.range.size += stretch.size;
      if (write.source != Source::erased) {
        previous.bytes = {previous.bytes.data(),
                          previous.bytes.size() + static_cast<size_t>(stretch.size)};
      }
      continue;
    }
    Segment& segment = layout.segments[layout.count++];
    segment = {stretch, write.source, write.block, {}};
    if (write.source != Source::erased) {
      segment.bytes = write.bytes.subspan(stretch.start - write.range.start, stretch.size);
    }
  }
}

// Every replaced block's place holds its new bytes, but where the entries of a table they
// carry (whose header lies inside them) are written, or the bytes of another replaced block
// that lies inside them. Anything else there means the user's new contents are not what the
// image would hold: the later write that landed there is named. `first_difference(from, to,
// wanted)` is the first place in [from, to) where the merged image differs from `wanted` (the
// new bytes from `from` on), or `to`.
template <typename FirstDifference>
bool replacements_stand(const FlashImage& image, const MergePlan& plan, MergeRefusal& refusal,
                        FirstDifference first_difference) {
  const size_t n = image.block_count;
  for (size_t k = 0; k < n; ++k) {
    if (!plan.blocks[k].replaced) continue;
    const ByteRange place = new_range(image, plan, k);
    RangeSet excepted;
    for (size_t j = 0; j < n; ++j) {
      if (inside({image.records[j].table_pos, kHeaderSize}, place)) {
        excepted.add(entry_range(image.records[j]));  // a table the new bytes carry
      }
      if (j != k && plan.blocks[j].replaced && inside(new_range(image, plan, j), place)) {
        excepted.add(new_range(image, plan, j));
      }
    }
    excepted.normalise();
    const uint8_t* wanted = plan.blocks[k].bytes.data();
    const uint64_t end = place.start + place.size;
    uint64_t differs = end;  // the first byte that is not the new bytes'
    for_each_gap(excepted, place.start, end, [&](uint64_t from, uint64_t to) {
      if (differs == end) {
        const uint64_t at = first_difference(from, to, wanted + (from - place.start));
        if (at != to) differs = at;
      }
    });
    if (differs == end) continue;
    // The last write to land there: a checksum settled, else a later entry or block.
    const ByteRange at{differs, 1};
    size_t writer = k;
    for (size_t j = k + 1; j < n; ++j) {
      if (ranges_overlap(entry_range(image.records[j]), at) ||
          ranges_overlap(new_range(image, plan, j), at)) {
        writer = j;
      }
    }
    for (size_t i = 0; i < plan.settle_count; ++i) {
      const size_t m = plan.settle_order[i];
      if (ranges_overlap(checksum_field_range(image.records[m]), at)) writer = m;
    }
    return refuse(refusal, MergeFault::written_over, k, differs, writer);
  }
  return true;
}

// The first place in [from, to) where the stretches of `layout` differ from `wanted`, or `to`.
uint64_t first_difference_in(const Layout& layout, uint64_t from, uint64_t to,
                             const uint8_t* wanted) {
  for (size_t i = 0; i < layout.count; ++i) {
    const Segment& segment = layout.segments[i];
    const uint64_t start = std::max(from, segment.range.start);
    const uint64_t end = std::min(to, segment.range.start + segment.range.size);
    if (start >= end) continue;
    const uint8_t* want = wanted + (start - from);
    const auto size = static_cast<size_t>(end - start);
    if (segment.bytes.empty()) {
      const uint8_t* at = std::find_if(want, want + size, [](uint8_t b) { return b != 0xFF; });
      if (at != want + size) return start + static_cast<uint64_t>(at - want);
      continue;
    }
    const uint8_t* held = segment.bytes.data() + (start - segment.range.start);
    if (held == want) continue;  // the new bytes themselves
    const uint8_t* at = std::mismatch(held, held + size, want).first;
    if (at != held + size) return start + static_cast<uint64_t>(at - held);
  }
  return to;
}

// Compares the tables a read of the merged image found with the plan: every table that had
// blocks is where it was, with its entry count and exactly the entries written. A further table
// with blocks is allowed only inside a replaced block's new bytes (an image the block file
// brings in); anything else is a table the merge broke or invented.
bool found_as_planned(const FlashImage& image, const MergePlan& plan,
                      std::span<const uint32_t> checksums, const FoundLayout& found,
                      MergeRefusal& refusal) {
  auto wrong = [&](uint32_t table_pos) {
    refusal.table_pos = table_pos;
    return refuse(refusal, MergeFault::reads_back_wrong, 0);
  };
  if (found.table_count == 0) return wrong(0);
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
        if (next + k >= n) return wrong(table_pos);  // more entries than the merge wrote
        if (image.records[next + k].table_pos != table_pos ||
            found.entries[i + k].entry.raw !=
                composed_entry(image, plan, checksums[next + k], next + k).raw) {
          return wrong(table_pos);
        }
      }
      next += count;
      if (next < n && image.records[next].table_pos == table_pos) return wrong(table_pos);
    } else {
      if (next < n && image.records[next].table_pos < table_pos) return wrong(table_pos);
      bool brought_in = false;
      for (size_t k = 0; k < n && !brought_in; ++k) {
        brought_in =
            plan.blocks[k].replaced && inside({table_pos, kHeaderSize}, new_range(image, plan, k));
      }
      if (!brought_in) return wrong(table_pos);
    }
    i += count;
  }
  if (next != n) return wrong(image.records[next].table_pos);
  return true;
}

// Reads the merged image back as any flash file is read, a window at a time (the whole of it is
// one window in memory), and compares what it finds with the plan.
struct ReadBackState {
  const FlashImage& image;
  const MergePlan& plan;
  std::span<const uint32_t> checksums;
  MergeRefusal& refusal;
  FoundLayout found;
};

bool read_back_window(ReadBackState& state, std::span<const uint8_t> window, uint64_t offset,
                      uint64_t total) {
  if (total != state.image.length) {
    state.refusal.table_pos = 0;
    return refuse(state.refusal, MergeFault::reads_back_wrong, 0);
  }
  const bool last = offset + window.size() >= total;
  const uint64_t to = last ? total : offset + kWindow;
  if (!find_layout_part(window, offset, total, to, state.found)) {
    state.refusal.table_pos = state.found.failure.table_pos;
    return refuse(state.refusal, MergeFault::reads_back_wrong, 0);
  }
  return !last ||
         found_as_planned(state.image, state.plan, state.checksums, state.found, state.refusal);
}

// A plan compose can write: placed whole, every block's bytes of its planned size, and every
// write inside the image (refused here, whatever made the plan).
bool writable(const FlashImage& image, const MergePlan& plan, MergeRefusal& refusal) {
  refusal = plan.refusal;
  if (!plan.holds() || plan.placed != image.block_count) return false;
  for (size_t k = 0; k < image.block_count; ++k) {
    if (plan.blocks[k].bytes.size() != plan.blocks[k].size) return false;
    for (const ByteRange write : {entry_range(image.records[k]), new_range(image, plan, k)}) {
      if (write.start > image.length || write.size > image.length - write.start) {
        return refuse(refusal, MergeFault::past_end, k, write.start + write.size);
      }
    }
  }
  return true;
}

std::array<uint32_t, kMaxBlocks> planned_checksums(const FlashImage& image, const MergePlan& plan) {
  std::array<uint32_t, kMaxBlocks> checksums{};
  for (size_t k = 0; k < image.block_count; ++k) checksums[k] = plan.blocks[k].checksum;
  return checksums;
}

}  // namespace

Failure compose(const FlashImage& image, const MergePlan& plan, Composed& out) {
  MergeRefusal refusal;
  if (!writable(image, plan, refusal)) return refusal_failure(image, refusal);
  if (!allocate_bytes(out.bytes, image.length)) {
    return fail(Code::output_no_memory, image.name, format_text(": it is %u bytes", image.length));
  }
  out.checksums = planned_checksums(image, plan);
  Layout layout;
  describe(image, plan, out.checksums, layout);
  uint8_t* dst = out.bytes.ptr.get();
  for (size_t i = 0; i < layout.count; ++i) {
    const Segment& segment = layout.segments[i];
    if (segment.bytes.empty()) {
      std::memset(dst + segment.range.start, 0xFF, segment.range.size);
    } else {
      std::memcpy(dst + segment.range.start, segment.bytes.data(), segment.bytes.size());
    }
  }
  // Blocks that later writes land in take their checksums from the bytes as they stand.
  for (size_t i = 0; i < plan.settle_count; ++i) {
    const size_t m = plan.settle_order[i];
    if (!has_checksum(image.records[m].entry)) continue;
    const ByteRange block = new_range(image, plan, m);
    out.checksums[m] = block_crc({dst + block.start, static_cast<size_t>(block.size)});
    write_le32(dst + checksum_field_range(image.records[m]).start, out.checksums[m]);
  }
  const auto differs = [dst](uint64_t from, uint64_t to, const uint8_t* wanted) {
    const uint8_t* at = std::mismatch(dst + from, dst + to, wanted).first;
    return static_cast<uint64_t>(at - dst);
  };
  ReadBackState read_back{image, plan, out.checksums, refusal, {}};
  if (!replacements_stand(image, plan, refusal, differs) ||
      !read_back_window(read_back, as_span(out.bytes), 0, out.bytes.size)) {
    out.bytes = Bytes{};
    return refusal_failure(image, refusal);
  }
  return {};
}

namespace {

// The written file is read back as a flash file is; the input's pages, no longer needed, go
// back to the page cache first, so that the two are not held at once.
bool read_back_merged(void* context, std::span<const uint8_t> window, uint64_t offset,
                      uint64_t total) {
  auto& state = *static_cast<ReadBackState*>(context);
  if (offset == 0) release_pages(state.image.bytes, image_bytes(state.image));
  return read_back_window(state, window, offset, total);
}

}  // namespace

Failure write_merged_image(const FlashImage& image, const MergePlan& plan, const char* wfile,
                           const Replacements& replacements,
                           std::array<uint32_t, kMaxBlocks>* checksums, Draft* draft) {
  if (wfile == nullptr || wfile[0] == '\0') return fail(Code::wfile_empty, "");
  WriteFailure why;
  // Blocks that later writes land in, and an output that cannot be read back (a stream), are
  // composed in memory first; anything else is written from where its bytes lie.
  if (plan.settle_count > 0 || !is_written_through_temporary(wfile)) {
    Composed out;
    if (Failure composed = compose(image, plan, out); composed.failed()) return composed;
    if (checksums != nullptr) *checksums = out.checksums;
    return write_outcome(write_file_safely(wfile, as_span(out.bytes), &why), why, wfile,
                         Code::cannot_create, Code::short_write);
  }
  MergeRefusal refused;
  if (!writable(image, plan, refused)) return refusal_failure(image, refused);
  const std::array<uint32_t, kMaxBlocks> written_checksums = planned_checksums(image, plan);
  Layout layout;
  describe(image, plan, written_checksums, layout);
  const auto differs = [&layout](uint64_t from, uint64_t to, const uint8_t* wanted) {
    return first_difference_in(layout, from, to, wanted);
  };
  if (!replacements_stand(image, plan, refused, differs)) return refusal_failure(image, refused);
  std::array<Piece, std::tuple_size_v<decltype(layout.segments)>> pieces{};
  for (size_t i = 0; i < layout.count; ++i) {
    const Segment& segment = layout.segments[i];
    const FileBytes* from = nullptr;
    if (segment.source == Source::kept || segment.source == Source::header) from = &image.bytes;
    if (segment.source == Source::block) {
      const NewBlock* item = replacements.find(segment.block);
      from = item != nullptr ? &item->bytes : &image.bytes;
    }
    pieces[i] = {segment.bytes, from, segment.bytes.empty() ? segment.range.size : 0};
  }
  ReadBackState state{image, plan, written_checksums, refused, {}};
  const ReadBack read_back{read_back_merged, &state, kTableReach};
  const WriteResult result =
      write_pieces_safely(wfile, {pieces.data(), layout.count}, read_back, &why, draft);
  if (result == WriteResult::refused) return refusal_failure(image, refused);
  if (checksums != nullptr) *checksums = written_checksums;
  return write_outcome(result, why, wfile, Code::cannot_create, Code::short_write);
}

Failure refusal_failure(const FlashImage& image, const MergeRefusal& why) {
  const std::string block = block_label(image, why.block);
  std::string text;
  switch (why.fault) {
    case MergeFault::none:
      break;
    case MergeFault::field_overflow:
      text = block + " would not fit its 32-bit offset or size";
      break;
    case MergeFault::past_end:
      text = format_text("%s would end at 0x%08llx, past the image's end at 0x%08x", block.c_str(),
                         static_cast<unsigned long long>(why.at), image.length);
      break;
    case MergeFault::last_at_end:
      text = format_text(
          "%s would end at 0x%08llx; the last block must end before the image's end at 0x%08x",
          block.c_str(), static_cast<unsigned long long>(why.at), image.length);
      break;
    case MergeFault::covers_table:
      text = format_text("%s would cover the table at 0x%08x", block.c_str(), why.table_pos);
      break;
    case MergeFault::covers_block:
      text = block + " would cover " + block_label(image, why.other);
      break;
    case MergeFault::written_over:
      text = format_text(
          "the new bytes of %s would not stand: %s, written later, lands on them at 0x%08llx",
          block.c_str(), block_label(image, why.other).c_str(),
          static_cast<unsigned long long>(why.at));
      break;
    case MergeFault::checksum_cycle:
      text = block + " holds its own checksum field, so no checksum of it can be true";
      break;
    case MergeFault::reads_back_wrong:
      text = format_text("the merged image would not load back as laid out (the table at 0x%08x)",
                         why.table_pos);
      break;
  }
  if (why.too_big) {
    text = format_text("%s is given %llu bytes but can hold at most %llu (",
                       block_label(image, why.grown).c_str(),
                       static_cast<unsigned long long>(why.grown_size),
                       static_cast<unsigned long long>(why.room)) +
           text + ")";
  }
  Failure failure = fail(Code::does_not_fit, image.name, ": " + text);
  failure.block = static_cast<int>(why.block);
  return failure;
}

namespace {

// Whether the merged image holds at `range` the flash file's bytes, from the plan alone: the
// stretch of each byte is compared with the byte as loaded. An entry that lands there counts as
// a change.
bool keeps_bytes(const FlashImage& image, const Layout& layout, ByteRange range) {
  for (size_t i = 0; i < layout.count; ++i) {
    const Segment& segment = layout.segments[i];
    if (segment.source == Source::entry && ranges_overlap(segment.range, range)) return false;
  }
  const uint64_t end = range.start + range.size;
  return first_difference_in(layout, range.start, end, image_bytes(image).data() + range.start) ==
         end;
}

}  // namespace

MergeWarnings merge_warnings(const FlashImage& image, const MergePlan& plan,
                             std::span<const uint32_t> checksums) {
  MergeWarnings warnings;
  const size_t n = image.block_count;
  if (n == 0) return warnings;  // an image without blocks is merged as it is
  warnings.erased = plan.erased;
  warnings.erased_after = image.records[n - 1].table_pos;
  Layout layout;
  describe(image, plan, checksums, layout);
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    if (entries == 0 && !keeps_bytes(image, layout, {position, kHeaderSize})) {
      count(warnings.dropped_tables, position, 1);
    }
  });
  StaleChecksums& stale = warnings.stale_checksums;
  for (size_t k = 0; k < n && k < checksums.size(); ++k) {
    if (!plan.blocks[k].was_stale) continue;
    if (stale.count++ == 0) {
      stale.first = k;
      stale.stored = entry_checksum(image.records[k].entry);
      stale.written = checksums[k];
    }
  }
  return warnings;
}

}  // namespace blkswap
