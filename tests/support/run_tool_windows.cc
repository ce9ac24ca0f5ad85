#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <string>

#include "image_builder.h"
#include "run_tool.h"

namespace blkswap::testing {

namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// One argument as the C runtime's command-line parser reads it back: quoted, with the
// backslashes before a quote doubled.
std::wstring quoted(const std::wstring& arg) {
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

HANDLE inheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the program with its streams on `input` and two files of `capture`; nullptr when it
// cannot be started.
HANDLE start(const std::vector<std::string>& args, const std::string& input,
             const TempDir& capture) {
  std::wstring command = quoted(wide(BLKSWAP_EXE));
  for (const std::string& a : args) command += L" " + quoted(wide(a));
  const HANDLE in = inheritable(input, false);
  const HANDLE out = inheritable(capture.path("out"), true);
  const HANDLE err = inheritable(capture.path("err"), true);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                       err != INVALID_HANDLE_VALUE &&
                       ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  for (const HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (!started) return nullptr;
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

// Waits for the process, a minute at most (a hang ends as a kill instead of stalling the suite).
int wait_for(HANDLE process) {
  DWORD code = 0;
  if (::WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process, 137);
    ::WaitForSingleObject(process, INFINITE);
  }
  const bool known = ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return known ? static_cast<int>(code) : -1;
}

}  // namespace

ToolRun run_tool_process(const std::vector<std::string>& args, const std::string& shell_prefix,
                         const std::string& input) {
  ToolRun run;
  if (!shell_prefix.empty()) {
    run.err = "a shell prefix needs a POSIX shell: " + shell_prefix;
    return run;
  }
  TempDir capture;
  const HANDLE process = start(args, input, capture);
  if (process == nullptr) return run;
  run.status = wait_for(process);
  run.out = read_text(capture.path("out"));
  run.err = read_text(capture.path("err"));
  return run;
}

bool can_run_as_nobody() {
  return false;
}

ToolRun run_tool_as_nobody(const std::vector<std::string>&, const std::string&) {
  return {};
}

BackgroundTool start_tool(const std::vector<std::string>& args) {
  BackgroundTool tool;
  tool.capture = std::make_unique<TempDir>();
  const HANDLE process = start(args, kNullDevice, *tool.capture);
  tool.pid = process == nullptr ? -1 : reinterpret_cast<intptr_t>(process);
  return tool;
}

ToolRun finish_tool(BackgroundTool& tool) {
  ToolRun run;
  if (tool.pid != -1) run.status = wait_for(reinterpret_cast<HANDLE>(tool.pid));
  tool.pid = -1;
  run.out = read_text(tool.capture->path("out"));
  run.err = read_text(tool.capture->path("err"));
  return run;
}

}  // namespace blkswap::testing
