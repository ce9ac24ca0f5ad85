// Builds flash images for tests and the sample: tables, entries and blocks at chosen places.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace blkswap::testing {

struct EntryPlan {
  uint8_t id = 0;
  std::string name;                  // stored raw; cut to eight bytes, NUL-padded when shorter
  uint32_t offset = 0;               // from the table's position
  std::vector<uint8_t> data;         // written at table position + offset
  std::optional<uint32_t> size;      // the size field, when it must differ from data.size()
  std::optional<uint32_t> checksum;  // the checksum field; by default the block's checksum
  uint8_t opaque = 0;                // every byte the format does not interpret
};

struct TablePlan {
  uint32_t pos = 0;
  std::vector<EntryPlan> entries;
  std::optional<uint8_t> count;  // the entry count byte, when it must differ from entries.size()
  uint8_t format_mark = '0';
  uint8_t opaque = 0;
};

inline constexpr uint32_t kNcrc = 0x4352434E;

// Writes a table's header and entries, then its blocks' data, into `image` (which must hold them).
void put_table(std::vector<uint8_t>& image, const TablePlan& table);

// An image of `length` bytes of `fill` with the tables put in the order given.
std::vector<uint8_t> build_image(size_t length, const std::vector<TablePlan>& tables,
                                 uint8_t fill = 0x00);

// `count` blocks of `size` pattern bytes, back to back from `first_offset`, with the ids
// first_id, first_id + 1, ... and the names b0, b1, ...
std::vector<EntryPlan> numbered_blocks(size_t count, uint32_t first_offset, uint32_t size = 16,
                                       uint8_t first_id = 0);

// Deterministic non-trivial bytes.
std::vector<uint8_t> pattern(size_t size, uint32_t seed);

// A copy in the buffer type the loader takes, and back.
Bytes to_bytes(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> to_vector(const Bytes& bytes);
std::vector<uint8_t> to_vector(const FileBytes& bytes);

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);  // the same bytes, as a string

}  // namespace blkswap::testing
