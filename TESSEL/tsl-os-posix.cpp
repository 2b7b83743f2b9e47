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

#ifdef __SSE2__
#include <emmintrin.h>
#endif

/* Room for the command line as rebuilt from the argument vector. An
 * argument that does not fit is left off with everything after it, but for
 * the program's own path, which is kept cut at CMDLINE_ARG0_MAX bytes: no
 * path buffer of the library holds that much, so the program then knows no
 * directory of its own, rather than a wrong one. */
enum { CMDLINE_ARG0_MAX = 32767, CMDLINE_TEXT_SIZE = 3 * (CMDLINE_ARG0_MAX + 1) };

/* Longest path the layer converts and opens. */
enum { OS_PATH_SIZE = 4096 };

static struct {
  const char *commandLineOverride;
  int commandLineBuilt;
  int commandLineMissing;
  int argumentCount; /* the argument vector, when the C library passed it */
  char **arguments;
  int64_t timeOverride;
  int stdinEnded;
  int sigpipeIgnored;
  pthread_mutex_t mutex;
} os = {nullptr, 0, 0, 0, nullptr, -1, 0, 0, PTHREAD_MUTEX_INITIALIZER};

static char commandLine[CMDLINE_TEXT_SIZE];

#ifdef __GLIBC__
/* glibc hands every initialiser of the program the argument vector; keeping
 * it spares each request the reading of /proc/self/cmdline. */
static void KeepArguments(int argc, char **argv, char **) {
  os.argumentCount = argc;
  os.arguments = argv;
}
__attribute__((section(".init_array"), used)) static void (*const keepArguments)(
    int, char **, char **) = KeepArguments;
#endif

/* Appends one argument, quoted when it is empty or holds a space or tab, so
 * that the tokeniser gives it back unchanged. */
static void AppendArgument(const char *arg, size_t length, int *used) {
  if (*used == 0 && length > CMDLINE_ARG0_MAX) length = CMDLINE_ARG0_MAX;
  int quote = (length == 0) || memchr(arg, ' ', length) || memchr(arg, '\t', length);
  size_t need = length + (quote ? 2 : 0) + (*used > 0 ? 1 : 0);
  if (*used < 0 || *used + need >= CMDLINE_TEXT_SIZE) {
    *used = -1; /* does not fit: this argument and the rest are left off */
    return;
  }
  char *p = commandLine + *used;
  if (*used > 0) *p++ = ' ';
  if (quote) *p++ = '"';
  memcpy(p, arg, length);
  p += length;
  if (quote) *p++ = '"';
  *p = 0;
  *used = (int)(p - commandLine);
}

/* Without the vector, the arguments are read from /proc/self/cmdline, where
 * they stand NUL-separated; a last one cut by the buffer is dropped. */
static int BuildFromProc(void) {
  static char raw[CMDLINE_ARG0_MAX + 1];
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  int total = 0;
  for (;;) {
    ssize_t r = read(fd, raw + total, sizeof(raw) - total);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    total += (int)r;
    if (total == (int)sizeof(raw)) break;
  }
  close(fd);
  if (total == (int)sizeof(raw) && !memchr(raw, 0, sizeof(raw))) raw[total - 1] = 0;
  int used = 0, start = 0;
  for (int i = 0; i < total && used >= 0; i++) {
    if (raw[i] == 0) {
      AppendArgument(raw + start, (size_t)(i - start), &used);
      start = i + 1;
    }
  }
  return 1;
}

static void BuildCommandLine(void) {
  os.commandLineBuilt = 1;
  commandLine[0] = 0;
  if (os.arguments && os.argumentCount > 0) {
    int used = 0;
    for (int i = 0; i < os.argumentCount && os.arguments[i] && used >= 0; i++)
      AppendArgument(os.arguments[i], strlen(os.arguments[i]), &used);
  } else if (!BuildFromProc()) {
    os.commandLineMissing = 1;
  }
}

const char *OsGetCommandLine(void) {
  if (os.commandLineOverride) return os.commandLineOverride;
  if (!os.commandLineBuilt) BuildCommandLine();
  return os.commandLineMissing ? nullptr : commandLine;
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

/* A file opened for writing travels as an OsFile pointer holding fd + 1, so
 * that 0 stays null. A file opened for reading is one of a few readers,
 * each with a read-ahead buffer: a table is read in large blocks, however
 * small the pieces its reader asks for, and each block is turned into
 * text-mode bytes once. When every reader is taken, a file is read
 * directly. */
enum { READ_AHEAD = 65536, READERS = 4, COMPACT_SLACK = 32 };

typedef struct Reader {
  int inUse;
  int fd;
  const char *text; /* the block's text-mode bytes: in raw, or in compacted */
  int start, end;   /* the unread bytes of text */
  int ended;        /* end of file, a read error or a byte 0x1A was met */
  char raw[READ_AHEAD];
  char compacted[READ_AHEAD + COMPACT_SLACK]; /* a block that held a "\r" */
} Reader;

static Reader readers[READERS];

static Reader *AsReader(OsFile *file) {
  Reader *reader = (Reader *)file;
  return reader >= readers && reader < readers + READERS ? reader : nullptr;
}

static int FileDescriptor(OsFile *file) {
  Reader *reader = AsReader(file);
  return reader ? reader->fd : (int)(intptr_t)file - 1;
}

static OsFile *TakeReader(int fd) {
  for (Reader *reader = readers; reader < readers + READERS; reader++) {
    if (__atomic_exchange_n(&reader->inUse, 1, __ATOMIC_ACQUIRE) == 0) {
      reader->fd = fd;
      reader->text = reader->raw;
      reader->start = reader->end = 0;
      reader->ended = 0;
      return (OsFile *)reader;
    }
  }
  return (OsFile *)(intptr_t)(fd + 1);
}

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
  /* The C library refuses to open a directory as a file; so does this. (A
   * directory never opens for writing in the first place.) */
  struct stat st;
  if (mode[0] == 'r' && (fstat(fd, &st) < 0 || S_ISDIR(st.st_mode))) {
    close(fd);
    return nullptr;
  }
  return mode[0] == 'r' ? TakeReader(fd) : (OsFile *)(intptr_t)(fd + 1);
}

/* Copies n bytes from in to out without their carriage returns and returns
 * how many were written; out must have COMPACT_SLACK bytes of room past
 * them. Sixteen bytes at a time where the processor allows: a block with
 * at most one "\r" (a CR LF table has one a line) takes two overlapping
 * stores. */
static int CopyWithoutReturns(const char *in, int n, char *out) {
  int i = 0, o = 0;
#ifdef __SSE2__
  const __m128i returns = _mm_set1_epi8('\r');
  for (; i + 48 <= n; i += 16) { /* the second load may reach 33 bytes on */
    __m128i block = _mm_loadu_si128((const __m128i *)(in + i));
    int found = _mm_movemask_epi8(_mm_cmpeq_epi8(block, returns));
    if ((found & (found - 1)) == 0) {
      /* None or one, without a branch that guesses which: the second store
       * closes the gap (or, without a gap, lands in the slack). */
      int at = __builtin_ctz((unsigned)found | 0x10000u);
      _mm_storeu_si128((__m128i *)(out + o), block);
      _mm_storeu_si128((__m128i *)(out + o + at),
                       _mm_loadu_si128((const __m128i *)(in + i + at + 1)));
      o += 16 - (found != 0);
    } else {
      for (int k = i; k < i + 16; k++) {
        out[o] = in[k];
        o += in[k] != '\r';
      }
    }
  }
#endif
  for (; i < n; i++) {
    out[o] = in[i];
    o += in[i] != '\r';
  }
  return o;
}

/* Reads the next block and turns it into text-mode bytes; 0 at the end of
 * the data. An LF table's blocks are used as they were read. */
static int Refill(Reader *reader) {
  if (reader->ended) return 0;
  ssize_t r;
  do r = read(reader->fd, reader->raw, sizeof(reader->raw));
  while (r < 0 && errno == EINTR);
  if (r <= 0) {
    reader->ended = 1;
    return 0;
  }
  int n = (int)r;
  char *eof = (char *)memchr(reader->raw, 0x1A, (size_t)n);
  if (eof) {
    n = (int)(eof - reader->raw);
    reader->ended = 1;
  }
  reader->start = 0;
  reader->text = reader->raw;
  reader->end = n;
  const char *cr = (const char *)memchr(reader->raw, '\r', (size_t)n);
  if (cr) {
    int plain = (int)(cr - reader->raw);
    memcpy(reader->compacted, reader->raw, (size_t)plain);
    reader->end = plain + CopyWithoutReturns(cr, n - plain, reader->compacted + plain);
    reader->text = reader->compacted;
  }
  return reader->end > 0 || !reader->ended;
}

static int ReadAhead(Reader *reader, char *buffer, int count) {
  int got = 0;
  while (got < count) {
    if (reader->start == reader->end && !Refill(reader)) break;
    int take = reader->end - reader->start;
    if (take > count - got) take = count - got;
    memcpy(buffer + got, reader->text + reader->start, (size_t)take);
    got += take;
    reader->start += take;
  }
  return got;
}

int OsFileRead(OsFile *file, char *buffer, int count) {
  Reader *reader = AsReader(file);
  if (reader) return ReadAhead(reader, buffer, count);
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
  if (!file) return;
  close(FileDescriptor(file));
  Reader *reader = AsReader(file);
  if (reader) __atomic_store_n(&reader->inUse, 0, __ATOMIC_RELEASE);
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

void OsSetMessageBoxToStandardErrorForTest(int enabled) { (void)enabled; }

void OsResetStdinForTest(void) { os.stdinEnded = 0; }

#endif /* !_WIN32 */
