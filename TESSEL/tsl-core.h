/* tsl-core - Tessel's core runtime: start-up and shutdown, the command-line
 * tokeniser, the global lock with its call-site record, the diagnostic
 * channel, the tracked heap and quick memory.
 *
 * Failures are not passed up: a broken precondition (null pointer, bad size,
 * damaged guard byte) is a fatal report that names the checked call's source
 * file and line, and the process ends with exit status 1.
 */
#ifndef TSL_CORE_H
#define TSL_CORE_H

#include <stdarg.h>
#include <stdint.h>

#include "tsl-os.h"

/* ---- Global lock and call-site record ---------------------------------- */

/* The lock and the record of the checked call in progress. The record is
 * not cleared after use: it keeps the last call site. */
typedef struct CoreLock {
  OsMutex mutex;            /* not ready until LockCreate */
  int singleThread;         /* 1: LockAcquire and LockRelease do nothing */
  const char *callSiteFile; /* static text, e.g. "..\\..\\TESSEL\\tsl-str" */
  int callSiteLine;
} CoreLock;
extern CoreLock coreLock;

int LockCreate(void);                 /* first step of CoreStartup; 1 */
int LockSetSingleThread(int mode);    /* mode 1 turns waiting off; 1 */
int LockAcquire(void);                /* recursive; 1 */
void LockRelease(void);
int MarkCallSite(const char *file, int line); /* returns with the lock held */

/* The checked-call forms. Each source names itself in TSL_SOURCE before it
 * uses them. A mark is always followed at once by its checked operation,
 * which releases the lock exactly once (or reports and ends the process).
 *
 * The _AT_LINE forms record a fixed line instead of __LINE__: the library's
 * reports name the call sites that support staff have always matched them
 * against, wherever the code happens to sit in this file. */
#define CHECK_PTR(p) (MarkCallSite(TSL_SOURCE, __LINE__), CheckPointer(p))
#define ABORT_AT(...) (MarkCallSite(TSL_SOURCE, __LINE__), DiagAbort(__VA_ARGS__))
#define CHECK_PTR_AT_LINE(line, p) (MarkCallSite(TSL_SOURCE, (line)), CheckPointer(p))
#define ABORT_AT_LINE(line, ...) (MarkCallSite(TSL_SOURCE, (line)), DiagAbort(__VA_ARGS__))

/* ---- Diagnostic channel ------------------------------------------------- */

#define DEBUG_CONSOLE 0x01u   /* every diagnostic text also goes to a console */
#define DEBUG_LOGFILE 0x02u   /* every diagnostic text is appended to the debug log */
#define DEBUG_VERBOSE 0x04u   /* status reports: banner, heap and quick memory */
#define DEBUG_APPEND 0x08u    /* start-up keeps the debug log's old content */
#define DEBUG_NO_MSGBOX 0x10u /* fatal reports show no message box */

extern uint32_t debugFlags; /* set once by CoreStartup */

enum {
  DIAG_REPORT_MAX = 4096, /* longest text the channel builds */
  DIAG_PATH_SIZE = 4096   /* room for the debug log path */
};

typedef struct DiagState {
  OsFile console;                      /* open when DEBUG_CONSOLE is on */
  char debugLogPath[DIAG_PATH_SIZE];   /* empty: no debug log file */
  char reportBuffer[DIAG_REPORT_MAX + 1];
} DiagState;
extern DiagState diagState;

/* Checked operations: called with the lock held by a mark. */
[[noreturn]] void DiagAbort(const char *format, ...);
int DiagAssert(int condition, const char *format, ...);
int CheckPointer(const void *pointer);

/* Self-locking prints; both do nothing at all while debugFlags is 0. */
int DiagPrint(const char *format, ...);
int DiagSection(const char *title); /* title may be null */

/* The channel's workings, for the operations above. mode 1 is a fatal
 * report (prefix, call site, message box), mode 0 a plain text. */
int DiagCompose(int mode, const char *prefix, const char *file, int line, const char *format,
                va_list args);
int DiagEmit(const char *text);

/* ---- Start-up, command line and shutdown -------------------------------- */

/* Creates the lock, stores flags in debugFlags and works out the debug log
 * path beside the program (argument 0). Aborts when the system gives no
 * command line or it names no program. Always 1. */
int CoreStartup(const char *logName, uint32_t flags);
int CoreShutdown(void); /* closes the lock; 1 */

/* Where argument index (0: the program path) begins in text, at its opening
 * quote if it has one; null when there is no such argument. */
const char *CmdLineFindArg(const char *text, int index);

/* Copies argument index into out, quotes removed. out must hold the whole
 * of text plus its NUL. 1 when the argument exists, else 0 and out empty. */
int CmdLineGetArg(const char *text, int index, char *out);

/* As CmdLineGetArg, but never writes more than capacity bytes: an argument
 * that does not fit leaves out empty and gives -1. */
int CmdLineGetArgSized(const char *text, int index, char *out, int capacity);

/* ---- Tracked heap -------------------------------------------------------- */

#define MEMORY_NO_LIMIT 0x0FFFFFFF /* the limit that asks for no practical limit */

typedef struct MemoryState {
  int memoryLimit;    /* bytes that may be allocated at once, guards included */
  int blockCount;     /* blocks allocated and not yet freed */
  int bytesInUse;     /* their block totals */
  int peakBlockCount; /* highest blockCount since MemoryInit */
  int peakBytesInUse; /* highest bytesInUse since MemoryInit */
} MemoryState;
extern MemoryState memoryState;

/* Block layout: 4 guard bytes 0xCC, size rounded up to 4 zero bytes (the
 * caller's area), 4 guard bytes 0xCC. No header: free with the same size. */
int MemoryInit(int limit, int quickMemorySize);
void *MemoryAlloc(int size, const char *file, int line); /* never null */
int MemoryFree(void *pointerVariable, int size, const char *file, int line); /* clears it */
int MemoryRemove(void);

/* ---- Quick memory -------------------------------------------------------- */

typedef struct QuickMemory {
  int quickSize;
  char *quickBase; /* null: disabled */
  char *quickTop;
  char *quickEnd;
  char *quickPeak;
  int quickLargestFrame;
} QuickMemory;
extern QuickMemory quickMemory;

int QuickMemoryInit(int size); /* 0 disables */
int QuickMemoryNewFrame(void);
int QuickMemoryReport(void);
int QuickMemoryRemove(void);

#endif /* TSL_CORE_H */
