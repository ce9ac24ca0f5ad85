#include "json_flat.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

namespace blkswap::testing {

FlatJson parse_json(const std::string& document) {
  TempDir dir;
  std::ofstream(dir.path("in.json"), std::ios::binary) << document;
  const std::string command = "python3 '" BLKSWAP_JSON_FLATTEN "' '" + dir.path("in.json") +
                              "' >'" + dir.path("out") + "' 2>'" + dir.path("err") + "'";
  FlatJson flat;
  flat.ok = std::system(command.c_str()) == 0;
  std::ifstream err(dir.path("err"));
  std::stringstream message;
  message << err.rdbuf();
  flat.error = message.str();
  std::ifstream out(dir.path("out"));
  for (std::string line; std::getline(out, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) flat.values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return flat;
}

}  // namespace blkswap::testing
