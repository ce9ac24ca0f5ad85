#include "ops/image_facts.h"

#include "image/format.h"
#include "image/load.h"

namespace blkswap {

bool next_table(const FlashImage& image, size_t from, TablePlace& table) {
  const std::span<const uint8_t> bytes(image.bytes.ptr.get(), image.length);
  const size_t pos = find_table_header(bytes, from);
  if (pos == kNoTableHeader) return false;
  table.position = static_cast<uint32_t>(pos);
  table.entries = bytes[pos + kEntryCountAt];
  return true;
}

uint64_t block_start(const FlashImage& image, size_t index) {
  const BlockRecord& record = image.records[index];
  return uint64_t{record.table_pos} + entry_offset(record.entry);
}

uint64_t block_end(const FlashImage& image, size_t index) {
  return block_start(image, index) + image.records[index].data.size;
}

}  // namespace blkswap
