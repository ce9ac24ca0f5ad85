#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "image_builder.h"
#include "run_tool.h"

extern char** environ;

namespace blkswap::testing {

namespace {

std::string shell_quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int status_of(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

ToolRun run_through_shell(const std::string& program, const std::vector<std::string>& args,
                          const std::string& shell_prefix, const std::string& input = kNullDevice) {
  TempDir capture;
  std::string command = shell_prefix.empty() ? "" : shell_prefix + "; ";
  // A hang (waiting on a FIFO, say) ends as a kill after a minute instead of stalling the suite.
  command += "exec timeout -s KILL 60 " + program;
  for (const std::string& a : args) command += " " + shell_quoted(a);
  command += " <" + shell_quoted(input) + " >" + shell_quoted(capture.path("out")) + " 2>" +
             shell_quoted(capture.path("err"));
  ToolRun run;
  run.status = status_of(std::system(("sh -c " + shell_quoted(command)).c_str()));
  run.out = read_text(capture.path("out"));
  run.err = read_text(capture.path("err"));
  return run;
}

// A copy of the program in a directory every user may enter: the build tree may lie below one
// that user 65534 may not.
const std::string& program_for_nobody() {
  static const TempDir dir;
  static const std::string copy = [] {
    const std::string path = dir.path("blkswap");
    std::filesystem::copy_file(BLKSWAP_EXE, path);
    ::chmod(dir.dir.c_str(), 0755);
    ::chmod(path.c_str(), 0755);
    return path;
  }();
  return copy;
}

}  // namespace

ToolRun run_tool_process(const std::vector<std::string>& args, const std::string& shell_prefix,
                         const std::string& input) {
  return run_through_shell(shell_quoted(BLKSWAP_EXE), args, shell_prefix, input);
}

bool can_run_as_nobody() {
  return ::geteuid() == 0 && std::system("setpriv --version >/dev/null 2>&1") == 0;
}

ToolRun run_tool_as_nobody(const std::vector<std::string>& args, const std::string& shell_prefix) {
  return run_through_shell(
      "setpriv --reuid=65534 --regid=65534 --clear-groups " + shell_quoted(program_for_nobody()),
      args, shell_prefix);
}

BackgroundTool start_tool(const std::vector<std::string>& args) {
  BackgroundTool tool;
  tool.capture = std::make_unique<TempDir>();
  std::vector<std::string> argv_strings = {BLKSWAP_EXE};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, tool.capture->path("out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&files, 2, tool.capture->path("err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Every signal at its default and none blocked, whatever the suite was started with (nohup,
  // `cmd &` in a script ignore SIGINT and SIGQUIT): the tool then sees them as a user's shell
  // would send them.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  tool.pid =
      posix_spawn(&pid, BLKSWAP_EXE, &files, &attributes, argv.data(), environ) == 0 ? pid : -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  return tool;
}

ToolRun finish_tool(BackgroundTool& tool) {
  ToolRun run;
  int raw = 0;
  const auto pid = static_cast<pid_t>(tool.pid);
  if (pid > 0 && ::waitpid(pid, &raw, 0) == pid) run.status = status_of(raw);
  tool.pid = -1;
  run.out = read_text(tool.capture->path("out"));
  run.err = read_text(tool.capture->path("err"));
  return run;
}

}  // namespace blkswap::testing
