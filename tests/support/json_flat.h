// JSON read by an independent parser (Python's json module) into path => value lines.
#pragma once

#include <map>
#include <string>

namespace blkswap::testing {

struct FlatJson {
  bool ok = false;
  std::string error;                          // the parser's complaint when not ok
  std::map<std::string, std::string> values;  // ".blocks.0.name" => "s:bootload", see the script
};

FlatJson parse_json(const std::string& document);

}  // namespace blkswap::testing
