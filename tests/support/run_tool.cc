#include "run_tool.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

namespace blkswap::testing {

namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const std::string& shell_prefix) {
  TempDir capture;
  std::string command = shell_prefix.empty() ? "" : shell_prefix + "; ";
  // A hang (waiting on a FIFO, say) ends as a kill after a minute instead of stalling the suite.
  command += "exec timeout -s KILL 60 " + quoted(BLKSWAP_EXE);
  for (const std::string& a : args) command += " " + quoted(a);
  command += " </dev/null >" + quoted(capture.path("out")) + " 2>" + quoted(capture.path("err"));
  const int raw = std::system(("sh -c " + quoted(command)).c_str());
  ToolRun run;
  if (WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) run.status = 128 + WTERMSIG(raw);
  run.out = slurp(capture.path("out"));
  run.err = slurp(capture.path("err"));
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
