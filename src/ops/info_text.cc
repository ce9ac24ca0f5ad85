#include "image/format.h"
#include "ops/checksum_state.h"
#include "ops/image_facts.h"
#include "ops/info.h"
#include "ops/report_text.h"

namespace blkswap {

namespace {

void print_tables(const FlashImage& image, std::ostream& out) {
  put_cell(out, "table", kHexWidth);
  out << "entries\n";
  for_each_table(image, [&](const TablePlace& table) {
    put_hex_cell(out, table.position, kHexWidth);
    out << unsigned{table.entries} << '\n';
  });
}

void print_blocks(const FlashImage& image, std::ostream& out) {
  const size_t name_width = name_column_width(image, 4);
  put_block_heading(out, name_width);
  for (const char* title : {"offset", "size", "start", "end", "checksum"}) {
    put_cell(out, title, kHexWidth);
  }
  out << "state\n";
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const ChecksumCheck check = check_checksum(record);
    put_block_identity(out, image, i, name_width);
    put_hex_cell(out, entry_offset(record.entry), kHexWidth);
    put_hex_cell(out, record.data.size, kHexWidth);
    put_hex_cell(out, block_start(image, i), kHexWidth);
    put_hex_cell(out, block_end(image, i), kHexWidth);
    put_hex_cell(out, check.stored, kHexWidth);
    out << checksum_state_name(check.state) << '\n';
  }
}

}  // namespace

void print_image_info(const FlashImage& image, std::ostream& out) {
  const uint32_t tables = image.table_count;
  put_format(out, "image: %u bytes (0x%08x), %u %s, %u %s\n", image.length, image.length, tables,
             tables == 1 ? "table" : "tables", unsigned{image.block_count},
             image.block_count == 1 ? "block" : "blocks");
  out.put('\n');
  print_tables(image, out);
  out.put('\n');
  print_blocks(image, out);
}

}  // namespace blkswap
