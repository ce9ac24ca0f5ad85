// What the platform layer does alike on every system: owned bytes, bytes held as a file's, and
// the name that means a standard stream.
#include "platform/files.h"

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

}  // namespace blkswap
