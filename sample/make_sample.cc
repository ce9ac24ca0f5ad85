// Writes the sample flash image and a new boot loader for it into the directory given:
// flash.bin (512 KiB, two tables) and bootloader.bin.
#include <cstdio>
#include <string>

#include "image_builder.h"

using blkswap::testing::EntryPlan;
using blkswap::testing::pattern;
using blkswap::testing::TablePlan;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  // A boot table at 0x1000 and a second table for the file system at 0x60000.
  const TablePlan boot{
      0x1000,
      {
          EntryPlan{.id = 0xA4, .name = "bootload", .offset = 0x10000, .data = pattern(0x6000, 1)},
          EntryPlan{.id = 0x02, .name = "kernel", .offset = 0x16000, .data = pattern(0x30000, 2)},
          EntryPlan{.id = 0x03,
                    .name = "dtb",
                    .offset = 0x46000,
                    .data = pattern(0x2000, 3),
                    .checksum = blkswap::testing::kNcrc},
      }};
  const TablePlan data{
      0x60000,
      {
          EntryPlan{.id = 0x10, .name = "rootfs", .offset = 0x100, .data = pattern(0x10000, 4)},
          EntryPlan{.id = 0x11, .name = "config", .offset = 0x10100, .data = pattern(0x800, 5)},
      }};
  const auto image = blkswap::testing::build_image(0x80000, {boot, data}, 0xFF);
  // The new boot loader is larger than the old one: the blocks after it move up.
  const auto bootloader = pattern(0x7400, 6);
  if (!blkswap::testing::write_file(dir + "/flash.bin", image) ||
      !blkswap::testing::write_file(dir + "/bootloader.bin", bootloader)) {
    std::fprintf(stderr, "make_sample: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
