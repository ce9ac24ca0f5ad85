// The JSON documents blkswap prints and reads: built with keys in the order they are added, and
// printed as ASCII. A block name's bytes map one to one to the characters U+0000 to U+00FF.
#pragma once

#include <cstddef>
#include <new>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "image/load.h"
#include "ops/replace.h"

namespace blkswap {

using Json = nlohmann::ordered_json;

// Every document says which version of its schema it follows.
inline constexpr int kSchemaVersion = 1;

// The bytes as characters U+0000 to U+00FF (in UTF-8), and as lower-case hex digits.
std::string name_text(std::string_view bytes);
std::string hex_text(std::string_view bytes);

// The fields that name block `index` in every document: index, table, slot, id, id_hex, name,
// name_hex.
Json block_identity(const FlashImage& image, size_t index);

// The --info document of a loaded image: schema, length, tables and blocks. The blocks' states
// come from `block_crcs` (the checksum of every block's bytes) when given.
Json image_info_document(const FlashImage& image, std::span<const uint32_t> block_crcs = {},
                         const MergeOptions& options = {});

// A merge's warnings as a list of {"kind", "count", "first", ..., "message"}: the facts and the
// line standard error gives, one item per kind that occurred.
struct MergeWarnings;
Json warnings_json(const FlashImage& image, const MergeWarnings& warnings);

// Builds a document with `build` and prints it, indented, with a final newline. The library
// reports a lack of memory by throwing; it ends here as false, with nothing printed.
template <typename Build>
bool print_document(std::ostream& out, Build build) {
  try {
    const std::string text = build().dump(2, ' ', true, Json::error_handler_t::replace);
    out << text << '\n';
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace blkswap
