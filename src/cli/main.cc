#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/files.h"

namespace {

// What standard output carries is a command's product (a listing, a report), or only the summary
// of an output file or folder written whole. When it cannot be written, the first fails with 1;
// the second keeps its status, and standard error says that only the summary was lost.
int run(std::span<const char* const> args) {
  blkswap::prepare_standard_streams();
  bool wrote = false;
  int status = blkswap::run_command(args, std::cout, std::cerr, &wrote);
  // A write that failed while the command ran left its reason in errno; nothing after it wrote.
  const int during = errno;
  errno = 0;
  std::cout.flush();
  const bool written = std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (!written) {
    const int error = errno != 0 ? errno : blkswap::is_write_error(during) ? during : 0;
    std::cerr << "blkswap: standard output cannot be written" << (error != 0 ? ": " : "")
              << (error != 0 ? std::strerror(error) : "");
    if (wrote && status == blkswap::kExitOk) {
      std::cerr << "; the output was written whole, only its summary is lost";
    } else if (status == blkswap::kExitOk) {
      status = blkswap::kExitFailed;
    }
    std::cerr << "\n";
  }
  return status;
}

}  // namespace

#ifdef _WIN32
// Windows hands a program its arguments in UTF-16; a plain main would see every character
// outside the code page as '?'.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> utf8;
  if (!blkswap::arguments_in_utf8(argc, argv, utf8)) {
    std::cerr << "blkswap: an argument is not valid UTF-16\n";
    return blkswap::kExitUsage;
  }
  std::vector<const char*> args;
  for (size_t i = 1; i < utf8.size(); ++i) args.push_back(utf8[i].c_str());
  return run(args);
}
#else
int main(int argc, char** argv) {
  return run(std::span<const char* const>(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0)));
}
#endif
