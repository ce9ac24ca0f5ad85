#include "ops/json_doc.h"

#include <cstdio>

#include "ops/merge.h"
#include "ops/report.h"

namespace blkswap {

std::string name_text(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | byte >> 6));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

std::string hex_text(std::string_view bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

Json block_identity(const FlashImage& image, size_t index) {
  const BlockRecord& record = image.records[index];
  const std::string_view name = entry_name(record.entry);
  Json block;
  block["index"] = index;
  block["table"] = record.table_pos;
  block["slot"] = record.slot;
  block["id"] = entry_id(record.entry);
  // Scripts that hand an id back as BLOCKNAME need it as BLOCKNAME reads it: hexadecimal.
  char id_hex[8];
  std::snprintf(id_hex, sizeof id_hex, "0x%02x", entry_id(record.entry));
  block["id_hex"] = id_hex;
  block["name"] = name_text(name);
  block["name_hex"] = hex_text(name);
  return block;
}

Json image_info_document(const FlashImage& image, std::span<const uint32_t> block_crcs,
                         const MergeOptions& options) {
  Json doc;
  doc["schema"] = kSchemaVersion;
  doc["length"] = image.length;
  Json& tables = doc["tables"] = Json::array();
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    tables.push_back(Json{{"position", position}, {"entries", entries}});
  });
  Json& blocks = doc["blocks"] = Json::array();
  const Replacements none;
  for (size_t i = 0; i < image.block_count; ++i) {
    const BlockRecord& record = image.records[i];
    Json block = block_identity(image, i);
    block["offset"] = entry_offset(record.entry);
    block["size"] = entry_size(record.entry);
    block["start"] = block_start(image, i);
    block["end"] = block_end(image, i);
    block["checksum"] = entry_checksum(record.entry);
    const ChecksumState state = i < block_crcs.size()
                                    ? checksum_state_of(record.entry, block_crcs[i])
                                    : checksum_state(image, i);
    block["state"] = checksum_state_name(state);
    block["room"] = block_room(image, none, i, options);
    blocks.push_back(std::move(block));
  }
  return doc;
}

}  // namespace blkswap
