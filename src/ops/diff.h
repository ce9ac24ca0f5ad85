// Comparing two images: their tables, their blocks paired by table and slot, and the bytes
// outside every table and block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>

#include "image/load.h"

namespace blkswap {

// The entry fields a block pair can differ in; `other` is any entry byte no field names.
enum DiffField : uint8_t {
  kDiffId = 1,
  kDiffName = 2,
  kDiffOffset = 4,
  kDiffSize = 8,
  kDiffChecksum = 16,
  kDiffOther = 32,
};

struct BlockPair {
  uint32_t table = 0;
  uint32_t slot = 0;
  int a = -1;  // the block's index in each image; -1 when it has none there
  int b = -1;
  uint8_t fields = 0;  // DiffField bits
  bool bytes_differ = false;
};

struct TablePair {
  uint32_t position = 0;
  int entries_a = -1;  // -1 when the image has no table there
  int entries_b = -1;
  bool header_differs = false;  // a table in both whose 28 header bytes differ
};

struct ImageComparison {
  bool identical = false;                          // same length, same bytes
  std::array<BlockPair, 2 * kMaxBlocks> blocks{};  // the pairs that differ, in table order
  size_t block_count = 0;
  uint64_t outside_differ = 0;  // bytes outside every table and block of either image
  uint64_t first_outside = 0;   // the first of them, when there is one
};

// Compares `a` and `b`. The bytes outside are compared up to the shorter image's length.
void compare_images(const FlashImage& a, const FlashImage& b, ImageComparison& out);

// Every table that differs: in one image only, with other entry counts, or another header.
void print_comparison(const FlashImage& a, const FlashImage& b, const ImageComparison& cmp,
                      std::ostream& out);
// The same as a JSON document; false, with nothing printed, when there is no memory for it.
bool print_comparison_json(const FlashImage& a, const FlashImage& b, const ImageComparison& cmp,
                           std::ostream& out);

}  // namespace blkswap
