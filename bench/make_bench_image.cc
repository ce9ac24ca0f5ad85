// Writes the whole-process benchmark's input into the directory given: image.bin (256 MiB, one
// table, eight back-to-back blocks covering most of it) and block.bin (a new first block).
#include <cstdio>
#include <string>
#include <vector>

#include "image_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_bench_image DIRECTORY\n");
    return 2;
  }
  constexpr size_t kLength = size_t{256} << 20;
  constexpr uint32_t kBlock = 31u << 20;
  std::vector<blkswap::testing::EntryPlan> entries;
  const char* names[] = {"bootload", "kernel", "rootfs", "data", "app", "cfg", "spare", "log"};
  for (uint32_t k = 0; k < 8; ++k) {
    entries.push_back({.id = static_cast<uint8_t>(k == 0 ? 0xA4 : k),
                       .name = names[k],
                       .offset = 0x10000 + k * kBlock,
                       .data = blkswap::testing::pattern(kBlock, k)});
  }
  const auto image = blkswap::testing::build_image(kLength, {{0x1000, std::move(entries)}}, 0xFF);
  const std::string dir = argv[1];
  if (!blkswap::testing::write_file(dir + "/image.bin", image) ||
      !blkswap::testing::write_file(dir + "/block.bin", blkswap::testing::pattern(kBlock, 100))) {
    std::fprintf(stderr, "make_bench_image: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
