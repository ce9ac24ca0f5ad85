#include "ops/extract.h"

#include "ops/rebuild.h"
#include "ops/replace.h"
#include "ops/safe_write.h"

namespace blkswap {

bool names_the_flash_file(const FlashImage& image, const char* path) {
  const FileIdentity target = identify_file(path);
  return image.source.known && target.known && target.device == image.source.device &&
         target.inode == image.source.inode;
}

int extract_block(const FlashImage& image, const char* blockname, const char* outfile,
                  WriteFailure* why) {
  if (blockname == nullptr || blockname[0] == '\0' || outfile == nullptr || outfile[0] == '\0') {
    return kExtractEmptyArgument;
  }
  const int index = find_block(image, blockname);
  if (index == kNoBlock) return kExtractNoMatch;
  const BlockRecord& record = image.records[static_cast<size_t>(index)];
  return write_result_code(write_file_safely(outfile, as_span(record.data), why));
}

}  // namespace blkswap
