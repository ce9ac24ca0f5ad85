#include "image/format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/crc.h"
#include "image_builder.h"

namespace blkswap {
namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

// A bit-at-a-time reference, independent of the table.
uint32_t bitwise_crc(const std::vector<uint8_t>& data) {
  uint32_t r = 0xFFFFFFFFu;
  for (uint8_t b : data) {
    r ^= b;
    for (int i = 0; i < 8; ++i) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  }
  return r;
}

TEST(BlockCrc, KnownValues) {  // no build_crc_table() first: a checksum needs none
  const struct {
    std::string input;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0x340BC6D9u},  // the complement of the common CRC-32, 0xCBF43926
      {"abc", 0xCADBBE3Du},
      {"", 0xFFFFFFFFu},
  };
  for (const auto& c : cases) EXPECT_EQ(block_crc(bytes_of(c.input)), c.crc) << c.input;
}

TEST(BlockCrc, MatchesBitwiseReferenceOnEveryByteValueAndLength) {
  EXPECT_EQ(crc32_tables()[0][128], 0xEDB88320u);
  // Lengths around the eight-byte step of the tables and the 16- and 64-byte steps of the
  // carry-less path, from aligned and unaligned starts; both paths give the bitwise value.
  std::printf("carry-less multiplication: %s\n", block_crc_is_accelerated() ? "yes" : "no");
  for (size_t size :
       {1u, 7u, 8u, 9u, 63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 255u, 256u, 4097u, 70001u}) {
    const auto data = testing::pattern(size + 3, static_cast<uint32_t>(size));
    for (size_t skip : {0u, 3u}) {
      const std::span<const uint8_t> part(data.data() + skip, size);
      const uint32_t expected = bitwise_crc({part.begin(), part.end()});
      EXPECT_EQ(block_crc(part), expected) << size << "+" << skip;
      EXPECT_EQ(block_crc_with_tables(part), expected) << size << "+" << skip;
    }
  }
}

TEST(BlockCrc, ConcatenatesWithoutReadingAgain) {
  build_crc_table();
  const auto data = testing::pattern(70000, 7);
  for (size_t split : {0u, 1u, 8u, 4099u, 69999u, 70000u}) {
    const std::span<const uint8_t> all(data);
    EXPECT_EQ(block_crc_concat(block_crc(all.first(split)), block_crc(all.subspan(split)),
                               data.size() - split),
              block_crc(all))
        << split;
  }
}

TEST(Format, LittleEndianFieldsRoundTrip) {
  uint8_t word[4];
  write_le32(word, 0x4352434Eu);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(word), 4), "NCRC");
  EXPECT_EQ(read_le32(word), kNoChecksum);

  BlockEntry entry;
  entry.raw.fill(0xEE);
  set_entry_offset(entry, 0x01020304u);
  set_entry_size(entry, 0xA0B0C0D0u);
  set_entry_checksum(entry, 0xFFFFFFFFu);
  EXPECT_EQ(entry.raw[4], 0x04);
  EXPECT_EQ(entry.raw[11], 0xA0);
  EXPECT_EQ(entry_offset(entry), 0x01020304u);
  EXPECT_EQ(entry_size(entry), 0xA0B0C0D0u);
  EXPECT_EQ(entry_checksum(entry), 0xFFFFFFFFu);
  // Fields the tool does not interpret are left alone.
  EXPECT_EQ(entry.raw[0], 0xEE);
  EXPECT_EQ(entry.raw[3], 0xEE);
  EXPECT_EQ(entry.raw[16], 0xEE);
  EXPECT_EQ(entry.raw[47], 0xEE);
}

TEST(Format, NameFieldEndsAtNulOrAfterEightBytes) {
  const struct {
    std::string field;  // the eight name bytes
    std::string name;
  } cases[] = {
      {std::string("kernel\0\0", 8), "kernel"},
      {"bootload", "bootload"},             // no terminator
      {std::string("\0abcdefg", 8), ""},    // nothing before the NUL
      {std::string("ab\0cdefg", 8), "ab"},  // bytes after the NUL do not count
      {std::string("\x01\xff\x80zzzzz", 8), std::string("\x01\xff\x80zzzzz", 8)},
  };
  for (const auto& c : cases) {
    BlockEntry entry;
    entry.raw.fill('X');  // the bytes after the field are not part of the name
    std::copy(c.field.begin(), c.field.end(), entry.raw.begin() + 24);
    EXPECT_EQ(entry_name(entry), c.name);
  }
}

TEST(Format, HeaderNeedsMagicAndFormatMarkInsideTheImage) {
  std::vector<uint8_t> image(100, 0);
  auto put_header = [&](size_t pos, uint8_t mark) {
    std::copy(kMagic.begin(), kMagic.end(), image.begin() + pos);
    image[pos + kFormatMarkAt] = mark;
  };
  put_header(0, '1');
  put_header(30, '0');
  put_header(72, '0');  // ends exactly at the image's end
  EXPECT_FALSE(is_table_header(image, 0));
  EXPECT_TRUE(is_table_header(image, 30));
  EXPECT_TRUE(is_table_header(image, 72));
  EXPECT_FALSE(is_table_header(std::span(image).first(99), 72));  // one byte short
  EXPECT_FALSE(is_table_header(image, 1000));
  image[30 + 11] = 'x';  // last magic byte wrong
  EXPECT_FALSE(is_table_header(image, 30));
}

TEST(Format, RangesOverlap) {
  const struct {
    ByteRange a, b;
    bool overlap;
  } cases[] = {
      {{0, 10}, {10, 5}, false},  // touching ends
      {{0, 11}, {10, 5}, true},  {{10, 5}, {0, 11}, true},
      {{0, 100}, {40, 2}, true},  // one inside the other
      {{5, 0}, {0, 100}, false},  // empty overlaps nothing
      {{0, 100}, {5, 0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ranges_overlap(c.a, c.b), c.overlap)
        << c.a.start << "+" << c.a.size << " vs " << c.b.start << "+" << c.b.size;
  }
}

}  // namespace
}  // namespace blkswap
