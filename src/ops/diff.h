// Comparing two images: their tables (paired by position, and a table that moved by the ids and
// names of its blocks), their blocks paired within paired tables, and every byte outside them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

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

// Bytes that differ between two stretches: how many (a byte past the end of the shorter one
// counts), and the first runs of them, from the start of the stretch.
struct ByteDifferences {
  uint64_t count = 0;
  std::array<ByteRange, 4> ranges{};
  size_t shown = 0;   // ranges recorded
  uint64_t runs = 0;  // ranges in all
};

inline constexpr uint32_t kNoTable = UINT32_MAX;

struct TablePair {
  uint32_t position_a = kNoTable;  // kNoTable when the image has no such table
  uint32_t position_b = kNoTable;
  int entries_a = -1;
  int entries_b = -1;
  bool header_differs = false;  // a table in both whose 28 header bytes differ
  bool moved() const {
    return position_a != kNoTable && position_b != kNoTable && position_a != position_b;
  }
};

struct BlockPair {
  int a = -1;  // the block's index in each image; -1 when it has none there
  int b = -1;
  uint8_t fields = 0;  // DiffField bits
  ByteDifferences bytes;
};

struct ImageComparison {
  bool identical = false;         // same length, same bytes
  std::vector<TablePair> tables;  // the pairs that differ or moved, in order of position
  std::vector<BlockPair> blocks;  // the pairs that differ, in table order
  ByteDifferences outside;        // bytes outside every table and block of either image
};

// Compares `a` and `b`. The bytes outside are compared up to the shorter image's length.
void compare_images(const FlashImage& a, const FlashImage& b, ImageComparison& out);

}  // namespace blkswap
