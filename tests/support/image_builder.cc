#include "image_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "image/crc.h"
#include "image/format.h"

namespace blkswap::testing {

namespace {

void put32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
  write_le32(image.data() + at, value);
}

}  // namespace

void put_table(std::vector<uint8_t>& image, const TablePlan& table) {
  build_crc_table();
  const size_t entries_end = table.pos + kHeaderSize + kEntrySize * table.entries.size();
  if (entries_end > image.size()) throw std::out_of_range("table does not fit the image");
  std::fill_n(image.begin() + table.pos, kHeaderSize, table.opaque);
  std::memcpy(image.data() + table.pos, kMagic.data(), kMagic.size());
  image[table.pos + kEntryCountAt] =
      table.count.value_or(static_cast<uint8_t>(table.entries.size()));
  image[table.pos + kFormatMarkAt] = table.format_mark;

  for (size_t k = 0; k < table.entries.size(); ++k) {
    const EntryPlan& e = table.entries[k];
    const size_t at = table.pos + kHeaderSize + kEntrySize * k;
    std::fill_n(image.begin() + at, kEntrySize, e.opaque);
    image[at] = e.id;
    put32(image, at + 4, e.offset);
    put32(image, at + 8, e.size.value_or(static_cast<uint32_t>(e.data.size())));
    put32(image, at + 12, e.checksum.value_or(block_crc(e.data)));
    std::fill_n(image.begin() + at + 24, kNameSize, 0);
    std::memcpy(image.data() + at + 24, e.name.data(), std::min(e.name.size(), kNameSize));
  }
  for (const EntryPlan& e : table.entries) {
    const size_t at = size_t{table.pos} + e.offset;
    if (e.data.empty()) continue;
    if (at + e.data.size() > image.size()) throw std::out_of_range("block does not fit the image");
    std::copy(e.data.begin(), e.data.end(), image.begin() + at);
  }
}

std::vector<uint8_t> build_image(size_t length, const std::vector<TablePlan>& tables,
                                 uint8_t fill) {
  std::vector<uint8_t> image(length, fill);
  for (const TablePlan& t : tables) put_table(image, t);
  return image;
}

std::vector<EntryPlan> numbered_blocks(size_t count, uint32_t first_offset, uint32_t size,
                                       uint8_t first_id) {
  std::vector<EntryPlan> out;
  for (size_t i = 0; i < count; ++i) {
    std::string name = "b";
    name += std::to_string(i);  // (not "b" + ...: g++ 12 warns falsely on that at -O3)
    out.push_back({.id = static_cast<uint8_t>(first_id + i),
                   .name = name,
                   .offset = static_cast<uint32_t>(first_offset + size * i),
                   .data = pattern(size, static_cast<uint32_t>(i))});
  }
  return out;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

Bytes to_bytes(const std::vector<uint8_t>& bytes) {
  Bytes out;
  if (!allocate_bytes(out, bytes.size())) throw std::bad_alloc();
  std::copy(bytes.begin(), bytes.end(), out.ptr.get());
  return out;
}

std::vector<uint8_t> to_vector(const Bytes& bytes) {
  return {bytes.ptr.get(), bytes.ptr.get() + bytes.size};
}

std::vector<uint8_t> to_vector(const FileBytes& bytes) {
  return {bytes.view.begin(), bytes.view.end()};
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f.flush());
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string read_text(const std::string& path) {
  const std::vector<uint8_t> bytes = read_file(path);
  return {bytes.begin(), bytes.end()};
}

}  // namespace blkswap::testing
