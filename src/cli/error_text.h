// The error lines: the list's and the merge's own ("... error with -2", on standard output),
// and the messages of the option commands ("blkswap: FILE: what went wrong (list error -2)").
#pragma once

#include <ostream>
#include <string_view>

#include "ops/safe_write.h"

namespace blkswap {

// "Merge flash file error with %d\n" and "List flash block error with %d\n".
void print_merge_error_line(std::ostream& out, int code);
void print_list_error_line(std::ostream& out, int code);

// What a code of each merge step (and of the list) means, in a few words.
std::string_view load_failure(int code);
std::string_view replace_failure(int code);
std::string_view write_failure(int code);

// The list command's code for a load_image code.
int list_code(int load_code);

// "blkswap: FILE: MESSAGE (KIND error CODE)\n"
void report_failure(std::ostream& err, std::string_view file, std::string_view message,
                    std::string_view kind, int code);

// The same for a failed write, with what failed and the system's reason: "blkswap: FILE:
// cannot be created: no temporary file can be made beside it: Permission denied (KIND error
// -4)\n".
void report_write_failure(std::ostream& err, std::string_view file, const WriteFailure& why,
                          std::string_view kind, int code);

}  // namespace blkswap
