// Small pieces of the reports meant for people: block names made printable, and fixed-width
// columns, all without heap allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string_view>

#include "image/flash_image.h"
#include "image/format.h"

namespace blkswap {

// Formats like printf into a bounded buffer (256 bytes; longer output is cut) and writes it.
void put_format(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A block name with every byte outside printable ASCII, and the backslash, written as \xNN or
// \\ so that it stays on one line and in its column. At most four characters per stored byte.
struct PrintableName {
  char text[4 * kNameSize + 1] = {};
  size_t size = 0;
};
PrintableName printable_name(std::string_view name);

// Writes `text` and then spaces up to `width` characters and the two that separate columns.
// The last column of a row is written without padding.
void put_cell(std::ostream& out, std::string_view text, size_t width);

// "0x" and at least eight lower-case hexadecimal digits.
void put_hex_cell(std::ostream& out, uint64_t value, size_t width);

// The widest printable name among the image's blocks, and never less than `header_width`.
size_t name_column_width(const FlashImage& image, size_t header_width);

// The columns that name a block in every per-block report: index, table, slot, id and name.
inline constexpr size_t kHexWidth = 10;  // "0x" and eight digits
void put_block_heading(std::ostream& out, size_t name_width);
void put_block_identity(std::ostream& out, const FlashImage& image, size_t index,
                        size_t name_width);

}  // namespace blkswap
