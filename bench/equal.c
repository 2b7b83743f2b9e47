/* equal - the work of one CGI redirect done plainly, in a static program:
 * reads the table hopdata/config.txt beside the program and takes the
 * address of the key in QUERY_STRING from it, learns the local date,
 * appends the log line to hopdata/logs/MMDDYYYY.log (opened and closed) and
 * writes the answer linkhop gives, in one call each. scripts/bench.sh
 * measures a linkhop request against it (what our own code costs) beside
 * the floor (floor.c: what the table and the log cost).
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "sample.h"

static char table[1 << 16];

int main(int argc, char **argv) {
  const char *key = getenv("QUERY_STRING");
  const char *remote = getenv("REMOTE_ADDR");
  if (argc < 1 || !key || !*key) return 2;
  char folder[512] = "";
  const char *slash = strrchr(argv[0], '/');
  if (slash && slash - argv[0] + 1 < (int)sizeof(folder))
    memcpy(folder, argv[0], (size_t)(slash - argv[0] + 1));

  /* The table, whole (a one-line table here), and the key's address. */
  char path[600];
  snprintf(path, sizeof(path), "%shopdata/config.txt", folder);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  ssize_t length = read(fd, table, sizeof(table) - 1);
  close(fd);
  if (length < 0) return 1;
  table[length] = 0;
  char address[301] = "";
  const char *at = strstr(table, key);
  if (at) {
    const char *p = at + strlen(key);
    while (*p == ' ' || *p == '\t') p++;
    if (*p++ == '=') {
      while (*p == ' ' || *p == '\t') p++;
      size_t n = strcspn(p, "\r\n");
      if (n > 300) n = 300;
      memcpy(address, p, n);
      address[n] = 0;
    }
  }

  /* The log line, appended in one write. */
  time_t now = time(0);
  struct tm t;
  if (!localtime_r(&now, &t)) return 1;
  snprintf(path, sizeof(path), "%shopdata/logs/%.2d%.2d%.4d.log", folder, t.tm_mon + 1, t.tm_mday,
           t.tm_year + 1900);
  char line[2048];
  int n = snprintf(line, sizeof(line), "%s %.8X [%s] %s\r\n", remote ? remote : "0.0.0.0",
                   (unsigned)SampleMinutes(&t), key, address);
  fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 || n <= 0 || n >= (int)sizeof(line) || write(fd, line, (size_t)n) != n) return 1;
  close(fd);

  /* The answer, in one write. */
  char answer[1024];
  n = snprintf(answer, sizeof(answer),
               "Status: 301 Moved Permanently\r\nURI: %s\r\nLocation: %s\r\nMethod: GET\r\n\r\n",
               address, address);
  return n > 0 && n < (int)sizeof(answer) && write(STDOUT_FILENO, answer, (size_t)n) == n ? 0 : 1;
}
