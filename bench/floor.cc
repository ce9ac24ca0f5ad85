// The floor for the whole-process benchmark: the least work the design allows, in plain
// procedures, trusting its input (bounds are the tool's business, not the floor's), with blocks
// placed where they were. The checksum is the tool's own block_crc, at the fastest speed this
// machine offers.
//
//   floor list  FLASH                   read the image whole into one fresh buffer, find the
//                                       table headers, print each block's line
//   floor merge FLASH INDEX BLOCK OUT   the same, then read BLOCK as block INDEX's new bytes,
//                                       fill one fresh output buffer with 0xFF, copy in the
//                                       bytes before the last table, the header, the entries and
//                                       every block (from the image's bytes), checksum every
//                                       block, one write to a temporary file, fsync, rename
//   floor verify FLASH                  the list's reading and scan, then every block's checksum
//                                       (the floor of --info and --verify)
//   floor diff FLASH OTHER              read both images whole and compare them with memcmp
//   floor unpack FLASH DIR              read the image once and write, from its bytes, each
//                                       block's file DIR/NN-NAME.bin and a manifest of the
//                                       entries' fields, each fsynced (no checksum is taken)
//   floor repack FLASH DIR OUT          the merge, with every block's bytes read from its file
//                                       DIR/NN-NAME.bin
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "image/crc.h"

namespace {

const char kMagic[] = "*^_^*QK(^o^)";

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint8_t* read_whole(const char* path, size_t* size) {
  const int fd = open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) exit(2);
  auto* buf = static_cast<uint8_t*>(malloc(static_cast<size_t>(st.st_size)));
  size_t done = 0;
  while (done < static_cast<size_t>(st.st_size)) {
    const ssize_t got = read(fd, buf + done, static_cast<size_t>(st.st_size) - done);
    if (got <= 0) exit(2);
    done += static_cast<size_t>(got);
  }
  close(fd);
  *size = done;
  return buf;
}

bool write_synced(const char* path, const uint8_t* bytes, size_t size) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  return fd >= 0 && write(fd, bytes, size) == static_cast<ssize_t>(size) && fsync(fd) == 0 &&
         close(fd) == 0;
}

struct Block {
  size_t table_pos, entry_pos;
  uint32_t offset, size;
  const uint8_t* data;  // the image's bytes, or a block file's
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  size_t length = 0;
  uint8_t* image = read_whole(argv[2], &length);
  Block blocks[64];
  int n = 0;
  for (size_t pos = 0; pos + 28 <= length; ++pos) {
    const void* hit = memmem(image + pos, length - 28 - pos + 12, kMagic, 12);
    if (hit == nullptr) break;
    pos = static_cast<size_t>(static_cast<const uint8_t*>(hit) - image);
    if (image[pos + 26] != '0') continue;
    for (int k = 0; k < image[pos + 24]; ++k) {
      Block* b = &blocks[n++];
      b->table_pos = pos;
      b->entry_pos = pos + 28 + 48 * static_cast<size_t>(k);
      b->offset = le32(image + b->entry_pos + 4);
      b->size = le32(image + b->entry_pos + 8);
      b->data = image + pos + b->offset;
    }
  }
  if (strcmp(argv[1], "diff") == 0 && argc == 4) {
    size_t other_length = 0;
    const uint8_t* other = read_whole(argv[3], &other_length);
    return other_length == length && memcmp(image, other, length) == 0 ? 0 : 1;
  }
  if (strcmp(argv[1], "verify") == 0) {
    unsigned stale = 0;
    for (int i = 0; i < n; ++i) {
      stale += blkswap::block_crc({blocks[i].data, blocks[i].size}) !=
               le32(image + blocks[i].entry_pos + 12);
    }
    printf("%d blocks, %u stale\n", n, stale);
    return 0;
  }
  if (strcmp(argv[1], "list") == 0) {
    for (int i = 0; i < n; ++i) {
      printf("id:0x%x name:%.8s\n", image[blocks[i].entry_pos],
             reinterpret_cast<const char*>(image + blocks[i].entry_pos + 24));
    }
    return 0;
  }
  char path[4096];
  if (strcmp(argv[1], "unpack") == 0 && argc == 4) {
    if (mkdir(argv[3], 0777) != 0) return 1;
    static char manifest[64 * 160 + 64];
    int used = snprintf(manifest, sizeof manifest, "{\"length\": %zu, \"blocks\": [\n", length);
    for (int i = 0; i < n; ++i) {
      const uint8_t* e = image + blocks[i].entry_pos;
      snprintf(path, sizeof path, "%s/%02d-%.8s.bin", argv[3], i,
               reinterpret_cast<const char*>(e + 24));
      if (!write_synced(path, blocks[i].data, blocks[i].size)) return 1;
      used += snprintf(manifest + used, sizeof manifest - static_cast<size_t>(used),
                       "{\"id\": %u, \"offset\": %u, \"size\": %u, \"checksum\": %u},\n", e[0],
                       le32(e + 4), le32(e + 8), le32(e + 12));
    }
    snprintf(path, sizeof path, "%s/manifest.json", argv[3]);
    return write_synced(path, reinterpret_cast<uint8_t*>(manifest), static_cast<size_t>(used)) ? 0
                                                                                               : 1;
  }
  const char* out_path = nullptr;
  if (strcmp(argv[1], "repack") == 0 && argc == 5) {
    for (int i = 0; i < n; ++i) {
      size_t size = 0;
      snprintf(path, sizeof path, "%s/%02d-%.8s.bin", argv[3], i,
               reinterpret_cast<const char*>(image + blocks[i].entry_pos + 24));
      blocks[i].data = read_whole(path, &size);
      blocks[i].size = static_cast<uint32_t>(size);
    }
    out_path = argv[4];
  } else {
    if (argc != 6) return 2;
    Block* chosen = &blocks[atoi(argv[3])];
    size_t size = 0;
    chosen->data = read_whole(argv[4], &size);
    chosen->size = static_cast<uint32_t>(size);
    out_path = argv[5];
  }

  auto* out = static_cast<uint8_t*>(malloc(length));
  const size_t last_table = blocks[n - 1].table_pos;
  memcpy(out, image, last_table + 28);
  memset(out + last_table + 28, 0xFF, length - last_table - 28);
  for (int i = 0; i < n; ++i) {
    const Block* b = &blocks[i];
    const uint32_t crc = blkswap::block_crc({b->data, b->size});
    memcpy(out + b->entry_pos, image + b->entry_pos, 48);
    memcpy(out + b->entry_pos + 8, &b->size, 4);
    memcpy(out + b->entry_pos + 12, &crc, 4);
    memcpy(out + b->table_pos + b->offset, b->data, b->size);
  }
  char temp[4096];
  snprintf(temp, sizeof temp, "%s.floor-XXXXXX", out_path);
  const int fd = mkstemp(temp);
  if (fd < 0 || write(fd, out, length) != static_cast<ssize_t>(length) || fsync(fd) != 0 ||
      close(fd) != 0) {
    return 1;
  }
  return rename(temp, out_path) == 0 ? 0 : 1;
}
