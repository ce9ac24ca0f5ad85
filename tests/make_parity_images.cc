// Writes COUNT generated images into DIR for the parity check of the two builds: NNN.bin, the
// block file NNN.block, and NNN.name, the name or id of the block to merge it into.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "generated_image.h"
#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_parity_images DIR COUNT\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int count = std::atoi(argv[2]);
  for (int seed = 1; seed <= count; ++seed) {
    const auto g = blkswap::testing::generate(static_cast<uint32_t>(seed), seed % 2 == 0);
    char stem[16];
    std::snprintf(stem, sizeof stem, "%03d", seed);
    const std::string base = dir + "/" + stem;
    if (!blkswap::testing::write_file(base + ".bin", g.flash) ||
        !blkswap::testing::write_file(base + ".block", g.block) ||
        !blkswap::testing::write_file(
            base + ".name", std::vector<uint8_t>(g.blockname.begin(), g.blockname.end()))) {
      std::fprintf(stderr, "make_parity_images: cannot write %s\n", base.c_str());
      return 1;
    }
  }
  return 0;
}
