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
#include "tsl-os.h"
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

static int IsWhite(unsigned char c) { return c <= 32; }

/* Where the scan of an accepted-looking occurrence stands when it runs into
 * the end of a region before the table has ended: what it waits for is
 * decided by the bytes of the next region. */
enum { SCAN_SEARCH, SCAN_AWAIT_EQUALS, SCAN_AWAIT_VALUE };

typedef struct TableScan {
  const FastSearch *search;
  int state;
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

/* Searches one region of the table, [start, end), whose bytes are followed
 * in memory by a zero byte or by more table bytes. last says whether the
 * table ends with this region. Returns 1 when the value is found. */
static int ScanRegion(TableScan *scan, const char *start, const char *end, int last) {
  const unsigned char *p = (const unsigned char *)start;
  const unsigned char *stop = (const unsigned char *)end;
  const char *position = start;

  if (scan->state == SCAN_AWAIT_EQUALS || scan->state == SCAN_AWAIT_VALUE) {
    /* White space carried on from the previous region, line ends included. */
    if (!SkipWhite(&p, stop) && !last) return 0;
    if (scan->state == SCAN_AWAIT_EQUALS) {
      if (*p != '=') {
        /* Rejected: search on from this region's start. The previous
         * region ended in a line end, so no occurrence can reach across
         * into this one, but one may begin in the white space just
         * skipped (a key that starts with a space). */
        scan->state = SCAN_SEARCH;
      } else {
        p++;
        scan->state = SCAN_AWAIT_VALUE;
        if (!SkipWhite(&p, stop) && !last) return 0;
      }
    }
    if (scan->state == SCAN_AWAIT_VALUE) {
      CopyValue(p, scan->value);
      return 1;
    }
  }

  const char *occurrence;
  const int keyLength = scan->search->keyLength;
  while (FastSearchFind(scan->search, position, end, &occurrence)) {
    p = (const unsigned char *)occurrence + keyLength;
    /* A skip that reaches the end of a region that is not the last leaves
     * the decision to the bytes that follow: the table's entries may put
     * line ends between key, '=' and address. */
    if (!SkipWhite(&p, stop) && !last) {
      scan->state = SCAN_AWAIT_EQUALS;
      return 0;
    }
    if (*p != '=') {
      position = occurrence + keyLength;
      continue;
    }
    p++;
    if (!SkipWhite(&p, stop) && !last) {
      scan->state = SCAN_AWAIT_VALUE;
      return 0;
    }
    CopyValue(p, scan->value);
    return 1;
  }
  return 0;
}

int LookupRedirect(const char *key, char *value) {
  FastSearch search;
  int ready = FastSearchInit(&search, key, 0);
  value[0] = 0;
  if (!ready) return 0;

  char path[TABLE_PATH];
  if (!GetProgramDirectory(path, TABLE_PATH)) return 1;
  if (StrLength(path) + StrLength(kTableName) >= TABLE_PATH) return 1;
  StrAppend(path, kTableName);
  OsFile *file = OsFileOpen(path, "rt");
  if (!file) return 1;

  char *buffer = (char *)MemoryAlloc(TABLE_CHUNK, TSL_SOURCE, 65);
  TableScan scan = {&search, SCAN_SEARCH, value};
  int carry = 0;
  int found = 0;
  for (;;) {
    int ask = TABLE_CHUNK - 1 - carry;
    int n = ask > 0 ? OsFileRead(file, buffer + carry, ask) : 0;
    int length, regionEnd, last;
    if (n > 0) {
      length = carry + n;
      last = n < ask;
      regionEnd = length;
      if (!last) {
        /* The data may end inside a line: search up to the last line end
         * and carry the incomplete line over. No line end at all means a
         * line too long for the buffer, which ends the lookup. */
        regionEnd = 0;
        for (int i = length - 1; i >= 0; i--) {
          if (buffer[i] == '\n' || buffer[i] == '\r') {
            regionEnd = i + 1;
            break;
          }
        }
      }
    } else {
      /* The table has ended. A last line without a line end that filled
       * the previous read to its end is still to be searched. */
      if (ask == 0 || (carry == 0 && scan.state == SCAN_SEARCH)) break;
      length = carry;
      regionEnd = carry;
      last = 1;
    }
    buffer[length] = 0;
    if (regionEnd > 0 || last) found = ScanRegion(&scan, buffer, buffer + regionEnd, last);
    carry = length - regionEnd;
    if (regionEnd == 0 && !last && scan.state == SCAN_AWAIT_VALUE) {
      /* An entry whose '=' is followed only by white space up to a line
       * too long to read: its address is empty, as at the table's end. */
      value[0] = 0;
      found = 1;
    }
    if (found || last || regionEnd == 0) break;
    memmove(buffer, buffer + regionEnd, (size_t)carry);
  }

  OsFileClose(file);
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

int main(int argc, char **argv) {
  if (argc == 2 && (StrCompare(argv[1], "/?") == 1 || StrCompare(argv[1], "-?") == 1)) {
    PrintBanner();
    return 0;
  }

  CoreStartup("debug.log", 0);
  MemoryInit(MEMORY_NO_LIMIT, 0);
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

    /* The four header lines in one write: the web server gets the whole
     * block at once. */
    CgiPrint("Status: 301 Moved Permanently\n"
             "URI: %s\n"
             "Location: %s\n"
             "Method: GET\n\n",
             query, query);
  }

  CgiShutdown();
  MemoryRemove();
  return CoreShutdown();
}
#endif /* !LINKHOP_EMBEDDED */
