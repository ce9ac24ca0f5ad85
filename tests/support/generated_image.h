// Seeded, reproducible flash images of every shape the format allows (several tables, nested
// tables, stale and unchecked checksums, empty tables), each with a block file and the name or
// id of the block to merge it into, for the merge properties and the parity of the two builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace blkswap::testing {

struct Generated {
  std::vector<uint8_t> flash;
  std::vector<uint8_t> block;
  std::string blockname;
};

// With `unique_names`, every block can be chosen by its name.
Generated generate(uint32_t seed, bool unique_names = false);

}  // namespace blkswap::testing
