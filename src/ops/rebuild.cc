#include "ops/rebuild.h"

#include <cstring>

#include "image/crc.h"
#include "image/format.h"
#include "ops/layout.h"

namespace blkswap {

int compose_merged_image(FlashImage& image, Bytes& out) {
  const size_t n = image.block_count;
  if (n == 0) return kWriteDoesNotFit;
  Layout layout;
  if (plan_layout(image, layout) < 0) return kWriteDoesNotFit;
  if (!allocate_bytes(out, image.length)) return kWriteNoMemory;

  // Up to the last table that has blocks the flash file's bytes are kept; from there on only
  // that table and the blocks written below survive, the rest is erased flash (0xFF).
  const uint8_t* in = image.bytes.ptr.get();
  uint8_t* dst = out.ptr.get();
  const size_t last_table = image.records[n - 1].table_pos;
  std::memcpy(dst, in, last_table);
  std::memset(dst + last_table, 0xFF, image.length - last_table);
  std::memcpy(dst + image.records[0].table_pos, in + image.records[0].table_pos, kHeaderSize);
  std::memcpy(dst + last_table, in + last_table, kHeaderSize);

  // Later writes win where an entry or block lands on an earlier one (nested tables).
  for (size_t k = 0; k < n; ++k) {
    BlockRecord& record = image.records[k];
    set_entry_offset(record.entry, layout.offsets[k]);
    if (entry_checksum(record.entry) != kNoChecksum) {
      set_entry_checksum(record.entry, block_crc(as_span(record.data)));
    }
    const size_t entry_at = record.table_pos + kHeaderSize + kEntrySize * record.slot;
    std::memcpy(dst + entry_at, record.entry.raw.data(), kEntrySize);
    if (record.data.size > 0) {
      std::memcpy(dst + record.table_pos + layout.offsets[k], record.data.ptr.get(),
                  record.data.size);
    }
  }
  return kWriteOk;
}

int write_merged_image(FlashImage& image, const char* wfile) {
  if (wfile == nullptr || wfile[0] == '\0') return kWriteEmptyName;
  Bytes out;
  const int rc = compose_merged_image(image, out);
  if (rc < 0) return rc;
  return write_result_code(write_file_safely(wfile, as_span(out)));
}

int write_result_code(WriteResult result) {
  switch (result) {
    case WriteResult::ok:
      return kWriteOk;
    case WriteResult::cannot_create:
      return kWriteCannotCreate;
    case WriteResult::short_write:
      return kWriteShortWrite;
  }
  return kWriteShortWrite;
}

}  // namespace blkswap
