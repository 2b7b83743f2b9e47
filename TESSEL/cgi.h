/* cgi - the CGI gateway: the request's variables and body, the response,
 * the daily request log.
 *
 * The query is handed on exactly as it arrived: no URL decoding, no
 * splitting into pairs, no validation. The body is read and the response
 * written in text mode (see tsl-io.h). Every pointer argument is checked:
 * null is a fatal report naming the cgi source and the line of its check.
 */
#ifndef TSL_CGI_H
#define TSL_CGI_H

#include "tsl-os.h"

/* ---- Where the request comes from ---------------------------------------- */

/* The request's source: its variables, its body and where its answer goes.
 * The gateway reaches the request through this record only, so that one
 * program can answer a CGI run, a persistent server's requests or a test's
 * alike. */
typedef struct CgiSource {
  void *context; /* handed to each function */
  /* A request variable's value (REMOTE_ADDR, CONTENT_LENGTH, QUERY_STRING,
   * GATEWAY_INTERFACE), or null when it is not set. */
  const char *(*variable)(void *context, const char *name);
  /* Up to count raw body bytes: the number read, 0 at the end, -1 on an
   * error. Never asked for more than the announced body. */
  int (*readBody)(void *context, char *buffer, int count);
  /* All count bytes of the answer as they go out (line ends already CR LF);
   * 1 when they were taken. */
  int (*write)(void *context, const char *bytes, int count);
  /* One line for the web server's error log, never for the visitor. */
  void (*reportError)(void *context, const char *line, int count);
} CgiSource;

/* The process's own environment, standard input and standard output. */
extern const CgiSource cgiProcessSource;

/* The source the next CgiInit reads; cgiProcessSource until set. 1. */
int CgiUseSource(const CgiSource *source);

/* ---- The request ----------------------------------------------------------- */

enum { CGI_BODY_QUEUE = 512 }; /* bodies up to this size are read by CgiInit */
/* A body the server did not announce (a chunked POST, passed on without
 * CONTENT_LENGTH) is read and dropped at CgiShutdown, so that the server,
 * still writing it, takes the answer: at most this many bytes, and for
 * about this many seconds. */
enum { CGI_DRAIN_BYTES = 1 << 20, CGI_DRAIN_SECONDS = 2 };

/* The request, captured by CgiInit and wholly reset by the next. The query
 * lives in the source's variables or in bodyBuffer. */
typedef struct CgiState {
  const CgiSource *source;   /* what CgiInit read */
  int htmlHeaderSent;        /* 1 once CgiSendHtmlHeader has run */
  const char *queryData;     /* QUERY_STRING, bodyBuffer, or null (body still unread) */
  int queryLength;           /* query bytes */
  int readPosition;          /* bytes CgiReadQuery has delivered */
  const char *remoteAddress; /* REMOTE_ADDR, or null */
  int bodyRemaining;         /* body bytes the source may still give */
  int bodyEnded;             /* its end, a read error or a byte 0x1A was met */
  int failureReported;       /* 1 once CgiReportFailure has written its line */
  int bodyUnannounced;       /* a body may come without CONTENT_LENGTH (chunked) */
  char bodyBuffer[CGI_BODY_QUEUE + 1];
} CgiState;
extern CgiState cgiState;

/* Reads REMOTE_ADDR, CONTENT_LENGTH (as atoi does, saturating at the 32-bit
 * limits) and the query's source: QUERY_STRING when CONTENT_LENGTH is not
 * above 0, else the body. Never reads more body bytes than CONTENT_LENGTH
 * announces. Always 1. */
int CgiInit(void);

/* A variable of the request in hand (through its source), or null. */
const char *CgiVariable(const char *name);

/* Stores the query's pointer (null for a body not yet read) and length;
 * 1 when the length is above 0. Callers go by the length. */
int CgiGetQuery(const char **data, int *length);

/* Delivers the next count query bytes into destination, without a
 * terminator. 1 when exactly count bytes were delivered; 0 when fewer
 * remain (nothing copied) or the body ended early (what arrived is there,
 * the rest of the count bytes zero). */
int CgiReadQuery(char *destination, int count);

/* ---- The response ---------------------------------------------------------- */

/* Formatted write of the answer, printf style, however long the text.
 * Always 1: a failed write is not detected. */
int CgiPrint(const char *format, ...);

/* Marks the response as an HTML page and writes its content type. 1. */
int CgiSendHtmlHeader(void);

/* An HTML comment, written only once the response is an HTML page; one
 * line feed ending the format is left off. 1. */
int CgiComment(const char *format, ...);

/* Ends the request: reads and discards what is left of the announced body,
 * up to its end or a read error, also after a byte 0x1A ended the query. A
 * web server may wait for the whole body before it takes the answer, or
 * take what is left of it for the next request. 1. */
int CgiShutdown(void);

/* One line for the web server's error log (the request source's error
 * stream: a CGI program's standard error), "linkhop: " and the formatted
 * text; at most one per request, later ones are dropped. 1. */
int CgiReportFailure(const char *format, ...);

/* ---- The daily request log ------------------------------------------- */

/* How much of the visitor's address a log line keeps: the application's
 * rule, given REMOTE_ADDR (or null) and a room of CGI_CLIENT_ROOM bytes; it
 * returns the text to log, in room or a constant. Without one (null), the
 * whole address, or 0.0.0.0. */
enum { CGI_CLIENT_ROOM = 48 };
typedef const char *(*CgiClientRule)(const char *remote, char *room);
void CgiSetClientRule(CgiClientRule rule);

/* Appends one line, "address stamp message" (see logfmt.h), to the day's log file
 * directory + MMDDYYYY.log beside the program; directory ends in a
 * backslash ("hopdata\logs\"). The address is REMOTE_ADDR, or 0.0.0.0, as
 * much of it as the client rule keeps (CgiSetClientRule); the
 * stamp is DateToMinutes of the local time in eight upper-case hexadecimal
 * digits; the message is format and its arguments, printf style, and
 * supplies the line end. The whole line reaches the file in one write, so
 * lines of processes writing at once never interleave. A line that is lost
 * (no folder of the program's own, an open refused for good or for about a
 * second, a failed write) costs that line and one line of CgiReportFailure
 * naming the file and the reason; the remark "Unable to update log" goes
 * into an HTML page only. Always 1. */
int CgiLog(const char *directory, const char *format, ...);

/* With 1, CgiLog keeps the day's log open from one request to the next,
 * for a process that answers many: each line still reaches the file in one
 * write, and a file removed or replaced meanwhile is opened afresh. With 0
 * (the default) it opens and closes the file for each line. 1. */
int CgiKeepLogOpen(int keep);

/* Minutes from 31 December 1969, 00:00, to the given local time: month 0 to
 * 11, day 1 to 31, year counted from 1900 (kept to 8 bits). Leap years are
 * every fourth, right for 1901 to 2099 (see logfmt.h). Stores it in
 * *result; 1. */
int DateToMinutes(int *result, unsigned char hour, unsigned char minute, unsigned char month,
                  unsigned char day, unsigned char year);

/* Opens path with a C library mode ("at+": append, created if missing;
 * "wt": created or emptied). A refusal that can pass (another process holds
 * the file for a moment) is tried again, up to 100 attempts 10 ms apart;
 * one that cannot (no folder, no permission) ends the attempts at once. 1
 * and the file in *file, or 0 and *file not open. */
int FileOpenRetry(OsFile *file, const char *path, const char *mode);

/* Writes count bytes in text mode, in one write for a line of up to
 * IO_WRITE_WHOLE bytes; 1 when all were taken. */
int FileWrite(OsFile *file, const char *bytes, int count);

/* Closes *file and marks it not open; 1. */
int FileClose(OsFile *file);

#endif /* TSL_CGI_H */
