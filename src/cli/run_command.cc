#include "cli/run_command.h"

#include "cli/command_table.h"
#include "image/crc.h"

namespace blkswap {

int run_command(std::span<const char* const> args, std::ostream& out, std::ostream& err) {
  build_crc_table();
  return dispatch_command(args, Streams{out, err});
}

}  // namespace blkswap
