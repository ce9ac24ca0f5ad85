/* The floor for the whole-process benchmark: only the work the image format demands, in plain C.
 *
 *   floor list  FLASH                      read the image whole, find the tables, copy every block
 *   floor merge FLASH INDEX BLOCK OUT      the same, then take BLOCK as block INDEX, checksum every
 *                                          block byte by byte through a table, compose the output
 *                                          (0xFF, the prefix, entries and blocks), write it to a
 *                                          temporary file with one write, fsync, rename over OUT.
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
static uint32_t table[256];

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
  if (argc != 6) return 2;
  struct block* chosen = &blocks[atoi(argv[3])];
  size_t block_size;
  chosen->data = read_whole(argv[4], &block_size);
  chosen->size = (uint32_t)block_size;

  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int j = 0; j < 8; ++j) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  uint8_t* out = malloc(length);
  memset(out, 0xFF, length);
  size_t last_table = blocks[n - 1].table_pos;
  memcpy(out, image, last_table + 28);
  for (int i = 0; i < n; ++i) {
    struct block* b = &blocks[i];
    uint32_t r = 0xFFFFFFFFu;
    for (uint32_t j = 0; j < b->size; ++j) r = (r >> 8) ^ table[(r ^ b->data[j]) & 0xFF];
    memcpy(out + b->entry_pos, image + b->entry_pos, 48);
    memcpy(out + b->entry_pos + 8, &b->size, 4);
    memcpy(out + b->entry_pos + 12, &r, 4);
    memcpy(out + b->table_pos + b->offset, b->data, b->size);
  }
  char temp[4096];
  snprintf(temp, sizeof temp, "%s.floor-XXXXXX", argv[5]);
  int fd = mkstemp(temp);
  if (fd < 0 || write(fd, out, length) != (ssize_t)length || fsync(fd) != 0 || close(fd) != 0) return 1;
  return rename(temp, argv[5]) == 0 ? 0 : 1;
}
