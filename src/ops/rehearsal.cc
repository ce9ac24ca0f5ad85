#include "ops/rehearsal.h"

#include <string_view>

#include "image/format.h"
#include "ops/report_text.h"

namespace blkswap {

namespace {

std::string_view checksum_change(const BlockEntry& before, const BlockEntry& after) {
  if (entry_checksum(after) == kNoChecksum) return "none";
  return entry_checksum(before) == entry_checksum(after) ? "same" : "changes";
}

}  // namespace

void print_merge_rehearsal(const FlashImage& image, std::ostream& out) {
  const size_t name_width = name_column_width(image, 4);
  put_block_heading(out, name_width);
  for (const char* title : {"old offset", "old size", "new offset", "new size"}) {
    put_cell(out, title, kHexWidth);
  }
  out << "checksum\n";
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const BlockEntry& before = image.snapshot[i];
    put_block_identity(out, image, i, name_width);
    put_hex_cell(out, entry_offset(before), kHexWidth);
    put_hex_cell(out, entry_size(before), kHexWidth);
    put_hex_cell(out, entry_offset(record.entry), kHexWidth);
    put_hex_cell(out, record.data.size, kHexWidth);
    out << checksum_change(before, record.entry);
    out << (record.replaced ? "  (replaced)\n" : "\n");
  }
}

}  // namespace blkswap
