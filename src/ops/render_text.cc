// The reports as text for people: aligned columns, every size and room also in human units.
#include <algorithm>
#include <string>
#include <vector>

#include "image/text.h"
#include "ops/render.h"

namespace blkswap {

namespace {

using Row = std::vector<std::string>;

// Rows of cells, each column as wide as its widest cell and two spaces from the next; the last
// cell of a row is written unpadded.
void print_columns(std::ostream& out, const std::vector<Row>& rows) {
  std::vector<size_t> width;
  for (const Row& row : rows) {
    width.resize(std::max(width.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  for (const Row& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      out << row[c];
      if (c + 1 < row.size()) out << std::string(width[c] - row[c].size() + 2, ' ');
    }
    out << '\n';
  }
}

// "0x00030000 (192 KiB)"
std::string hex_size(uint64_t value) {
  return hex_field(value) + " (" + std::string(human_size(value).view()) + ")";
}

// The cells that name a block in every per-block report: index, table, slot, id and name.
Row identity(const FlashImage& image, size_t i) {
  const BlockRecord& record = image.records[i];
  return {std::to_string(i), hex_field(record.table_pos), std::to_string(record.slot),
          format_text("0x%02x", entry_id(record.entry)), name_of(image, i)};
}

Row heading(std::initializer_list<const char*> more) {
  Row row{"index", "table", "slot", "id", "name"};
  row.insert(row.end(), more.begin(), more.end());
  return row;
}

void render_info(std::ostream& out, const InfoReport& report) {
  const FlashImage& image = *report.image;
  const uint32_t tables = image.table_count;
  out << "image: " << image.length << " bytes (" << hex_field(image.length) << ", "
      << human_size(image.length).view() << "), " << tables
      << (tables == 1 ? " table, " : " tables, ") << image.block_count
      << (image.block_count == 1 ? " block\n\n" : " blocks\n\n");
  std::vector<Row> rows{{"table", "entries"}};
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    rows.push_back({hex_field(position), std::to_string(entries)});
  });
  print_columns(out, rows);
  out << '\n';
  rows = {heading({"offset", "size", "start", "end", "checksum", "state", "room"})};
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    Row row = identity(image, i);
    row.insert(row.end(), {hex_field(entry_offset(entry)), hex_size(entry_size(entry)),
                           hex_field(block_start(image, i)), hex_field(block_end(image, i)),
                           hex_field(entry_checksum(entry)),
                           std::string(checksum_state_name(report.checksums.state[i])),
                           hex_size(report.room[i])});
    rows.push_back(std::move(row));
  }
  print_columns(out, rows);
}

void render_verify(std::ostream& out, const VerifyReport& report) {
  for (const VerifiedImage& verified : report.images) {
    if (!verified.image) continue;  // standard error said why
    const FlashImage& image = *verified.image;
    const std::string label = report.labelled ? verified.file + ": " : "";
    for (size_t i = 0; i < image.block_count; ++i) {
      if (verified.checksums.state[i] != ChecksumState::stale) continue;
      const BlockEntry& entry = image.records[i].entry;
      out << label;
      put_format(out,
                 "stale: block %zu (id 0x%02x, name %s) at 0x%08llx: stored 0x%08x, computed "
                 "0x%08x\n",
                 i, entry_id(entry), printable_name(entry_name(entry)).text,
                 static_cast<unsigned long long>(block_start(image, i)), entry_checksum(entry),
                 verified.checksums.crcs[i]);
    }
    const ChecksumCheck& check = verified.checksums;
    out << label;
    put_format(out, "%u blocks: %zu ok, %zu stale, %zu none\n", unsigned{image.block_count},
               check.of(ChecksumState::ok), check.of(ChecksumState::stale),
               check.of(ChecksumState::none));
  }
}

// "1 from the folder, 1 kept from merged.bin, 3 unchanged": the verdicts that occurred.
void put_repack_counts(std::ostream& out, const RepackReport& repack) {
  const RepackVerdicts& v = *repack.verdicts;
  const char* separator = "";
  const std::string kept = "kept from " + printable(repack.flashfile_name);
  const size_t conflicts = v.of(Verdict::conflict);
  for (const auto& [verdict, words] :
       {std::pair{Verdict::from_folder, std::string("from the folder")},
        std::pair{Verdict::kept, kept}, std::pair{Verdict::unchanged, std::string("unchanged")},
        std::pair{Verdict::conflict, std::string(conflicts == 1 ? "conflict" : "conflicts")}}) {
    if (v.of(verdict) == 0) continue;
    out << separator << v.of(verdict) << ' ' << words;
    separator = ", ";
  }
}

void put_repack_verdicts(std::ostream& out, const FlashImage& image, const RepackReport& repack) {
  for (size_t i = 0; i < image.block_count; ++i) {
    out << block_label(image, i) << ": ";
    const RepackBlock& block = repack.verdicts->blocks[i];
    switch (block.verdict) {
      case Verdict::unchanged:
        out << "unchanged";
        break;
      case Verdict::from_folder:
        out << "taken from the folder";
        break;
      case Verdict::kept:
        out << "kept from " << printable(repack.flashfile_name);
        break;
      case Verdict::conflict: {
        const UnpackedBlock& base = (*repack.unpacked)[i];
        put_format(out, "conflict: 0x%08x in the folder, 0x%08x in ", block.folder_checksum,
                   (*repack.flashfile)[i]);
        out << printable(repack.flashfile_name);
        if (base.known) {
          put_format(out, ", 0x%08x when unpacked", base.checksum);
        } else {
          out << ", not recorded when unpacked";
        }
        break;
      }
    }
    out << '\n';
  }
}

// What a merge would change, block by block, then what it moves, erases, leaves stale and warns
// of; for one that would fail, why (and the merge's own line, unless a repack's folder stopped
// it), the block at fault marked.
void render_merge(std::ostream& out, const MergeReport& report) {
  const FlashImage* image = report.image;
  const MergePlan* plan = report.plan;
  const bool output = !report.output.empty();
  if (output) {  // a merge written: only a repack has a summary to give
    if (report.repack == nullptr) return;
    out << "repacked " << image->block_count << " blocks into " << printable(report.output);
    if (image->block_count > 0) out << ": ";
    put_repack_counts(out, *report.repack);
    out << '\n';
    return;
  }
  if (image != nullptr && report.repack != nullptr) {
    put_repack_verdicts(out, *image, *report.repack);
    out << "would repack " << image->block_count << " blocks: ";
    put_repack_counts(out, *report.repack);
    out << "\n\n";
  }
  if (image != nullptr) {
    std::vector<Row> rows{
        heading({"old offset", "old size", "new offset", "new size", "state", "checksum"})};
    for (size_t i = 0; i < image->block_count; ++i) {
      const BlockEntry& before = image->records[i].entry;
      Row row = identity(*image, i);
      const bool placed = plan != nullptr && i < plan->placed;
      std::string checksum = "-";
      if (report.checksums != nullptr) {
        checksum = entry_checksum(before) == (*report.checksums)[i] ? "same" : "changes";
      }
      if (plan != nullptr && plan->blocks[i].replaced) checksum += "  (replaced)";
      if (static_cast<int>(i) == report.failure.block) checksum += "  (at fault)";
      row.insert(row.end(), {hex_field(entry_offset(before)), hex_size(entry_size(before)),
                             placed ? hex_field(plan->blocks[i].offset) : "-",
                             plan != nullptr ? hex_size(plan->blocks[i].size) : "-",
                             std::string(checksum_state_name(report.states[i])), checksum});
      rows.push_back(std::move(row));
    }
    print_columns(out, rows);
  }
  if (report.failure.failed()) {
    const int number = code_number(report.failure.code);
    out << "The merge would fail: " << failure_text(report.failure, report.kind, number) << '\n';
    // A repack's own steps (its folder) are no step of the merge.
    if (row_of(report.failure.code).step != Step::manifest) {
      out << "Merge flash file error with " << number << '\n';
    }
    return;
  }
  // Only for a merge that would succeed, and changes an image that has blocks.
  if (image == nullptr || plan == nullptr || report.checksums == nullptr) return;
  if (image->block_count > 0) {
    const ByteCount moved = report.moved;
    if (moved.count == 0) {
      out << "moved: no block\n";
    } else {
      out << "moved: " << moved.count << (moved.count == 1 ? " block" : " blocks") << ", the first "
          << block_label(*image, moved.first) << '\n';
    }
    put_format(out,
               "erased: %llu bytes outside every block, from the table at 0x%08x on, become 0xFF",
               static_cast<unsigned long long>(plan->erased.count),
               image->records[image->block_count - 1].table_pos);
    if (plan->erased.count > 0) {
      put_format(out, " (the first at 0x%08llx)",
                 static_cast<unsigned long long>(plan->erased.first));
    }
    out << '\n';
    if (plan->stale.count > 0) {
      put_format(out,
                 "stale: %llu bytes where blocks shrank or moved keep their old contents before "
                 "that table (the first at 0x%08llx)\n",
                 static_cast<unsigned long long>(plan->stale.count),
                 static_cast<unsigned long long>(plan->stale.first));
    }
    // The erased bytes have their line above; the other warnings the merge would give follow.
    for (const WarningKind kind : {WarningKind::dropped_tables, WarningKind::stale_checksums}) {
      if (warning_count(report.warnings, kind) > 0) {
        out << "warning: " << warning_text(*image, report.warnings, kind) << '\n';
      }
    }
  }
  out << "The merge would succeed. Nothing was written.\n";
}

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

// "12 bytes differ: at +0x00000100 (4 bytes), ... and 2 more ranges"; `plus` marks a place
// within a block.
void put_differences(std::ostream& out, const ByteDifferences& d, const char* plus) {
  out << d.count << (d.count == 1 ? " byte differs" : " bytes differ");
  for (size_t r = 0; r < d.shown; ++r) {
    out << (r == 0 ? ": at " : ", ") << plus << hex_field(d.ranges[r].start) << " ("
        << d.ranges[r].size << (d.ranges[r].size == 1 ? " byte)" : " bytes)");
  }
  if (d.runs > d.shown) {
    const uint64_t more = d.runs - d.shown;
    out << " and " << more << (more == 1 ? " more range" : " more ranges");
  }
}

void put_block_pair(std::ostream& out, const FlashImage& a, const FlashImage& b,
                    const BlockPair& pair) {
  const FlashImage& shown = pair.a >= 0 ? a : b;
  const BlockRecord& record = shown.records[pair.a >= 0 ? pair.a : pair.b];
  put_format(out, "table 0x%08x slot %u (%s)", record.table_pos, record.slot,
             printable_name(entry_name(record.entry)).text);
  if (pair.a < 0 || pair.b < 0) {
    out << (pair.a >= 0 ? ": only in A\n" : ": only in B\n");
    return;
  }
  const BlockRecord& other = b.records[pair.b];
  if (other.table_pos != record.table_pos || other.slot != record.slot) {
    put_format(out, ", table 0x%08x slot %u in B", other.table_pos, other.slot);
  }
  out << ": ";
  const BlockEntry& x = record.entry;
  const BlockEntry& y = other.entry;
  const char* separator = "";
  for (const auto& f : kFieldNames) {
    if ((pair.fields & f.field) == 0) continue;
    out << separator;
    separator = "; ";
    if (f.field == kDiffName) {
      out << "name " << printable_name(entry_name(x)).view() << " in A, "
          << printable_name(entry_name(y)).view() << " in B";
    } else if (f.field == kDiffOther) {
      out << "other entry bytes differ";
    } else {
      put_format(out, "%s 0x%08x in A, 0x%08x in B", f.name, field_value(x, f.field),
                 field_value(y, f.field));
    }
  }
  if (pair.bytes.count > 0) {
    out << separator;
    put_differences(out, pair.bytes, "+");
  }
  out << '\n';
}

void render_diff(std::ostream& out, const DiffReport& report) {
  const FlashImage& a = *report.a;
  const FlashImage& b = *report.b;
  const ImageComparison& cmp = report.comparison;
  if (a.length != b.length) {
    put_format(out, "length: %u (0x%08x) in A, %u (0x%08x) in B\n", a.length, a.length, b.length,
               b.length);
  }
  for (const TablePair& t : cmp.tables) {
    const int entries = std::max(t.entries_a, t.entries_b);
    const char* noun = entries == 1 ? "entry" : "entries";
    if (t.moved()) {
      put_format(out, "table 0x%08x in A is at 0x%08x in B", t.position_a, t.position_b);
      if (t.entries_a != t.entries_b) {
        put_format(out, ", %d entries in A, %d in B", t.entries_a, t.entries_b);
      } else {
        put_format(out, ", with %d %s", entries, noun);
      }
      out << (t.header_differs && t.entries_a == t.entries_b ? "; header bytes differ\n" : "\n");
    } else if (t.position_a == kNoTable || t.position_b == kNoTable) {
      put_format(out, "table 0x%08x: only in %s, with %d %s\n",
                 std::min(t.position_a, t.position_b), t.position_a == kNoTable ? "B" : "A",
                 entries, noun);
    } else if (t.entries_a != t.entries_b) {
      put_format(out, "table 0x%08x: %d entries in A, %d in B\n", t.position_a, t.entries_a,
                 t.entries_b);
    } else {
      put_format(out, "table 0x%08x: header bytes differ\n", t.position_a);
    }
  }
  for (const BlockPair& pair : cmp.blocks) put_block_pair(out, a, b, pair);
  if (cmp.outside.count > 0) {
    out << "outside tables and blocks: ";
    put_differences(out, cmp.outside, "");
    out << '\n';
  }
}

void render_written(std::ostream& out, const WrittenReport& report) {
  if (report.block >= 0) return;  // a block extracted says nothing
  out << "unpacked " << report.image->block_count << " blocks and " << kManifestName << " into "
      << printable(report.output) << '\n';
}

void render_failure(std::ostream&, const Failure&, std::string_view, int, std::string_view) {}

}  // namespace

std::string failure_text(const Failure& failure, std::string_view kind, int number) {
  return message_of(failure) + " (" + std::string(kind) + " error " + std::to_string(number) + ")";
}

std::string hex_field(uint64_t value) {
  return format_text("0x%08llx", static_cast<unsigned long long>(value));
}

std::string name_of(const FlashImage& image, size_t i) {
  return std::string(printable_name(entry_name(image.records[i].entry)).view());
}

void print_block_list(const FlashImage& image, std::ostream& out) {
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    put_format(out, "id:0x%x name:", entry_id(entry));
    const std::string_view name = entry_name(entry);  // raw bytes, exactly as stored
    out.write(name.data(), static_cast<std::streamsize>(name.size()));
    out.put('\n');
  }
}

const Renderer kTextRenderer = {"text",      render_info,    render_verify, render_merge,
                                render_diff, render_written, render_failure};

}  // namespace blkswap
