/* tsl-os-posix - the operating-system layer for POSIX systems.
 *
 * POSIX has no text mode, no message box and no process command-line text;
 * this file supplies what Tessel expects of them (see tsl-os.h). Files are
 * reached through raw descriptors, never stdio: its buffering would split a
 * log line into several writes, and it would allocate outside the tracked
 * heap.
 */
#ifndef _WIN32

#include "tsl-os.h"
#include "tsl-os-text.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* Room for the command line as rebuilt from the argument vector. An
 * argument that does not fit is left off with everything after it. */
enum { CMDLINE_RAW_SIZE = 32768, CMDLINE_TEXT_SIZE = 3 * CMDLINE_RAW_SIZE };

/* Longest path the layer converts and opens. */
enum { OS_PATH_SIZE = 4096 };

static struct {
  const char *commandLineOverride;
  int commandLineBuilt;
  int commandLineMissing;
  char commandLine[CMDLINE_TEXT_SIZE];
  int64_t timeOverride;
  int stdinEnded;
  int sigpipeIgnored;
  pthread_mutex_t mutex;
} os = {nullptr, 0, 0, {0}, -1, 0, 0, PTHREAD_MUTEX_INITIALIZER};

static void AppendQuotedArgument(const char *arg, int length, int *used) {
  int quote = (length == 0) || memchr(arg, ' ', length) || memchr(arg, '\t', length);
  int need = length + (quote ? 2 : 0) + (*used > 0 ? 1 : 0);
  if (*used < 0 || *used + need >= CMDLINE_TEXT_SIZE) {
    *used = -1; /* does not fit: this argument and the rest are left off */
    return;
  }
  char *p = os.commandLine + *used;
  if (*used > 0) *p++ = ' ';
  if (quote) *p++ = '"';
  memcpy(p, arg, length);
  p += length;
  if (quote) *p++ = '"';
  *p = 0;
  *used = (int)(p - os.commandLine);
}

static void BuildCommandLine(void) {
  static char raw[CMDLINE_RAW_SIZE];
  os.commandLineBuilt = 1;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    os.commandLineMissing = 1;
    return;
  }
  int total = 0;
  for (;;) {
    ssize_t r = read(fd, raw + total, sizeof(raw) - total);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    total += (int)r;
    if (total == (int)sizeof(raw)) break;
  }
  close(fd);
  /* Arguments are NUL-separated; a last one without its NUL was cut by
   * the buffer and is dropped. */
  int used = 0, start = 0;
  os.commandLine[0] = 0;
  for (int i = 0; i < total && used >= 0; i++) {
    if (raw[i] == 0) {
      AppendQuotedArgument(raw + start, i - start, &used);
      start = i + 1;
    }
  }
}

const char *OsGetCommandLine(void) {
  if (os.commandLineOverride) return os.commandLineOverride;
  if (!os.commandLineBuilt) BuildCommandLine();
  return os.commandLineMissing ? nullptr : os.commandLine;
}

void *OsMutexCreate(void) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&os.mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return &os.mutex;
}

void OsMutexWait(void *mutex) {
  if (mutex) pthread_mutex_lock((pthread_mutex_t *)mutex);
}

void OsMutexRelease(void *mutex) {
  if (mutex) pthread_mutex_unlock((pthread_mutex_t *)mutex);
}

void OsMutexClose(void *mutex) {
  if (mutex) pthread_mutex_destroy((pthread_mutex_t *)mutex);
}

static void WriteAll(int fd, const char *bytes, size_t count, int *ok) {
  while (count > 0) {
    ssize_t r = write(fd, bytes, count);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      *ok = 0;
      return;
    }
    bytes += r;
    count -= (size_t)r;
  }
}

void OsMessageBox(const char *text, const char *caption) {
  /* One writev, so the report stays together in a shared error log. */
  struct iovec parts[3] = {{(void *)caption, strlen(caption)}, {(void *)"\n", 1},
                           {(void *)text, strlen(text)}};
  ssize_t r;
  do r = writev(STDERR_FILENO, parts, 3);
  while (r < 0 && errno == EINTR);
}

void *OsConsoleOpen(const char *title) {
  (void)title; /* standard error has no title to set */
  return (void *)&os;
}

void OsConsoleWrite(void *console, const char *bytes, int count) {
  int ok = 1;
  if (console && count > 0) WriteAll(STDERR_FILENO, bytes, (size_t)count, &ok);
}

void OsSleep(int milliseconds) {
  struct timespec t = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&t, &t) < 0 && errno == EINTR) {
  }
}

/* A descriptor travels as an OsFile pointer: fd + 1, so that 0 stays null. */
static int FileDescriptor(OsFile *file) { return (int)(intptr_t)file - 1; }

OsFile *OsFileOpen(const char *path, const char *mode) {
  char native[OS_PATH_SIZE];
  size_t length = strlen(path);
  if (length >= sizeof(native)) return nullptr;
  for (size_t i = 0; i <= length; i++) native[i] = path[i] == '\\' ? '/' : path[i];

  int flags;
  switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return nullptr;
  }
  if (strchr(mode, '+')) flags = (flags & ~O_WRONLY & ~O_RDONLY) | O_RDWR;

  int fd;
  do fd = open(native, flags | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  /* The C library refuses to open a directory as a file; so does this. */
  struct stat st;
  if (fstat(fd, &st) < 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  return (OsFile *)(intptr_t)(fd + 1);
}

int OsFileRead(OsFile *file, char *buffer, int count) {
  int fd = FileDescriptor(file);
  int got = 0;
  while (got < count) {
    ssize_t r = read(fd, buffer + got, (size_t)(count - got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    int ended = 0;
    got += TextModeInput(buffer + got, (int)r, &ended);
    if (ended) {
      /* Stand on the 0x1A again, as the C runtime does, so every later
       * read ends there too. */
      lseek(fd, -(off_t)ended, SEEK_CUR);
      break;
    }
  }
  return got;
}

static int WriteText(int fd, const char *bytes, int count) {
  char translated[2 * OS_WRITE_WHOLE];
  int ok = 1;
  while (count > 0) {
    int piece = count < OS_WRITE_WHOLE ? count : OS_WRITE_WHOLE;
    int n = TextModeOutput(bytes, piece, translated);
    WriteAll(fd, translated, (size_t)n, &ok);
    bytes += piece;
    count -= piece;
  }
  return ok;
}

int OsFileWrite(OsFile *file, const char *bytes, int count) {
  return WriteText(FileDescriptor(file), bytes, count);
}

void OsFileClose(OsFile *file) {
  if (file) close(FileDescriptor(file));
}

int OsStdinRead(char *buffer, int count, int *rawBudget) {
  int got = 0;
  while (got < count && *rawBudget > 0 && !os.stdinEnded) {
    int ask = count - got < *rawBudget ? count - got : *rawBudget;
    ssize_t r = read(STDIN_FILENO, buffer + got, (size_t)ask);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      os.stdinEnded = 1;
      break;
    }
    *rawBudget -= (int)r;
    int ended = 0;
    got += TextModeInput(buffer + got, (int)r, &ended);
    if (ended) os.stdinEnded = 1;
  }
  return got;
}

int OsStdoutWrite(const char *bytes, int count) {
  /* A web server that has gone away must cost a failed write, not the
   * process: Windows has no SIGPIPE either. */
  if (!os.sigpipeIgnored) {
    signal(SIGPIPE, SIG_IGN);
    os.sigpipeIgnored = 1;
  }
  return WriteText(STDOUT_FILENO, bytes, count);
}

int OsLocalTime(OsDateTime *out) {
  time_t now = os.timeOverride >= 0 ? (time_t)os.timeOverride : time(nullptr);
  struct tm parts;
  if (!localtime_r(&now, &parts)) return 0;
  out->year = parts.tm_year;
  out->month = parts.tm_mon;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  return 1;
}

void OsExit(int code) { exit(code); }

void OsSetCommandLineForTest(const char *text) { os.commandLineOverride = text; }

void OsSetTimeForTest(int64_t secondsSinceEpoch) { os.timeOverride = secondsSinceEpoch; }

#endif /* !_WIN32 */
