/* winmain - LINKHOP, the request driver: one process answers one CGI request
 * with a 301 redirect.
 *
 * A query holding a full stop is an explicit address and is the target as
 * it stands, where the site's list allows it; any other query is a key for
 * the redirect table. Started with
 * the single argument "/?" or "-?", the program prints its banner instead.
 */
#include <string.h>

#include "cgi.h"
#include "explicit.h"
#include "fastsrch.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "tsl-str.h"
#include "table.h"
#ifdef LINKHOP_PERSISTENT
#include "persist.h"
#endif
#include "winhelpr.h"
#include "winmain.h"

#define TSL_SOURCE "winmain"


enum {
  VALUE_BUFFER = 320 /* a looked-up address: at most 300 bytes */
};

/* ---- The redirect table ------------------------------------------------ */

static const char kTableName[] = "hopdata\\config.txt";

enum {
  TABLE_CHUNK = 4096, /* read buffer: up to 4095 data bytes and a zero byte */
  TABLE_PATH = 320
};
static_assert((int)TABLE_PATH <= (int)OS_PATH_SIZE,
              "the table's path must be one the layer opens");
static_assert((int)TABLE_CHUNK - 2 == (int)TABLE_LINE_MAX,
              "a line of TABLE_LINE_MAX bytes and its line end fill the read buffer");
static_assert((int)VALUE_BUFFER > (int)TABLE_VALUE_MAX,
              "the value buffer holds an address and its terminator");
static_assert((int)QUERY_BUFFER > (int)FAST_SEARCH_KEY_MAX,
              "the longest key fits the query buffer");
static_assert((int)QUERY_BUFFER > (int)CGI_BODY_QUEUE, "a queued body fits the query buffer");

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

/* Scans the table at path for the key search is prepared for. */
static int ScanTable(const char *path, const FastSearch *search, char *value, long *at) {
  /* One thread reads one table at a time: the reader's block lies outside
   * the stack, where the part a small table leaves untouched costs
   * nothing. */
  static IoReader reader IO_LARGE_BUFFER;
  if (!IoReaderOpen(&reader, path, nullptr)) return 1;

  char *buffer = (char *)MemoryAlloc(TABLE_CHUNK, TSL_SOURCE, 65);
  TableScan scan = {search, PENDING_NONE, value, 0, -1};
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
    found = TableScanRegion(&scan, buffer, buffer + regionEnd, last);
    if (found || last) break;
    /* Carry the incomplete last line over. */
    carry = length - regionEnd;
    memmove(buffer, buffer + regionEnd, (size_t)carry);
    scan.base += regionEnd;
  }
  if (at) *at = found ? scan.at : -1;

  IoReaderClose(&reader);
  MemoryFree(&buffer, TABLE_CHUNK, TSL_SOURCE, 132);
  return found;
}

#ifdef LINKHOP_PERSISTENT
/* A process that answers many requests keeps the table between them, whole
 * and indexed, in room of its own outside the tracked heap (untouched, it
 * costs a CGI run nothing). An edit takes effect at the next request: the
 * file's stamp is looked at every time. File times are coarse, so two quick
 * edits of the same size may share one: a table written within the last
 * two seconds is used once and read afresh the next time. */
#if defined(__SANITIZE_ADDRESS__)
#define KEPT_ROOM_SMALL
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEPT_ROOM_SMALL
#endif
#endif
#ifdef KEPT_ROOM_SMALL
/* AddressSanitizer marks out every global at each start: a smaller room
 * keeps a sanitized CGI run from paying for all of it. */
enum { KEPT_ROOM = 1 << 20 };
#else
enum { KEPT_ROOM = 64 << 20 };
#endif

static struct {
  int enabled;  /* a persistent process */
  int kept;     /* the index below answers for the file of stamp */
  int tooLarge; /* the file of stamp does not fit: scanned instead */
  OsFileStamp stamp;
  TableIndex index;
} keep;
alignas(8) static char keptRoom[KEPT_ROOM] IO_LARGE_BUFFER;

static int SameStamp(const OsFileStamp *a, const OsFileStamp *b) {
  return a->device == b->device && a->inode == b->inode && a->size == b->size &&
         a->modified == b->modified && a->modifiedNanos == b->modifiedNanos &&
         a->changed == b->changed && a->changedNanos == b->changedNanos;
}

/* Reads the table at path whole into the room and indexes it; 0 when it
 * cannot be read or does not fit. */
static int ReadAndIndex(const char *path) {
  static IoReader reader IO_LARGE_BUFFER;
  if (!IoReaderOpen(&reader, path, nullptr)) return 0;
  int64_t length = IoReaderRead(&reader, keptRoom, KEPT_ROOM - 1);
  int more = length == KEPT_ROOM - 1 && IoReaderRead(&reader, keptRoom, 1) > 0;
  IoReaderClose(&reader);
  if (more) return 0;
  int cut;
  length = TableText(keptRoom, (int)length, &cut);
  keptRoom[length] = 0;
  int64_t textRoom = (length + 1 + 7) & ~(int64_t)7;
  if (textRoom + TableIndexRoom(keptRoom, (int)length) > KEPT_ROOM) return 0;
  TableIndexBuild(&keep.index, keptRoom, (int)length, keptRoom + textRoom);
  return 1;
}

static int LookupKept(const char *path, const FastSearch *search, const char *key, char *value) {
  OsFileStamp stamp;
  if (!IoFileStamp(path, &stamp)) {
    keep.kept = keep.tooLarge = 0;
    return ScanTable(path, search, value, nullptr); /* no table: as the scan says */
  }
  int same = SameStamp(&stamp, &keep.stamp);
  if (!(keep.kept && same)) {
    if (keep.tooLarge && same) return ScanTable(path, search, value, nullptr);
    keep.kept = 0;
    keep.stamp = stamp;
    keep.tooLarge = !ReadAndIndex(path);
    if (keep.tooLarge) return ScanTable(path, search, value, nullptr);
    keep.kept = OsTimeNow() - stamp.modified > 2;
  }
  int at;
  return TableIndexLookup(&keep.index, key, value, &at);
}

void LookupKeepTables(int enabled) {
  keep.enabled = enabled;
  keep.kept = keep.tooLarge = 0;
}
#endif

/* Prepares search for key and empties value; 0 for a key that is a miss in
 * any table (empty, too long, or holding a byte below 32). */
static int PrepareLookup(FastSearch *search, const char *key, char *value) {
  int ready = FastSearchInit(search, key, 0);
  value[0] = 0;
  return ready && IsPlainKey(key);
}

int LookupRedirect(const char *key, char *value) {
  FastSearch search;
  if (!PrepareLookup(&search, key, value)) return 0;
  char path[TABLE_PATH];
  if (!GetProgramDirectory(path, TABLE_PATH)) return 1;
  if (StrLength(path) + StrLength(kTableName) >= TABLE_PATH) return 1;
  StrAppend(path, kTableName);
#ifdef LINKHOP_PERSISTENT
  if (keep.enabled) return LookupKept(path, &search, key, value);
#endif
  return ScanTable(path, &search, value, nullptr);
}

int LookupRedirectIn(const char *path, const char *key, char *value, long *at) {
  FastSearch search;
  *at = -1;
  if (!PrepareLookup(&search, key, value)) return 0;
  return ScanTable(path, &search, value, at);
}

/* ---- The request ----------------------------------------------------- */

static const char kLogDirectory[] = "hopdata\\logs\\";

int TakeQuery(char *query) {
  unsigned char *p = (unsigned char *)query;
  for (; *p >= 32; p++) {
  }
  *p = 0;
  return strchr(query, '.') != nullptr;
}

static int AnswerErrorPage(const char *text) {
  CgiSendHtmlHeader();
  CgiPrint("%s", text);
  return 1;
}

/* Logs an explicit address: 1 when it may be answered, 0 when the
 * operator's list refuses it (logged as [Refused], for the webmaster to see
 * who tries to use the site as a relay). */
static int LogExplicit(const char *address) {
  if (ExplicitAllowed(address, CgiVariable(EXPLICIT_SETTING))) {
    CgiLog(kLogDirectory, "[Explicit] %s\n", address);
    return 1;
  }
  CgiLog(kLogDirectory, "[Refused] %s\n", address);
  return 0;
}

void AnswerRequest(void) {
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

    /* Logged before the answer: a line is never lost to a visitor who has
     * already been sent on. */
    int refused = 0;
    if (TakeQuery(query)) {
      refused = !LogExplicit(query);
    } else {
      /* A key: the target is the table's address for it, or empty. */
      LookupRedirect(query, value);
      CgiLog(kLogDirectory, "[%s] %s\n", query, value);
      StrCopy(query, value);
    }

    if (refused) {
      CgiPrint("Status: 403 Forbidden\n");
      AnswerErrorPage("Address not allowed!<BR>\n");
    } else if (query[0] == 0) {
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

#ifndef LINKHOP_EMBEDDED /* tests and fuzz targets link the driver without its entry point */

static const char kProductName[] = "LINKHOP";
static const char kVersion[] = "1.00";
static const char kBuildKind[] = "Release";
static const char kMakerAddress[] = "https://norvale.example/linkhop/";

static void PrintBanner(void) {
  CgiPrint("\nNorvale %s version %s (%s)\n", kProductName, kVersion, kBuildKind);
  CgiPrint("The latest version can always be found at %s\n", kMakerAddress);
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
#ifdef LINKHOP_PERSISTENT
  if (OsStandardInputListens()) {
    /* A web server's socket for standard input: request after request,
     * until the server asks the process to end. */
    KeepProgramDirectory(1);
    LookupKeepTables(1);
    CgiKeepLogOpen(1);
    int served = ServePersistent(AnswerRequest);
    MemoryRemove();
    CoreShutdown();
    return served ? 0 : 1;
  }
#endif
  AnswerRequest();
  MemoryRemove();
  return CoreShutdown();
}
#endif /* !LINKHOP_EMBEDDED */
