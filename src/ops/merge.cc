#include "ops/merge.h"

#include <algorithm>
#include <cstring>

#include "image/crc.h"
#include "image/format.h"

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
    sizes[item.block] = item.bytes.size;
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

// Bytes of [start, end) that are not 0xFF, eight at a time where they are.
void count_not_erased(const uint8_t* bytes, uint64_t start, uint64_t end, ByteCount& total) {
  uint64_t p = start;
  while (p < end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, bytes + p, 8);
      if (word == ~uint64_t{0}) {
        p += 8;
        continue;
      }
    }
    if (bytes[p] != 0xFF) count(total, p, 1);
    ++p;
  }
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
  for_each_gap(kept, last_table, image.length, [&](uint64_t from, uint64_t to) {
    count_not_erased(image.bytes.ptr.get(), from, to, plan.erased);
  });
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
    if (item.bytes.size <= room) continue;
    chosen_alone =
        replacements.count == 1 || item.bytes.size > block_room(image, none, item.block, options);
    if (refusal.too_big && !chosen_alone) continue;
    refusal.too_big = true;
    refusal.grown = item.block;
    refusal.grown_size = item.bytes.size;
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
      block.checksum = block_crc(block.bytes);
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

// The entry block `k` has in the merged image.
BlockEntry composed_entry(const FlashImage& image, const MergePlan& plan, const Composed& out,
                          size_t k) {
  BlockEntry entry = image.records[k].entry;
  set_entry_offset(entry, plan.blocks[k].offset);
  set_entry_size(entry, plan.blocks[k].size);
  set_entry_checksum(entry, out.checksums[k]);
  return entry;
}

// Every replaced block's place holds its new bytes, but where the entries of a table they
// carry (whose header lies inside them) are written, or the bytes of another replaced block
// that lies inside them. Anything else there means the user's new contents are not what the
// image would hold: the later write that landed there is named.
bool replacements_stand(const FlashImage& image, const MergePlan& plan, Composed& out) {
  const size_t n = image.block_count;
  const uint8_t* bytes = out.bytes.ptr.get();
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
      if (differs != end ||
          std::memcmp(bytes + from, wanted + (from - place.start), to - from) == 0)
        return;
      for (uint64_t p = from; p < to && differs == end; ++p) {
        if (bytes[p] != wanted[p - place.start]) differs = p;
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
    return refuse(out.refusal, MergeFault::written_over, k, differs, writer);
  }
  return true;
}

// Reads the composed image back as any flash file is read and compares its tables with the
// plan: every table that had blocks is where it was, with its entry count and exactly the
// entries written. A further table with blocks is allowed only inside a replaced block's new
// bytes (an image the block file brings in); anything else is a table the merge broke or
// invented.
bool reads_back_as_planned(const FlashImage& image, const MergePlan& plan, Composed& out) {
  FoundLayout found;
  auto wrong = [&](uint32_t table_pos) {
    out.refusal.table_pos = table_pos;
    return refuse(out.refusal, MergeFault::reads_back_wrong, 0);
  };
  if (!find_layout(as_span(out.bytes), found)) return wrong(found.failure.table_pos);
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
            found.entries[i + k].entry.raw != composed_entry(image, plan, out, next + k).raw) {
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

}  // namespace

WriteCode compose(const FlashImage& image, const MergePlan& plan, Composed& out) {
  out.refusal = plan.refusal;
  if (!plan.holds() || plan.placed != image.block_count) return WriteCode::does_not_fit;
  // Every write below lands where the plan says; a plan that would put one byte outside the
  // image is refused here, whatever made it.
  for (size_t k = 0; k < image.block_count; ++k) {
    if (plan.blocks[k].bytes.size() != plan.blocks[k].size) return WriteCode::does_not_fit;
    for (const ByteRange write : {entry_range(image.records[k]), new_range(image, plan, k)}) {
      if (write.start > image.length || write.size > image.length - write.start) {
        refuse(out.refusal, MergeFault::past_end, k, write.start + write.size);
        return WriteCode::does_not_fit;
      }
    }
  }
  if (!allocate_bytes(out.bytes, image.length)) return WriteCode::no_memory;

  // Up to the last table that has blocks the flash file's bytes are kept; from there on only
  // that table and the blocks written below survive, the rest is erased flash (0xFF).
  const size_t n = image.block_count;
  const uint8_t* in = image.bytes.ptr.get();
  uint8_t* dst = out.bytes.ptr.get();
  // An image without blocks has no table with blocks to erase after: it stays as it is.
  const size_t last_table = n > 0 ? image.records[n - 1].table_pos : image.length;
  std::memcpy(dst, in, last_table);
  if (n == 0) return WriteCode::ok;
  std::memset(dst + last_table, 0xFF, image.length - last_table);
  std::memcpy(dst + image.records[0].table_pos, in + image.records[0].table_pos, kHeaderSize);
  std::memcpy(dst + last_table, in + last_table, kHeaderSize);

  // Later writes win where an entry or block lands on an earlier one (nested tables).
  for (size_t k = 0; k < n; ++k) {
    out.checksums[k] = plan.blocks[k].checksum;
    const BlockEntry entry = composed_entry(image, plan, out, k);
    std::memcpy(dst + entry_range(image.records[k]).start, entry.raw.data(), kEntrySize);
    const std::span<const uint8_t> bytes = plan.blocks[k].bytes;  // its planned size, checked above
    if (!bytes.empty()) {
      std::memcpy(dst + new_range(image, plan, k).start, bytes.data(), bytes.size());
    }
  }
  for (size_t i = 0; i < plan.settle_count; ++i) {
    const size_t m = plan.settle_order[i];
    if (!has_checksum(image.records[m].entry)) continue;
    const ByteRange block = new_range(image, plan, m);
    out.checksums[m] = block_crc({dst + block.start, static_cast<size_t>(block.size)});
    write_le32(dst + checksum_field_range(image.records[m]).start, out.checksums[m]);
  }
  if (!replacements_stand(image, plan, out) || !reads_back_as_planned(image, plan, out)) {
    out.bytes = Bytes{};
    return WriteCode::does_not_fit;
  }
  return WriteCode::ok;
}

WriteCode write_merged_image(const FlashImage& image, const MergePlan& plan, const char* wfile,
                             MergeRefusal* refusal, WriteFailure* why,
                             std::array<uint32_t, kMaxBlocks>* checksums) {
  if (wfile == nullptr || wfile[0] == '\0') return WriteCode::empty_name;
  Composed out;
  const WriteCode composed = compose(image, plan, out);
  if (refusal != nullptr) *refusal = out.refusal;
  if (composed != WriteCode::ok) return composed;
  if (checksums != nullptr) *checksums = out.checksums;
  return write_code(write_file_safely(wfile, as_span(out.bytes), why));
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

namespace {

// Whether the merged image holds at `range` the flash file's bytes, from the plan alone: each
// byte's last write (the kept bytes or 0xFF, the headers kept, every entry and block in block
// order) is compared with the byte as loaded. An entry that lands there counts as a change.
bool keeps_bytes(const FlashImage& image, const MergePlan& plan, ByteRange range) {
  const size_t n = image.block_count;
  const uint8_t* in = image.bytes.ptr.get();
  const uint64_t last_table = image.records[n - 1].table_pos;
  for (uint64_t p = range.start; p < range.start + range.size; ++p) {
    const ByteRange at{p, 1};
    int writer = -1;  // the block whose bytes land last on p, or -2 for an entry
    for (size_t k = 0; k < n; ++k) {
      if (ranges_overlap(entry_range(image.records[k]), at)) writer = -2;
      if (ranges_overlap(new_range(image, plan, k), at)) writer = static_cast<int>(k);
    }
    if (writer == -2) return false;
    if (writer >= 0) {
      const PlannedBlock& block = plan.blocks[static_cast<size_t>(writer)];
      const uint64_t from = new_range(image, plan, static_cast<size_t>(writer)).start;
      if (block.bytes[p - from] != in[p]) return false;
    } else if (p >= last_table && in[p] != 0xFF && !ranges_overlap({last_table, kHeaderSize}, at)) {
      return false;
    }
  }
  return true;
}

}  // namespace

MergeWarnings merge_warnings(const FlashImage& image, const MergePlan& plan,
                             std::span<const uint32_t> checksums) {
  MergeWarnings warnings;
  const size_t n = image.block_count;
  if (n == 0) return warnings;  // an image without blocks is merged as it is
  warnings.erased = plan.erased;
  warnings.erased_after = image.records[n - 1].table_pos;
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    if (entries == 0 && !keeps_bytes(image, plan, {position, kHeaderSize})) {
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
