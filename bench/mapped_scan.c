/* The machine's limit for reading an image: map the file (its page cache pages, populated) and
 * find every table header in it, as a list must; print how many. No checksum, no bounds, no
 * records: what no listing can go below. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: mapped_scan FLASH\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 28) return 1;
  const size_t n = (size_t)st.st_size;
  const unsigned char* m = mmap(NULL, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (m == MAP_FAILED) return 1;
  size_t tables = 0;
  for (size_t from = 0; from + 28 <= n;) {
    const unsigned char* hit = memmem(m + from, n - from, "*^_^*QK(^o^)", 12);
    if (hit == NULL || (size_t)(hit - m) + 28 > n) break;
    if (hit[26] == '0') ++tables;
    from = (size_t)(hit - m) + 1;
  }
  printf("%zu\n", tables);
  return 0;
}
