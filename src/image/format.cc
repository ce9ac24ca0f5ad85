#include "image/format.h"

#include <cstring>

namespace blkswap {

namespace {
constexpr size_t kIdAt = 0;
constexpr size_t kOffsetAt = 4;
constexpr size_t kSizeAt = 8;
constexpr size_t kNameAt = 24;
}  // namespace

uint32_t read_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void write_le32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

uint8_t table_entry_count(std::span<const uint8_t> image, size_t pos) {
  return is_table_header(image, pos) ? image[pos + kEntryCountAt] : 0;
}

uint8_t entry_id(const BlockEntry& entry) {
  return entry.raw[kIdAt];
}
uint32_t entry_offset(const BlockEntry& entry) {
  return read_le32(&entry.raw[kOffsetAt]);
}
uint32_t entry_size(const BlockEntry& entry) {
  return read_le32(&entry.raw[kSizeAt]);
}
uint32_t entry_checksum(const BlockEntry& entry) {
  return read_le32(&entry.raw[kChecksumFieldAt]);
}
void set_entry_offset(BlockEntry& entry, uint32_t value) {
  write_le32(&entry.raw[kOffsetAt], value);
}
void set_entry_size(BlockEntry& entry, uint32_t value) {
  write_le32(&entry.raw[kSizeAt], value);
}
void set_entry_checksum(BlockEntry& entry, uint32_t value) {
  write_le32(&entry.raw[kChecksumFieldAt], value);
}

bool has_checksum(const BlockEntry& entry) {
  return entry_checksum(entry) != kNoChecksum;
}

std::string_view entry_name(const BlockEntry& entry) {
  const char* name = reinterpret_cast<const char*>(&entry.raw[kNameAt]);
  size_t length = 0;
  while (length < kNameSize && name[length] != '\0') ++length;
  return {name, length};
}

bool is_table_header(std::span<const uint8_t> image, size_t pos) {
  if (pos > image.size() || image.size() - pos < kHeaderSize) return false;
  const uint8_t* p = image.data() + pos;
  return p[kFormatMarkAt] == kFormatMark && std::memcmp(p, kMagic.data(), kMagic.size()) == 0;
}

bool ranges_overlap(ByteRange a, ByteRange b) {
  if (a.size == 0 || b.size == 0) return false;
  return a.start < b.start + b.size && b.start < a.start + a.size;
}

}  // namespace blkswap
