#include "ops/replace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/load.h"
#include "image_builder.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

using testing::EntryPlan;
using testing::pattern;

TEST(ParseBlockId, OnlyWholeHexNumbersAreIds) {
  const struct {
    std::string text;
    bool is_id;
    uint32_t id;
  } cases[] = {
      {"a4", true, 0xA4},
      {"A4", true, 0xA4},
      {"0xa4", true, 0xA4},
      {"0XA4", true, 0xA4},
      {" \t\n0xa4", true, 0xA4},
      {"+a4", true, 0xA4},
      {"0", true, 0},
      {"00000000000b", true, 0xB},  // leading zeros never overflow
      {"-ffffff01", true, 0xFF},
      {"-1", true, 0xFFFFFFFF},
      {"ffffffff", true, 0xFFFFFFFF},
      {"100000000", true, 0xFFFFFFFF},  // too large for 32 bits: saturates
      {"-100000000", true, 1},          // saturates, then negates
      {"bootload", false, 0},           // only its first letter is a hex digit
      {"kernel", false, 0},
      {"boot", false, 0},
      {"b", true, 0xB},
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"0xg", false, 0},
      {"a4 ", false, 0},  // nothing may follow the digits
      {"x1", false, 0},
      {"--1", false, 0},
      {"0x0x1", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t id = 12345;
    EXPECT_EQ(parse_block_id(c.text, id), c.is_id) << '"' << c.text << '"';
    if (c.is_id) {
      EXPECT_EQ(id, c.id) << '"' << c.text << '"';
    }
  }
}

// Blocks chosen so that taking a name for a number when it is not wholly one picks the wrong block.
FlashImage image_for_lookup() {
  const std::vector<EntryPlan> entries = {
      {.id = 0x00, .name = "zero", .offset = 0x1000, .data = pattern(4, 0)},
      {.id = 0x0B, .name = "eleven", .offset = 0x1004, .data = pattern(4, 1)},
      {.id = 0xA4, .name = "bootload", .offset = 0x1008, .data = pattern(4, 2)},
      {.id = 0x02, .name = "kernel", .offset = 0x100C, .data = pattern(4, 3)},
      {.id = 0xA4, .name = "second", .offset = 0x1010, .data = pattern(4, 4)},
      {.id = 0xFF, .name = "b", .offset = 0x1014, .data = pattern(4, 5)},
      {.id = 0x30, .name = "1ff", .offset = 0x1018, .data = pattern(4, 6)},
  };
  FlashImage image;
  EXPECT_EQ(
      load_image_bytes(image, testing::to_bytes(testing::build_image(kImageUnit, {{0, entries}})))
          .code,
      Code::ok);
  return image;
}

TEST(FindBlock, FirstMatchByNameOrWholeId) {
  const FlashImage image = image_for_lookup();
  const struct {
    std::string blockname;
    int index;
  } cases[] = {
      {"bootload", 2},                                 // by name, not as the number 0xB
      {"bootloader", 2},                               // only eight characters are compared
      {"boot", kNoBlock}, {"kernel", 3},               // by name, never as id 0
      {"a4", 2},                                       // the first of the two 0xA4 blocks
      {"0xA4", 2},        {"second", 4},    {"b", 1},  // id 0x0B comes before the block named b
      {"0", 0},           {"-ffffff01", 5},            // reads as 0xFF
      {"1ff", 6},                                      // above 0xFF: by name only
      {"30", 6},          {"zz", kNoBlock},
  };
  for (const auto& c : cases) EXPECT_EQ(find_block(image, c.blockname), c.index) << c.blockname;
}

TEST(ReplaceBlock, TakesTheBlockFileWholeAndLeavesTheImageAsLoaded) {
  testing::TempDir dir;
  FlashImage image = image_for_lookup();
  const auto fresh = pattern(0x1234, 99);
  const auto old_bytes = testing::to_vector(image.bytes);
  ASSERT_TRUE(testing::write_file(dir.path("new.bin"), fresh));
  Replacements replacements;
  ASSERT_EQ(replace_block(image, "kernel", dir.path("new.bin").c_str(), replacements).code,
            Code::ok);
  ASSERT_EQ(replacements.count, 1u);
  EXPECT_EQ(replacements.items[0].block, 3u);
  EXPECT_EQ(testing::to_vector(replacements.items[0].bytes), fresh);
  // The image, its entries and so the look-up are as loaded; a second choice is refused.
  EXPECT_EQ(entry_size(image.records[3].entry), 4u);
  EXPECT_TRUE(testing::to_vector(image.bytes) == old_bytes);
  EXPECT_EQ(find_block(image, "2"), 3);
  EXPECT_EQ(replace_block(image, "2", dir.path("new.bin").c_str(), replacements).code,
            Code::chosen_twice);
}

TEST(ReplaceBlock, FailuresAddNothing) {
  testing::TempDir dir;
  ASSERT_TRUE(testing::write_file(dir.path("empty.bin"), {}));
  ASSERT_TRUE(testing::write_file(dir.path("ok.bin"), pattern(8, 1)));
  const struct {
    std::string blockname, blockfile;
    Code rc;
  } cases[] = {
      {"", dir.path("ok.bin"), Code::block_argument_empty},
      {"kernel", "", Code::block_argument_empty},
      {"nothing", dir.path("missing.bin"), Code::no_match},  // looked up before the file opens
      {"kernel", dir.path("missing.bin"), Code::blockfile_unopenable},
      {"kernel", dir.dir, Code::blockfile_unopenable},
      {"kernel", dir.path("empty.bin"), Code::blockfile_empty},
#ifndef _WIN32
      {"kernel", "/dev/zero", Code::blockfile_empty},  // a device that reports no length
#endif
  };
  for (const auto& c : cases) {
    FlashImage image = image_for_lookup();
    Replacements replacements;
    EXPECT_EQ(replace_block(image, c.blockname.c_str(), c.blockfile.c_str(), replacements).code,
              c.rc)
        << c.blockname;
    EXPECT_EQ(replacements.count, 0u);
  }
}

TEST(ReplaceBlock, NoBlocksMeansNoMatch) {
  FlashImage image;
  ASSERT_EQ(
      load_image_bytes(image, testing::to_bytes(testing::build_image(kImageUnit, {{0, {}}}))).code,
      Code::ok);
  Replacements replacements;
  EXPECT_EQ(replace_block(image, "0", testing::kNullDevice, replacements).code, Code::no_match);
}

}  // namespace
}  // namespace blkswap
