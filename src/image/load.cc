#include "image/load.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace blkswap {

// The twelve magic bytes are searched for as a whole (the search skips ahead on mismatches), so
// the scan stays near memory speed even on images full of the magic's own bytes; only then is the
// format mark looked at.
size_t find_table_header(std::span<const uint8_t> image, size_t from) {
  if (image.size() < kHeaderSize) return kNoTableHeader;
  const size_t last = image.size() - kHeaderSize;  // the last position a header fits at
  const std::span magic(reinterpret_cast<const uint8_t*>(kMagic.data()), kMagic.size());
  while (from <= last) {
    const std::span<const uint8_t> rest = image.subspan(from, last - from + kMagic.size());
    const size_t hit = find_bytes(rest, magic);
    if (hit == rest.size()) return kNoTableHeader;
    const size_t pos = from + hit;
    if (is_table_header(image, pos)) return pos;
    from = pos + 1;
  }
  return kNoTableHeader;
}

namespace {

bool fail_scan(FoundLayout& found, ScanFault fault, size_t pos, size_t slot) {
  found.failure = {fault, static_cast<uint32_t>(pos), static_cast<uint32_t>(slot)};
  return false;
}

// Takes the entries of the table at `pos` (an image position; `window` holds the image's bytes
// from `offset` on, its header and entries among them unless they run past the image's end at
// `total`), checking that every entry and block lies inside the image.
bool take_table(std::span<const uint8_t> window, uint64_t offset, uint64_t total, uint64_t pos,
                FoundLayout& found) {
  const size_t at = static_cast<size_t>(pos - offset);
  const size_t count = window[at + kEntryCountAt];
  if (found.entry_count + count > kMaxBlocks) {
    return fail_scan(found, ScanFault::too_many_blocks, pos, kMaxBlocks - found.entry_count);
  }
  const uint64_t entries_at = pos + kHeaderSize;
  if (count * kEntrySize > total - entries_at ||
      count * kEntrySize > window.size() - (at + kHeaderSize)) {
    return fail_scan(found, ScanFault::entries_past_end, pos, 0);
  }
  for (size_t k = 0; k < count; ++k) {
    FoundEntry& e = found.entries[found.entry_count + k];
    std::memcpy(e.entry.raw.data(), window.data() + at + kHeaderSize + kEntrySize * k, kEntrySize);
    e.table_pos = static_cast<uint32_t>(pos);
    e.slot = static_cast<uint32_t>(k);
    const uint64_t start = pos + uint64_t{entry_offset(e.entry)};
    const uint64_t size = entry_size(e.entry);
    if (start > total || size > total - start) {
      return fail_scan(found, ScanFault::block_outside, pos, k);
    }
  }
  found.entry_count += count;
  return true;
}

}  // namespace

bool find_layout_part(std::span<const uint8_t> window, uint64_t offset, uint64_t total, uint64_t to,
                      FoundLayout& found) {
  for (size_t at = find_table_header(window, 0); at != kNoTableHeader;
       at = find_table_header(window, at + 1)) {
    const uint64_t pos = offset + at;
    if (pos >= to) break;
    if (!take_table(window, offset, total, pos, found)) return false;
    if (found.table_count < kKeptTables)
      found.tables[found.table_count] = static_cast<uint32_t>(pos);
    ++found.table_count;
  }
  return true;
}

bool find_layout(std::span<const uint8_t> image, FoundLayout& found) {
  found = FoundLayout{};
  if (!find_layout_part(image, 0, image.size(), image.size(), found)) return false;
  return found.table_count > 0 || fail_scan(found, ScanFault::no_table, 0, 0);
}

bool scan_tables(FlashImage& image, uint32_t length, ScanFailure* scan) {
  const std::span<const uint8_t> bytes =
      image.bytes.view.first(std::min<size_t>(length, image.bytes.view.size()));
  FoundLayout found;
  if (!find_layout(bytes, found)) {
    if (scan != nullptr) *scan = found.failure;
    return false;
  }
  for (size_t i = 0; i < found.entry_count; ++i) {
    const FoundEntry& e = found.entries[i];
    image.records[i] = {e.entry, e.table_pos, e.slot};
  }
  image.block_count = static_cast<uint16_t>(found.entry_count);
  image.table_count = found.table_count;
  image.tables = found.tables;
  return true;
}

LoadCode load_image_bytes(FlashImage& image, Bytes bytes, LoadFailure* why) {
  return load_image_bytes(image, held_bytes(std::move(bytes)), why);
}

LoadCode load_image_bytes(FlashImage& image, FileBytes bytes, LoadFailure* why) {
  LoadFailure ignored;
  LoadFailure& failure = why != nullptr ? *why : ignored;
  image.bytes = std::move(bytes);
  const size_t length = image.bytes.view.size();
  failure.length = length;
  if ((length & (kImageUnit - 1)) != 0 || length > UINT32_MAX) return LoadCode::bad_length;
  if (!scan_tables(image, static_cast<uint32_t>(length), &failure.scan)) return LoadCode::no_table;
  image.length = static_cast<uint32_t>(length);
  return LoadCode::ok;
}

LoadCode load_image(FlashImage& image, const char* flashfile, LoadFailure* why) {
  LoadFailure ignored;
  LoadFailure& failure = why != nullptr ? *why : ignored;
  if (flashfile == nullptr || flashfile[0] == '\0') return LoadCode::empty_name;
  FileContents contents;
  const ReadResult read = read_whole_file(flashfile, UINT32_MAX, contents);
  failure.error = contents.error;
  failure.length = contents.file_length;
  switch (read) {
    case ReadResult::ok:
      break;
    case ReadResult::cannot_open:
    case ReadResult::read_error:
      return LoadCode::cannot_open;
    case ReadResult::no_memory:
      return LoadCode::no_memory;
    case ReadResult::too_long:
      // Positions and the length are 32-bit throughout; a larger image is refused whole.
      return LoadCode::bad_length;
  }
  // A file that yields fewer bytes than its length (it shrank while being read, or a /sys file
  // that reports a page) was not read whole: a shorter image made of it would be a wrong one.
  if (contents.bytes.view.size() != contents.file_length) {
    failure.read = contents.bytes.view.size();
    return LoadCode::cannot_open;
  }
  image.source = contents.identity;
  return load_image_bytes(image, std::move(contents.bytes), why);
}

size_t table_position(const FlashImage& image, size_t index, size_t previous) {
  if (index >= image.table_count) return kNoTableHeader;
  if (index < kKeptTables) return image.tables[index];
  return find_table_header(image_bytes(image), previous + 1);
}

uint64_t block_start(const FlashImage& image, size_t index) {
  const BlockRecord& record = image.records[index];
  return uint64_t{record.table_pos} + entry_offset(record.entry);
}

uint64_t block_end(const FlashImage& image, size_t index) {
  return block_start(image, index) + entry_size(image.records[index].entry);
}

std::span<const uint8_t> block_bytes(const FlashImage& image, size_t index) {
  if (index >= image.block_count) return {};
  const uint64_t start = block_start(image, index);
  const uint64_t size = entry_size(image.records[index].entry);
  const std::span<const uint8_t> held = image_bytes(image);
  if (start > held.size() || size > held.size() - start) return {};
  return held.subspan(static_cast<size_t>(start), static_cast<size_t>(size));
}

}  // namespace blkswap
