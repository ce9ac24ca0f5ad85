#include "ops/report_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace blkswap {

void put_format(std::ostream& out, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n > 0) out.write(text, std::min<std::streamsize>(n, sizeof text - 1));
}

PrintableName printable_name(std::string_view name) {
  PrintableName out;
  for (const char c : name.substr(0, kNameSize)) {
    const auto byte = static_cast<uint8_t>(c);
    char* at = out.text + out.size;
    if (byte == '\\') {
      at[0] = at[1] = '\\';
      out.size += 2;
    } else if (byte >= 0x20 && byte < 0x7F) {
      at[0] = c;
      out.size += 1;
    } else {
      std::snprintf(at, 5, "\\x%02x", byte);
      out.size += 4;
    }
  }
  out.text[out.size] = '\0';
  return out;
}

void put_cell(std::ostream& out, std::string_view text, size_t width) {
  out << text;
  for (size_t n = text.size(); n < width + 2; ++n) out.put(' ');
}

void put_hex_cell(std::ostream& out, uint64_t value, size_t width) {
  char text[24];
  const int n =
      std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
  put_cell(out, std::string_view(text, static_cast<size_t>(n)), width);  // at most 18 characters
}

size_t name_column_width(const FlashImage& image, size_t header_width) {
  size_t width = header_width;
  for (size_t i = 0; i < image.block_count; ++i) {
    width = std::max(width, printable_name(entry_name(image.records[i].entry)).size);
  }
  return width;
}

void put_block_heading(std::ostream& out, size_t name_width) {
  put_cell(out, "index", 5);
  put_cell(out, "table", kHexWidth);
  put_cell(out, "slot", 4);
  put_cell(out, "id", 4);
  put_cell(out, "name", name_width);
}

void put_block_identity(std::ostream& out, const FlashImage& image, size_t index,
                        size_t name_width) {
  const BlockRecord& record = image.records[index];
  const PrintableName name = printable_name(entry_name(record.entry));
  put_format(out, "%-5zu  ", index);
  put_hex_cell(out, record.table_pos, kHexWidth);
  put_format(out, "%-4u  0x%02x  ", record.slot, entry_id(record.entry));
  put_cell(out, std::string_view(name.text, name.size), name_width);
}

}  // namespace blkswap
