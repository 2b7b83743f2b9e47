/* cgi - the CGI gateway: the request from the environment and standard
 * input, the response on standard output.
 *
 * The query is handed on exactly as it arrived: no URL decoding, no
 * splitting into pairs, no validation. Standard input and output are text
 * streams (see tsl-os.h).
 */
#ifndef TSL_CGI_H
#define TSL_CGI_H

enum { CGI_BODY_QUEUE = 512 }; /* bodies up to this size are read by CgiInit */

/* The request, captured once by CgiInit. Never released: the query lives in
 * the process environment or in bodyBuffer until the process ends. */
typedef struct CgiState {
  int htmlHeaderSent;      /* 1 once CgiSendHtmlHeader has run */
  const char *queryData;   /* QUERY_STRING, bodyBuffer, or null (body still unread) */
  int queryLength;         /* query bytes */
  int readPosition;        /* bytes CgiReadQuery has delivered */
  const char *remoteAddress; /* REMOTE_ADDR, or null */
  int inputRemaining;      /* body bytes standard input may still give */
  char bodyBuffer[CGI_BODY_QUEUE + 1];
} CgiState;
extern CgiState cgiState;

/* Reads REMOTE_ADDR, CONTENT_LENGTH (as atoi does, saturating at the 32-bit
 * limits) and the query's source: QUERY_STRING when CONTENT_LENGTH is not
 * above 0, else the body. Never reads more body bytes than CONTENT_LENGTH
 * announces. Always 1. */
int CgiInit(void);

/* Stores the query's pointer (null for a body not yet read) and length;
 * 1 when the length is above 0. Callers go by the length. */
int CgiGetQuery(const char **data, int *length);

/* Delivers the next count query bytes into destination, without a
 * terminator. 1 when exactly count bytes were delivered; 0 when fewer
 * remain (nothing copied) or the body ended early (what arrived is there,
 * the rest of the count bytes zero). */
int CgiReadQuery(char *destination, int count);

/* Formatted write to standard output, printf style, at most CGI_PRINT_MAX
 * bytes a call. Always 1: a failed write is not detected. */
enum { CGI_PRINT_MAX = 8192 };
int CgiPrint(const char *format, ...);

/* Marks the response as an HTML page and writes its content type. 1. */
int CgiSendHtmlHeader(void);

/* An HTML comment, written only once the response is an HTML page; one
 * line feed ending the format is left off. 1. */
int CgiComment(const char *format, ...);

int CgiShutdown(void); /* nothing to release; 1 */

#endif /* TSL_CGI_H */
