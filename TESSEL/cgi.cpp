/* cgi - the CGI gateway (see cgi.h). */
#include "cgi.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tsl-core.h"
#include "tsl-os.h"
#include "tsl-str.h"
#include "winhelpr.h"

#define TSL_SOURCE "..\\..\\TESSEL\\cgi"

CgiState cgiState;

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

int CgiInit(void) {
  cgiState.htmlHeaderSent = 0;
  cgiState.remoteAddress = getenv("REMOTE_ADDR");
  cgiState.readPosition = 0;
  const char *contentLength = getenv("CONTENT_LENGTH");
  int n = contentLength ? ParseContentLength(contentLength) : 0;
  if (n > CGI_BODY_QUEUE)
    DiagPrint("Query too large, will no be qued (%d > %d)\n", n, (int)CGI_BODY_QUEUE);

  cgiState.inputRemaining = n > 0 ? n : 0;
  if (n <= 0) {
    cgiState.queryData = getenv("QUERY_STRING");
    cgiState.queryLength = cgiState.queryData ? StrLength(cgiState.queryData) : 0;
  } else if (n <= CGI_BODY_QUEUE) {
    int got = OsStdinRead(cgiState.bodyBuffer, n, &cgiState.inputRemaining);
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
  *length = cgiState.queryLength;
  *data = cgiState.queryData;
  return cgiState.queryLength > 0 ? 1 : 0;
}

int CgiReadQuery(char *destination, int count) {
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
    delivered = OsStdinRead(destination, count, &cgiState.inputRemaining);
    /* Dropped carriage returns and an early end leave stale bytes behind
     * what was delivered; zero them, so a caller's text ends after the
     * bytes that arrived. */
    memset(destination + delivered, 0, (size_t)(count - delivered));
  }
  cgiState.readPosition += delivered;
  return delivered == count ? 1 : 0;
}

/* Formats into text; returns the length kept, cut to the buffer. */
static int FormatText(char *text, int room, const char *format, va_list args) {
  int n = vsnprintf(text, (size_t)room, format, args);
  if (n < 0) return 0;
  return n < room ? n : room - 1;
}

int CgiPrint(const char *format, ...) {
  char text[CGI_PRINT_MAX + 1];
  va_list args;
  va_start(args, format);
  int n = FormatText(text, sizeof(text), format, args);
  va_end(args);
  OsStdoutWrite(text, n);
  return 1;
}

int CgiSendHtmlHeader(void) {
  cgiState.htmlHeaderSent = 1;
  CgiPrint("Content-Type: text/html\n\n");
  return 1;
}

int CgiComment(const char *format, ...) {
  if (cgiState.htmlHeaderSent == 0) return 1;
  static const char open[] = "<!-- ", close[] = " -->\n\n";
  char text[CGI_PRINT_MAX + 1];
  int used = (int)sizeof(open) - 1;
  memcpy(text, open, (size_t)used);
  va_list args;
  va_start(args, format);
  int n = FormatText(text + used, (int)sizeof(text) - used - ((int)sizeof(close) - 1), format,
                     args);
  va_end(args);
  /* A line feed that ends the format is literal text, always the last
   * character formatted: leaving it off the result is leaving it off the
   * format. One that ends an argument stays. */
  int formatLength = StrLength(format);
  if (formatLength > 0 && format[formatLength - 1] == '\n' && n > 0 && text[used + n - 1] == '\n')
    n--;
  used += n;
  memcpy(text + used, close, sizeof(close) - 1);
  used += (int)sizeof(close) - 1;
  OsStdoutWrite(text, used);
  return 1;
}

int CgiShutdown(void) { return 1; }

/* ---- The daily request log ------------------------------------------- */

enum {
  LOG_PATH_SIZE = 512,
  /* The longest line the driver makes: an IPv6 address, the stamp, and an
   * explicit address of 1023 bytes (or a 1023-byte key that missed), with
   * room to spare. */
  LOG_LINE_SIZE = 2048,
  OPEN_ATTEMPTS = 100,
  OPEN_PAUSE_MS = 10
};

static const short kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                           181, 212, 243, 273, 304, 334};

int DateToMinutes(int *result, unsigned char hour, unsigned char minute, unsigned char month,
                  unsigned char day, unsigned char year) {
  int leap = year % 4 == 0;
  int days = 365 * (year - 70) + (year - 68) / 4 + kDaysBeforeMonth[month % 12] + day;
  /* The quotient above has already counted this year's 29 February. */
  if (leap && month < 2) days -= 1;
  *result = 1440 * days + 60 * hour + minute;
  return 1;
}

int FileOpenRetry(OsFile **file, const char *path, const char *mode) {
  CHECK_PTR_AT_LINE(50, file);
  CHECK_PTR_AT_LINE(51, path);
  CHECK_PTR_AT_LINE(53, mode);
  *file = nullptr;
  /* Another process may hold the file for a moment; the answer to a refused
   * open is to try again, about a second in all. */
  for (int failures = 0; failures < OPEN_ATTEMPTS;) {
    OsFile *opened = OsFileOpen(path, mode);
    if (opened) {
      *file = opened;
      return 1;
    }
    OsSleep(OPEN_PAUSE_MS);
    failures++;
  }
  return 0;
}

int FileWrite(OsFile *file, const char *bytes, int count) {
  return OsFileWrite(file, bytes, count);
}

int FileClose(OsFile **file) {
  OsFileClose(*file);
  *file = nullptr;
  return 1;
}

/* Builds the day's log path; 0 when it does not fit in LOG_PATH_SIZE. */
static int BuildLogPath(char *path, const char *directory, const OsDateTime *now) {
  if (!GetProgramDirectory(path, LOG_PATH_SIZE)) return 0;
  int used = StrLength(path);
  if (used + StrLength(directory) >= LOG_PATH_SIZE) return 0;
  StrAppend(path + used, directory);
  used += StrLength(path + used);
  int n = snprintf(path + used, (size_t)(LOG_PATH_SIZE - used), "%.2d%.2d%.4d.log",
                   now->month + 1, now->day, now->year + 1900);
  return n > 0 && n < LOG_PATH_SIZE - used;
}

int CgiLog(const char *directory, const char *format, ...) {
  CHECK_PTR_AT_LINE(719, directory);
  CHECK_PTR_AT_LINE(720, format);

  OsDateTime now;
  char path[LOG_PATH_SIZE];
  OsFile *file = nullptr;
  /* Without a local date there is no file to name: the line is lost, like
   * any line whose log cannot be opened. */
  if (!OsLocalTime(&now) || !BuildLogPath(path, directory, &now) ||
      !FileOpenRetry(&file, path, "at+")) {
    CgiComment("Unable to update log\n\n");
    return 1;
  }

  int stamp;
  DateToMinutes(&stamp, (unsigned char)now.hour, (unsigned char)now.minute,
                (unsigned char)now.month, (unsigned char)now.day, (unsigned char)now.year);
  char line[LOG_LINE_SIZE];
  int used;
  if (cgiState.remoteAddress)
    used = snprintf(line, sizeof(line), "%s %.8X ", cgiState.remoteAddress, (unsigned)stamp);
  else
    used = snprintf(line, sizeof(line), "0.0.0.0 %.8X ", (unsigned)stamp);
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
  FileWrite(file, line, used);
  FileClose(&file);
  return 1;
}
