// An owned, fixed-length byte buffer whose allocation failure is a value, not an abort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace blkswap {

struct Bytes {
  std::unique_ptr<uint8_t[]> ptr;
  size_t size = 0;
};

// Replaces `out` with `size` uninitialised bytes. Returns false, leaving `out` empty, when the
// memory cannot be had. Uninitialised on purpose: every caller overwrites the whole buffer, and
// touching fresh pages twice costs as much as reading the file.
bool allocate_bytes(Bytes& out, size_t size);

inline std::span<uint8_t> as_span(Bytes& b) {
  return {b.ptr.get(), b.size};
}
inline std::span<const uint8_t> as_span(const Bytes& b) {
  return {b.ptr.get(), b.size};
}

}  // namespace blkswap
