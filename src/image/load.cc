#include "image/load.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "image/crc.h"
#include "image/text.h"

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

namespace {

// The tables whose headers start in windows [first, end) of an image (a window is kWindow bytes
// of it), found as find_layout_part finds them, and the checksum of each of those windows into
// `crcs` (when given). False, with found.failure saying why, when a table is not whole; false
// with no failure when there is no memory for a window.
bool scan_windows(const FileBytes& file, std::span<const uint8_t> image, size_t first, size_t end,
                  FoundLayout& found, uint32_t* crcs) {
  const uint64_t from = uint64_t{first} * kWindow;
  const uint64_t to = std::min<uint64_t>(uint64_t{end} * kWindow, image.size());
  const std::span<const uint8_t> part =
      image.subspan(from, std::min<uint64_t>(to + kTableReach, image.size()) - from);
  uint64_t offset = from;
  bool laid_out = true;
  const bool walked =
      for_each_window(file, part, kTableReach, [&](std::span<const uint8_t> window) {
        if (offset >= to) return false;  // the reach past the last window: read, not searched
        // A window of kWindow bytes and their reach, or all of `part` at once when it is in
        // memory: searched up to where the next one starts, checksummed kWindow at a time.
        const uint64_t own_end = std::min<uint64_t>(
            to, offset + std::max<uint64_t>(kWindow, window.size() - kTableReach));
        laid_out = find_layout_part(window, offset, image.size(), own_end, found);
        for (uint64_t at = offset; crcs != nullptr && at < own_end; at += kWindow) {
          crcs[at / kWindow] = block_crc(
              window.subspan(static_cast<size_t>(at - offset),
                             static_cast<size_t>(std::min<uint64_t>(kWindow, own_end - at))));
        }
        offset = own_end;
        return laid_out;
      });
  return laid_out && (walked || offset >= to);
}

// Appends to `found` the tables and entries of `later`, found after them in the image, as
// find_layout would have: the limit of 64 blocks counts both. `later_ok` is false when the scan
// of `later` failed, at the table where found.failure says; what comes before it is appended.
bool append_layout(FoundLayout& found, const FoundLayout& later, bool later_ok) {
  for (size_t i = 0; i < later.entry_count;) {
    size_t count = 0;
    while (i + count < later.entry_count &&
           later.entries[i + count].table_pos == later.entries[i].table_pos) {
      ++count;
    }
    if (found.entry_count + count > kMaxBlocks) {
      return fail_scan(found, ScanFault::too_many_blocks, later.entries[i].table_pos,
                       kMaxBlocks - found.entry_count);
    }
    for (size_t k = 0; k < count; ++k) found.entries[found.entry_count++] = later.entries[i + k];
    i += count;
  }
  for (size_t t = 0; t < std::min<size_t>(later.table_count, kKeptTables); ++t) {
    if (found.table_count + t < kKeptTables) found.tables[found.table_count + t] = later.tables[t];
  }
  found.table_count += later.table_count;
  if (later_ok) return true;
  found.failure = later.failure;
  if (later.failure.fault == ScanFault::too_many_blocks) {
    found.failure.slot = static_cast<uint32_t>(kMaxBlocks - found.entry_count);
  }
  return false;
}

// find_layout over a file's bytes, a window at a time, the two halves on two threads where one
// can be had, each window's checksum into `crcs` (when given). False as scan_windows.
bool find_layout_of(const FileBytes& file, std::span<const uint8_t> image, FoundLayout& found,
                    uint32_t* crcs) {
  found = FoundLayout{};
  const size_t windows = (image.size() + kWindow - 1) / kWindow;
  const size_t half = windows / 2;
  std::unique_ptr<FoundLayout> later(new (std::nothrow) FoundLayout);  // 4 KiB: off the stack
  bool later_ok = true;
  std::thread helper;  // none: all on this one
  if (half > 0 && later) {
    start_thread(helper,
                 [&] { later_ok = scan_windows(file, image, half, windows, *later, crcs); });
  }
  const size_t end = helper.joinable() ? half : windows;
  const bool first_ok = scan_windows(file, image, 0, end, found, crcs);
  if (helper.joinable()) helper.join();
  if (!first_ok || (end < windows && !append_layout(found, *later, later_ok))) return false;
  return found.table_count > 0 || fail_scan(found, ScanFault::no_table, 0, 0);
}

}  // namespace

uint32_t checksum_of(const FileBytes& file, std::span<const uint8_t> part) {
  uint32_t crc = block_crc({});
  const bool walked = for_each_window(file, part, 0, [&](std::span<const uint8_t> window) {
    crc = block_crc_update(crc, window);
    return true;
  });
  return walked ? crc : block_crc(part);  // no memory for a window: through the view
}

uint32_t image_checksum_of(const FlashImage& image, std::span<const uint8_t> part) {
  const std::span<const uint8_t> all = image_bytes(image);
  const auto start = static_cast<uint64_t>(part.data() - all.data());
  const uint64_t first = (start + kWindow - 1) / kWindow;  // the first window wholly inside
  const uint64_t end = (start + part.size()) / kWindow;    // past the last one
  if (image.windows.count == 0 || part.empty() || first >= end || end > image.windows.count) {
    return checksum_of(image.bytes, part);
  }
  static const CrcJoin join = crc_join_for(kWindow);
  uint32_t crc = checksum_of(image.bytes, part.first(first * kWindow - start));
  for (uint64_t w = first; w < end; ++w) crc = block_crc_concat(join, crc, image.windows.crc[w]);
  const std::span<const uint8_t> tail = part.subspan(end * kWindow - start);
  const uint32_t tail_crc = checksum_of(image.bytes, tail);
  return block_crc_concat(crc, tail_crc, tail.size());
}

uint32_t block_checksum(const FlashImage& image, size_t index) {
  return image_checksum_of(image, block_bytes(image, index));
}

// `crc_b`, when given, receives the checksum of part_b, taken in the same pass.
bool same_bytes(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                std::span<const uint8_t> part_b, uint32_t* crc_b) {
  if (crc_b != nullptr) *crc_b = block_crc({});
  if (part_a.size() != part_b.size()) {
    if (crc_b != nullptr) *crc_b = checksum_of(b, part_b);
    return false;
  }
  bool same = true;
  const bool walked = for_each_window_pair(
      a, part_a, b, part_b, [&](std::span<const uint8_t> x, std::span<const uint8_t> y) {
        if (crc_b != nullptr) *crc_b = block_crc_update(*crc_b, y);
        same = same && std::equal(x.begin(), x.end(), y.begin());
        return same || crc_b != nullptr;
      });
  if (walked || !same) return same;
  // No memory for the windows: through the views.
  if (crc_b != nullptr) *crc_b = block_crc(part_b);
  return std::equal(part_a.begin(), part_a.end(), part_b.begin());
}

bool scan_tables(FlashImage& image, uint32_t length, ScanFailure* scan) {
  const std::span<const uint8_t> bytes =
      image.bytes.view.first(std::min<size_t>(length, image.bytes.view.size()));
  FoundLayout found;
  image.windows = WindowChecksums{};
  const size_t windows = (bytes.size() + kWindow - 1) / kWindow;
  image.windows.crc.reset(new (std::nothrow) uint32_t[windows]);
  image.windows.count = image.windows.crc ? windows : 0;
  if (!find_layout_of(image.bytes, bytes, found, image.windows.crc.get())) {
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

namespace {

std::string scan_detail(const ScanFailure& scan) {
  const std::string table = format_text("the table at 0x%08x", scan.table_pos);
  switch (scan.fault) {
    case ScanFault::none:
    case ScanFault::no_table:
      break;
    case ScanFault::entries_past_end:
      return ": " + table + " announces entries past the end of the image";
    case ScanFault::block_outside:
      return format_text(": block %u of %s lies outside the image", scan.slot, table.c_str());
    case ScanFault::too_many_blocks:
      return format_text(": block %u of %s is the 65th; an image holds at most 64", scan.slot,
                         table.c_str());
  }
  return ": no table header found";
}

}  // namespace

Failure load_image_bytes(FlashImage& image, Bytes bytes, std::string_view name) {
  return load_image_bytes(image, held_bytes(std::move(bytes)), name);
}

Failure load_image_bytes(FlashImage& image, FileBytes bytes, std::string_view name) {
  image.bytes = std::move(bytes);
  image.name = name;
  const size_t length = image.bytes.view.size();
  if ((length & (kImageUnit - 1)) != 0 || length > UINT32_MAX) {
    return fail(Code::bad_length, name, format_text(": it is %zu bytes", length));
  }
  ScanFailure scan;
  if (!scan_tables(image, static_cast<uint32_t>(length), &scan)) {
    return fail(Code::no_table, name, scan_detail(scan));
  }
  image.length = static_cast<uint32_t>(length);
  return {};
}

Failure load_image(FlashImage& image, const char* flashfile) {
  FileContents contents;
  Failure read = read_image_file(flashfile, contents);
  return read.failed() ? read : load_image_contents(image, std::move(contents), flashfile);
}

Failure load_image_contents(FlashImage& image, FileContents contents, std::string_view name) {
  image.source = contents.identity;
  return load_image_bytes(image, std::move(contents.bytes), name);
}

Failure read_image_file(const char* flashfile, FileContents& contents) {
  if (flashfile == nullptr || flashfile[0] == '\0') return fail(Code::flashfile_empty, "");
  switch (read_whole_file(flashfile, UINT32_MAX, contents)) {
    case ReadResult::ok:
      break;
    case ReadResult::cannot_open:
    case ReadResult::read_error:
      return fail(Code::flashfile_unreadable, flashfile, {}, contents.error);
    case ReadResult::no_memory:
      return fail(Code::image_no_memory, flashfile);
    case ReadResult::too_long:
      // Positions and the length are 32-bit throughout; a larger image is refused whole.
      return fail(
          Code::bad_length, flashfile,
          format_text(": it is %llu bytes", static_cast<unsigned long long>(contents.file_length)));
  }
  // A file that yields fewer bytes than its length (it shrank while being read, or a /sys file
  // that reports a page) was not read whole: a shorter image made of it would be a wrong one.
  if (contents.bytes.view.size() != contents.file_length) {
    return fail(Code::flashfile_unreadable, flashfile,
                format_text(": it gave %zu of its %llu bytes", contents.bytes.view.size(),
                            static_cast<unsigned long long>(contents.file_length)));
  }
  return {};
}

size_t table_position(const FlashImage& image, size_t index, size_t previous) {
  if (index >= image.table_count) return kNoTableHeader;
  if (index < kKeptTables) return image.tables[index];
  return find_table_header(image_bytes(image), previous + 1);
}

std::string block_label(const FlashImage& image, size_t index) {
  if (index >= image.block_count || entry_name(image.records[index].entry).empty()) {
    return format_text("block %zu", index);
  }
  return format_text("block %zu (%s)", index,
                     printable_name(entry_name(image.records[index].entry)).text);
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
