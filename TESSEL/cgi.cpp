/* cgi - the CGI gateway (see cgi.h). */
#include "cgi.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "logfmt.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "winhelpr.h"

#define TSL_SOURCE "..\\..\\TESSEL\\cgi"

CgiState cgiState;

/* The daily request log's limits. */
enum {
  LOG_PATH_SIZE = PROGRAM_LOG_PATH_SIZE,
  /* The longest line the driver makes: an IPv6 address, the stamp, and an
   * explicit address of 1023 bytes (or a 1023-byte key that missed), with
   * room to spare. */
  LOG_LINE_SIZE = 2048,
  OPEN_ATTEMPTS = 100,
  OPEN_PAUSE_MS = 10
};
static_assert((int)LOG_LINE_SIZE - 1 <= (int)IO_WRITE_WHOLE,
              "a log line must reach the file in one write");

/* ---- Where the request comes from ---------------------------------------- */

static struct {
  const CgiSource *next; /* what the next CgiInit reads; null: the process */
  int brokenPipeIgnored;
  OsFailure openFailure; /* why FileOpenRetry last gave up */
  /* A process that answers many requests keeps the day's log open between
   * them (CgiKeepLogOpen): the file, the path it was opened by, and the
   * stamp it had then. */
  int keepLog;
  OsFile keptLog;
  char keptPath[LOG_PATH_SIZE];
  OsFileStamp keptStamp;
  CgiClientRule clientRule; /* how much of the visitor's address a line keeps */
} gateway = {nullptr, 0, {0, 0}, 0, {OS_NO_FILE, 0}, {0}, {}, nullptr};

static const char *ProcessVariable(void *, const char *name) { return getenv(name); }

static int ProcessReadBody(void *, char *buffer, int count) {
  return OsFileRead(OsStandardStream(OS_STDIN), buffer, count);
}

static int ProcessWrite(void *, const char *bytes, int count) {
  if (!gateway.brokenPipeIgnored) {
    OsIgnoreBrokenPipe();
    gateway.brokenPipeIgnored = 1;
  }
  return IoWriteAll(OsStandardStream(OS_STDOUT), bytes, count);
}

static void ProcessReportError(void *, const char *line, int count) {
  IoWriteAll(OsStandardStream(OS_STDERR), line, count);
}

const CgiSource cgiProcessSource = {nullptr, ProcessVariable, ProcessReadBody, ProcessWrite,
                                    ProcessReportError};

int CgiUseSource(const CgiSource *source) {
  CHECK_PTR_AT_LINE(280, source);
  gateway.next = source;
  return 1;
}

/* The source of the request in hand; before any CgiInit (the banner), the
 * one the next request will read. */
static const CgiSource *Source(void) {
  if (cgiState.source) return cgiState.source;
  return gateway.next ? gateway.next : &cgiProcessSource;
}

/* A variable of the source in hand, for the gateway's own literal names:
 * a persistent process asks for three on every request, and the check of
 * a pointer that is never null costs the global lock each time. */
static const char *SourceVariable(const char *name) {
  const CgiSource *source = Source();
  return source->variable(source->context, name);
}

const char *CgiVariable(const char *name) {
  CHECK_PTR_AT_LINE(295, name);
  return SourceVariable(name);
}

/* ---- The request ----------------------------------------------------------- */

/* CONTENT_LENGTH as atoi reads it (leading white space, a sign, digits up to
 * the first non-digit; no digits give 0), except that a number too large
 * for 32 bits saturates instead of overflowing. */
static int ParseContentLength(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  int negative = 0;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    value = value * 10 + (*p - '0');
    if (value > (long long)INT_MAX + 1) value = (long long)INT_MAX + 1;
  }
  if (negative) return value > INT_MAX ? INT_MIN : -(int)value;
  return value > INT_MAX ? INT_MAX : (int)value;
}

/* Reads up to count body bytes in text mode, taking no more than what is
 * left of the announced body from the source. Returns the number
 * delivered: count unless the body ends first. */
static int ReadBody(char *buffer, int count) {
  const CgiSource *source = cgiState.source;
  int got = 0;
  while (got < count && cgiState.bodyRemaining > 0 && !cgiState.bodyEnded) {
    int ask = count - got < cgiState.bodyRemaining ? count - got : cgiState.bodyRemaining;
    int n = source->readBody(source->context, buffer + got, ask);
    if (n <= 0) {
      cgiState.bodyEnded = 1;
      break;
    }
    cgiState.bodyRemaining -= n;
    got += IoTextIn(buffer + got, n, &cgiState.bodyEnded);
  }
  return got;
}

int CgiInit(void) {
  cgiState.source = gateway.next ? gateway.next : &cgiProcessSource;
  cgiState.htmlHeaderSent = 0;
  cgiState.remoteAddress = SourceVariable("REMOTE_ADDR");
  cgiState.readPosition = 0;
  cgiState.bodyEnded = 0;
  cgiState.failureReported = 0;
  const char *contentLength = SourceVariable("CONTENT_LENGTH");
  int n = contentLength ? ParseContentLength(contentLength) : 0;
  if (n > CGI_BODY_QUEUE)
    DiagPrint("Query too large, will no be qued (%d > %d)\n", n, (int)CGI_BODY_QUEUE);

  cgiState.bodyRemaining = n > 0 ? n : 0;
  cgiState.bodyBuffer[0] = 0;
  const char *method = SourceVariable("REQUEST_METHOD");
  cgiState.bodyUnannounced = cgiState.source == &cgiProcessSource && !contentLength &&
                             (SourceVariable("HTTP_TRANSFER_ENCODING") ||
                              (method && strcmp(method, "POST") == 0));
  if (n <= 0) {
    cgiState.queryData = SourceVariable("QUERY_STRING");
    cgiState.queryLength = cgiState.queryData ? (int)strlen(cgiState.queryData) : 0;
  } else if (n <= CGI_BODY_QUEUE) {
    int got = ReadBody(cgiState.bodyBuffer, n);
    cgiState.bodyBuffer[got] = 0;
    cgiState.queryData = cgiState.bodyBuffer;
    cgiState.queryLength = got;
  } else {
    cgiState.queryData = nullptr;
    cgiState.queryLength = n;
  }
  return 1;
}

int CgiGetQuery(const char **data, int *length) {
  CHECK_PTR_AT_LINE(310, data);
  CHECK_PTR_AT_LINE(311, length);
  *length = cgiState.queryLength;
  *data = cgiState.queryData;
  return cgiState.queryLength > 0 ? 1 : 0;
}

int CgiReadQuery(char *destination, int count) {
  CHECK_PTR_AT_LINE(352, destination);
  if (count <= 0) return 1;
  if (cgiState.queryLength - cgiState.readPosition < count) {
    DiagPrint("Request too large (%d / %d / %d)\n", count, cgiState.queryLength,
              cgiState.readPosition);
    return 0;
  }
  int delivered;
  if (cgiState.queryData) {
    memcpy(destination, cgiState.queryData + cgiState.readPosition, (size_t)count);
    delivered = count;
  } else {
    delivered = ReadBody(destination, count);
    /* Dropped carriage returns and an early end leave stale bytes behind
     * what was delivered; zero them, so a caller's text ends after the
     * bytes that arrived. */
    memset(destination + delivered, 0, (size_t)(count - delivered));
  }
  cgiState.readPosition += delivered;
  return delivered == count ? 1 : 0;
}

/* ---- The response ---------------------------------------------------------- */

static int SourceWrite(void *source, const char *bytes, int count) {
  const CgiSource *s = (const CgiSource *)source;
  return s->write(s->context, bytes, count);
}

/* Writes the answer's text (in a buffer of capacity bytes, translated there
 * when it fits), in text mode, to the request's source. */
static void WriteAnswer(char *text, int length, int capacity) {
  IoWriteTextInPlace(SourceWrite, (void *)Source(), text, length, capacity);
}

/* Texts up to this size, with their carriage returns, are formatted and
 * sent from the stack: the longest answer of the driver (a 301 block with
 * an address of 1023 bytes twice, 2,111 bytes in all) and every page of its
 * own. A longer one takes a block of the tracked heap. The room stays
 * small, since every page of stack a run touches is a cost to a process
 * started per request, and the C library's formatter needs its own below. */
enum { FORMAT_ROOM = 2304 };

/* Formats format and args between head and tail and writes the whole, in
 * one piece; a text that does not fit the buffer on the stack is formatted
 * again into a block of the tracked heap. With dropFinalLineFeed, a line
 * feed that ends the format is left off (it is literal text, so always the
 * last character formatted). */
static void WriteFormatted(const char *head, const char *tail, int dropFinalLineFeed,
                           const char *format, va_list args) {
  /* The gateway's own texts: never null, measured without the checks. */
  const int headLength = (int)strlen(head), tailLength = (int)strlen(tail);
  char room[FORMAT_ROOM];
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(room + headLength, sizeof(room) - (size_t)headLength, format, args);
  if (n < 0) n = 0;
  int formatLength = (int)strlen(format);
  int drop = dropFinalLineFeed && formatLength > 0 && format[formatLength - 1] == '\n' && n > 0;
  int total = headLength + n - drop + tailLength;
  char *text = room;
  if (total + 1 > (int)sizeof(room)) {
    text = (char *)MemoryAlloc(total + 1 + drop, TSL_SOURCE, 431);
    vsnprintf(text + headLength, (size_t)n + 1, format, again);
  }
  va_end(again);
  memcpy(text, head, (size_t)headLength);
  memcpy(text + headLength + n - drop, tail, (size_t)tailLength);
  WriteAnswer(text, total, text == room ? (int)sizeof(room) : total + 1 + drop);
  if (text != room) MemoryFree(&text, total + 1 + drop, TSL_SOURCE, 437);
}

/* WriteFormatted with the variable arguments that follow format. */
#define WRITE_FORMATTED(head, tail, dropFinalLineFeed)                \
  do {                                                                \
    va_list args;                                                     \
    va_start(args, format);                                           \
    WriteFormatted(head, tail, dropFinalLineFeed, format, args);      \
    va_end(args);                                                     \
  } while (0)

int CgiPrint(const char *format, ...) {
  CHECK_PTR_AT_LINE(420, format);
  WRITE_FORMATTED("", "", 0);
  return 1;
}

int CgiSendHtmlHeader(void) {
  cgiState.htmlHeaderSent = 1;
  CgiPrint("Content-Type: text/html\n\n");
  return 1;
}

int CgiComment(const char *format, ...) {
  CHECK_PTR_AT_LINE(468, format);
  if (cgiState.htmlHeaderSent == 0) return 1;
  WRITE_FORMATTED("<!-- ", " -->\n\n", 1);
  return 1;
}

int CgiShutdown(void) {
  const CgiSource *source = cgiState.source;
  /* Outside the stack: a request without a body never touches it. */
  static char discard[16384] IO_LARGE_BUFFER;
  while (source && cgiState.bodyRemaining > 0) {
    int ask = cgiState.bodyRemaining < (int)sizeof(discard) ? cgiState.bodyRemaining
                                                             : (int)sizeof(discard);
    int n = source->readBody(source->context, discard, ask);
    if (n <= 0) break;
    cgiState.bodyRemaining -= n;
  }
  /* A body without a length: read to its end, or until the bounds; a
   * server that never closes standard input cannot hold the process. */
  const int64_t start = OsTimeNow();
  for (int drained = 0; source && cgiState.bodyUnannounced && drained < CGI_DRAIN_BYTES;) {
    if (OsTimeNow() - start > CGI_DRAIN_SECONDS ||
        OsFileAwait(OsStandardStream(OS_STDIN), 500) != 1)
      break;
    int n = source->readBody(source->context, discard, (int)sizeof(discard));
    if (n <= 0) break;
    drained += n;
  }
  cgiState.bodyUnannounced = 0;
  return 1;
}

int CgiReportFailure(const char *format, ...) {
  CHECK_PTR_AT_LINE(505, format);
  if (cgiState.failureReported) return 1;
  cgiState.failureReported = 1;
  char line[1024];
  int used = snprintf(line, sizeof(line), "linkhop: ");
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line + used, sizeof(line) - (size_t)used - 1, format, args);
  va_end(args);
  used += n < 0 ? 0 : n < (int)sizeof(line) - used - 1 ? n : (int)sizeof(line) - used - 2;
  line[used++] = '\n';
  const CgiSource *source = Source();
  source->reportError(source->context, line, used);
  return 1;
}

/* ---- The daily request log ------------------------------------------- */

static const short kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                           181, 212, 243, 273, 304, 334};

int DateToMinutes(int *result, unsigned char hour, unsigned char minute, unsigned char month,
                  unsigned char day, unsigned char year) {
  CHECK_PTR_AT_LINE(640, result);
  int leap = year % 4 == 0;
  int days = 365 * (year - 70) + (year - 68) / 4 + kDaysBeforeMonth[month % 12] + day;
  /* The quotient above has already counted this year's 29 February. */
  if (leap && month < 2) days -= 1;
  *result = LOG_MINUTES_PER_DAY * days + 60 * hour + minute;
  return 1;
}

/* A C library open mode as the layer's: "r..." reads, "w..." creates or
 * empties, "a..." appends. */
static int OpenMode(const char *mode) {
  return mode[0] == 'w' ? OS_OPEN_CREATE : mode[0] == 'a' ? OS_OPEN_APPEND : OS_OPEN_READ;
}

int FileOpenRetry(OsFile *file, const char *path, const char *mode) {
  CHECK_PTR_AT_LINE(50, file);
  CHECK_PTR_AT_LINE(51, path);
  CHECK_PTR_AT_LINE(53, mode);
  file->handle = OS_NO_FILE;
  /* Another process may hold the file for a moment; the answer to such a
   * refusal is to try again, about a second in all. A refusal that cannot
   * pass (no folder, no permission, a read-only file system) would only
   * cost every request that second. */
  for (int failures = 0; failures < OPEN_ATTEMPTS;) {
    if (IoFileOpen(file, path, OpenMode(mode), &gateway.openFailure)) return 1;
    if (!gateway.openFailure.transient) return 0;
    OsSleep(OPEN_PAUSE_MS);
    failures++;
  }
  return 0;
}

int FileWrite(OsFile *file, const char *bytes, int count) {
  CHECK_PTR_AT_LINE(66, file);
  CHECK_PTR_AT_LINE(67, bytes);
  return IoWriteText(*file, bytes, count);
}

int FileClose(OsFile *file) {
  CHECK_PTR_AT_LINE(82, file);
  OsFileClose(*file);
  file->handle = OS_NO_FILE;
  return 1;
}

int CgiKeepLogOpen(int keep) {
  if (gateway.keptLog.handle != OS_NO_FILE) FileClose(&gateway.keptLog);
  gateway.keepLog = keep;
  gateway.keptPath[0] = 0;
  return 1;
}

/* Opens the day's log at path. A kept log serves as long as the path is
 * the same and still names the very file that was opened: one that was
 * removed or replaced meanwhile is opened afresh (the look at the path
 * costs less than an open and a close). */
static int OpenLog(OsFile *file, const char *path) {
  if (!gateway.keepLog) return FileOpenRetry(file, path, "at+");
  OsFileStamp now;
  if (gateway.keptLog.handle != OS_NO_FILE && strcmp(path, gateway.keptPath) == 0 &&
      IoFileStamp(path, &now) && now.device == gateway.keptStamp.device &&
      now.inode == gateway.keptStamp.inode) {
    *file = gateway.keptLog;
    return 1;
  }
  CgiKeepLogOpen(1);
  if (!FileOpenRetry(file, path, "at+")) return 0;
  if ((int)strlen(path) < (int)sizeof(gateway.keptPath) && IoFileStamp(path, &gateway.keptStamp)) {
    gateway.keptLog = *file;
    memcpy(gateway.keptPath, path, strlen(path) + 1);
  }
  return 1;
}

/* Writes value in decimal with at least digits digits, as printf's "%.Nd"
 * does; returns the characters written (at most 12). The log's file name
 * and line are made by hand: a persistent process makes them for every
 * request, and the formatter costs several times more. */
static int PutDecimal(char *to, int value, int digits) {
  char reversed[12];
  unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
  int n = 0;
  do {
    reversed[n++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (n < digits) reversed[n++] = '0';
  int used = 0;
  if (value < 0) to[used++] = '-';
  while (n > 0) to[used++] = reversed[--n];
  return used;
}

/* Writes the low digits hexadecimal digits of value in upper case, as
 * "%.8X" does for 32 bits and eight digits. */
static void PutHex(char *to, unsigned value, int digits) {
  for (int i = digits - 1; i >= 0; i--, value >>= 4) to[i] = "0123456789ABCDEF"[value & 15];
}

/* Builds the day's log path, directory + the day's name (LOG_NAME_FORMAT,
 * made by hand) beside the program:
 * 1; 0 when the program has no folder of its own; -1 when the path does not
 * fit in LOG_PATH_SIZE, path then holding the program's folder alone. */
static int BuildLogPath(char *path, const char *directory, const OsDateTime *now) {
  if (!GetProgramDirectory(path, LOG_PATH_SIZE)) return 0;
  const int folder = (int)strlen(path), directoryLength = (int)strlen(directory);
  if (folder + directoryLength >= LOG_PATH_SIZE) return -1;
  char name[48];
  int n = PutDecimal(name, now->month + 1, 2);
  n += PutDecimal(name + n, now->day, 2);
  n += PutDecimal(name + n, now->year + 1900, 4);
  memcpy(name + n, LOG_NAME_SUFFIX, sizeof(LOG_NAME_SUFFIX));
  n += (int)sizeof(LOG_NAME_SUFFIX) - 1;
  const int used = folder + directoryLength;
  if (used + n >= LOG_PATH_SIZE) return -1;
  memcpy(path + folder, directory, (size_t)directoryLength);
  memcpy(path + used, name, (size_t)n + 1);
  return 1;
}

void CgiSetClientRule(CgiClientRule rule) { gateway.clientRule = rule; }

/* The client address a line starts with, as the application's rule keeps
 * it. */
static const char *LoggedClient(char *room) {
  if (gateway.clientRule) return gateway.clientRule(cgiState.remoteAddress, room);
  return cgiState.remoteAddress ? cgiState.remoteAddress : LOG_NO_ADDRESS;
}

/* Reports a line lost to the log at path, named as the system names it,
 * for failure. In a frame of its own: the usual request never makes it. */
static IO_OWN_FRAME void ReportLineLost(const char *path, OsFailure failure) {
  char native[LOG_PATH_SIZE], reason[128];
  IoNativePath(path, native, sizeof(native));
  IoFailureText(failure, reason, sizeof(reason));
  CgiReportFailure("request log %s: %s; line lost", native, reason);
}

/* The same for a log path too long to build: path holds the folder. */
static IO_OWN_FRAME void ReportPathTooLong(const char *path, const char *directory) {
  char native[LOG_PATH_SIZE], nativeDirectory[LOG_PATH_SIZE];
  IoNativePath(path, native, sizeof(native));
  IoNativePath(directory, nativeDirectory, sizeof(nativeDirectory));
  CgiReportFailure("request log %s%s: path too long; line lost", native, nativeDirectory);
}

int CgiLog(const char *directory, const char *format, ...) {
  CHECK_PTR_AT_LINE(719, directory);
  CHECK_PTR_AT_LINE(720, format);

  OsDateTime now;
  char path[LOG_PATH_SIZE];
  OsFile file;
  /* Without a local date there is no file to name: the line is lost, like
   * any line whose log cannot be opened. */
  if (!IoLocalTime(&now)) {
    CgiReportFailure("request log: no local date; line lost");
    CgiComment("Unable to update log\n\n");
    return 1;
  }
  int built = BuildLogPath(path, directory, &now);
  if (built == 0) {
    const char *problem = IoCommandLineProblem();
    CgiReportFailure("request log: no folder of the program's own (%s); line lost",
                     problem ? problem : "its path is too long");
  }
  if (built < 0) ReportPathTooLong(path, directory);
  if (built != 1) {
    CgiComment("Unable to update log\n\n");
    return 1;
  }
  if (!OpenLog(&file, path)) {
    ReportLineLost(path, gateway.openFailure);
    CgiComment("Unable to update log\n\n");
    return 1;
  }

  int stamp;
  DateToMinutes(&stamp, (unsigned char)now.hour, (unsigned char)now.minute,
                (unsigned char)now.month, (unsigned char)now.day, (unsigned char)now.year);
  char line[LOG_LINE_SIZE], client[CGI_CLIENT_ROOM];
  const char *address = LoggedClient(client);
  const size_t addressLength = strlen(address);
  int used;
  if (addressLength + LOG_STAMP_DIGITS + 2 < sizeof(line)) { /* "address stamp " */
    memcpy(line, address, addressLength);
    used = (int)addressLength;
    line[used++] = ' ';
    PutHex(line + used, (unsigned)stamp, LOG_STAMP_DIGITS);
    used += LOG_STAMP_DIGITS;
    line[used++] = ' ';
    line[used] = 0;
  } else {
    used = snprintf(line, sizeof(line), LOG_LINE_HEAD_FORMAT, address, (unsigned)stamp);
  }
  if (used < 0) used = 0;
  if (used < (int)sizeof(line)) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + used, sizeof(line) - (size_t)used, format, args);
    va_end(args);
    if (n > 0) used += n;
  }
  if (used >= (int)sizeof(line)) {
    /* Too long even for this buffer (an absurd REMOTE_ADDR): keep what fits
     * and the line end, so the next line still starts a line. */
    used = (int)sizeof(line) - 1;
    line[used - 1] = '\n';
    line[used] = 0;
  }
  /* The line holds one line feed, its last byte: the buffer has room for
   * its carriage return, and the line is translated where it lies. */
  if (!IoWriteFileInPlace(file, line, used, (int)sizeof(line))) {
    ReportLineLost(path, OsLastFailure());
    if (gateway.keepLog) CgiKeepLogOpen(1); /* opened afresh next time */
  }
  if (!gateway.keepLog) FileClose(&file);
  return 1;
}
