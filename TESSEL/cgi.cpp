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
