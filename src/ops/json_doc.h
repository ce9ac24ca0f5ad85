// The JSON documents blkswap prints and reads: built with keys in the order they are added, and
// printed as ASCII. A block name's bytes map one to one to the characters U+0000 to U+00FF.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "image/load.h"
#include "ops/report.h"

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

// The --info document: schema, length, tables and blocks.
Json info_document(const InfoReport& report);

// A document as printed: indented, with a final newline, anything that is not UTF-8 replaced.
std::string document_text(const Json& doc);

}  // namespace blkswap
