/* winmain - the request driver: one request answered, and the redirect
 * table lookup; for the program's entry points, its tests and hoptool. */
#ifndef LINKHOP_WINMAIN_H
#define LINKHOP_WINMAIN_H

/* Finds key in hopdata\config.txt beside the program (through its index,
 * hopdata\config.idx, when that belongs to it) and copies its address
 * (at most 300 bytes, then a zero byte) into value, which holds at least
 * 301 bytes; value is the empty text when there is none. Returns 1 when
 * found and 1 when the table does not open; 0 when the table holds no entry
 * for the key or a line too long for the read buffer came first. The empty
 * key and keys longer than 256 bytes are misses. */
int LookupRedirect(const char *key, char *value);

/* The same for the table at path (backslashes or the system's separators)
 * and its index at indexPath (null for none: the table is scanned), and
 * *at the offset, in the table's text (see TableText), where the accepted
 * key begins, and *line its line (0-based), or -1. The index answers, as in LookupRedirect, when the
 * table is at least TABLE_INDEX_WORTH bytes and the index belongs to it as
 * it is now; otherwise the table is scanned. */
int LookupRedirectIn(const char *path, const char *indexPath, const char *key, char *value,
                     long *at, long *line);

enum {
  /* A query of this many bytes or more gets the error page "CGI response
   * too long!" instead of an answer. */
  QUERY_BUFFER = 1024
};

/* Takes a query as the driver does: ends it at its first byte below 32 or
 * DEL, as at a zero byte (a body keeps its line feeds, a query string may
 * carry raw control bytes: passed on, they would split the header block and
 * forge lines in the request log, and a header value holds no DEL). Returns 1 when what is left holds a full stop:
 * an explicit address, sent as it stands; 0 for a key. */
int TakeQuery(char *query);

/* Answers the request in hand, from CgiInit to CgiShutdown: the 301 block,
 * the 404 page of a key without an address, the 403 page of an explicit
 * address that LINKHOP_EXPLICIT refuses (see explicit.h), or an error page;
 * one line in the day's request log for each redirect, miss and refusal.
 * The core and the tracked heap are started. */
void AnswerRequest(void);

#endif
