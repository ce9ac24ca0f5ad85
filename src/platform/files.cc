// What the platform layer does alike on every system: owned bytes, bytes held as a file's, and
// the name that means a standard stream.
#include "platform/files.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "platform/read_common.h"

namespace blkswap {

const char kStandardStream[] = "-";

bool allocate_bytes(Bytes& out, size_t size) {
  out.ptr.reset();
  out.size = 0;
  // Not every platform rejects absurd sizes before asking the allocator.
  if (size > static_cast<size_t>(PTRDIFF_MAX)) return false;
  uint8_t* p = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
  if (p == nullptr) return false;
  make_pages_present(p, size);
  out.ptr.reset(p);
  out.size = size;
  return true;
}

FileBytes held_bytes(Bytes bytes) {
  FileBytes held;
  held.view = as_span(bytes);
  held.buffer = std::move(bytes);
  return held;
}

bool walk_windows(const FileBytes& bytes, std::span<const uint8_t> part, size_t overlap,
                  WindowVisitor visitor) {
  if (!bytes.mapping) return visitor.visit(visitor.context, part);
  Bytes buffer;
  if (!allocate_bytes(buffer, std::min(part.size(), kWindow + overlap))) return false;
  for (size_t at = 0; at < part.size(); at += kWindow) {
    const std::span<const uint8_t> window =
        part.subspan(at, std::min(part.size() - at, buffer.size));
    copy_bytes(bytes, window, as_span(buffer).first(window.size()));
    if (!visitor.visit(visitor.context, {buffer.ptr.get(), window.size()})) return false;
  }
  return true;
}

bool walk_window_pairs(const FileBytes& a, std::span<const uint8_t> part_a, const FileBytes& b,
                       std::span<const uint8_t> part_b, WindowPairVisitor visitor) {
  if (part_a.size() != part_b.size()) return false;  // side by side only: one size
  if (!a.mapping && !b.mapping) return visitor.visit(visitor.context, part_a, part_b);
  const size_t size = std::min({part_a.size(), part_b.size(), kWindow});
  Bytes buffer_a, buffer_b;
  if ((a.mapping && !allocate_bytes(buffer_a, size)) ||
      (b.mapping && !allocate_bytes(buffer_b, size))) {
    return false;
  }
  const auto window = [&](const FileBytes& file, std::span<const uint8_t> part, Bytes& buffer,
                          size_t at, size_t length) {
    const std::span<const uint8_t> wanted = part.subspan(at, length);
    if (!file.mapping) return wanted;
    copy_bytes(file, wanted, as_span(buffer).first(length));
    return std::span<const uint8_t>(buffer.ptr.get(), length);
  };
  for (size_t at = 0; at < part_a.size(); at += kWindow) {
    const size_t length = std::min(part_a.size() - at, kWindow);
    if (!visitor.visit(visitor.context, window(a, part_a, buffer_a, at, length),
                       window(b, part_b, buffer_b, at, length))) {
      return false;
    }
  }
  return true;
}

}  // namespace blkswap
