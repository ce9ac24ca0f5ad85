// The Windows build has no Python beside it: the document is read with nlohmann-json instead,
// strictly (a repeated key is refused), into the lines json_flatten.py gives. The Linux build's
// reading by Python, and the parity check of both builds' documents, stay the independent ones.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "json_flat.h"

namespace blkswap::testing {

namespace {

using Json = nlohmann::ordered_json;

// Every character outside printable ASCII, and the backslash, as \u{XXXX} of its code point.
std::string text(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k) {
      code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += length;
    if (code >= 0x20 && code < 0x7F && code != '\\') {
      out += static_cast<char>(code);
    } else {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u{%04x}", static_cast<unsigned>(code));
      out += escaped;
    }
  }
  return out;
}

void flatten(const std::string& path, const Json& value, FlatJson& flat) {
  if (value.is_object() || value.is_array()) {
    flat.values[path + ".#"] = "i:" + std::to_string(value.size());
    size_t index = 0;
    for (auto item = value.begin(); item != value.end(); ++item, ++index) {
      const std::string key = value.is_object() ? text(item.key()) : std::to_string(index);
      flatten(path + "." + key, *item, flat);
    }
  } else if (value.is_boolean()) {
    flat.values[path] = std::string("b:") + (value.get<bool>() ? "true" : "false");
  } else if (value.is_number_integer()) {
    flat.values[path] = "i:" + value.dump();
  } else if (value.is_number()) {
    flat.values[path] = "f:" + value.dump();
  } else if (value.is_string()) {
    flat.values[path] = "s:" + text(value.get<std::string>());
  } else {
    flat.values[path] = "n:";
  }
}

}  // namespace

FlatJson parse_json(const std::string& document) {
  FlatJson flat;
  std::vector<std::set<std::string>> keys;  // the keys of each object open at this point
  std::string duplicate;
  const Json::parser_callback_t strict = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  const Json parsed = Json::parse(document, strict, false);
  if (parsed.is_discarded() || !duplicate.empty()) {
    flat.error = duplicate.empty() ? "not JSON" : "duplicate key: " + duplicate;
    return flat;
  }
  flatten("", parsed, flat);
  flat.ok = true;
  return flat;
}

}  // namespace blkswap::testing
