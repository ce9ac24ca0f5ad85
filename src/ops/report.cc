#include "ops/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "image/crc.h"

namespace blkswap {

void put_format(std::ostream& out, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0) out.write(text, std::min<std::streamsize>(n, sizeof text - 1));
}

ChecksumState checksum_state_of(const BlockEntry& entry, uint32_t crc) {
  if (!has_checksum(entry)) return ChecksumState::none;
  return crc == entry_checksum(entry) ? ChecksumState::ok : ChecksumState::stale;
}

ChecksumState checksum_state(const FlashImage& image, size_t index, uint32_t* computed) {
  const BlockEntry& entry = image.records[index].entry;
  if (computed != nullptr) *computed = 0;
  if (!has_checksum(entry)) return ChecksumState::none;
  const uint32_t crc = block_checksum(image, index);
  if (computed != nullptr) *computed = crc;
  return checksum_state_of(entry, crc);
}

std::string_view checksum_state_name(ChecksumState state) {
  switch (state) {
    case ChecksumState::ok:
      return "ok";
    case ChecksumState::stale:
      return "stale";
    case ChecksumState::none:
      break;
  }
  return "none";
}

PrintableName printable_name(std::string_view name) {
  PrintableName out;
  for (const char c : name.substr(0, kNameSize)) {
    const auto byte = static_cast<uint8_t>(c);
    char* at = out.text + out.size;
    if (byte == '\\') {
      at[0] = at[1] = '\\';
      out.size += 2;
    } else if (byte >= 0x20 && byte < 0x7F) {
      at[0] = c;
      out.size += 1;
    } else {
      std::snprintf(at, 5, "\\x%02x", byte);
      out.size += 4;
    }
  }
  out.text[out.size] = '\0';
  return out;
}

namespace {

// The length of the UTF-8 sequence that starts at text[at] (2 to 4), or 0 when the bytes there
// are not one (an overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
size_t utf8_sequence(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (length == 0 || text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// How many bytes from text[at] on a message shows as they are: one printable ASCII character,
// one UTF-8 sequence, or none (a byte shown as \xNN).
size_t shown_as_is(std::string_view text, size_t at) {
  const auto byte = static_cast<uint8_t>(text[at]);
  if (byte >= 0x80) return utf8_sequence(text, at);
  return byte < 0x20 || byte == 0x7F ? 0 : 1;
}

}  // namespace

void put_printable(std::ostream& out, std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<uint8_t>(text[at]);
    const size_t sequence = shown_as_is(text, at);
    if (sequence > 0) {
      out.write(text.data() + at, static_cast<std::streamsize>(sequence));
      at += sequence;
    } else {
      put_format(out, "\\x%02x", byte);
      ++at;
    }
  }
}

bool is_printable(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t sequence = shown_as_is(text, at);
    if (sequence == 0) return false;
    at += sequence;
  }
  return true;
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

namespace {

// Fixed-width columns, all without heap allocation. A cell is its text, then spaces up to
// `width` and the two that separate columns; the last column of a row is written unpadded.
constexpr size_t kHexWidth = 10;  // "0x" and eight digits

void put_cell(std::ostream& out, std::string_view text, size_t width) {
  out << text;
  for (size_t n = text.size(); n < width + 2; ++n) out.put(' ');
}

void put_hex_cell(std::ostream& out, uint64_t value) {
  char text[24];
  const int n =
      std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
  put_cell(out, std::string_view(text, static_cast<size_t>(n)), kHexWidth);
}

size_t name_column_width(const FlashImage& image) {
  size_t width = 4;  // "name"
  for (size_t i = 0; i < image.block_count; ++i) {
    width = std::max(width, printable_name(entry_name(image.records[i].entry)).size);
  }
  return width;
}

// The columns that name a block in every per-block report: index, table, slot, id and name.
void put_block_heading(std::ostream& out, size_t name_width) {
  put_cell(out, "index", 5);
  put_cell(out, "table", kHexWidth);
  put_cell(out, "slot", 4);
  put_cell(out, "id", 4);
  put_cell(out, "name", name_width);
}

void put_block_identity(std::ostream& out, const FlashImage& image, size_t index,
                        size_t name_width) {
  const BlockRecord& record = image.records[index];
  put_format(out, "%-5zu  ", index);
  put_hex_cell(out, record.table_pos);
  put_format(out, "%-4u  0x%02x  ", record.slot, entry_id(record.entry));
  put_cell(out, printable_name(entry_name(record.entry)).view(), name_width);
}

}  // namespace

void print_image_info(const FlashImage& image, std::ostream& out, const MergeOptions& options) {
  const Replacements none;
  const uint32_t tables = image.table_count;
  put_format(out, "image: %u bytes (0x%08x), %u %s, %u %s\n\n", image.length, image.length, tables,
             tables == 1 ? "table" : "tables", unsigned{image.block_count},
             image.block_count == 1 ? "block" : "blocks");
  put_cell(out, "table", kHexWidth);
  out << "entries\n";
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    put_hex_cell(out, position);
    out << unsigned{entries} << '\n';
  });
  out.put('\n');

  const size_t name_width = name_column_width(image);
  put_block_heading(out, name_width);
  for (const char* title : {"offset", "size", "start", "end", "checksum"}) {
    put_cell(out, title, kHexWidth);
  }
  put_cell(out, "state", 5);
  out << "room\n";
  const BlockChecksums crcs = block_checksums(image);
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const ChecksumState state = checksum_state_of(record.entry, crcs[i]);
    put_block_identity(out, image, i, name_width);
    put_hex_cell(out, entry_offset(record.entry));
    put_hex_cell(out, entry_size(record.entry));
    put_hex_cell(out, block_start(image, i));
    put_hex_cell(out, block_end(image, i));
    put_hex_cell(out, entry_checksum(record.entry));
    put_cell(out, checksum_state_name(state), 5);
    put_format(out, "0x%08llx\n",
               static_cast<unsigned long long>(block_room(image, none, i, options)));
  }
}

ChecksumReport check_every_checksum(const FlashImage& image) {
  ChecksumReport report;
  const BlockChecksums crcs = block_checksums(image);
  for (size_t i = 0; i < image.block_count; ++i) {
    report.state[i] = checksum_state_of(image.records[i].entry, crcs[i]);
    report.computed[i] = report.state[i] == ChecksumState::none ? 0 : crcs[i];
    ++report.count[static_cast<size_t>(report.state[i])];
  }
  return report;
}

size_t verify_checksums(const FlashImage& image, std::ostream& out, std::string_view label) {
  const ChecksumReport report = check_every_checksum(image);
  auto start_line = [&] {
    if (!label.empty()) out << label << ": ";
  };
  for (size_t i = 0; i < image.block_count; ++i) {
    if (report.state[i] != ChecksumState::stale) continue;
    const BlockEntry& entry = image.records[i].entry;
    start_line();
    put_format(
        out, "stale: block %zu (id 0x%02x, name %s) at 0x%08llx: stored 0x%08x, computed 0x%08x\n",
        i, entry_id(entry), printable_name(entry_name(entry)).text,
        static_cast<unsigned long long>(block_start(image, i)), entry_checksum(entry),
        report.computed[i]);
  }
  start_line();
  put_format(out, "%u blocks: %zu ok, %zu stale, %zu none\n", unsigned{image.block_count},
             report.of(ChecksumState::ok), report.of(ChecksumState::stale),
             report.of(ChecksumState::none));
  return report.of(ChecksumState::stale);
}

void put_repack_counts(std::ostream& out, const RepackReport& repack) {
  const RepackVerdicts& v = *repack.verdicts;
  const char* separator = "";
  auto put = [&](Verdict verdict, std::string_view words, const char* name = "") {
    if (v.of(verdict) == 0) return;
    out << separator << v.of(verdict) << ' ' << words;
    put_printable(out, name);
    separator = ", ";
  };
  put(Verdict::from_folder, "from the folder");
  put(Verdict::kept, "kept from ", repack.flashfile_name);
  put(Verdict::unchanged, "unchanged");
  put(Verdict::conflict, v.of(Verdict::conflict) == 1 ? "conflict" : "conflicts");
}

namespace {

void put_block_checksums(std::ostream& out, const RepackReport& repack, size_t i) {
  const UnpackedBlock& base = (*repack.unpacked)[i];
  put_format(out, "0x%08x in the folder, 0x%08x in ", repack.verdicts->blocks[i].folder_checksum,
             (*repack.flashfile)[i]);
  put_printable(out, repack.flashfile_name);
  if (base.known) {
    put_format(out, ", 0x%08x when unpacked", base.checksum);
  } else {
    out << ", not recorded when unpacked";
  }
}

}  // namespace

void put_repack_verdicts(std::ostream& out, const FlashImage& image, const RepackReport& repack) {
  for (size_t i = 0; i < image.block_count; ++i) {
    put_format(out, "block %zu (%s): ", i, printable_name(entry_name(image.records[i].entry)).text);
    switch (repack.verdicts->blocks[i].verdict) {
      case Verdict::unchanged:
        out << "unchanged";
        break;
      case Verdict::from_folder:
        out << "taken from the folder";
        break;
      case Verdict::kept:
        out << "kept from ";
        put_printable(out, repack.flashfile_name);
        break;
      case Verdict::conflict:
        out << "conflict: ";
        put_block_checksums(out, repack, i);
        break;
    }
    out << '\n';
  }
}

void put_repack_conflicts(std::ostream& out, const FlashImage& image, const RepackReport& repack) {
  const char* separator = "";
  for (size_t i = 0; i < image.block_count; ++i) {
    if (repack.verdicts->blocks[i].verdict != Verdict::conflict) continue;
    put_format(out, "%sblock %zu (%s) is ", separator, i,
               printable_name(entry_name(image.records[i].entry)).text);
    put_block_checksums(out, repack, i);
    separator = "; ";
  }
}

ByteCount moved_blocks(const FlashImage& image, const MergePlan& plan) {
  ByteCount moved;
  for (size_t i = 0; i < image.block_count && i < plan.placed; ++i) {
    if (plan.blocks[i].offset == entry_offset(image.records[i].entry)) continue;
    if (moved.count++ == 0) moved.first = i;
  }
  return moved;
}

void print_dry_run(const FlashImage& image, const DryRun& run, std::ostream& out) {
  if (run.repack != nullptr) {
    put_repack_verdicts(out, image, *run.repack);
    out << "would repack " << image.block_count << " blocks: ";
    put_repack_counts(out, *run.repack);
    out << "\n\n";
  }
  const MergePlan* plan = run.plan;
  const size_t name_width = name_column_width(image);
  put_block_heading(out, name_width);
  for (const char* title : {"old offset", "old size", "new offset", "new size"}) {
    put_cell(out, title, kHexWidth);
  }
  put_cell(out, "state", 5);
  out << "checksum\n";
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& before = image.records[i].entry;
    put_block_identity(out, image, i, name_width);
    put_hex_cell(out, entry_offset(before));
    put_hex_cell(out, entry_size(before));
    if (plan != nullptr && i < plan->placed) {
      put_hex_cell(out, plan->blocks[i].offset);
    } else {
      put_cell(out, "-", kHexWidth);
    }
    if (plan != nullptr) {
      put_hex_cell(out, plan->blocks[i].size);
    } else {
      put_cell(out, "-", kHexWidth);
    }
    put_cell(out, checksum_state_name(checksum_state(image, i)), 5);
    if (run.composed == nullptr) {
      out << '-';
    } else {
      out << (entry_checksum(before) == run.composed->checksums[i] ? "same" : "changes");
    }
    if (plan != nullptr && plan->blocks[i].replaced) out << "  (replaced)";
    if (static_cast<int>(i) == run.at_fault) out << "  (at fault)";
    out << '\n';
  }
  // Only for a merge that would succeed, and changes an image that has blocks.
  if (plan == nullptr || run.composed == nullptr || image.block_count == 0) return;
  const ByteCount moved = moved_blocks(image, *plan);
  if (moved.count == 0) {
    out << "moved: no block\n";
  } else {
    put_format(out, "moved: %llu %s, the first block %llu (%s)\n",
               static_cast<unsigned long long>(moved.count), moved.count == 1 ? "block" : "blocks",
               static_cast<unsigned long long>(moved.first),
               printable_name(entry_name(image.records[moved.first].entry)).text);
  }
  const uint32_t last_table = image.records[image.block_count - 1].table_pos;
  put_format(out,
             "erased: %llu bytes outside every block, from the table at 0x%08x on, become 0xFF",
             static_cast<unsigned long long>(plan->erased.count), last_table);
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
  if (run.warnings == nullptr) return;
  for (const WarningKind kind : {WarningKind::dropped_tables, WarningKind::stale_checksums}) {
    if (warning_count(*run.warnings, kind) == 0) continue;
    out << "warning: ";
    put_warning(out, image, *run.warnings, kind);
    out << '\n';
  }
}

std::string_view warning_word(WarningKind kind) {
  switch (kind) {
    case WarningKind::erased:
      return "erased";
    case WarningKind::dropped_tables:
      return "dropped_tables";
    case WarningKind::stale_checksums:
      break;
  }
  return "stale_checksums";
}

size_t warning_count(const MergeWarnings& warnings, WarningKind kind) {
  switch (kind) {
    case WarningKind::erased:
      return warnings.erased.count;
    case WarningKind::dropped_tables:
      return warnings.dropped_tables.count;
    case WarningKind::stale_checksums:
      break;
  }
  return warnings.stale_checksums.count;
}

void put_warning(std::ostream& out, const FlashImage& image, const MergeWarnings& warnings,
                 WarningKind kind) {
  const auto count = static_cast<unsigned long long>(warning_count(warnings, kind));
  const bool one = count == 1;
  switch (kind) {
    case WarningKind::erased:
      put_format(out,
                 "%llu %s after the table at 0x%08x %s not carried over and become%s 0xFF (%s "
                 "0x%08llx); 'blkswap --dry-run' shows them",
                 count, one ? "byte" : "bytes", warnings.erased_after, one ? "is" : "are",
                 one ? "s" : "", one ? "at" : "the first at",
                 static_cast<unsigned long long>(warnings.erased.first));
      break;
    case WarningKind::dropped_tables:
      if (one) {
        put_format(out,
                   "the header of the table at 0x%08llx, which lists no blocks, is not carried "
                   "over",
                   static_cast<unsigned long long>(warnings.dropped_tables.first));
      } else {
        put_format(out,
                   "the headers of %llu tables that list no blocks are not carried over (the "
                   "first at 0x%08llx)",
                   count, static_cast<unsigned long long>(warnings.dropped_tables.first));
      }
      break;
    case WarningKind::stale_checksums: {
      const StaleChecksums& stale = warnings.stale_checksums;
      const PrintableName name = printable_name(entry_name(image.records[stale.first].entry));
      if (one) {
        put_format(out,
                   "block %zu (%s) had a stale checksum 0x%08x; the merged image stores its "
                   "computed checksum 0x%08x",
                   stale.first, name.text, stale.stored, stale.written);
      } else {
        put_format(out,
                   "%llu blocks had stale checksums, the first block %zu (%s) 0x%08x; the merged "
                   "image stores their computed checksums, 0x%08x for block %zu; 'blkswap "
                   "--verify' names them",
                   count, stale.first, name.text, stale.stored, stale.written, stale.first);
      }
      break;
    }
  }
}

void put_merge_warnings(std::ostream& out, std::string_view lead, const FlashImage& image,
                        const MergeWarnings& warnings) {
  for (const WarningKind kind : kWarningKinds) {
    if (warning_count(warnings, kind) == 0) continue;
    out << lead;
    put_warning(out, image, warnings, kind);
    out << '\n';
  }
}

}  // namespace blkswap
