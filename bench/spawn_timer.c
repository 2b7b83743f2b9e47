/* spawn_timer - times two commands run one after the other, A B A B ...,
 * each as a fresh process, the way a web server starts a CGI program.
 *
 *   spawn_timer [-m] [-n runs] [-w warmup] [-t seconds] [-i input]
 *               [-a NAME=VALUE]... [-b NAME=VALUE]... -- A... -- B...
 *
 * Prints one line per measured run,
 * "A|B <nanoseconds> <peak-kB> <status> <page-faults>": the wall time from
 * fork to the end of wait4, the child's peak resident set, its exit status
 * and its minor page faults (each page it touched first, and the few of
 * the forked copy of this harness before exec, the same for A and B). Standard input comes from the input file
 * (default /dev/null), standard output and error go to /dev/null. Warm-up
 * pairs are run first and not printed. The run stops after the given
 * number of pairs or, once a pair has ended past the time bound, early; the
 * last line, "# pairs <n>", says how many pairs were measured. Each -a
 * adds a variable to A's environment alone, each -b to B's, so that one
 * program can be timed with and without a setting (give B a variable of the
 * same size that it never reads: adding one costs the child some time).
 *
 * The peak is wait4's ru_maxrss, which is coarse for a small process: it
 * also counts the forked copy of this harness until exec, and recent Linux
 * kernels fill it from per-CPU counters that may lag by a few hundred kB.
 * With -m the child runs traced and the peak is read from VmHWM in
 * /proc/PID/status when it stops on its way out, which is exact; the wall
 * times of such runs include the tracing and are no measure of speed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MAX_RUNS = 100000 };

typedef struct Sample {
  long long nanoseconds;
  long peakKb;
  int status;
  long minorFaults;
} Sample;

static Sample samples[2][MAX_RUNS];

static long long Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* The VmHWM line of /proc/PID/status, in kB; -1 when it cannot be read. */
static long PeakOfTraced(pid_t pid) {
  char path[64], text[4096];
  snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = 0;
  const char *line = strstr(text, "VmHWM:");
  return line ? atol(line + 6) : -1;
}

/* Waits for a traced child: lets it run past its exec and its signals,
 * reads its peak when it stops on exit, and returns as wait4 does for its
 * end. */
static pid_t WaitTraced(pid_t pid, int *status, struct rusage *usage, long *peakKb) {
  for (;;) {
    pid_t r = wait4(pid, status, 0, usage);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || !WIFSTOPPED(*status)) return r;
    int deliver = 0;
    if (*status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) *peakKb = PeakOfTraced(pid);
    else if (WSTOPSIG(*status) == SIGTRAP) /* the stop after exec */
      ptrace(PTRACE_SETOPTIONS, pid, 0, (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    else deliver = WSTOPSIG(*status);
    ptrace(PTRACE_CONT, pid, 0, (void *)(long)deliver);
  }
}

static int traced = 0; /* -m */

enum { MAX_EXTRA = 16 };
static char *extra[2][MAX_EXTRA + 1]; /* -a, -b: A's and B's own variables, null-ended */

/* Runs argv once; fills *out. Exits the harness when the child cannot be
 * started at all. */
static void RunOnce(char **argv, char **variables, const char *input, Sample *out) {
  long long start = Now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(2);
  }
  if (pid == 0) {
    int in = open(input, O_RDONLY);
    int null = open("/dev/null", O_WRONLY);
    if (in < 0 || null < 0) _exit(126);
    dup2(in, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(in);
    close(null);
    for (; variables && *variables; variables++) putenv(*variables);
    if (traced) ptrace(PTRACE_TRACEME, 0, 0, 0);
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  long peakKb = -1;
  pid_t r;
  if (traced) r = WaitTraced(pid, &status, &usage, &peakKb);
  else do r = wait4(pid, &status, 0, &usage);
    while (r < 0 && errno == EINTR);
  long long end = Now();
  if (r < 0) {
    perror("wait4");
    exit(2);
  }
  out->nanoseconds = end - start;
  out->peakKb = traced ? peakKb : usage.ru_maxrss;
  out->minorFaults = usage.ru_minflt;
  out->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (out->status == 126 || out->status == 127) {
    fprintf(stderr, "spawn_timer: cannot run %s\n", argv[0]);
    exit(2);
  }
}

static void Usage(void) {
  fprintf(stderr,
          "usage: spawn_timer [-m] [-n runs] [-w warmup] [-t seconds] [-i input] "
          "[-a NAME=VALUE]... [-b NAME=VALUE]... -- A... -- B...\n");
  exit(2);
}

int main(int argc, char **argv) {
  long runs = 1000, warmup = 20;
  double seconds = 60;
  const char *input = "/dev/null";
  int i = 1, extras[2] = {0, 0};
  for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "-m") == 0) {
      traced = 1;
      continue;
    }
    if (i + 1 >= argc) Usage();
    if (strcmp(argv[i], "-n") == 0) runs = atol(argv[++i]);
    else if (strcmp(argv[i], "-w") == 0) warmup = atol(argv[++i]);
    else if (strcmp(argv[i], "-t") == 0) seconds = atof(argv[++i]);
    else if (strcmp(argv[i], "-i") == 0) input = argv[++i];
    else if ((strcmp(argv[i], "-a") == 0 || strcmp(argv[i], "-b") == 0) &&
             strchr(argv[i + 1], '=')) {
      const int side = argv[i][1] == 'b';
      if (extras[side] == MAX_EXTRA) Usage();
      extra[side][extras[side]++] = argv[++i];
    }
    else Usage();
  }
  if (i >= argc || runs < 1 || runs > MAX_RUNS || warmup < 0 || seconds <= 0) Usage();
  char **a = argv + i + 1;
  int j = i + 1;
  while (j < argc && strcmp(argv[j], "--") != 0) j++;
  if (j >= argc || j == i + 1 || j + 1 >= argc) Usage();
  argv[j] = NULL; /* ends A's vector; B's is ended by argv[argc] */
  char **b = argv + j + 1;

  Sample scratch;
  for (long k = 0; k < warmup; k++) {
    RunOnce(a, extra[0], input, &scratch);
    RunOnce(b, extra[1], input, &scratch);
  }
  long long deadline = Now() + (long long)(seconds * 1e9);
  long pairs = 0;
  while (pairs < runs) {
    RunOnce(a, extra[0], input, &samples[0][pairs]);
    RunOnce(b, extra[1], input, &samples[1][pairs]);
    pairs++;
    if (Now() > deadline) break;
  }
  for (long k = 0; k < pairs; k++)
    for (int s = 0; s < 2; s++)
      printf("%c %lld %ld %d %ld\n", s == 0 ? 'A' : 'B', samples[s][k].nanoseconds,
             samples[s][k].peakKb, samples[s][k].status, samples[s][k].minorFaults);
  printf("# pairs %ld\n", pairs);
  return 0;
}
