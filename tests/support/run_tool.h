// Runs the built blkswap through a shell and collects what it printed and its exit status.
#pragma once

#include <string>
#include <vector>

namespace blkswap::testing {

struct ToolRun {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// `shell_prefix` runs first in the same shell (a `ulimit`, say).
ToolRun run_tool(const std::vector<std::string>& args, const std::string& shell_prefix = "");

// Whether this build runs under sanitizers, which reserve address space that `ulimit -v` forbids.
bool built_with_sanitizers();

}  // namespace blkswap::testing
