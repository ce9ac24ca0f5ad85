#include "fuzz_input.h"

namespace blkswap::fuzzing {

bool split_fuzz_input(std::span<const uint8_t> input, FuzzInput& out) {
  if (input.size() < 2) return false;
  out.flags = input[0];
  const size_t name_length = input[1] % 16;
  input = input.subspan(2);
  if (input.size() < name_length + 2) return false;
  out.blockname = {reinterpret_cast<const char*>(input.data()), name_length};
  input = input.subspan(name_length);
  const size_t block_length = input[0] | size_t{input[1]} << 8;
  input = input.subspan(2);
  if (input.size() < block_length) return false;
  out.block = input.first(block_length);
  out.image_head = input.subspan(block_length);
  return true;
}

}  // namespace blkswap::fuzzing
