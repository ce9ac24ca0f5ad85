/* The floor for the whole-process benchmark: only the work the image format demands, in plain C.
 *
 *   floor list  FLASH                      read the image whole, find the tables, copy every block
 *   floor merge FLASH INDEX BLOCK OUT      the same, then take BLOCK as block INDEX, checksum every
 *                                          block (eight bytes at a time through tables), compose
 *                                          the output (0xFF, the prefix, entries and blocks), write
 *                                          it to a temporary file with one write, fsync, rename
 *                                          over OUT.
 *   floor unpack FLASH DIR                 read the image once, find the blocks, and write and
 *                                          fsync each block's file DIR/NN-NAME.bin and a manifest
 *                                          of every entry's fields (no checksum is taken).
 *   floor repack FLASH DIR OUT             the merge's work, with every block's bytes read from
 *                                          its file DIR/NN-NAME.bin instead of one block file.
 *
 * It trusts its input (bounds are the tool's business, not the floor's) and places blocks as they
 * were, so it measures the reads, copies, checksums and the write, nothing else. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kMagic[] = "*^_^*QK(^o^)";
static uint32_t table[8][256];

static uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint8_t* read_whole(const char* path, size_t* size) {
  int fd = open(path, O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) exit(2);
  uint8_t* buf = malloc((size_t)st.st_size);
  size_t done = 0;
  while (done < (size_t)st.st_size) {
    ssize_t got = read(fd, buf + done, (size_t)st.st_size - done);
    if (got <= 0) exit(2);
    done += (size_t)got;
  }
  close(fd);
  *size = done;
  return buf;
}

struct block {
  size_t table_pos, entry_pos;
  uint32_t offset, size;
  uint8_t* data;
};

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  size_t length;
  uint8_t* image = read_whole(argv[2], &length);
  struct block blocks[64];
  int n = 0;
  for (size_t pos = 0; pos + 28 <= length; ++pos) {
    const uint8_t* hit = memchr(image + pos, '*', length - 28 - pos + 1);
    if (!hit) break;
    pos = (size_t)(hit - image);
    if (hit[26] != '0' || memcmp(hit, kMagic, 12) != 0) continue;
    for (int k = 0; k < hit[24]; ++k) {
      struct block* b = &blocks[n++];
      b->table_pos = pos;
      b->entry_pos = pos + 28 + 48 * (size_t)k;
      b->offset = le32(image + b->entry_pos + 4);
      b->size = le32(image + b->entry_pos + 8);
      b->data = malloc(b->size);
      memcpy(b->data, image + pos + b->offset, b->size);
    }
  }
  if (strcmp(argv[1], "list") == 0) {
    for (int i = 0; i < n; ++i) printf("id:0x%x name:%.8s\n", image[blocks[i].entry_pos], image + blocks[i].entry_pos + 24);
    return 0;
  }
  char path[4096];
  if (strcmp(argv[1], "unpack") == 0 && argc == 4) {
    if (mkdir(argv[3], 0777) != 0) return 1;
    char manifest[64 * 160 + 64];
    int used = snprintf(manifest, sizeof manifest, "{\"length\": %zu, \"blocks\": [\n", length);
    for (int i = 0; i < n; ++i) {
      const uint8_t* e = image + blocks[i].entry_pos;
      snprintf(path, sizeof path, "%s/%02d-%.8s.bin", argv[3], i, (const char*)e + 24);
      int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd < 0 || write(fd, blocks[i].data, blocks[i].size) != (ssize_t)blocks[i].size ||
          fsync(fd) != 0 || close(fd) != 0)
        return 1;
      used += snprintf(manifest + used, sizeof manifest - (size_t)used,
                       "{\"id\": %u, \"offset\": %u, \"size\": %u, \"checksum\": %u, \"file\": \"%s\"},\n",
                       e[0], le32(e + 4), le32(e + 8), le32(e + 12), path);
    }
    snprintf(path, sizeof path, "%s/manifest.json", argv[3]);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || write(fd, manifest, (size_t)used) != used || fsync(fd) != 0 || close(fd) != 0)
      return 1;
    return 0;
  }
  const char* out_path;
  if (strcmp(argv[1], "repack") == 0 && argc == 5) {
    for (int i = 0; i < n; ++i) {
      size_t size;
      snprintf(path, sizeof path, "%s/%02d-%.8s.bin", argv[3], i,
               (const char*)image + blocks[i].entry_pos + 24);
      free(blocks[i].data);  // the file's bytes take the place of the copy
      blocks[i].data = read_whole(path, &size);
      blocks[i].size = (uint32_t)size;
    }
    out_path = argv[4];
  } else {
    if (argc != 6) return 2;
    struct block* chosen = &blocks[atoi(argv[3])];
    size_t block_size;
    chosen->data = read_whole(argv[4], &block_size);
    chosen->size = (uint32_t)block_size;
    out_path = argv[5];
  }

  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int j = 0; j < 8; ++j) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[0][i] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) table[k][i] = (table[k - 1][i] >> 8) ^ table[0][table[k - 1][i] & 0xFF];
  uint8_t* out = malloc(length);
  memset(out, 0xFF, length);
  size_t last_table = blocks[n - 1].table_pos;
  memcpy(out, image, last_table + 28);
  for (int i = 0; i < n; ++i) {
    struct block* b = &blocks[i];
    uint32_t r = 0xFFFFFFFFu;
    const uint8_t* p = b->data;
    uint32_t left = b->size;
    for (; left >= 8; p += 8, left -= 8) {
      const uint32_t lo = r ^ le32(p), hi = le32(p + 4);
      r = table[7][lo & 0xFF] ^ table[6][(lo >> 8) & 0xFF] ^ table[5][(lo >> 16) & 0xFF] ^
          table[4][lo >> 24] ^ table[3][hi & 0xFF] ^ table[2][(hi >> 8) & 0xFF] ^
          table[1][(hi >> 16) & 0xFF] ^ table[0][hi >> 24];
    }
    for (; left > 0; ++p, --left) r = (r >> 8) ^ table[0][(r ^ *p) & 0xFF];
    memcpy(out + b->entry_pos, image + b->entry_pos, 48);
    memcpy(out + b->entry_pos + 8, &b->size, 4);
    memcpy(out + b->entry_pos + 12, &r, 4);
    memcpy(out + b->table_pos + b->offset, b->data, b->size);
  }
  char temp[4096];
  snprintf(temp, sizeof temp, "%s.floor-XXXXXX", out_path);
  int fd = mkstemp(temp);
  if (fd < 0 || write(fd, out, length) != (ssize_t)length || fsync(fd) != 0 || close(fd) != 0) return 1;
  return rename(temp, out_path) == 0 ? 0 : 1;
}
