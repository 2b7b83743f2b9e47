/* winmain - LINKHOP, the request driver: one process answers one CGI request
 * with a 301 redirect.
 *
 * A query holding a full stop is an explicit address and is the target as
 * it stands; any other query is a key for the redirect table. Started with
 * the single argument "/?" or "-?", the program prints its banner instead.
 */
#include <string.h>

#include "cgi.h"
#include "fastsrch.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "tsl-str.h"
#include "winhelpr.h"
#include "winmain.h"

#define TSL_SOURCE "winmain"


enum {
  QUERY_BUFFER = 1024, /* longest query 1023 bytes and its terminator */
  VALUE_BUFFER = 320   /* a looked-up address: at most 300 bytes */
};

/* ---- The redirect table ------------------------------------------------ */

static const char kTableName[] = "hopdata\\config.txt";

enum {
  TABLE_CHUNK = 4096, /* read buffer: up to 4095 data bytes and a zero byte */
  TABLE_PATH = 320,
  VALUE_MAX = 300
};
static_assert((int)TABLE_PATH <= (int)OS_PATH_SIZE,
              "the table's path must be one the layer opens");
static_assert((int)VALUE_BUFFER > (int)VALUE_MAX,
              "the value buffer holds an address and its terminator");
static_assert((int)QUERY_BUFFER > (int)FAST_SEARCH_KEY_MAX,
              "the longest key fits the query buffer");
static_assert((int)QUERY_BUFFER > (int)CGI_BODY_QUEUE, "a queued body fits the query buffer");

static int IsWhite(unsigned char c) { return c <= 32; }

/* What the scan of an occurrence waits for when it runs into the end of a
 * region before the table has ended: the bytes of the next region decide. */
enum { PENDING_NONE, PENDING_EQUALS, PENDING_VALUE };

typedef struct TableScan {
  const FastSearch *search;
  int pending;
  char *value;
} TableScan;

/* Skips white space from *p towards end; 1 when it stopped on a byte of the
 * region, 0 when it ran into the end. */
static int SkipWhite(const unsigned char **p, const unsigned char *end) {
  while (*p < end && IsWhite(**p)) (*p)++;
  return *p < end;
}

/* Copies the value at p: bytes of 32 and above, at most VALUE_MAX. */
static void CopyValue(const unsigned char *p, char *value) {
  int n = 0;
  while (n < VALUE_MAX && p[n] >= 32) {
    value[n] = (char)p[n];
    n++;
  }
  value[n] = 0;
}

/* Goes on from an occurrence's end at *p: white space, '=', white space,
 * the value. 1 when the value is copied; 0 when no '=' follows (the
 * occurrence is turned down); -1 when the region ended first and the table
 * goes on, the decision waiting in scan->pending for the next region. */
static int Accept(TableScan *scan, const unsigned char *p, const unsigned char *end, int last) {
  if (scan->pending != PENDING_VALUE) {
    if (!SkipWhite(&p, end) && !last) {
      scan->pending = PENDING_EQUALS;
      return -1;
    }
    if (*p != '=') {
      scan->pending = PENDING_NONE;
      return 0;
    }
    p++;
  }
  if (!SkipWhite(&p, end) && !last) {
    scan->pending = PENDING_VALUE;
    return -1;
  }
  scan->pending = PENDING_NONE;
  CopyValue(p, scan->value);
  return 1;
}

/* Searches one region of the table, [start, end), whose bytes are followed
 * in memory by a zero byte or by more table bytes; last says whether the
 * table ends with it. Returns 1 when the value is found.
 *
 * Every region but the last ends at a line end, and a key holds no byte
 * below 32: no occurrence reaches from one region into the next, and all
 * that can be left pending across regions is the white space after an
 * occurrence or after its '='. A pending occurrence that is turned down
 * here ended in an earlier region, so the search goes on from this
 * region's start, where the next occurrence may begin inside the white
 * space just skipped (a key can start with a space). Occurrences in the
 * regions of white space between the two would all be turned down at the
 * same byte. */
static int ScanRegion(TableScan *scan, const char *start, const char *end, int last) {
  const unsigned char *stop = (const unsigned char *)end;
  if (scan->pending != PENDING_NONE) {
    int settled = Accept(scan, (const unsigned char *)start, stop, last);
    if (settled != 0) return settled > 0;
  }
  const char *position = start, *occurrence;
  const int keyLength = scan->search->keyLength;
  while (FastSearchFind(scan->search, position, end, &occurrence)) {
    int settled = Accept(scan, (const unsigned char *)occurrence + keyLength, stop, last);
    if (settled != 0) return settled > 0;
    /* Turned down: occurrences that overlap it are not tried. */
    position = occurrence + keyLength;
  }
  return 0;
}

/* The length of the data up to and including its last line end; 0 when it
 * holds none. */
static int UpToLastLineEnd(const char *data, int length) {
  for (int i = length - 1; i >= 0; i--)
    if (data[i] == '\n') return i + 1;
  return 0;
}

/* A key holding a byte below 32 is never asked for (the driver ends a query
 * there) and could reach across the end of a region. */
static int IsPlainKey(const char *key) {
  for (; *key; key++)
    if ((unsigned char)*key < 32) return 0;
  return 1;
}

int LookupRedirect(const char *key, char *value) {
  FastSearch search;
  int ready = FastSearchInit(&search, key, 0);
  value[0] = 0;
  if (!ready || !IsPlainKey(key)) return 0;

  char path[TABLE_PATH];
  if (!GetProgramDirectory(path, TABLE_PATH)) return 1;
  if (StrLength(path) + StrLength(kTableName) >= TABLE_PATH) return 1;
  StrAppend(path, kTableName);
  /* One thread reads one table at a time: the reader's block lies outside
   * the stack, where the part a small table leaves untouched costs
   * nothing. */
  static IoReader reader;
  if (!IoReaderOpen(&reader, path, nullptr)) return 1;

  char *buffer = (char *)MemoryAlloc(TABLE_CHUNK, TSL_SOURCE, 65);
  TableScan scan = {&search, PENDING_NONE, value};
  int carry = 0, found = 0;
  for (;;) {
    /* Fill: the line carried over, then as much as the buffer holds. */
    const int ask = TABLE_CHUNK - 1 - carry;
    const int length = carry + IoReaderRead(&reader, buffer + carry, ask);
    const int last = length - carry < ask;
    buffer[length] = 0;
    /* Up to the last line end, unless the table has ended. */
    const int regionEnd = last ? length : UpToLastLineEnd(buffer, length);
    if (regionEnd == 0 && !last) {
      /* A line too long for the buffer ends the table. An '=' waiting for
       * its address has none: the address is empty. */
      found = scan.pending == PENDING_VALUE;
      break;
    }
    found = ScanRegion(&scan, buffer, buffer + regionEnd, last);
    if (found || last) break;
    /* Carry the incomplete last line over. */
    carry = length - regionEnd;
    memmove(buffer, buffer + regionEnd, (size_t)carry);
  }

  IoReaderClose(&reader);
  MemoryFree(&buffer, TABLE_CHUNK, TSL_SOURCE, 132);
  return found;
}

/* ---- The request ----------------------------------------------------- */

#ifndef LINKHOP_EMBEDDED /* the tests link the lookup without the entry point */

static const char kProductName[] = "LINKHOP";
static const char kVersion[] = "1.00";
static const char kBuildKind[] = "Release";
static const char kMakerAddress[] = "https://norvale.example/linkhop/";
static const char kLogDirectory[] = "hopdata\\logs\\";

static void PrintBanner(void) {
  CgiPrint("\nNorvale %s version %s (%s)\n", kProductName, kVersion, kBuildKind);
  CgiPrint("The latest version can always be found at %s\n", kMakerAddress);
}

/* Ends the query at its first byte below 32, as at a zero byte. A body keeps
 * its line feeds and a query string may carry raw control bytes; passed on,
 * they would split the header block and forge lines in the request log. */
static void EndAtControlByte(char *query) {
  for (unsigned char *p = (unsigned char *)query; *p; p++) {
    if (*p < 32) {
      *p = 0;
      return;
    }
  }
}

static int HasFullStop(const char *query) {
  for (; *query; query++)
    if (*query == '.') return 1;
  return 0;
}

static int AnswerErrorPage(const char *text) {
  CgiSendHtmlHeader();
  CgiPrint("%s", text);
  return 1;
}

/* Answers the request in hand, from CgiInit to CgiShutdown. */
static void AnswerRequest(void) {
  CgiInit();

  /* Zero-filled, so that a body cut short ends after the bytes that came. */
  char query[QUERY_BUFFER] = {0};
  char value[VALUE_BUFFER] = {0};
  const char *data = nullptr;
  int queryLength = 0;

  if (CgiGetQuery(&data, &queryLength) == 0) {
    AnswerErrorPage("Unable to locate any paramters!<BR>\n");
  } else if (queryLength >= QUERY_BUFFER) {
    AnswerErrorPage("CGI response too long!<BR>\n");
  } else {
    CgiReadQuery(query, queryLength);
    query[queryLength] = 0;
    EndAtControlByte(query);

    /* Logged before the answer: a line is never lost to a visitor who has
     * already been sent on. */
    if (HasFullStop(query)) {
      CgiLog(kLogDirectory, "[Explicit] %s\n", query);
    } else {
      /* A key: the target is the table's address for it, or empty. */
      LookupRedirect(query, value);
      CgiLog(kLogDirectory, "[%s] %s\n", query, value);
      StrCopy(query, value);
    }

    if (query[0] == 0) {
      /* A key without an address: an empty Location would send the client
       * back to this very URL, again and again. The log line above, with
       * its empty address, is how the webmaster finds the broken link. */
      CgiPrint("Status: 404 Not Found\n");
      AnswerErrorPage("No address for that key!<BR>\n");
    } else {
      /* The four header lines in one write: the web server gets the whole
       * block at once. */
      CgiPrint("Status: 301 Moved Permanently\n"
               "URI: %s\n"
               "Location: %s\n"
               "Method: GET\n\n",
               query, query);
    }
  }

  CgiShutdown();
}

/* The banner, for a person at a console: "/?" or "-?" as the only
 * argument, and no web server around. A server may pass a query without
 * '=' as arguments (?-? arrives as -?), and the visitor gets an answer like
 * any other. */
static int AsksForBanner(int argc, char **argv) {
  return argc == 2 && (StrCompare(argv[1], "/?") == 1 || StrCompare(argv[1], "-?") == 1) &&
         CgiVariable("GATEWAY_INTERFACE") == nullptr;
}

int main(int argc, char **argv) {
  if (AsksForBanner(argc, argv)) {
    PrintBanner();
    return 0;
  }

  CoreStartup("debug.log", 0);
  MemoryInit(MEMORY_NO_LIMIT, 0);
  AnswerRequest();
  MemoryRemove();
  return CoreShutdown();
}
#endif /* !LINKHOP_EMBEDDED */
