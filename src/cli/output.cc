// The one place a failure is said: the list's or merge's line on standard output, the message
// on standard error, and what the command's format puts on standard output.
#include <sstream>

#include "cli/invocation.h"
#include "platform/files.h"

namespace blkswap {

int number_of(const Invocation& call, const Failure& failure) {
  return code_number(failure.code, call.command.list_numbers);
}

int say_failure(const Invocation& call, const Failure& failure, std::string_view file) {
  const int number = number_of(call, failure);
  if (!call.command.error_line.empty() && call.renderer == &kTextRenderer) {
    call.out << call.command.error_line << number << '\n';
  }
  call.renderer->failure(call.out, failure, call.command.kind_word, number, file);
  call.err << "blkswap: " << failure_text(failure, call.command.kind_word, number) << '\n';
  return 1;
}

void expect_changed_size(const Invocation& call, const char* file, Code code, const char* folder) {
  std::ostringstream out, err;
  bool ignored = false;
  const Invocation said{call.command, {}, call.flags, out, err, &ignored, call.renderer};
  Failure changed = fail(code, file != nullptr ? file : folder, {}, kChangedSize);
  say_failure(said, changed);
  set_changed_size_report(file, out.str(), err.str());
}

void say_warnings(const Invocation& call, const MergeReport& report) {
  for (const WarningKind kind : kWarningKinds) {
    if (warning_count(report.warnings, kind) == 0) continue;
    call.err << "blkswap: warning: " << warning_text(*report.image, report.warnings, kind) << '\n';
  }
}

}  // namespace blkswap
