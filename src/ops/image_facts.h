// What the reports say about a loaded image beyond its records: its tables, and where each
// block lies in the image as a whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/flash_image.h"

namespace blkswap {

struct TablePlace {
  uint32_t position = 0;
  uint8_t entries = 0;
};

// The position of the table header at or after `from` within the image, and its entry count.
// False when there is none.
bool next_table(const FlashImage& image, size_t from, TablePlace& table);

// Start of block `index` in the image (its table's position plus its offset) and one past its
// end. The loader has checked that both lie inside the image.
uint64_t block_start(const FlashImage& image, size_t index);
uint64_t block_end(const FlashImage& image, size_t index);

// Calls `visit` for every table header in the image, in order of position, including tables
// that list no block.
template <typename Visit>
void for_each_table(const FlashImage& image, Visit visit) {
  TablePlace table;
  for (size_t from = 0; next_table(image, from, table); from = size_t{table.position} + 1) {
    visit(table);
  }
}

}  // namespace blkswap
