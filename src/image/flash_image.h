// The loaded image and its block records.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>

#include "image/bytes.h"
#include "image/file_read.h"
#include "image/format.h"

namespace blkswap {

struct BlockRecord {
  BlockEntry entry;        // as found in the image; the merge changes size, offset and checksum
  uint32_t table_pos = 0;  // position of the header of the table that lists the block
  uint32_t slot = 0;       // the entry's 0-based place in that table
  Bytes data;              // the block's bytes; data.size is the block's true length
  bool replaced = false;   // its bytes came from a block file, not from the image
};

struct FlashImage {
  Bytes bytes;          // the whole flash file as read
  uint32_t length = 0;  // bytes read from the flash file
  uint16_t block_count = 0;
  uint32_t table_count = 0;  // every table header found, with blocks or without
  FileIdentity source;       // the flash file the bytes were read from
  std::array<BlockRecord, kMaxBlocks> records;
  // The entries as loaded, before any replacement: the block look-up reads them, and the merge
  // compares old and new places with them. The block bytes stay with the records alone.
  std::array<BlockEntry, kMaxBlocks> snapshot;
};

// About 8 KiB of records, kept off the stack. Empty when the memory cannot be had.
inline std::unique_ptr<FlashImage> allocate_flash_image() {
  return std::unique_ptr<FlashImage>(new (std::nothrow) FlashImage);
}

}  // namespace blkswap
