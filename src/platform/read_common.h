// What reading does alike on every system, apart from the calls that read: a file read up to the
// length it was measured at, a stream read to its end in a buffer that grows as the bytes come,
// a written file read back a window at a time, and the pages of a large fresh buffer made
// present at once (where the system can).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/files.h"

namespace blkswap {

// Asks the system for the pages of [p, p + size) before they are written; nothing where it
// cannot.
void make_pages_present(uint8_t* p, size_t size);

// Reads a stream to its end into `out.bytes` with `read_up_to(p, size, done)`, which fills
// p[done, size) until the stream ends and is false when a read fails. More than `max_length`
// bytes is too_long. read_error leaves the reason to the caller, who knows where the system
// keeps it.
template <typename ReadUpTo>
ReadResult read_stream_to_end(uint64_t max_length, FileContents& out, ReadUpTo read_up_to) {
  constexpr size_t kFirstChunk = size_t{1} << 16;
  // One byte past the limit tells a stream at the limit from a longer one.
  const uint64_t most = std::min<uint64_t>(max_length, UINT64_MAX - 1) + 1;
  size_t done = 0;
  for (;;) {
    if (done > max_length) {
      out.file_length = done;
      out.stopped_early = true;
      return ReadResult::too_long;
    }
    const uint64_t wanted =
        std::min<uint64_t>(std::max<uint64_t>(kFirstChunk, uint64_t{done} * 2), most);
    Bytes grown;
    if (wanted > SIZE_MAX || !allocate_bytes(grown, static_cast<size_t>(wanted))) {
      return ReadResult::no_memory;
    }
    if (done > 0) std::memcpy(grown.ptr.get(), out.bytes.buffer.ptr.get(), done);
    out.bytes.buffer = std::move(grown);
    Bytes& buffer = out.bytes.buffer;
    if (!read_up_to(buffer.ptr.get(), buffer.size, done)) return ReadResult::read_error;
    if (done < buffer.size) break;  // the end of the stream
  }
  out.bytes.buffer.size = done;
  out.bytes.view = as_span(out.bytes.buffer);
  out.file_length = done;
  return ReadResult::ok;
}

// How the read-back of a written file ended: every window accepted, one refused by the check,
// or the file unreadable (errno says why: ENOMEM when there is no memory for the window).
enum class ReadBackEnd { accepted, refused, unreadable };

// Reads a written file of `total` bytes back a window at a time (each kWindow bytes after the one
// before, reaching read_back.overlap bytes further) into one small buffer, for read_back.check
// to judge. `read_at(p, size, offset)` fills all of p[0, size) from `offset`, or is false with
// errno set. (Read, not mapped: a file just written may sit in the page cache in small pieces,
// which cost more to map than to copy.)
template <typename ReadAt>
ReadBackEnd read_back_windows(uint64_t total, const ReadBack& read_back, ReadAt read_at) {
  if (read_back.check == nullptr) return ReadBackEnd::accepted;
  Bytes buffer;
  if (!allocate_bytes(buffer, kWindow + read_back.overlap)) {
    errno = ENOMEM;
    return ReadBackEnd::unreadable;
  }
  uint64_t offset = 0;
  do {
    const auto size = static_cast<size_t>(std::min<uint64_t>(total - offset, buffer.size));
    if (!read_at(buffer.ptr.get(), size, offset)) return ReadBackEnd::unreadable;
    if (!read_back.check(read_back.context, {buffer.ptr.get(), size}, offset, total)) {
      return ReadBackEnd::refused;
    }
    offset += kWindow;
  } while (offset < total);
  return ReadBackEnd::accepted;
}

// Reads the `length` bytes a file has from where it stands into `out.bytes`, with `read_up_to`
// as above; fewer when it shrank since it was measured. read_error as above.
template <typename ReadUpTo>
ReadResult read_measured(uint64_t length, uint64_t max_length, FileContents& out,
                         ReadUpTo read_up_to) {
  out.file_length = length;
  if (length > max_length) return ReadResult::too_long;
  Bytes& buffer = out.bytes.buffer;
  if (length > SIZE_MAX || !allocate_bytes(buffer, static_cast<size_t>(length))) {
    return ReadResult::no_memory;
  }
  size_t done = 0;
  if (!read_up_to(buffer.ptr.get(), buffer.size, done)) return ReadResult::read_error;
  buffer.size = done;
  out.bytes.view = as_span(buffer);
  return ReadResult::ok;
}

}  // namespace blkswap
