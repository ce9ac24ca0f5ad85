#include "ops/diff.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "ops/json_doc.h"
#include "ops/report.h"

namespace blkswap {

namespace {

// The next table header of each image in turn, in order of position, paired where both have one.
template <typename Visit>
void for_each_table_pair(const FlashImage& a, const FlashImage& b, Visit visit) {
  const auto bytes_a = image_bytes(a);
  const auto bytes_b = image_bytes(b);
  size_t ta = 0, tb = 0;  // the tables' indexes, in order of position
  size_t pa = table_position(a, ta, kNoTableHeader);
  size_t pb = table_position(b, tb, kNoTableHeader);
  while (pa != kNoTableHeader || pb != kNoTableHeader) {
    TablePair pair;
    pair.position = static_cast<uint32_t>(std::min(pa, pb));
    const bool in_a = pa == pair.position;
    const bool in_b = pb == pair.position;
    if (in_a) pair.entries_a = table_entry_count(bytes_a, pa);
    if (in_b) pair.entries_b = table_entry_count(bytes_b, pb);
    pair.header_differs = in_a && in_b && std::memcmp(&bytes_a[pa], &bytes_b[pb], kHeaderSize) != 0;
    visit(pair);
    if (in_a) pa = table_position(a, ++ta, pa);
    if (in_b) pb = table_position(b, ++tb, pb);
  }
}

bool table_differs(const TablePair& pair) {
  return pair.entries_a != pair.entries_b || pair.header_differs;
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

// Blocks are in table order, and by slot within a table: both lists are walked side by side.
void pair_blocks(const FlashImage& a, const FlashImage& b, ImageComparison& out) {
  size_t i = 0;
  size_t j = 0;
  auto key = [](const BlockRecord& r) { return (uint64_t{r.table_pos} << 32) | r.slot; };
  while (i < a.block_count || j < b.block_count) {
    BlockPair pair;
    const bool take_a =
        i < a.block_count && (j >= b.block_count || key(a.records[i]) <= key(b.records[j]));
    const bool take_b =
        j < b.block_count && (i >= a.block_count || key(b.records[j]) <= key(a.records[i]));
    const BlockRecord& first = take_a ? a.records[i] : b.records[j];
    pair.table = first.table_pos;
    pair.slot = first.slot;
    if (take_a) pair.a = static_cast<int>(i++);
    if (take_b) pair.b = static_cast<int>(j++);
    if (take_a && take_b) {
      pair.fields = differing_fields(a.records[pair.a].entry, b.records[pair.b].entry);
      pair.bytes_differ =
          !same_bytes(a.bytes, block_bytes(a, pair.a), b.bytes, block_bytes(b, pair.b));
      if (pair.fields == 0 && !pair.bytes_differ) continue;
    }
    out.blocks[out.block_count++] = pair;
  }
}

// Walks the places that tables and blocks of either image cover, in order of start, and
// compares the bytes in the gaps between them.
void compare_outside(const FlashImage& a, const FlashImage& b, ImageComparison& out) {
  const uint64_t common = std::min(a.length, b.length);
  uint64_t covered = 0;  // every byte before this is covered or compared
  // Most gaps are equal: a comparison says so at memory speed, and only a gap that differs is
  // counted byte by byte, a window at a time.
  auto cover = [&](uint64_t start, uint64_t size) {
    const uint64_t end = std::min(start, common);
    const auto gap = [&](const FlashImage& image) {
      return image_bytes(image).subspan(covered, end - covered);
    };
    if (covered < end && !same_bytes(a.bytes, gap(a), b.bytes, gap(b))) {
      std::array<uint8_t, 4096> x, y;
      for (uint64_t p = covered; p < end; p += x.size()) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(end - p, x.size()));
        copy_bytes(a.bytes, image_bytes(a).subspan(p, n), x);
        copy_bytes(b.bytes, image_bytes(b).subspan(p, n), y);
        for (size_t i = 0; i < n; ++i) {
          if (x[i] != y[i] && out.outside_differ++ == 0) out.first_outside = p + i;
        }
      }
    }
    covered = std::max(covered, start + size);
  };
  std::array<ByteRange, 2 * kMaxBlocks> blocks{};
  size_t n = 0;
  for (const FlashImage* image : {&a, &b}) {
    for (size_t i = 0; i < image->block_count; ++i) {
      blocks[n++] = {block_start(*image, i), block_end(*image, i) - block_start(*image, i)};
    }
  }
  std::sort(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(n),
            [](ByteRange l, ByteRange r) { return l.start < r.start; });
  size_t next_block = 0;
  for_each_table_pair(a, b, [&](const TablePair& pair) {
    for (; next_block < n && blocks[next_block].start <= pair.position; ++next_block) {
      cover(blocks[next_block].start, blocks[next_block].size);
    }
    const int entries = std::max(pair.entries_a, pair.entries_b);
    cover(pair.position, kHeaderSize + uint64_t{kEntrySize} * static_cast<uint64_t>(entries));
  });
  for (; next_block < n; ++next_block) cover(blocks[next_block].start, blocks[next_block].size);
  cover(common, 0);
}

}  // namespace

void compare_images(const FlashImage& a, const FlashImage& b, ImageComparison& out) {
  out = ImageComparison{};
  out.identical =
      a.length == b.length && same_bytes(a.bytes, image_bytes(a), b.bytes, image_bytes(b));
  pair_blocks(a, b, out);
  compare_outside(a, b, out);
}

namespace {

constexpr struct {
  DiffField field;
  const char* name;
} kFieldNames[] = {
    {kDiffId, "id"},     {kDiffName, "name"},         {kDiffOffset, "offset"},
    {kDiffSize, "size"}, {kDiffChecksum, "checksum"}, {kDiffOther, "other entry bytes"},
};

uint32_t field_value(const BlockEntry& entry, DiffField field) {
  switch (field) {
    case kDiffId:
      return entry_id(entry);
    case kDiffOffset:
      return entry_offset(entry);
    case kDiffSize:
      return entry_size(entry);
    default:
      return entry_checksum(entry);
  }
}

void put_block_pair(const FlashImage& a, const FlashImage& b, const BlockPair& pair,
                    std::ostream& out) {
  const FlashImage& shown = pair.a >= 0 ? a : b;
  const BlockEntry& entry = shown.records[pair.a >= 0 ? pair.a : pair.b].entry;
  put_format(out, "table 0x%08x slot %u (%s): ", pair.table, pair.slot,
             printable_name(entry_name(entry)).text);
  if (pair.a < 0 || pair.b < 0) {
    out << (pair.a >= 0 ? "only in A\n" : "only in B\n");
    return;
  }
  const BlockEntry& x = a.records[pair.a].entry;
  const BlockEntry& y = b.records[pair.b].entry;
  const char* separator = "";
  for (const auto& f : kFieldNames) {
    if ((pair.fields & f.field) == 0) continue;
    out << separator;
    separator = "; ";
    if (f.field == kDiffName) {
      put_format(out, "name %s in A, ", printable_name(entry_name(x)).text);
      put_format(out, "%s in B", printable_name(entry_name(y)).text);
    } else if (f.field == kDiffOther) {
      out << "other entry bytes differ";
    } else {
      put_format(out, "%s 0x%08x in A, 0x%08x in B", f.name, field_value(x, f.field),
                 field_value(y, f.field));
    }
  }
  if (pair.bytes_differ) out << separator << "bytes differ";
  out << '\n';
}

}  // namespace

void print_comparison(const FlashImage& a, const FlashImage& b, const ImageComparison& cmp,
                      std::ostream& out) {
  if (a.length != b.length) {
    put_format(out, "length: %u (0x%08x) in A, %u (0x%08x) in B\n", a.length, a.length, b.length,
               b.length);
  }
  for_each_table_pair(a, b, [&](const TablePair& t) {
    if (!table_differs(t)) return;
    put_format(out, "table 0x%08x: ", t.position);
    if (t.entries_a < 0 || t.entries_b < 0) {
      const int entries = std::max(t.entries_a, t.entries_b);
      put_format(out, "only in %s, with %d %s\n", t.entries_a < 0 ? "B" : "A", entries,
                 entries == 1 ? "entry" : "entries");
    } else if (t.entries_a != t.entries_b) {
      put_format(out, "%d entries in A, %d in B\n", t.entries_a, t.entries_b);
    } else {
      out << "header bytes differ\n";
    }
  });
  for (size_t k = 0; k < cmp.block_count; ++k) put_block_pair(a, b, cmp.blocks[k], out);
  if (cmp.outside_differ > 0) {
    put_format(out, "outside tables and blocks: %llu bytes differ, the first at 0x%08llx\n",
               static_cast<unsigned long long>(cmp.outside_differ),
               static_cast<unsigned long long>(cmp.first_outside));
  }
}

namespace {

Json side_of_block(const FlashImage& image, int index) {
  if (index < 0) return Json();
  const auto i = static_cast<size_t>(index);
  const BlockEntry& entry = image.records[i].entry;
  Json side = block_identity(image, i);
  side.erase("table");  // the pair's own fields
  side.erase("slot");
  side["offset"] = entry_offset(entry);
  side["size"] = entry_size(entry);
  side["checksum"] = entry_checksum(entry);
  return side;
}

Json side_value(int value) {
  return value < 0 ? Json() : Json(value);
}

}  // namespace

bool print_comparison_json(const FlashImage& a, const FlashImage& b, const ImageComparison& cmp,
                           std::ostream& out) {
  return print_document(out, [&] {
    Json doc;
    doc["schema"] = kSchemaVersion;
    doc["identical"] = cmp.identical;
    doc["length"] = Json{{"a", a.length}, {"b", b.length}};
    Json& tables = doc["tables"] = Json::array();
    for_each_table_pair(a, b, [&](const TablePair& t) {
      if (!table_differs(t)) return;
      tables.push_back(
          Json{{"position", t.position},
               {"entries", Json{{"a", side_value(t.entries_a)}, {"b", side_value(t.entries_b)}}},
               {"header_differs", t.header_differs}});
    });
    Json& blocks = doc["blocks"] = Json::array();
    for (size_t k = 0; k < cmp.block_count; ++k) {
      const BlockPair& pair = cmp.blocks[k];
      Json fields = Json::array();
      for (const auto& f : kFieldNames) {
        if ((pair.fields & f.field) != 0)
          fields.push_back(f.field == kDiffOther ? "other" : f.name);
      }
      blocks.push_back(Json{{"table", pair.table},
                            {"slot", pair.slot},
                            {"a", side_of_block(a, pair.a)},
                            {"b", side_of_block(b, pair.b)},
                            {"differ", std::move(fields)},
                            {"bytes_differ", pair.bytes_differ}});
    }
    doc["outside"] = Json{{"bytes_differ", cmp.outside_differ},
                          {"first", cmp.outside_differ > 0 ? Json(cmp.first_outside) : Json()}};
    return doc;
  });
}

}  // namespace blkswap
