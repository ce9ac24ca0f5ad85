/* What replacing a file safely costs on this machine, whatever the program: copy FROM into a new
 * temporary file beside TO (copy_file_range, in the kernel), sync it, rename it over TO, sync the
 * folder. The floor of any merge that never leaves TO half written; cp && sync overwrites TO in
 * place instead. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: safe_copy FROM TO\n");
    return 2;
  }
  char temp[4096];
  snprintf(temp, sizeof temp, "%s.XXXXXX", argv[2]);
  const int in = open(argv[1], O_RDONLY);
  const int out = mkstemp(temp);
  struct stat st;
  if (in < 0 || out < 0 || fstat(in, &st) != 0) return 1;
  for (off_t left = st.st_size; left > 0;) {
    const ssize_t copied = copy_file_range(in, NULL, out, NULL, (size_t)left, 0);
    if (copied <= 0) return 1;
    left -= copied;
  }
  if (fsync(out) != 0 || close(out) != 0 || rename(temp, argv[2]) != 0) return 1;
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", argv[2]);
  char* slash = strrchr(folder, '/');
  if (slash != NULL) *slash = '\0';
  const int dir = open(slash != NULL ? folder : ".", O_RDONLY | O_DIRECTORY);
  if (dir >= 0) fsync(dir);
  return 0;
}
