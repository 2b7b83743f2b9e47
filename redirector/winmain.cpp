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
#include "logclient.h"
#include "logfmt.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "tsl-str.h"
#include "kept.h"
#include "persist.h"
#include "table.h"
#include "tableindex.h"
#include "winhelpr.h"
#include "winmain.h"

#define TSL_SOURCE "winmain"


enum {
  VALUE_BUFFER = 320 /* a looked-up address: at most 300 bytes */
};

/* ---- The redirect table ------------------------------------------------ */

static const char kTableName[] = "hopdata\\config.txt";

enum { TABLE_PATH = PROGRAM_TABLE_PATH_SIZE };
static_assert((int)VALUE_BUFFER > (int)TABLE_VALUE_MAX,
              "the value buffer holds an address and its terminator");
static_assert((int)QUERY_BUFFER > (int)TABLE_KEY_MAX,
              "the longest key fits the query buffer");
static_assert((int)QUERY_BUFFER > (int)CGI_BODY_QUEUE, "a queued body fits the query buffer");
static_assert((int)QUERY_BUFFER >= (int)VALUE_BUFFER, "an address fits the query buffer");

/* The length of the data up to and including its last line end; 0 when it
 * holds none. */
static int UpToLastLineEnd(const char *data, int length) {
  for (int i = length - 1; i >= 0; i--)
    if (data[i] == '\n') return i + 1;
  return 0;
}

/* The bytes c among count bytes. */
static long CountBytes(const char *bytes, long count, char c) {
  long n = 0;
  for (const char *p = bytes, *end = bytes + count;
       (p = (const char *)memchr(p, c, (size_t)(end - p))) != nullptr; p++)
    n++;
  return n;
}

/* Where a lookup found its key, for a caller that asks: the offset in the
 * table's text (CRs dropped), and its line (0-based). */
typedef struct Place {
  long at, line;
} Place;

/* Scans the table at path for the key search is prepared for. The reader
 * keeps the carriage returns, which the scan passes over where they matter
 * (see TableScanRegion): a CR LF table is read as fast as an LF one. They
 * are dropped here only from a buffer that holds no line end, where they
 * may be all that keeps a line within TABLE_LINE_MAX, and counted only for
 * a caller that asks where the key begins in the table's text. */
static int ScanTable(IoReader *opened, const char *key, char *value, Place *place) {
  IoReader &reader = *opened;
  IoReaderKeepReturns(&reader, 1);

  FastSearch search;
  TableSearchInit(&search, key);
  char *buffer = (char *)MemoryAlloc(TABLE_BUFFER, TSL_SOURCE, 65);
  TableScan scan = {&search, PENDING_NONE, value, 0, -1};
  int carry = 0, found = 0;
  long textBase = 0, textAt = -1; /* in the text, CRs dropped */
  long lineBase = 0, lineAt = -1;
  for (;;) {
    /* Fill: the line carried over, then as much as the buffer holds. */
    const int ask = TABLE_BUFFER - 1 - carry;
    const int length = carry + IoReaderRead(&reader, buffer + carry, ask);
    const int last = length - carry < ask;
    buffer[length] = 0;
    /* Up to the last line end, unless the table has ended. */
    const int regionEnd = last ? length : UpToLastLineEnd(buffer, length);
    if (regionEnd == 0 && !last) {
      int ended = 0;
      carry = IoTextIn(buffer, length, &ended);
      if (carry < length) continue; /* room made: read on */
      /* A line too long for the buffer ends the table. An '=' waiting for
       * its address has none: the address is empty. */
      found = scan.pending == PENDING_VALUE;
      break;
    }
    found = TableScanRegion(&scan, buffer, buffer + regionEnd, last);
    if (place && scan.at >= scan.base) {
      const int offset = (int)(scan.at - scan.base);
      textAt = textBase + offset - CountBytes(buffer, offset, '\r');
      lineAt = lineBase + CountBytes(buffer, offset, '\n');
    }
    if (found || last) break;
    if (place) {
      textBase += regionEnd - CountBytes(buffer, regionEnd, '\r');
      lineBase += CountBytes(buffer, regionEnd, '\n');
    }
    /* Carry the incomplete last line over. */
    carry = length - regionEnd;
    memmove(buffer, buffer + regionEnd, (size_t)carry);
    scan.base += regionEnd;
  }
  if (place) {
    place->at = found ? textAt : -1;
    place->line = found ? lineAt : -1;
  }

  IoReaderClose(&reader);
  MemoryFree(&buffer, TABLE_BUFFER, TSL_SOURCE, 132);
  return found;
}

/* The lines before offset in the index's text, from its lines' starts; -1
 * when damaged. */
static long LinesBefore(const TableIndex *index, int offset) {
  uint32_t lo = 0, hi = index->lineCount; /* lines that start at or before offset */
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const int64_t start = TableIndexLineAt(index, mid);
    if (start < 0) return -1;
    if (start <= offset) lo = mid + 1;
    else hi = mid;
  }
  return (long)lo - 1;
}

/* What the table's index answers, when it has one that belongs to the
 * table as it is now (stamp): 1 or 0, and where it found the key; -1 when
 * there is none, or the index is damaged. */
static int LookupIndexed(const char *indexPath, const OsFileStamp *stamp, const char *key,
                         char *value, Place *place) {
  /* Read block by block: a view of the file costs a process that answers
   * one request more than its lookup does. */
  static TableIndexReads reads IO_LARGE_BUFFER;
  TableIndexFile file;
  TableIndex index;
  if (TableIndexOpenRead(indexPath, stamp, &reads, &file, &index) != TABLE_INDEX_OK) return -1;
  int offset;
  int found = TableIndexLookup(&index, key, value, &offset);
  if (found >= 0 && place) {
    place->at = found ? offset : -1;
    place->line = found ? LinesBefore(&index, offset) : -1;
    if (found && place->line < 0) found = -1;
  }
  TableIndexCloseFile(&file);
  return found;
}

/* The table at path: through its index at indexPath (null: none) when the
 * table is large enough to be worth it and the index belongs to it, else
 * scanned. A missing table is 1, the value empty. */
static int LookupTable(const char *path, const char *indexPath, const char *key, char *value,
                       Place *place) {
  /* One thread reads one table at a time: the reader's block lies outside
   * the stack, where the part a small table leaves untouched costs
   * nothing. */
  static IoReader reader IO_LARGE_BUFFER;
  if (!IoReaderOpen(&reader, path, nullptr)) return 1;
  OsFileStamp stamp;
  if (indexPath && OsFileStampOpen(reader.file, &stamp) && stamp.size >= TABLE_INDEX_WORTH) {
    const int found = LookupIndexed(indexPath, &stamp, key, value, place);
    if (found >= 0) {
      IoReaderClose(&reader);
      return found;
    }
    value[0] = 0;
  }
  return ScanTable(&reader, key, value, place);
}

/* Empties value; 0 for a key that is a miss in any table: empty, too long,
 * or holding a byte below 32 or DEL (never asked for, as the driver ends a
 * query there; it could reach across the end of a region). The scan's search is
 * prepared only where a table is scanned: a kept table's index needs none. */
static int PrepareLookup(const char *key, char *value) {
  if (key == nullptr) CHECK_PTR(key); /* reported as a checked call would */
  value[0] = 0;
  return !(TableKeyFlaws(key, (int)strlen(key)) & TABLE_KEY_UNSEARCHABLE);
}

int LookupRedirect(const char *key, char *value) {
  if (!PrepareLookup(key, value)) return 0;
  char path[TABLE_PATH];
  if (!GetProgramDirectory(path, TABLE_PATH)) return 1;
  const size_t folder = strlen(path);
  if (folder + sizeof(kTableName) > TABLE_PATH) return 1;
  memcpy(path + folder, kTableName, sizeof(kTableName));
  char indexPath[TABLE_PATH];
  TableIndexPath(path, indexPath, TABLE_PATH); /* no longer than the table's */
  if (KeptTablesEnabled()) {
    const int found = KeptLookup(path, indexPath, key, value);
    if (found >= 0) return found;
  }
  return LookupTable(path, indexPath, key, value, nullptr);
}

int LookupRedirectIn(const char *path, const char *indexPath, const char *key, char *value,
                     long *at, long *line) {
  Place place = {-1, -1};
  *at = *line = -1;
  if (!PrepareLookup(key, value)) return 0;
  const int found = LookupTable(path, indexPath, key, value, &place);
  *at = place.at;
  *line = place.line;
  return found;
}

/* ---- The request ----------------------------------------------------- */

static const char kLogDirectory[] = "hopdata\\logs\\";

int TakeQuery(char *query) {
  int length = 0;
  while (query[length] && !TableEndsQuery((unsigned char)query[length])) length++;
  query[length] = 0;
  return (TableKeyFlaws(query, length) & TABLE_KEY_EXPLICIT) != 0;
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
  const char *setting = CgiVariable(EXPLICIT_SETTING);
  const char *entry;
  const int length = ExplicitPortEntry(setting, &entry);
  if (length)
    CgiReportFailure("%s: '%.*s' names no host: a host is allowed on every port, so leave the "
                     "port out",
                     EXPLICIT_SETTING, length > 100 ? 100 : length, entry);
  if (ExplicitAllowed(address, setting)) {
    CgiLog(kLogDirectory, LOG_EXPLICIT_MESSAGE, address);
    return 1;
  }
  CgiLog(kLogDirectory, LOG_REFUSED_MESSAGE, address);
  return 0;
}

/* The client address a log line keeps, as LINKHOP_LOG_CLIENT says. A
 * setting the program does not know keeps none, and says so. */
static const char *LoggedClient(const char *remote, char *room) {
  static_assert((int)LOG_CLIENT_ROOM <= (int)CGI_CLIENT_ROOM,
                "the log's room for the client address");
  const char *setting = CgiVariable(LOG_CLIENT_SETTING);
  const char *client = LogClientAddress(remote, setting, room);
  if (client) return client;
  CgiReportFailure("%s=\"%.100s\" is not full, masked or none: the request log keeps no "
                   "client address",
                   LOG_CLIENT_SETTING, setting);
  return LOG_NO_ADDRESS;
}

void AnswerRequest(void) {
  CgiSetClientRule(LoggedClient);
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
      CgiLog(kLogDirectory, LOG_KEY_MESSAGE, query, value);
      memcpy(query, value, strlen(value) + 1);
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
  const int listener = PersistentListener();
  if (listener != PERSIST_NONE) {
    /* A listening socket from a web server or a service manager: request
     * after request, until the process is asked to end. The folder is
     * worked out once, for every table and log alike. */
    int served = 0;
    if (listener >= 0) {
      KeepProgramDirectory(1);
      LookupKeepTables(1);
      CgiKeepLogOpen(1);
      served = ServePersistent(listener, AnswerRequest);
    }
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
