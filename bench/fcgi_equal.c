/* fcgi_equal - a FastCGI responder on Debian's libfcgi that does, for every
 * request, the work persistent linkhop does on a one-line table, plainly:
 *   - stat of the table hopdata/config.txt beside the program;
 *   - the local date, and stat of that day's log hopdata/logs/MMDDYYYY.log;
 *   - one append of the log line to the log it keeps open (opened afresh
 *     when the day or the file changes);
 *   - the answer linkhop gives for the key "news" of the sample table.
 * Against it, scripts/bench.sh measures what linkhop's own code costs per
 * request; against the trivial responder (fcgi_floor.c), what linkhop's
 * guarantees cost.
 */
#include <fcgiapp.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "sample.h"

static const char kAnswer[] = SAMPLE_ANSWER;

/* As in linkhop and fcgi_floor.c: no host names are looked up. */
struct hostent;
struct hostent *gethostbyname(const char *name) {
  (void)name;
  return 0;
}

int main(int argc, char **argv) {
  char folder[512] = "";
  if (argc > 0) {
    const char *slash = strrchr(argv[0], '/');
    if (slash && slash - argv[0] + 1 < (int)sizeof(folder)) {
      memcpy(folder, argv[0], (size_t)(slash - argv[0] + 1));
      folder[slash - argv[0] + 1] = 0;
    }
  }
  char table[600], log[600], opened[600] = "";
  snprintf(table, sizeof(table), "%shopdata/config.txt", folder);
  int fd = -1;
  ino_t inode = 0;
  dev_t device = 0;

  FCGX_Request request;
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) >= 0) {
    struct stat st;
    if (stat(table, &st) != 0) return 1;
    time_t now = time(0);
    struct tm t;
    localtime_r(&now, &t);
    snprintf(log, sizeof(log), "%shopdata/logs/%.2d%.2d%.4d.log", folder, t.tm_mon + 1,
             t.tm_mday, t.tm_year + 1900);
    int same = fd >= 0 && strcmp(log, opened) == 0 && stat(log, &st) == 0 &&
               st.st_ino == inode && st.st_dev == device;
    if (!same) {
      if (fd >= 0) close(fd);
      fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0 || fstat(fd, &st) != 0) return 1;
      inode = st.st_ino;
      device = st.st_dev;
      strcpy(opened, log);
    }
    const char *remote = FCGX_GetParam("REMOTE_ADDR", request.envp);
    const char *query = FCGX_GetParam("QUERY_STRING", request.envp);
    char line[2048];
    int n = snprintf(line, sizeof(line), "%s %.8X [%s] %s\r\n", remote ? remote : "0.0.0.0",
                     (unsigned)SampleMinutes(&t), query ? query : "", SAMPLE_ADDRESS);
    if (n > 0 && n < (int)sizeof(line) && write(fd, line, (size_t)n) != n) return 1;
    FCGX_PutStr(kAnswer, (int)sizeof(kAnswer) - 1, request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}
