#include "json_flat.h"

#include <cstdlib>
#include <sstream>
#include <vector>

#include "image_builder.h"
#include "temp_dir.h"

namespace blkswap::testing {

FlatJson parse_json(const std::string& document) {
  TempDir dir;
  write_file(dir.path("in.json"), std::vector<uint8_t>(document.begin(), document.end()));
  const std::string command = "python3 '" BLKSWAP_JSON_FLATTEN "' '" + dir.path("in.json") +
                              "' >'" + dir.path("out") + "' 2>'" + dir.path("err") + "'";
  FlatJson flat;
  flat.ok = std::system(command.c_str()) == 0;
  flat.error = read_text(dir.path("err"));
  std::istringstream out(read_text(dir.path("out")));
  for (std::string line; std::getline(out, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) flat.values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return flat;
}

}  // namespace blkswap::testing
