#include "ops/diff.h"

#include <algorithm>
#include <cstring>

namespace blkswap {

namespace {

// Adds runs of differing bytes, in order, to `out`: a run that starts where the last one ended
// extends it.
struct DifferenceCounter {
  ByteDifferences& out;
  uint64_t run_end = 0;
  void add(uint64_t at, uint64_t length) {
    if (length == 0) return;
    out.count += length;
    if (out.runs > 0 && at == run_end) {
      if (out.shown == out.runs) out.ranges[out.shown - 1].size += length;
    } else if (++out.runs <= out.ranges.size()) {
      out.ranges[out.shown++] = {at, length};
    }
    run_end = at + length;
  }
  // Two windows side by side, `at` bytes into what is compared: equal ones at memory speed.
  void compare(std::span<const uint8_t> x, std::span<const uint8_t> y, uint64_t at) {
    if (std::memcmp(x.data(), y.data(), x.size()) == 0) return;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i] != y[i]) add(at + i, 1);
    }
  }
};

// The bytes of `part_a` (of file a) and `part_b` (of file b) compared, `at` bytes into what the
// counter counts.
void compare_parts(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                   std::span<const uint8_t> part_b, uint64_t at, DifferenceCounter& counter) {
  const size_t common = std::min(part_a.size(), part_b.size());
  const auto x = part_a.first(common), y = part_b.first(common);
  uint64_t done = 0;
  const bool walked = for_each_window_pair(
      a, x, b, y, [&](std::span<const uint8_t> wx, std::span<const uint8_t> wy) {
        counter.compare(wx, wy, at + done);
        done += wx.size();
        return true;
      });
  if (!walked) counter.compare(x, y, at);  // no memory for the windows: through the views
  counter.add(at + common, std::max(part_a.size(), part_b.size()) - common);
}

// The blocks of the table at `position`: they follow each other in block order.
struct TableBlocks {
  size_t first = 0;
  size_t count = 0;
};
TableBlocks blocks_of(const FlashImage& image, uint32_t position) {
  TableBlocks blocks;
  for (size_t i = 0; i < image.block_count; ++i) {
    if (image.records[i].table_pos != position) continue;
    if (blocks.count++ == 0) blocks.first = i;
  }
  return blocks;
}

// Every table header of each image, paired where both have one at the same position.
std::vector<TablePair> pair_tables(const FlashImage& a, const FlashImage& b) {
  std::vector<TablePair> pairs;
  const auto bytes_a = image_bytes(a), bytes_b = image_bytes(b);
  size_t ta = 0, tb = 0;  // the tables' indexes, in order of position
  size_t pa = table_position(a, ta, kNoTableHeader);
  size_t pb = table_position(b, tb, kNoTableHeader);
  while (pa != kNoTableHeader || pb != kNoTableHeader) {
    TablePair pair;
    const size_t position = std::min(pa, pb);
    if (pa == position) {
      pair.position_a = static_cast<uint32_t>(pa);
      pair.entries_a = table_entry_count(bytes_a, pa);
      pa = table_position(a, ++ta, pa);
    }
    if (pb == position) {
      pair.position_b = static_cast<uint32_t>(pb);
      pair.entries_b = table_entry_count(bytes_b, pb);
      pb = table_position(b, ++tb, pb);
    }
    pairs.push_back(pair);
  }
  return pairs;
}

size_t shared_names(const FlashImage& a, TableBlocks x, const FlashImage& b, TableBlocks y) {
  size_t shared = 0;
  for (size_t i = x.first; i < x.first + x.count; ++i) {
    for (size_t j = y.first; j < y.first + y.count; ++j) {
      const BlockEntry &p = a.records[i].entry, &q = b.records[j].entry;
      if (entry_id(p) == entry_id(q) && entry_name(p) == entry_name(q)) {
        ++shared;
        break;
      }
    }
  }
  return shared;
}

// A table with blocks in one image only is paired with the table in the other image only whose
// blocks share the most ids and names with its own: the same table, moved.
void pair_moved_tables(const FlashImage& a, const FlashImage& b, std::vector<TablePair>& pairs) {
  for (TablePair& from : pairs) {
    if (from.position_b != kNoTable || from.entries_a <= 0) continue;
    const TableBlocks x = blocks_of(a, from.position_a);
    TablePair* best = nullptr;
    size_t best_shared = 0;
    for (TablePair& to : pairs) {
      if (to.position_a != kNoTable || to.entries_b <= 0) continue;
      const size_t shared = shared_names(a, x, b, blocks_of(b, to.position_b));
      if (shared > best_shared) {
        best = &to;
        best_shared = shared;
      }
    }
    if (best == nullptr) continue;
    from.position_b = best->position_b;
    from.entries_b = best->entries_b;
    best->entries_b = -2;  // taken: dropped below
  }
  std::erase_if(pairs, [](const TablePair& p) { return p.entries_b == -2; });
}

uint8_t differing_fields(const BlockEntry& x, const BlockEntry& y) {
  uint8_t fields = 0;
  if (entry_id(x) != entry_id(y)) fields |= kDiffId;
  if (entry_name(x) != entry_name(y)) fields |= kDiffName;
  if (entry_offset(x) != entry_offset(y)) fields |= kDiffOffset;
  if (entry_size(x) != entry_size(y)) fields |= kDiffSize;
  if (entry_checksum(x) != entry_checksum(y)) fields |= kDiffChecksum;
  if (fields == 0 && x.raw != y.raw) fields |= kDiffOther;
  return fields;
}

void add_pair(const FlashImage& a, const FlashImage& b, int i, int j, ImageComparison& out) {
  BlockPair pair{i, j, 0, {}};
  if (i >= 0 && j >= 0) {
    pair.fields = differing_fields(a.records[i].entry, b.records[j].entry);
    DifferenceCounter counter{pair.bytes};
    compare_parts(a.bytes, block_bytes(a, i), b.bytes, block_bytes(b, j), 0, counter);
    if (pair.fields == 0 && pair.bytes.count == 0) return;
  }
  out.blocks.push_back(pair);
}

// The blocks of a table pair: by slot at one position; by id and name where the table moved
// (the first block of the same id and name), the rest alone.
void pair_blocks(const FlashImage& a, const FlashImage& b, const TablePair& tables,
                 ImageComparison& out) {
  const TableBlocks x =
      tables.position_a != kNoTable ? blocks_of(a, tables.position_a) : TableBlocks{};
  const TableBlocks y =
      tables.position_b != kNoTable ? blocks_of(b, tables.position_b) : TableBlocks{};
  std::array<bool, kMaxBlocks> taken{};
  for (size_t k = 0; k < x.count; ++k) {
    const size_t i = x.first + k;
    int match = -1;
    for (size_t m = 0; m < y.count && match < 0; ++m) {
      const BlockEntry &p = a.records[i].entry, &q = b.records[y.first + m].entry;
      const bool same =
          tables.moved() ? entry_id(p) == entry_id(q) && entry_name(p) == entry_name(q) : m == k;
      if (same && !taken[m]) match = static_cast<int>(m);
    }
    if (match >= 0) taken[static_cast<size_t>(match)] = true;
    add_pair(a, b, static_cast<int>(i), match >= 0 ? static_cast<int>(y.first) + match : -1, out);
  }
  for (size_t m = 0; m < y.count; ++m) {
    if (!taken[m]) add_pair(a, b, -1, static_cast<int>(y.first + m), out);
  }
}

// Walks the places that tables and blocks of either image cover, in order of start, and
// compares the bytes between them.
void compare_outside(const FlashImage& a, const FlashImage& b, const std::vector<TablePair>& all,
                     ImageComparison& out) {
  const uint64_t common = std::min(a.length, b.length);
  std::vector<ByteRange> covered;
  for (const TablePair& t : all) {
    for (const auto& [position, entries] :
         {std::pair{t.position_a, t.entries_a}, std::pair{t.position_b, t.entries_b}}) {
      if (position != kNoTable) {
        covered.push_back(
            {position, kHeaderSize + uint64_t{kEntrySize} * static_cast<uint64_t>(entries)});
      }
    }
  }
  for (const FlashImage* image : {&a, &b}) {
    for (size_t i = 0; i < image->block_count; ++i) {
      covered.push_back({block_start(*image, i), block_end(*image, i) - block_start(*image, i)});
    }
  }
  covered.push_back({common, 0});
  std::sort(covered.begin(), covered.end(),
            [](ByteRange l, ByteRange r) { return l.start < r.start; });
  DifferenceCounter counter{out.outside};
  uint64_t at = 0;  // every byte before this is covered or compared
  for (const ByteRange r : covered) {
    const uint64_t end = std::min(r.start, common);
    if (at < end) {
      compare_parts(a.bytes, image_bytes(a).subspan(at, end - at), b.bytes,
                    image_bytes(b).subspan(at, end - at), at, counter);
    }
    at = std::max(at, r.start + r.size);
  }
}

bool table_differs(const TablePair& pair) {
  if (pair.position_a == kNoTable || pair.position_b == kNoTable) return true;
  return pair.moved() || pair.entries_a != pair.entries_b || pair.header_differs;
}

}  // namespace

void compare_images(const FlashImage& a, const FlashImage& b, ImageComparison& out) {
  out = ImageComparison{};
  out.identical =
      a.length == b.length && same_bytes(a.bytes, image_bytes(a), b.bytes, image_bytes(b));
  if (out.identical) return;  // the same bytes: the same tables and blocks, nothing to pair
  std::vector<TablePair> all = pair_tables(a, b);
  pair_moved_tables(a, b, all);
  for (TablePair& pair : all) {
    if (pair.position_a != kNoTable && pair.position_b != kNoTable) {
      pair.header_differs = std::memcmp(&image_bytes(a)[pair.position_a],
                                        &image_bytes(b)[pair.position_b], kHeaderSize) != 0;
    }
    pair_blocks(a, b, pair, out);
    if (table_differs(pair)) out.tables.push_back(pair);
  }
  compare_outside(a, b, all, out);
}

}  // namespace blkswap
