// The handlers of the command table. Each returns the process's exit status.
#pragma once

#include "cli/command_table.h"

namespace blkswap {

int run_list(Operands operands, Streams io);
int run_merge(Operands operands, Streams io);
int run_help(Operands operands, Streams io);
int run_version(Operands operands, Streams io);
int run_info(Operands operands, Streams io);
int run_verify(Operands operands, Streams io);
int run_extract(Operands operands, Streams io);
int run_dry_run(Operands operands, Streams io);

}  // namespace blkswap
