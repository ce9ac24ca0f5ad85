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

ChecksumState checksum_state(const BlockEntry& entry, std::span<const uint8_t> bytes,
                             uint32_t* computed) {
  if (computed != nullptr) *computed = 0;
  if (!has_checksum(entry)) return ChecksumState::none;
  const uint32_t crc = block_crc(bytes);
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

void print_image_info(const FlashImage& image, std::ostream& out) {
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
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const ChecksumState state = checksum_state(record.entry, block_bytes(image, i));
    put_block_identity(out, image, i, name_width);
    put_hex_cell(out, entry_offset(record.entry));
    put_hex_cell(out, entry_size(record.entry));
    put_hex_cell(out, block_start(image, i));
    put_hex_cell(out, block_end(image, i));
    put_hex_cell(out, entry_checksum(record.entry));
    put_cell(out, checksum_state_name(state), 5);
    put_format(out, "0x%08llx\n", static_cast<unsigned long long>(block_room(image, none, i)));
  }
}

ChecksumReport check_every_checksum(const FlashImage& image) {
  ChecksumReport report;
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    report.state[i] = checksum_state(record.entry, block_bytes(image, i), &report.computed[i]);
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

void print_dry_run(const FlashImage& image, const DryRun& run, std::ostream& out) {
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
    put_cell(out, checksum_state_name(checksum_state(before, block_bytes(image, i))), 5);
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
}

}  // namespace blkswap
