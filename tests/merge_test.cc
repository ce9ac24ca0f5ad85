#include "ops/merge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/crc.h"
#include "image/load.h"
#include "image_builder.h"
#include "ops/replace.h"

namespace blkswap {
namespace {

using testing::build_image;
using testing::EntryPlan;
using testing::pattern;
using testing::TablePlan;

// Loads `flash`, gives block `index` the bytes `fresh` (when not empty), plans the merge and
// composes it.
Code merge_in_memory(const std::vector<uint8_t>& flash, size_t index,
                     const std::vector<uint8_t>& fresh, std::vector<uint8_t>& out,
                     MergePlan* plan_out = nullptr, const MergeOptions& options = {}) {
  FlashImage image;
  EXPECT_EQ(load_image_bytes(image, testing::to_bytes(flash)).code, Code::ok);
  Replacements replacements;
  if (!fresh.empty()) {
    EXPECT_TRUE(replacements.add(index, held_bytes(testing::to_bytes(fresh))));
  }
  MergePlan plan;
  Composed composed;
  const Code rc = plan_merge(image, replacements, plan, options)
                      ? compose(image, plan, composed).code
                      : Code::does_not_fit;
  out = testing::to_vector(composed.bytes);
  if (plan_out != nullptr) *plan_out = plan;
  return rc;
}

uint32_t offset_of(const std::vector<uint8_t>& image, size_t table_pos, size_t slot) {
  return read_le32(&image[table_pos + 28 + 48 * slot + 4]);
}

TEST(Rebuild, WorkedExampleByteForByte) {
  // One table at 0x1000; slots 0..2 with ids 0x01, 0xA4, 0x02 at 0x100, 0x200, 0x300, 0x100 bytes
  // each; slot 0 replaced by 0x180 bytes. Every byte of the flash file is non-0xFF so that what is
  // kept and what is erased can be told apart.
  const auto b0 = pattern(0x100, 1), b1 = pattern(0x100, 2), b2 = pattern(0x100, 3);
  const auto fresh = pattern(0x180, 4);
  auto flash = pattern(kImageUnit, 5);
  for (auto& b : flash) b &= 0x7F;
  testing::put_table(
      flash, {.pos = 0x1000,
              .entries = {{.id = 0x01, .name = "one", .offset = 0x100, .data = b0, .opaque = 0x11},
                          {.id = 0xA4, .name = "two", .offset = 0x200, .data = b1, .opaque = 0x22},
                          {.id = 0x02,
                           .name = "three",
                           .offset = 0x300,
                           .data = b2,
                           .checksum = 0xDEADBEEF,
                           .opaque = 0x33}},
              .opaque = 0x44});

  // What the merged image must hold, built independently: the flash file's bytes up to the
  // table, then 0xFF but for the header, the three entries and the blocks at their new places.
  std::vector<uint8_t> expected(kImageUnit, 0xFF);
  std::copy(flash.begin(), flash.begin() + 0x1000, expected.begin());
  testing::put_table(
      expected,
      {.pos = 0x1000,
       .entries = {{.id = 0x01, .name = "one", .offset = 0x100, .data = fresh, .opaque = 0x11},
                   {.id = 0xA4, .name = "two", .offset = 0x10000, .data = b1, .opaque = 0x22},
                   {.id = 0x02, .name = "three", .offset = 0x10100, .data = b2, .opaque = 0x33}},
       .opaque = 0x44});

  std::vector<uint8_t> out;
  ASSERT_EQ(merge_in_memory(flash, 0, fresh, out), Code::ok);
  ASSERT_EQ(out.size(), kImageUnit);
  EXPECT_EQ(offset_of(out, 0x1000, 1), 0x10000u);
  EXPECT_EQ(offset_of(out, 0x1000, 2), 0x10100u);
  EXPECT_EQ(std::memcmp(&out[0x1100], fresh.data(), fresh.size()), 0);
  EXPECT_EQ(std::memcmp(&out[0x11000], b1.data(), b1.size()), 0);
  EXPECT_EQ(std::memcmp(&out[0x11100], b2.data(), b2.size()), 0);
  EXPECT_EQ(read_le32(&out[0x1000 + 28 + 48 * 2 + 12]),
            block_crc(b2));  // a stale checksum is mended
  EXPECT_TRUE(out == expected) << "the merged image differs from the worked example";
}

struct PlacementCase {
  std::string name;
  std::vector<TablePlan> tables;
  size_t replaced;  // block index
  size_t new_size;  // 0: keep the old bytes
  Code rc;
  std::vector<uint32_t> offsets;  // per block index, on success
  MergeOptions options = {};
};

TEST(Rebuild, PlacementAndBounds) {
  auto blk = [](uint8_t id, uint32_t offset, uint32_t size) {
    return EntryPlan{.id = id, .offset = offset, .data = pattern(size, offset)};
  };
  const PlacementCase cases[] = {
      {"same size, already packed and aligned: nothing moves",
       {{0x1000, {blk(1, 0x100, 0x100), blk(2, 0x200, 0x300), blk(0xA4, 0x10000, 0x10)}}},
       1,
       0x300,
       Code::ok,
       {0x100, 0x200, 0x10000}},
      {"gaps close",
       {{0, {blk(1, 0x100, 0x10), blk(2, 0x400, 0x10), blk(3, 0x900, 0x10)}}},
       0,
       0,
       Code::ok,
       {0x100, 0x110, 0x120}},
      {"0xA4 in slot 0 at 0x10000 stays",
       {{0x1000, {blk(0xA4, 0x10000, 0x10)}}},
       0,
       0,
       Code::ok,
       {0x10000}},
      {"0xA4 in slot 0 at 0x10001 moves to 0x20000",
       {{0x1000, {blk(0xA4, 0x10001, 0x10)}}},
       0,
       0,
       Code::ok,
       {0x20000}},
      {"0xA5 at 0x10001 stays", {{0x1000, {blk(0xA5, 0x10001, 0x10)}}}, 0, 0, Code::ok, {0x10001}},
      {"0xA8 aligns after chaining",
       {{0x10, {blk(1, 0x100, 0x10), blk(0xA8, 0x110, 0x10)}}},
       0,
       0,
       Code::ok,
       {0x100, 0x10000}},
      {"second table's slot 0 keeps its offset",
       {{0x100, {blk(1, 0x100, 0x10), blk(2, 0x800, 0x10)}},
        {0x4000, {blk(3, 0x900, 0x10), blk(4, 0x1000, 0x10)}}},
       0,
       0x20,
       Code::ok,
       {0x100, 0x120, 0x900, 0x910}},
      {"last block ends one byte before the end",
       {{0x100, {blk(1, 0x100, 0x10)}}},
       0,
       kImageUnit - 0x201,
       Code::ok,
       {0x100}},
      {"last block ends at the end",
       {{0x100, {blk(1, 0x100, 0x10)}}},
       0,
       kImageUnit - 0x200,
       Code::does_not_fit,
       {}},
      {"last block ends past the end",
       {{0x100, {blk(1, 0x100, 0x10)}}},
       0,
       kImageUnit,
       Code::does_not_fit,
       {}},
      {"an earlier table's block past the end",
       {{0x100, {blk(1, 0x100, 0x10)}}, {0x200, {blk(2, 0x100, 0x10)}}},
       0,
       kImageUnit - 0x180,
       Code::does_not_fit,
       {}},
      {"grows over the next table's header",
       {{0x100, {blk(1, 0x100, 0x10)}}, {0x1000, {blk(2, 0x100, 0x10)}}},
       0,
       0xE01,
       Code::does_not_fit,
       {}},
      {"grows up to the next table's header",
       {{0x100, {blk(1, 0x100, 0x10)}}, {0x1000, {blk(2, 0x100, 0x10)}}},
       0,
       0xE00,
       Code::ok,
       {0x100, 0x100}},
      {"chained onto the next table's entries",
       {{0x100, {blk(1, 0x100, 0x10), blk(2, 0x200, 0x10)}}, {0x1000, {blk(3, 0x100, 0x10)}}},
       0,
       0xE10,
       Code::does_not_fit,
       {}},
      {"grows over another table's block",
       {{0x100, {blk(1, 0x100, 0x10)}},
        {0x1000, {blk(2, 0x100, 0x10)}},
        {0x800, {blk(3, 0x1000, 0x10)}}},
       0,
       0x1500,
       Code::does_not_fit,
       {}},
      {"an empty block overlaps nothing",
       {{0x100, {blk(1, 0x100, 0x10), blk(2, 0x110, 0)}}, {0x1000, {blk(3, 0x100, 0x10)}}},
       0,
       0xE00,
       Code::ok,
       {0x100, 0xF00, 0x100}},
      {"kept offsets: a shrink moves nothing, an unaligned 0xA4 still aligns",
       {{0x1000, {blk(1, 0x100, 0x100), blk(2, 0x200, 0x100), blk(0xA4, 0x10001, 0x10)}}},
       0,
       0x80,
       Code::ok,
       {0x100, 0x200, 0x20000},
       {.keep_offsets = true}},
      {"kept offsets: a block grows up to the next one",
       {{0x1000, {blk(1, 0x100, 0x100), blk(2, 0x400, 0x100)}}},
       0,
       0x300,
       Code::ok,
       {0x100, 0x400},
       {.keep_offsets = true}},
      {"kept offsets: a block grows into the next one",
       {{0x1000, {blk(1, 0x100, 0x100), blk(2, 0x400, 0x100)}}},
       0,
       0x301,
       Code::does_not_fit,
       {},
       {.keep_offsets = true}},
  };
  for (const PlacementCase& c : cases) {
    std::vector<uint8_t> flash = build_image(kImageUnit, c.tables);
    std::vector<uint8_t> out;
    const Code rc = merge_in_memory(flash, c.replaced,
                                    c.new_size ? pattern(c.new_size, 77) : std::vector<uint8_t>{},
                                    out, nullptr, c.options);
    EXPECT_EQ(rc, c.rc) << c.name;
    // The room is the plan's own boundary: that many bytes merge, one more does not (the image's
    // own bytes from the block's start, so that a table the block holds stays).
    FlashImage image;
    ASSERT_EQ(load_image_bytes(image, testing::to_bytes(flash)).code, Code::ok);
    const uint64_t room = block_room(image, {}, c.replaced, c.options);
    std::vector<uint8_t> roomy(
        flash.begin() + static_cast<ptrdiff_t>(block_start(image, c.replaced)), flash.end());
    roomy.resize(room + 1, 0x77);
    EXPECT_EQ(merge_in_memory(flash, c.replaced, roomy, out, nullptr, c.options),
              Code::does_not_fit)
        << c.name;
    roomy.pop_back();
    EXPECT_EQ(merge_in_memory(flash, c.replaced, roomy, out, nullptr, c.options), Code::ok)
        << c.name;
    if (rc != Code::ok) continue;
    merge_in_memory(flash, c.replaced,
                    c.new_size ? pattern(c.new_size, 77) : std::vector<uint8_t>{}, out, nullptr,
                    c.options);
    FlashImage reloaded;
    ASSERT_EQ(load_image_bytes(reloaded, testing::to_bytes(out)).code, Code::ok) << c.name;
    ASSERT_EQ(reloaded.block_count, c.offsets.size()) << c.name;
    for (size_t k = 0; k < c.offsets.size(); ++k) {
      EXPECT_EQ(entry_offset(reloaded.records[k].entry), c.offsets[k]) << c.name << " block " << k;
    }
  }
}

TEST(Rebuild, ANestedTableStaysWhenTheBlockAroundItGrows) {
  // The outer block holds a second table and its block; the new outer bytes keep them.
  auto flash =
      build_image(kImageUnit, {{0x100, {{.id = 1, .offset = 0x100, .data = pattern(0x1000, 1)}}}});
  testing::put_table(
      flash, {0x400, {{.id = 2, .name = "inner", .offset = 0x100, .data = pattern(0x10, 2)}}});
  std::vector<uint8_t> grown(flash.begin() + 0x200, flash.begin() + 0x1200);
  const auto tail = pattern(0x1000, 3);
  grown.insert(grown.end(), tail.begin(), tail.end());

  std::vector<uint8_t> out;
  ASSERT_EQ(merge_in_memory(flash, 0, grown, out), Code::ok);
  FlashImage reloaded;
  ASSERT_EQ(load_image_bytes(reloaded, testing::to_bytes(out)).code, Code::ok);
  ASSERT_EQ(reloaded.block_count, 2);
  EXPECT_EQ(entry_size(reloaded.records[0].entry), 0x2000u);
  EXPECT_EQ(entry_name(reloaded.records[1].entry), "inner");
  EXPECT_TRUE(std::equal(out.begin() + 0x500, out.begin() + 0x510, pattern(0x10, 2).begin()));
}

TEST(Rebuild, ChecksumsAndWhatIsCarried) {
  const auto kept = pattern(0x40, 1);
  auto flash = build_image(kImageUnit,
                           {{0x2000,
                             {{.id = 1, .offset = 0x100, .data = kept, .checksum = testing::kNcrc},
                              {.id = 2, .offset = 0x140, .data = pattern(0x40, 2), .checksum = 0}}},
                            {0x40000, {}}},  // an empty table after the last one with blocks
                           0x5A);
  std::vector<uint8_t> out;
  MergePlan plan;
  ASSERT_EQ(merge_in_memory(flash, 1, {}, out, &plan), Code::ok);
  // Every byte from the table on that is no header, entry or block was not 0xFF, and is erased.
  const uint64_t kept_at_table = 28 + 2 * 48;
  EXPECT_EQ(plan.erased.count, kImageUnit - 0x2000 - kept_at_table - 0x80);
  EXPECT_EQ(plan.erased.first, 0x2000 + kept_at_table);
  EXPECT_EQ(plan.stale.count, 0u);
  EXPECT_EQ(std::memcmp(&out[0x2000 + 28 + 12], "NCRC", 4), 0);
  EXPECT_EQ(read_le32(&out[0x2000 + 28 + 48 + 12]), block_crc(pattern(0x40, 2)));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 0x2000, flash.begin()));  // before the table
  EXPECT_EQ(std::count(out.begin() + 0x40000, out.begin() + 0x40000 + 28, 0xFF),
            28);                         // not carried
  EXPECT_EQ(out[0x2000 + 0x180], 0xFF);  // erased past the last block
  EXPECT_EQ(out[kImageUnit - 1], 0xFF);
}

// A slot-0 block that its own table's entries run into: new bytes there would be written over,
// or land on an entry, and a shorter block moves the next one onto the table: no size fits, in
// either layout.
TEST(Rebuild, NoRoomWhereTheEntriesRunIntoTheBlock) {
  const auto flash =
      build_image(kImageUnit, {{0x1000,
                                {{.id = 1, .offset = 0x40, .size = 0x100},
                                 {.id = 2, .offset = 0x140, .data = pattern(0x10, 1)},
                                 {.id = 3, .offset = 0x150, .data = pattern(0x10, 2)}}}});
  FlashImage image;
  ASSERT_EQ(load_image_bytes(image, testing::to_bytes(flash)).code, Code::ok);
  std::vector<uint8_t> out;
  for (const bool keep_offsets : {false, true}) {
    const MergeOptions options{.keep_offsets = keep_offsets};
    EXPECT_EQ(block_room(image, {}, 0, options), 0u);
    for (const size_t size : {1, 12, 0x100}) {
      EXPECT_EQ(merge_in_memory(flash, 0, pattern(size, 3), out, nullptr, options),
                Code::does_not_fit)
          << size;
    }
  }
}

// Whatever made a plan, the composition writes nothing outside the image: a block that ends one
// byte past it is refused, not written (the sanitizers watch the buffer).
TEST(Rebuild, ComposeRefusesAPlanThatWritesOutsideTheImage) {
  const auto flash =
      build_image(kImageUnit, {{0x1000,
                                {{.id = 1, .offset = 0x100, .data = pattern(0x10, 1)},
                                 {.id = 2, .offset = 0x110, .data = pattern(0x10, 2)}}},
                               {0x2000, {{.id = 3, .offset = 0x100, .data = pattern(0x10, 3)}}}});
  FlashImage image;
  ASSERT_EQ(load_image_bytes(image, testing::to_bytes(flash)).code, Code::ok);
  MergePlan plan;
  ASSERT_TRUE(plan_merge(image, {}, plan));
  const auto tail = pattern(0x10, 4);
  plan.blocks[1].offset = static_cast<uint32_t>(kImageUnit - 0x1000 - 0xF);  // one byte past
  plan.blocks[1].bytes = tail;
  Composed composed;
  const Failure refused = compose(image, plan, composed);
  EXPECT_EQ(refused.code, Code::does_not_fit);
  EXPECT_EQ(refused.block, 1);
  EXPECT_EQ(refused.detail,
            ": block 1 would end at 0x00080001, past the image's end at 0x00080000");
}

}  // namespace
}  // namespace blkswap
