/* persist - the program as a persistent FastCGI responder: started with a
 * listening socket as its standard input (lighttpd's bin-path, spawn-fcgi,
 * Apache's mod_fcgid) or as descriptor 3 (systemd's socket activation, and
 * systemd-socket-activate where systemd does not run), it answers request after
 * request on it, each exactly as a CGI run would. Debian's libfcgi carries
 * the protocol; each request reaches the gateway through a CgiSource over
 * libfcgi's request record.
 */
#include "persist.h"

#include <fcgiapp.h>
#include <fcgios.h>
#include <signal.h>
#include <string.h>

#include "cgi.h"
#include "tsl-core.h"
#include "tsl-os.h"

#define TSL_SOURCE "persist"

static struct {
  volatile sig_atomic_t stopping; /* a request to end arrived (SIGTERM) */
} persist;

/* Runs in a signal handler, only inside the waits for a connection or a
 * request (OsHoldTerminate): flags only. A request in hand is read to its
 * announced end and answered before the process gets here. */
static void Stop(void) { persist.stopping = 1; }

/* The operator's own settings (LINKHOP_...) may also be given to the
 * process once, in its environment, where a server starts it (lighttpd's
 * bin-environment, spawn-fcgi, systemd's Environment=); the request's
 * parameters come first. Every other variable is the request's alone: a
 * QUERY_STRING or CONTENT_LENGTH left in the process's environment must
 * never stand in for one the request did not send. */
static int IsSetting(const char *name) { return strncmp(name, "LINKHOP_", 8) == 0; }

static const char *RequestVariable(void *context, const char *name) {
  const char *value = FCGX_GetParam(name, static_cast<FCGX_Request *>(context)->envp);
  if (value == nullptr && IsSetting(name))
    value = cgiProcessSource.variable(cgiProcessSource.context, name);
  return value;
}

static int RequestBody(void *context, char *buffer, int count) {
  FCGX_Stream *in = static_cast<FCGX_Request *>(context)->in;
  int n = FCGX_GetStr(buffer, count, in);
  return n > 0 ? n : FCGX_GetError(in) ? -1 : 0;
}

static int RequestWrite(void *context, const char *bytes, int count) {
  return FCGX_PutStr(bytes, count, static_cast<FCGX_Request *>(context)->out) == count;
}

/* The request's own error stream: the web server writes it to its error
 * log, where a CGI program's standard error would go. */
static void RequestError(void *context, const char *line, int count) {
  FCGX_PutStr(line, count, static_cast<FCGX_Request *>(context)->err);
}

/* libfcgi can also open a socket of its own on a host name, which this
 * program never asks for: it takes the socket the web server hands it. In a
 * static program, looking a name up would need the C library's shared
 * name-service modules at run time, and the linker warns of it; this stand-in
 * makes that unused path fail plainly instead. */
struct hostent;
extern "C" struct hostent *gethostbyname(const char *) { return nullptr; }

void PersistentAnswer(FCGX_Request *request, void (*answer)(void)) {
  const CgiSource source = {request, RequestVariable, RequestBody, RequestWrite, RequestError};
  CgiUseSource(&source);
  answer();
  CgiUseSource(&cgiProcessSource);
}

/* 1 when a connection from peer (an IPv4 address; empty for any other kind
 * of connection) may be answered: with list, libfcgi's setting of the web
 * servers that may connect over TCP (addresses separated by commas), a TCP
 * connection from an address it lacks is closed unanswered. */
static int PeerAllowed(const char *list, const char *peer) {
  if (list == nullptr || *list == 0 || *peer == 0) return 1;
  const size_t length = strlen(peer);
  for (const char *item = list;;) {
    const char *end = strchr(item, ',');
    const size_t itemLength = end ? (size_t)(end - item) : strlen(item);
    if (itemLength == length && memcmp(item, peer, length) == 0) return 1;
    if (!end) return 0;
    item = end + 1;
  }
}

/* The next connection a web server may make, or -1 (SIGTERM, or the
 * socket failed). */
static int NextConnection(int listener, const char *webServers) {
  for (;;) {
    char peer[48];
    const int connection = OsAwaitConnection(listener, peer, (int)sizeof(peer));
    if (connection < 0 || PeerAllowed(webServers, peer)) return connection;
    OsFile refused = {connection, 0};
    OsFileClose(refused);
  }
}

/* A count or a process number as the convention writes it: decimal
 * digits only, at most nine; -1 for anything else. */
static long Decimal(const char *text) {
  if (text == nullptr || *text == 0 || strlen(text) > 9) return -1;
  long n = 0;
  for (const char *c = text; *c; c++) {
    if (*c < '0' || *c > '9') return -1;
    n = n * 10 + (*c - '0');
  }
  return n;
}

enum { kFirstPassed = 3 }; /* SD_LISTEN_FDS_START */

int PersistentListener(void) {
  const char *pid = cgiProcessSource.variable(nullptr, "LISTEN_PID");
  const char *fds = cgiProcessSource.variable(nullptr, "LISTEN_FDS");
  /* Sockets passed to another process (a parent's environment inherited)
   * are not this one's. The program starts no process of its own, so the
   * variables need not be taken out of the environment. */
  if (fds != nullptr && pid != nullptr && Decimal(pid) == OsProcessId()) {
    const long count = Decimal(fds);
    if (count == 1 && OsListens(kFirstPassed)) return kFirstPassed;
    CgiReportFailure("%s", count == 1 ? "the socket passed as descriptor 3 (LISTEN_FDS) does not "
                                        "listen for connections"
                                      : "LISTEN_FDS passes other than one socket; a FastCGI "
                                        "program listens on one (ListenStream= once in its "
                                        "socket unit)");
    return PERSIST_UNUSABLE;
  }
  return OsListens(0) ? 0 : PERSIST_NONE;
}

int ServePersistent(int listener, void (*answer)(void)) {
  OsCatchTerminate(Stop);
  OsHoldTerminate();
  OsIgnoreBrokenPipe(); /* a visitor gone mid-answer costs a failed write */
  if (FCGX_Init() != 0) return 0;
  /* The waits are the program's own, the only places SIGTERM is let in;
   * libfcgi reads and writes the connections they hand it. Its own accept
   * would wait with SIGTERM held: told that the process is ending, it never
   * waits, and a connection that brings no request comes back here. */
  OS_ShutdownPending();
  FCGX_Request request;
  FCGX_InitRequest(&request, listener, 0);
  /* libfcgi's own setting: the web servers that may connect over TCP. */
  const char *webServers = cgiProcessSource.variable(nullptr, "FCGI_WEB_SERVER_ADDRS");
  while (!persist.stopping) {
    if (request.ipcFd < 0) {
      request.ipcFd = NextConnection(listener, webServers);
      if (request.ipcFd < 0) break; /* SIGTERM, or the socket failed */
      request.keepConnection = 1;   /* else FCGX_Accept_r closes it first */
    } else if (!OsAwaitReadable(request.ipcFd)) {
      break; /* SIGTERM while a kept connection was idle */
    }
    if (FCGX_Accept_r(&request) < 0) continue; /* closed without a request */
    PersistentAnswer(&request, answer);
    FCGX_Finish_r(&request);
    /* Every request gives back what it took: a block left over would grow
     * the process request by request. */
    if (memoryState.blockCount != 0)
      ABORT_AT_LINE(64, "Not all memory was free'd (%d / %db)\n", memoryState.blockCount,
                    memoryState.bytesInUse);
  }
  FCGX_Free(&request, 1);
  return 1;
}
