#include "generated_image.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "image/format.h"
#include "image_builder.h"

namespace blkswap::testing {

Generated generate(uint32_t seed, bool unique_names) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  const size_t length = pick(0, 3) == 0 ? 2 * kImageUnit : kImageUnit;
  const uint32_t tables = pick(1, 4);
  const uint32_t region = static_cast<uint32_t>(length / tables);
  std::vector<TablePlan> layout;
  std::vector<EntryPlan*> all;
  for (uint32_t t = 0; t < tables; ++t) {
    TablePlan table{.pos = t * region + pick(0, 0x1000),
                    .opaque = static_cast<uint8_t>(pick(0, 255))};
    const uint32_t count = pick(0, 4) == 0 ? 0 : pick(1, 16);
    uint32_t offset = kHeaderSize + kEntrySize * count + pick(0, 0x100);
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t kind = pick(0, 9);
      const bool long_name = pick(0, 5) == 0;
      const uint8_t id = kind == 0   ? kAlignedIdA
                         : kind == 1 ? kAlignedIdB
                                     : static_cast<uint8_t>(pick(0, 255));
      // Drawn one after the other: the order in which a call's arguments are evaluated is each
      // compiler's own, and every compiler must generate the same images.
      const uint32_t data_seed = pick(0, 1u << 30);
      const uint32_t data_size = pick(0, 0x1000);
      EntryPlan e{.id = id,
                  .name = long_name && !unique_names
                              ? "longname"
                              : "n" + std::to_string(t) + "_" + std::to_string(k),
                  .offset = offset,
                  .data = testing::pattern(data_size, data_seed),
                  .opaque = static_cast<uint8_t>(pick(0, 255))};
      if (kind == 2) e.checksum = testing::kNcrc;
      if (kind == 3) e.checksum = pick(0, UINT32_MAX);  // stale
      offset += static_cast<uint32_t>(e.data.size()) + (pick(0, 1) ? pick(0, 0x200) : 0);
      table.entries.push_back(e);
    }
    layout.push_back(table);
  }
  // Now and then a table is wrapped: a table of one block just before it, whose block holds
  // it. The choice has a generator of its own, so that the other images stay as they were.
  std::mt19937 nesting(seed ^ 0x9E3779B9u);
  for (size_t t = layout.size(); t-- > 1;) {
    const TablePlan& inner = layout[t];
    if (nesting() % 3 != 0 || inner.pos < 0x200 + region / 2) continue;
    uint64_t end = inner.pos + kHeaderSize + kEntrySize * inner.entries.size();
    for (const EntryPlan& e : inner.entries) {
      end = std::max<uint64_t>(end, inner.pos + e.offset + e.data.size());
    }
    const uint32_t wrapper_pos = inner.pos - 0x200;
    end += nesting() % 0x100;
    if (end >= length) continue;
    layout.insert(
        layout.begin() + static_cast<std::ptrdiff_t>(t),
        TablePlan{.pos = wrapper_pos,
                  .entries = {{.id = 0x7E,
                               .name = "w" + std::to_string(t),
                               .offset = 0x100,
                               .data = testing::pattern(end - wrapper_pos - 0x100, seed)}}});
  }
  Generated g;
  g.flash = testing::build_image(length, layout, static_cast<uint8_t>(pick(0, 255)));
  std::vector<const EntryPlan*> entries;
  for (const auto& t : layout) {
    for (const auto& e : t.entries) entries.push_back(&e);
  }
  if (entries.empty()) {
    g.blockname = "0";
  } else {
    const EntryPlan& chosen = *entries[pick(0, static_cast<uint32_t>(entries.size() - 1))];
    char id[8];
    std::snprintf(id, sizeof id, "0x%x", chosen.id);
    g.blockname = pick(0, 1) ? chosen.name : id;
  }
  // Mostly sizes that fit; now and then one far too large, which must fail cleanly.
  const uint32_t size_kind = pick(0, 9);
  g.block = testing::pattern(size_kind == 0 ? pick(0x40000, 0x100000) : pick(1, 0x3000), seed);
  return g;
}

}  // namespace blkswap::testing
