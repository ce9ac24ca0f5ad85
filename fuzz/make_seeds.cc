// Writes the fuzzer's seed corpus into the directory given: small valid images in the fuzzer's
// input form (see fuzz_input.h), their trailing 0xFF left for the fuzzer to pad back.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "image/crc.h"
#include "image/load.h"
#include "image_builder.h"
#include "ops/round_trip.h"

namespace {

using blkswap::testing::build_image;
using blkswap::testing::EntryPlan;
using blkswap::testing::numbered_blocks;
using blkswap::testing::pattern;
using blkswap::testing::TablePlan;

constexpr size_t kL = 0x80000;

std::vector<uint8_t> encode(uint8_t flags, const std::string& name,
                            const std::vector<uint8_t>& block, std::vector<uint8_t> image) {
  while (!image.empty() && image.back() == 0xFF) image.pop_back();
  std::vector<uint8_t> out;
  out.reserve(4 + name.size() + block.size() + image.size());
  out.push_back(flags);
  out.push_back(static_cast<uint8_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(static_cast<uint8_t>(block.size()));
  out.push_back(static_cast<uint8_t>(block.size() >> 8));
  out.insert(out.end(), block.begin(), block.end());
  out.insert(out.end(), image.begin(), image.end());
  return out;
}

// The manifest an unpack of `image` writes.
std::vector<uint8_t> manifest_of(const std::vector<uint8_t>& image) {
  blkswap::build_crc_table();
  auto loaded = std::make_unique<blkswap::FlashImage>();
  std::string text;
  if (blkswap::load_image_bytes(*loaded, blkswap::testing::to_bytes(image)).code !=
          blkswap::Code::ok ||
      !blkswap::manifest_text(*loaded, text)) {
    return {};
  }
  return {text.begin(), text.end()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
    return 2;
  }
  using blkswap::fuzzing::kManifest;
  using blkswap::fuzzing::kMerge;
  using blkswap::fuzzing::kUnpadded;
  const auto two_tables =
      build_image(kL,
                  {{0x10,
                    {{.id = 0xA4, .name = "bootload", .offset = 0x100, .data = pattern(0x40, 1)},
                     {.id = 0x02, .name = "kernel", .offset = 0x140, .data = pattern(0x80, 2)},
                     {.id = 0xA8, .name = "aligned", .offset = 0x1C0, .data = pattern(0x10, 3)}}},
                   {0x400,
                    {{.id = 0x05,
                      .name = "ncrc",
                      .offset = 0x40,
                      .data = pattern(0x20, 4),
                      .checksum = blkswap::testing::kNcrc}}}},
                  0xFF);
  auto nested = build_image(
      kL, {{0, {{.id = 1, .name = "outer", .offset = 0x40, .data = pattern(0x400, 5)}}}}, 0xFF);
  blkswap::testing::put_table(
      nested, {0x100, {{.id = 2, .name = "inner", .offset = 0x80, .data = pattern(0x20, 6)}}});
  const auto sixty_four = build_image(
      kL, {{0, numbered_blocks(40, 0x1000, 8, 0)}, {0x2000, numbered_blocks(24, 0x800, 8, 0xA0)}},
      0xFF);
  const auto sixty_five = build_image(
      kL, {{0, numbered_blocks(40, 0x1000, 8, 0)}, {0x2000, numbered_blocks(25, 0x800, 8, 0xA0)}},
      0xFF);
  const auto wrong_mark =
      build_image(kL,
                  {{.pos = 0, .entries = numbered_blocks(2, 0x100, 8, 0), .format_mark = '1'},
                   {0x200, numbered_blocks(3, 0x100, 8, 0xFD)}},
                  0xFF);
  const auto full_name = build_image(kL,
                                     {{0,
                                       {{.id = 0x0B,
                                         .name = "\x01\x80\xff"
                                                 "abcde",
                                         .offset = 0x80,
                                         .data = pattern(0x10, 7),
                                         .opaque = 'Z'}}}},
                                     0xFF);

  const struct {
    const char* file;
    std::vector<uint8_t> bytes;
  } seeds[] = {
      {"list-two-tables", encode(0, "", {}, two_tables)},
      {"merge-bootload-grows", encode(kMerge, "bootload", pattern(0x90, 8), two_tables)},
      {"merge-by-id-a8", encode(kMerge, "0xa8", pattern(0x30, 9), two_tables)},
      {"merge-ncrc", encode(kMerge, "ncrc", pattern(0x10, 10), two_tables)},
      {"merge-nested-outer", encode(kMerge, "outer", pattern(0x800, 11), nested)},
      {"merge-nested-inner", encode(kMerge, "2", pattern(0x40, 12), nested)},
      {"list-64-blocks", encode(0, "", {}, sixty_four)},
      {"merge-64-blocks", encode(kMerge, "-ffffff5f", pattern(0x18, 13), sixty_four)},
      {"list-65-blocks", encode(0, "", {}, sixty_five)},
      {"merge-wrong-mark-then-table", encode(kMerge, "ff", pattern(0x4, 14), wrong_mark)},
      {"merge-full-name", encode(kMerge, "b", pattern(0x20, 15), full_name)},
      {"manifest-two-tables", encode(kManifest, "", manifest_of(two_tables), two_tables)},
      {"list-unpadded",
       encode(kUnpadded, "", {},
              std::vector<uint8_t>(two_tables.begin(), two_tables.begin() + 0x800))},
  };
  for (const auto& seed : seeds) {
    if (!blkswap::testing::write_file(std::string(argv[1]) + "/" + seed.file, seed.bytes)) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", seed.file);
      return 1;
    }
  }
  return 0;
}
