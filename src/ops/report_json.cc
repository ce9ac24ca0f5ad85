#include <cstdio>
#include <string_view>

#include "ops/report.h"

namespace blkswap {

namespace {

// One character per byte: printable ASCII stays, the quote and backslash are escaped, and any
// other byte becomes \u00XX, so that every byte comes back from any JSON reader.
void put_json_name(std::ostream& out, std::string_view name) {
  out.put('"');
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte == '"' || byte == '\\') {
      out.put('\\');
      out.put(c);
    } else if (byte >= 0x20 && byte < 0x7F) {
      out.put(c);
    } else {
      char escaped[8];
      const int n = std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out.write(escaped, n);
    }
  }
  out.put('"');
}

void put_hex_string(std::ostream& out, std::string_view bytes) {
  out.put('"');
  for (const char c : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<uint8_t>(c));
    out.write(digits, 2);
  }
  out.put('"');
}

void put_field(std::ostream& out, const char* key, unsigned long long value, bool first = false) {
  put_format(out, "%s\"%s\": %llu", first ? "" : ", ", key, value);
}

void put_block(const FlashImage& image, size_t i, std::ostream& out) {
  const BlockRecord& record = image.records[i];
  const std::string_view name = entry_name(record.entry);
  out << "    {";
  put_field(out, "index", i, true);
  put_field(out, "table", record.table_pos);
  put_field(out, "slot", record.slot);
  put_field(out, "id", entry_id(record.entry));
  out << ", \"name\": ";
  put_json_name(out, name);
  out << ", \"name_hex\": ";
  put_hex_string(out, name);
  put_field(out, "offset", entry_offset(record.entry));
  put_field(out, "size", record.data.size);
  put_field(out, "start", block_start(image, i));
  put_field(out, "end", block_end(image, i));
  put_field(out, "checksum", entry_checksum(record.entry));
  out << ", \"state\": \""
      << checksum_state_name(checksum_state(record.entry, as_span(record.data))) << "\"}";
}

}  // namespace

void print_image_info_json(const FlashImage& image, std::ostream& out) {
  out << "{\n  ";
  put_field(out, "schema", 1, true);
  out << ",\n  ";
  put_field(out, "length", image.length, true);
  out << ",\n  \"tables\": [";
  bool first = true;
  // A loaded image has at least one table.
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    out << (first ? "\n    {" : ",\n    {");
    first = false;
    put_field(out, "position", position, true);
    put_field(out, "entries", entries);
    out.put('}');
  });
  out << "\n  ],\n";
  out << "  \"blocks\": [";
  for (size_t i = 0; i < image.block_count; ++i) {
    out << (i == 0 ? "\n" : ",\n");
    put_block(image, i, out);
  }
  out << (image.block_count == 0 ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace blkswap
