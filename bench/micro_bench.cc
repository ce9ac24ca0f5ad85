// Micro-benchmarks of the two loops that touch every byte: the checksum and the table scan.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "image/crc.h"
#include "image/load.h"
#include "image_builder.h"

namespace {

using namespace blkswap;

// The checksum as the tool takes it (carry-less multiplication where there is some), and
// through the tables alone.
template <uint32_t (*crc)(std::span<const uint8_t>)>
void checksum_benchmark(benchmark::State& state) {
  const auto data = testing::pattern(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) benchmark::DoNotOptimize(crc(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_BlockCrc(benchmark::State& state) {
  checksum_benchmark<block_crc>(state);
}
void BM_BlockCrcWithTables(benchmark::State& state) {
  checksum_benchmark<block_crc_with_tables>(state);
}

// Random bytes (so the magic's first byte turns up every 256 bytes or so), or with
// `filled_with_magic_byte` nothing but that byte, with one table of eight small blocks near the
// start.
void scan_benchmark(benchmark::State& state, bool filled_with_magic_byte) {
  const size_t length = static_cast<size_t>(state.range(0));
  std::vector<testing::EntryPlan> entries;
  for (uint32_t k = 0; k < 8; ++k) {
    entries.push_back({.id = static_cast<uint8_t>(k),
                       .offset = 0x1000 + 0x100 * k,
                       .data = testing::pattern(0x100, k)});
  }
  auto bytes =
      filled_with_magic_byte ? std::vector<uint8_t>(length, '*') : testing::pattern(length, 7);
  testing::put_table(bytes, {0x100, entries});
  auto image = std::make_unique<FlashImage>();
  image->bytes = held_bytes(testing::to_bytes(bytes));
  for (auto _ : state) {
    image->block_count = 0;
    benchmark::DoNotOptimize(scan_tables(*image, static_cast<uint32_t>(length)));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ScanTables(benchmark::State& state) {
  scan_benchmark(state, false);
}
void BM_ScanTablesAllMagicByte(benchmark::State& state) {
  scan_benchmark(state, true);
}

BENCHMARK(BM_BlockCrc)->Arg(1 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockCrcWithTables)->Arg(1 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanTables)->Arg(1 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanTablesAllMagicByte)->Arg(1 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
