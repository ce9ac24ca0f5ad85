#include "ops/list.h"

#include <cstdio>

#include "image/load.h"

namespace blkswap {

void print_block_list(const FlashImage& image, std::ostream& out) {
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockEntry& entry = image.records[i].entry;
    char id[16];
    const int n = std::snprintf(id, sizeof id, "id:0x%x name:", entry_id(entry));
    out.write(id, n);
    // The name goes out as raw bytes, exactly as stored.
    const std::string_view name = entry_name(entry);
    out.write(name.data(), static_cast<std::streamsize>(name.size()));
    out.put('\n');
  }
}

int list_blocks(FlashImage& image, const char* flashfile, std::ostream& out) {
  const int rc = load_image(image, flashfile);
  if (rc == kLoadNoTable) return kListScanFailed;
  if (rc < 0) return rc;
  print_block_list(image, out);
  image.bytes = Bytes{};
  return 1;
}

}  // namespace blkswap
