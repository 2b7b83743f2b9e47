/* winmain - LINKHOP, the request driver: one process answers one CGI request
 * with a 301 redirect.
 *
 * A query holding a full stop is an explicit address and is the target as
 * it stands; any other query is a key for the redirect table. Started with
 * the single argument "/?" or "-?", the program prints its banner instead.
 */
#include "cgi.h"
#include "tsl-core.h"
#include "tsl-str.h"

#define TSL_SOURCE "winmain"

static const char kProductName[] = "LINKHOP";
static const char kVersion[] = "1.00";
static const char kBuildKind[] = "Release";
static const char kMakerAddress[] = "https://norvale.example/linkhop/";

enum {
  QUERY_BUFFER = 1024, /* longest query 1023 bytes and its terminator */
  VALUE_BUFFER = 320   /* a looked-up address: at most 300 bytes */
};

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

    if (!HasFullStop(query)) {
      /* A key. The redirect table is not consulted yet: every key gets
       * the empty address. */
      value[0] = 0;
      StrCopy(query, value);
    }

    CgiPrint("Status: 301 Moved Permanently\n");
    CgiPrint("URI: %s\n", query);
    CgiPrint("Location: %s\n", query);
    CgiPrint("Method: GET\n\n");
  }

  CgiShutdown();
  MemoryRemove();
  return CoreShutdown();
}
