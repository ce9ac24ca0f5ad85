// Writes the whole-process benchmark's input into the directory given: image.bin (256 MiB by
// default, one table, eight back-to-back blocks covering most of it) and block.bin (a new first
// block of the same size).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make_bench_image DIRECTORY [MEBIBYTES]\n");
    return 2;
  }
  const size_t mebibytes = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 256;
  if (mebibytes < 16 || mebibytes > 3072 || mebibytes % 8 != 0) {
    std::fprintf(stderr, "make_bench_image: MEBIBYTES is a multiple of 8 from 16 to 3072\n");
    return 2;
  }
  const size_t length = mebibytes << 20;
  // Eight blocks, each 1 MiB less than an eighth of the image (31 MiB in 256 MiB).
  const auto block = static_cast<uint32_t>(length / 8 - (1u << 20));
  std::vector<blkswap::testing::EntryPlan> entries;
  const char* names[] = {"bootload", "kernel", "rootfs", "data", "app", "cfg", "spare", "log"};
  for (uint32_t k = 0; k < 8; ++k) {
    entries.push_back({.id = static_cast<uint8_t>(k == 0 ? 0xA4 : k),
                       .name = names[k],
                       .offset = 0x10000 + k * block,
                       .data = blkswap::testing::pattern(block, k)});
  }
  const auto image = blkswap::testing::build_image(length, {{0x1000, std::move(entries)}}, 0xFF);
  const std::string dir = argv[1];
  if (!blkswap::testing::write_file(dir + "/image.bin", image) ||
      !blkswap::testing::write_file(dir + "/block.bin", blkswap::testing::pattern(block, 100))) {
    std::fprintf(stderr, "make_bench_image: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
