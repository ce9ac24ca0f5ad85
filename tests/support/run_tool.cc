#include "run_tool.h"

#include <sstream>

#include "cli/commands.h"

namespace blkswap::testing {

ToolRun run_tool(const std::vector<std::string>& args, const std::string& shell_prefix) {
  if (!shell_prefix.empty()) return run_tool_process(args, shell_prefix);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  ToolRun run;
  run.status = run_command(argv, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

bool built_with_sanitizers() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

}  // namespace blkswap::testing
