#include "image/load.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/crc.h"
#include "image/format.h"
#include "image_builder.h"
#include "temp_dir.h"

namespace blkswap {
namespace {

using testing::build_image;
using testing::EntryPlan;
using testing::numbered_blocks;
using testing::pattern;
using testing::TablePlan;

struct LoadCase {
  std::string name;
  std::function<std::vector<uint8_t>()> make;
  Code rc;
  int blocks;  // expected block_count on success
};

TEST(LoadImage, CodesAndBlockCounts) {
  const LoadCase cases[] = {
      {"one table",
       [] {
         return build_image(kImageUnit, {{0, numbered_blocks(3, 0x2000)}});
       },
       Code::ok, 3},
      {"two 512 KiB units",
       [] {
         return build_image(2 * kImageUnit, {{kImageUnit + 5, numbered_blocks(2, 0x2000)}});
       },
       Code::ok, 2},
      {"one byte too long",
       [] {
         return build_image(kImageUnit + 1, {{0, numbered_blocks(1, 0x2000)}});
       },
       Code::bad_length, 0},
      {"one byte short",
       [] {
         return build_image(kImageUnit - 1, {{0, numbered_blocks(1, 0x2000)}});
       },
       Code::bad_length, 0},
      {"empty file", [] { return std::vector<uint8_t>(); }, Code::no_table, 0},
      {"no magic", [] { return std::vector<uint8_t>(kImageUnit, 0x2A); }, Code::no_table, 0},
      {"wrong format mark only",
       [] {
         return build_image(
             kImageUnit, {{.pos = 0, .entries = numbered_blocks(1, 0x2000), .format_mark = '1'}});
       },
       Code::no_table, 0},
      {"wrong mark, then a table",
       [] {
         return build_image(kImageUnit,
                            {{.pos = 0, .entries = numbered_blocks(5, 0x2000), .format_mark = '1'},
                             {0x40000, numbered_blocks(2, 0x2000)}});
       },
       Code::ok, 2},
      {"a partial magic just before the header",
       [] {
         auto image = build_image(kImageUnit, {{0x104, numbered_blocks(2, 0x2000)}});
         const std::string partial = "*^_^*^_^*QK(";
         std::copy(partial.begin(), partial.end(), image.begin() + 0x104 - partial.size());
         return image;
       },
       Code::ok, 2},
      {"40 + 24 blocks",
       [] {
         return build_image(
             kImageUnit, {{0, numbered_blocks(40, 0x2000)}, {0x4000, numbered_blocks(24, 0x2000)}});
       },
       Code::ok, 64},
      {"40 + 25 blocks",
       [] {
         return build_image(
             kImageUnit, {{0, numbered_blocks(40, 0x2000)}, {0x4000, numbered_blocks(25, 0x2000)}});
       },
       Code::no_table, 0},
      {"255 entries announced",
       [] {
         return build_image(kImageUnit, {{0, numbered_blocks(255, 0x4000, 1)}});
       },
       Code::no_table, 0},
      {"zero entries",
       [] {
         return build_image(kImageUnit, {{0, {}}});
       },
       Code::ok, 0},
      {"header ends at the image's end",
       [] {
         return build_image(kImageUnit, {{kImageUnit - 28, {}}});
       },
       Code::ok, 0},
      {"entries run past the end",
       [] {
         return build_image(
             kImageUnit,
             {{.pos = kImageUnit - 28 - 48, .entries = numbered_blocks(1, 0), .count = 2}});
       },
       Code::no_table, 0},
      {"block ends exactly at the end",
       [] {
         return build_image(
             kImageUnit, {{0x100, {{.offset = kImageUnit - 0x100 - 16, .data = pattern(16, 1)}}}});
       },
       Code::ok, 1},
      {"block one byte past the end",
       [] {
         return build_image(kImageUnit,
                            {{0x100, {{.offset = kImageUnit - 0x100 - 15, .size = 16}}}});
       },
       Code::no_table, 0},
      {"offset near 4 GiB",
       [] {
         return build_image(kImageUnit, {{0x100, {{.offset = 0xFFFFFFF0u, .size = 0x20}}}});
       },
       Code::no_table, 0},
      {"size near 4 GiB",
       [] {
         return build_image(kImageUnit, {{0x100, {{.offset = 0x200, .size = 0xFFFFFFFFu}}}});
       },
       Code::no_table, 0},
  };
  for (const LoadCase& c : cases) {
    FlashImage image;
    EXPECT_EQ(load_image_bytes(image, testing::to_bytes(c.make())).code, c.rc) << c.name;
    if (c.rc == Code::ok) {
      EXPECT_EQ(image.block_count, c.blocks) << c.name;
    }
  }
}

TEST(LoadImage, RecordsFollowTablePositionAndViewTheBlocks) {
  const auto later = pattern(0x300, 7);
  const auto earlier = pattern(0x40, 8);
  // Built in the opposite order of their positions.
  auto bytes = build_image(kImageUnit,
                           {{0x20000, {{.id = 9, .name = "later", .offset = 0x100, .data = later}}},
                            {0x8000,
                             {{.id = 1, .name = "first", .offset = 0x1000, .data = earlier},
                              {.id = 2, .name = "second", .offset = 0x2000}}}});
  FlashImage image;
  ASSERT_EQ(load_image_bytes(image, testing::to_bytes(bytes)).code, Code::ok);
  ASSERT_EQ(image.block_count, 3);
  EXPECT_EQ(image.length, kImageUnit);
  const struct {
    uint32_t table_pos, slot;
    std::string name;
    std::vector<uint8_t> data;
  } expected[] = {
      {0x8000, 0, "first", earlier}, {0x8000, 1, "second", {}}, {0x20000, 0, "later", later}};
  for (size_t i = 0; i < 3; ++i) {
    const BlockRecord& r = image.records[i];
    EXPECT_EQ(r.table_pos, expected[i].table_pos);
    EXPECT_EQ(r.slot, expected[i].slot);
    EXPECT_EQ(entry_name(r.entry), expected[i].name);
    const auto viewed = block_bytes(image, i);
    EXPECT_TRUE(
        std::equal(viewed.begin(), viewed.end(), expected[i].data.begin(), expected[i].data.end()));
    // A view into the image's bytes, not a copy.
    EXPECT_EQ(block_bytes(image, i).data(), image.bytes.view.data() + block_start(image, i));
    // The entry is kept exactly as it was in the image.
    EXPECT_TRUE(std::equal(r.entry.raw.begin(), r.entry.raw.end(),
                           bytes.begin() + r.table_pos + 28 + 48 * r.slot));
  }
}

TEST(LoadImage, MagicInsideABlockIsAFurtherTable) {
  std::vector<uint8_t> outer(0x1000, 0x5A);
  std::vector<uint8_t> image =
      build_image(kImageUnit, {{0, {{.id = 1, .offset = 0x100, .data = outer}}}});
  testing::put_table(image,
                     {0x300, {{.id = 2, .name = "inner", .offset = 0x80, .data = pattern(8, 2)}}});
  FlashImage loaded;
  ASSERT_EQ(load_image_bytes(loaded, testing::to_bytes(image)).code, Code::ok);
  ASSERT_EQ(loaded.block_count, 2);
  EXPECT_EQ(loaded.records[1].table_pos, 0x300u);
  EXPECT_EQ(entry_name(loaded.records[1].entry), "inner");
}

TEST(LoadImage, RefusesAnImageOfFourGibibytesOrMoreWithoutReadingIt) {
  testing::TempDir dir;
  const std::string path = dir.path("huge.bin");
  ASSERT_TRUE(testing::write_file(path, {}));
  std::filesystem::resize_file(path, 0x100000000LL);  // sparse: no disk used
  FlashImage image;
  EXPECT_EQ(load_image(image, path.c_str()).code, Code::bad_length);
}

// A file is mapped and scanned a window at a time, its halves on two threads, each window's
// checksum kept: the tables come out in order, a limit counts both halves, and a block's checksum
// from the windows is its bytes' own.
TEST(LoadImage, AMappedFileScannedInWindowsGivesWhatMemoryGives) {
  testing::TempDir dir;
  std::vector<uint8_t> wide =
      build_image(8 * kImageUnit,
                  {{0x1234,
                    {{.id = 1, .offset = 0x100, .data = pattern(0x123457, 1)},
                     {.id = 2, .offset = 0x200000, .data = pattern(0x3001, 2)}}},
                   {0x1A0001, {{.id = 3, .offset = 0x20000, .data = pattern(0x40000, 3)}}}},
                  0x5A);
  auto halves = build_image(kImageUnit, {{0x40, numbered_blocks(33, 0x1000)}});
  testing::put_table(halves,
                     {0x60000, numbered_blocks(32, 0x1000)});  // the 65th in the second half
  for (const auto& bytes : {wide, halves}) {
    const std::string file = dir.file("image.bin", bytes);
    FlashImage mapped, in_memory;
    const Failure mapped_failure = load_image(mapped, file.c_str());
    const Failure in_memory_failure = load_image_bytes(in_memory, testing::to_bytes(bytes));
    EXPECT_EQ(mapped_failure.code, in_memory_failure.code);
    EXPECT_EQ(mapped_failure.detail, in_memory_failure.detail);  // the table and slot at fault
    ASSERT_EQ(mapped.block_count, in_memory.block_count);
    for (size_t i = 0; i < mapped.block_count; ++i) {
      EXPECT_EQ(mapped.records[i].table_pos, in_memory.records[i].table_pos);
      EXPECT_EQ(block_checksum(mapped, i), block_crc(block_bytes(in_memory, i))) << i;
    }
  }
}

TEST(LoadImage, FileFailures) {
  testing::TempDir dir;
  FlashImage image;
  EXPECT_EQ(load_image(image, "").code, Code::flashfile_empty);
  EXPECT_EQ(load_image(image, dir.path("missing").c_str()).code, Code::flashfile_unreadable);
  EXPECT_EQ(load_image(image, dir.dir.c_str()).code, Code::flashfile_unreadable);
  EXPECT_EQ(load_image(image, testing::kNullDevice).code, Code::no_table);  // length 0
}

// The positions of the first tables are kept at load; the rest are found by scanning on.
TEST(LoadImage, TablesBeyondTheKeptOnesAreVisitedInOrder) {
  std::vector<TablePlan> tables;
  for (uint32_t t = 0; t < kKeptTables + 44; ++t) tables.push_back({0x100 + 0x40 * t, {}});
  tables.push_back({0x40000, {{.id = 1, .offset = 0x100, .data = pattern(0x10, 1)}}});
  FlashImage image;
  ASSERT_EQ(load_image_bytes(image, testing::to_bytes(build_image(kImageUnit, tables))).code,
            Code::ok);
  ASSERT_EQ(image.table_count, tables.size());
  size_t t = 0;
  for_each_table(image, [&](uint32_t position, uint8_t entries) {
    ASSERT_LT(t, tables.size());
    EXPECT_EQ(position, tables[t].pos) << t;
    EXPECT_EQ(entries, tables[t++].entries.size()) << t;
  });
  EXPECT_EQ(t, tables.size());
}

}  // namespace
}  // namespace blkswap
