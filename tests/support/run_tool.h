// Runs the built blkswap, in this process or as a process of its own, and collects what it
// printed and its exit status. One runner per system (run_tool_posix.cc, run_tool_windows.cc).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace blkswap::testing {

struct ToolRun {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// The command line run in this process through run_command, its output collected from string
// streams. With a `shell_prefix` (a `ulimit`, a `cd`) the built program runs instead, through a
// shell that runs the prefix first (POSIX only: on Windows such a run fails with status -1).
ToolRun run_tool(const std::vector<std::string>& args, const std::string& shell_prefix = "");

// The built program in a process of its own, for what only a process shows: its exit on a
// signal, its limits, its standard streams. Standard input comes from `input`.
ToolRun run_tool_process(const std::vector<std::string>& args, const std::string& shell_prefix = "",
                         const std::string& input = kNullDevice);

// The same as the unprivileged user 65534, through setpriv, from a copy of the program that
// the user may execute. Only root can do that: check can_run_as_nobody() first.
ToolRun run_tool_as_nobody(const std::vector<std::string>& args,
                           const std::string& shell_prefix = "");
bool can_run_as_nobody();
inline constexpr unsigned kNobody = 65534;

// blkswap running in the background, for what needs a live process: signals, a reader that
// goes away. finish_tool waits for it and collects what it printed.
struct BackgroundTool {
  int64_t pid = -1;  // the process's id (POSIX) or its handle (Windows)
  std::unique_ptr<TempDir> capture;
};
BackgroundTool start_tool(const std::vector<std::string>& args);
ToolRun finish_tool(BackgroundTool& tool);

// Whether this build runs under sanitizers, which reserve address space that `ulimit -v` forbids.
bool built_with_sanitizers();

}  // namespace blkswap::testing
