#include "ops/verify.h"

#include "image/format.h"
#include "ops/checksum_state.h"
#include "ops/image_facts.h"
#include "ops/report_text.h"

namespace blkswap {

size_t verify_checksums(const FlashImage& image, std::ostream& out) {
  size_t ok = 0;
  size_t none = 0;
  size_t stale = 0;
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    const ChecksumCheck check = check_checksum(record);
    if (check.state == ChecksumState::ok) ++ok;
    if (check.state == ChecksumState::none) ++none;
    if (check.state != ChecksumState::stale) continue;
    ++stale;
    const PrintableName name = printable_name(entry_name(record.entry));
    put_format(
        out, "stale: block %zu (id 0x%02x, name %s) at 0x%08llx: stored 0x%08x, computed 0x%08x\n",
        i, entry_id(record.entry), name.text,
        static_cast<unsigned long long>(block_start(image, i)), check.stored, check.computed);
  }
  put_format(out, "%u blocks: %zu ok, %zu without checksum, %zu stale\n",
             unsigned{image.block_count}, ok, none, stale);
  return stale;
}

}  // namespace blkswap
