// Merges of many generated images (seeded, reproducible), checked for what every merge must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "generated_image.h"
#include "image/crc.h"
#include "image/load.h"
#include "image_builder.h"
#include "ops/merge.h"
#include "ops/replace.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

using testing::EntryPlan;
using testing::generate;
using testing::Generated;
using testing::read_file;
using testing::TablePlan;

// Whether block k holds the header of another table: its bytes then follow that table's merge.
bool holds_a_table(const FlashImage& image, size_t k) {
  const uint64_t start = block_start(image, k);
  for (size_t j = 0; j < image.block_count; ++j) {
    const uint32_t table = image.records[j].table_pos;
    if (table != image.records[k].table_pos && table >= start && table < block_end(image, k)) {
      return true;
    }
  }
  return false;
}

int run(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  return run_command(argv, out, out);
}

TEST(MergeProperties, HoldForGeneratedImages) {
  testing::TempDir dir;
  const std::string flash = dir.path("flash.bin"), block = dir.path("block.bin"),
                    out = dir.path("out.bin"), again = dir.path("again.bin");
  int merged = 0, refused = 0;
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Generated g = generate(seed);
    ASSERT_TRUE(testing::write_file(flash, g.flash));
    ASSERT_TRUE(testing::write_file(block, g.block));
    std::filesystem::remove(out);
    std::filesystem::remove(again);

    const int status = run({flash, g.blockname, block, out});
    EXPECT_EQ(run({"--dry-run", flash, g.blockname, block}), status);  // the rehearsal predicts it
    EXPECT_EQ(read_file(flash), g.flash);
    EXPECT_EQ(read_file(block), g.block);
    if (status != kExitOk) {
      // Whatever failed, nothing was written.
      EXPECT_FALSE(std::filesystem::exists(out));
      EXPECT_EQ(testing::files_in(dir.dir).size(), 2);
      ++refused;
      continue;
    }
    ++merged;

    FlashImage before;
    ASSERT_EQ(load_image_bytes(before, testing::to_bytes(g.flash)).code, Code::ok);
    const int chosen = find_block(before, g.blockname);
    ASSERT_NE(chosen, kNoBlock);
    const auto output = read_file(out);
    ASSERT_EQ(output.size(), g.flash.size());
    FlashImage after;
    ASSERT_EQ(load_image_bytes(after, testing::to_bytes(output)).code, Code::ok);
    ASSERT_EQ(after.block_count, before.block_count);
    EXPECT_LE(g.block.size(), block_room(before, {}, static_cast<size_t>(chosen)));
    Replacements replacements;
    ASSERT_TRUE(
        replacements.add(static_cast<size_t>(chosen), held_bytes(testing::to_bytes(g.block))));
    MergePlan plan;
    ASSERT_TRUE(plan_merge(before, replacements, plan));
    for (size_t k = 0; k < before.block_count; ++k) {
      const BlockEntry& old_entry = before.records[k].entry;
      const BlockEntry& new_entry = after.records[k].entry;
      EXPECT_EQ(entry_id(new_entry), entry_id(old_entry)) << k;
      EXPECT_EQ(entry_name(new_entry), entry_name(old_entry)) << k;
      EXPECT_EQ(entry_offset(new_entry), plan.blocks[k].offset) << k;  // as the plan said
      const auto expected =
          static_cast<int>(k) == chosen
              ? g.block
              : std::vector<uint8_t>(block_bytes(before, k).begin(), block_bytes(before, k).end());
      if (!holds_a_table(after, k)) {
        const auto bytes = block_bytes(after, k);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end()))
            << "block " << k;
      }
      if (entry_checksum(old_entry) == kNoChecksum) {
        EXPECT_EQ(entry_checksum(new_entry), kNoChecksum) << k;
      } else {
        EXPECT_EQ(entry_checksum(new_entry), block_crc(block_bytes(after, k))) << k;
      }
    }
    EXPECT_EQ(run({"--verify", out}), kExitOk);  // nested blocks included
    // A second merge of the same block into the result changes nothing.
    ASSERT_EQ(run({out, g.blockname, block, again}), kExitOk);
    EXPECT_TRUE(read_file(again) == output);
  }
  // The generator must reach both outcomes for the test to mean anything.
  std::printf("merged %d, refused %d\n", merged, refused);
  EXPECT_GT(merged, 50);
  EXPECT_GT(refused, 5);
}

// Extracting any block of an image that a merge wrote, and merging the file back, gives that
// image again byte for byte.
TEST(MergeProperties, ExtractAndMergeBackGiveTheImageAgain) {
  const testing::TempDir dir(testing::TempDir::InMemory{});
  const std::string flash = dir.path("flash.bin"), block = dir.path("block.bin"),
                    merged = dir.path("merged.bin"), piece = dir.path("piece.bin"),
                    again = dir.path("again.bin");
  int blocks = 0, empty = 0;
  for (uint32_t seed = 1; seed <= 80; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Generated g = generate(seed, true);
    ASSERT_TRUE(testing::write_file(flash, g.flash));
    ASSERT_TRUE(testing::write_file(block, g.block));
    if (run({flash, g.blockname, block, merged}) != kExitOk) continue;
    const auto image_bytes = read_file(merged);
    FlashImage image;
    ASSERT_EQ(load_image_bytes(image, testing::to_bytes(image_bytes)).code, Code::ok);
    for (size_t k = 0; k < image.block_count; ++k) {
      const std::string name(entry_name(image.records[k].entry));
      ASSERT_EQ(find_block(image, name), static_cast<int>(k)) << name;
      ASSERT_EQ(run({"--extract", merged, name, piece}), kExitOk) << name;
      const auto bytes = read_file(piece);
      const auto loaded = block_bytes(image, k);
      ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), loaded.begin(), loaded.end())) << name;
      if (bytes.empty()) {  // a merge takes no empty block file
        ++empty;
        continue;
      }
      ASSERT_EQ(run({merged, name, piece, again}), kExitOk) << name;
      EXPECT_TRUE(read_file(again) == image_bytes) << name;
      ++blocks;
    }
  }
  std::printf("merged back %d blocks; %d empty ones extracted\n", blocks, empty);
  EXPECT_GT(blocks, 200);
  EXPECT_GT(empty, 0);
}

}  // namespace
}  // namespace blkswap
