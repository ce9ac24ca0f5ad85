// What the platform layer does alike on every system: owned bytes, and the name that means a
// standard stream.
#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <new>

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

}  // namespace blkswap
