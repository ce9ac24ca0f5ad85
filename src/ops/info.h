// The layout of a loaded image, for people (an aligned table) and for scripts (JSON).
#pragma once

#include <ostream>

#include "image/flash_image.h"

namespace blkswap {

// Every table header the scan finds (position and entry count), then every block: index,
// table, slot, id, name, offset, size, start and end in the image, stored checksum and state.
void print_image_info(const FlashImage& image, std::ostream& out);

// The same as one JSON document:
//   {"schema": 1, "length": N,
//    "tables": [{"position": N, "entries": N}, ...],
//    "blocks": [{"index": N, "table": N, "slot": N, "id": N, "name": S, "name_hex": S,
//                "offset": N, "size": N, "start": N, "end": N, "checksum": N, "state": S}, ...]}
// Numbers are decimal integers; "end" is one past the block's last byte. "name" holds one
// character per stored byte (up to the first NUL): printable ASCII as itself, any other byte
// as the character of the same code (\u0000 to \u00ff); "name_hex" is those bytes in hex.
// "state" is "ok", "stale" or "none".
void print_image_info_json(const FlashImage& image, std::ostream& out);

}  // namespace blkswap
