// How the fuzzer's bytes are cut into a command: a flags byte, a block name, block bytes and the
// head of a flash image, so that small inputs still reach the scan and the rebuild.
//
//   [flags] [name length n] [n name bytes] [block length m, 2 bytes LE] [m block bytes] [image
//   head]
//
// flags bit 0: merge (else list); bit 1: leave the image as it is (else padded with 0xFF to the
// next multiple of 512 KiB, so that most inputs pass the length check); bit 2: check the block
// bytes as a manifest of the image; bit 3: a merge that keeps every block's offset.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace blkswap::fuzzing {

inline constexpr uint8_t kMerge = 1;
inline constexpr uint8_t kUnpadded = 2;
inline constexpr uint8_t kManifest = 4;
inline constexpr uint8_t kKeepOffsets = 8;

struct FuzzInput {
  uint8_t flags = 0;
  std::string_view blockname;
  std::span<const uint8_t> block;
  std::span<const uint8_t> image_head;
};

// False when the input is too short for its own lengths.
bool split_fuzz_input(std::span<const uint8_t> input, FuzzInput& out);

}  // namespace blkswap::fuzzing
