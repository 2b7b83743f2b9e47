/* tsl-core - Tessel's core runtime (see tsl-core.h). */
#include "tsl-core.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tsl-io.h"
#include "tsl-str.h"

#define TSL_SOURCE "..\\..\\TESSEL\\tsl-core"

/* Argument 0 is copied into the debug log path: one cut short by the command
 * line must be refused there, never taken for a shorter, wrong path; and
 * every path that fits must open. */
static_assert((int)OS_ARG0_MAX >= (int)DIAG_PATH_SIZE,
              "a cut program path must not fit the debug log path");
static_assert((int)DIAG_PATH_SIZE <= (int)OS_PATH_SIZE,
              "the debug log path must be one the layer opens");

static const char kLibraryVersion[] = "0.31";
static const char kDefaultLogName[] = "debug.log";

CoreLock coreLock;
uint32_t debugFlags;
DiagState diagState;
MemoryState memoryState;
QuickMemory quickMemory;

/* ======================================================================== */
/* Global lock and call-site record                                         */
/* ======================================================================== */

int LockCreate(void) {
  OsMutexCreate(&coreLock.mutex);
  LockSetSingleThread(0);
  return 1;
}

int LockSetSingleThread(int mode) {
  OsMutexWait(&coreLock.mutex);
  coreLock.singleThread = mode == 1 ? 1 : 0;
  OsMutexRelease(&coreLock.mutex);
  return 1;
}

int LockAcquire(void) {
  if (coreLock.singleThread != 1) OsMutexWait(&coreLock.mutex);
  return 1;
}

void LockRelease(void) {
  if (coreLock.singleThread != 1) OsMutexRelease(&coreLock.mutex);
}

int MarkCallSite(const char *file, int line) {
  LockAcquire();
  coreLock.callSiteFile = file;
  coreLock.callSiteLine = line;
  return 1;
}

/* ======================================================================== */
/* Diagnostic channel                                                       */
/* ======================================================================== */

/* vsnprintf's count of what it would have written, or 0 when it fails. */
static int FormatInto(char *to, size_t room, const char *format, va_list args) {
  int n = vsnprintf(to, room, format, args);
  return n < 0 ? 0 : n;
}

int DiagCompose(int mode, const char *prefix, const char *file, int line, const char *format,
                va_list args) {
  char *buffer = diagState.reportBuffer;
  const size_t room = sizeof(diagState.reportBuffer);
  /* length counts every character the text wanted, also those the buffer
   * had no room for, so that an overlong text is known and reported. */
  long length = 0;
  if (mode == 1) {
    length += snprintf(buffer, room, "\n\n%s", prefix);
    if ((size_t)length < room) length += FormatInto(buffer + length, room - length, format, args);
    if ((size_t)length < room) {
      length += snprintf(buffer + length, room - length, "       (%s/%d)\n",
                         file ? file : "(null)", line);
    } else {
      /* The message alone overran; count the location line all the same. */
      length += snprintf(nullptr, 0, "       (%s/%d)\n", file ? file : "(null)", line);
    }
    if (!(debugFlags & DEBUG_NO_MSGBOX)) IoMessageBox(buffer + 2, "Internal error...");
  } else {
    length = FormatInto(buffer, room, format, args);
  }
  DiagEmit(buffer); /* cut to the buffer when it was too long */
  if (length > DIAG_REPORT_MAX) {
    /* The lock is already held by the report in progress: no mark. */
    coreLock.callSiteFile = "Unknown";
    coreLock.callSiteLine = 0;
    DiagAbort("Last string too large (%d > %d)\n", (int)length, DIAG_REPORT_MAX);
  }
  return 1;
}

int DiagEmit(const char *text) {
  int length = (int)strlen(text);
  /* Raw bytes to the console: no line-end translation there. */
  if ((debugFlags & DEBUG_CONSOLE) && diagState.console.handle != OS_NO_FILE)
    IoWriteAll(diagState.console, text, length);
  if ((debugFlags & DEBUG_LOGFILE) && diagState.debugLogPath[0]) {
    /* Open for each text, so that every text is on disk once this returns. */
    OsFile file;
    if (IoFileOpen(&file, diagState.debugLogPath, OS_OPEN_APPEND, nullptr)) {
      IoWriteText(file, text, length);
      OsFileClose(file);
    }
  }
  return 1;
}

void DiagAbort(const char *format, ...) {
  va_list args;
  va_start(args, format);
  DiagCompose(1, "ABORT: ", coreLock.callSiteFile, coreLock.callSiteLine, format, args);
  va_end(args);
  LockRelease();
  OsExit(1);
}

int DiagAssert(int condition, const char *format, ...) {
  if (condition) {
    LockRelease();
    return 1;
  }
  va_list args;
  va_start(args, format);
  DiagCompose(1, "ASSERT:", coreLock.callSiteFile, coreLock.callSiteLine, format, args);
  va_end(args);
  LockRelease();
  OsExit(1);
}

int CheckPointer(const void *pointer) {
  if (pointer) {
    LockRelease();
    return 1;
  }
  return DiagAssert(0, "Pointer is NULL...\n");
}

int DiagPrint(const char *format, ...) {
  if (debugFlags == 0) return 1;
  LockAcquire();
  va_list args;
  va_start(args, format);
  DiagCompose(0, "", nullptr, 0, format, args);
  va_end(args);
  LockRelease();
  return 1;
}

int DiagSection(const char *title) {
  if (debugFlags == 0) return 1;
  LockAcquire();
  char *rule = diagState.reportBuffer;
  int width;
  int length;
  if (title) {
    /* The leading line end counts as one of the 80 characters. */
    width = 80;
    length = snprintf(rule, width + 1, "\n====[%s]", title);
  } else {
    width = 79;
    length = snprintf(rule, width + 1, "====");
  }
  if (length < 0) length = 0;
  if (length > width) length = width;
  while (length < width) rule[length++] = '=';
  rule[length++] = '\n';
  rule[length] = 0;
  DiagEmit(rule);
  LockRelease();
  return 1;
}

/* ======================================================================== */
/* Start-up, command line and shutdown                                      */
/* ======================================================================== */

static int IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

const char *CmdLineFindArg(const char *text, int index) {
  CHECK_PTR_AT_LINE(855, text);
  const unsigned char *p = (const unsigned char *)text;
  while (IsBlank(*p)) p++;
  int counter = 0;
  int quoted = 0;
  while (*p) {
    if (*p == '"') quoted = !quoted;
    if (quoted || *p > 32) {
      if (counter == index) break;
      p++;
      continue;
    }
    while (IsBlank(*p)) p++;
    if (!*p) break;
    counter++;
  }
  return counter == index ? (const char *)p : nullptr;
}

int CmdLineGetArgSized(const char *text, int index, char *out, int capacity) {
  CHECK_PTR_AT_LINE(924, text);
  CHECK_PTR_AT_LINE(925, out);
  if (capacity <= 0) return -1;
  out[0] = 0;
  const unsigned char *p = (const unsigned char *)CmdLineFindArg(text, index);
  if (!p || !*p) return 0;
  int quoted = 0;
  int length = 0;
  for (; *p >= 32; p++) {
    if (*p == '"') {
      quoted = !quoted;
      if (!quoted) break; /* what follows a closing quote is not copied */
      continue;
    }
    if (*p == ' ' && !quoted) break;
    if (length + 1 >= capacity) {
      out[0] = 0;
      return -1;
    }
    out[length++] = (char)*p;
  }
  out[length] = 0;
  return 1;
}

int CmdLineGetArg(const char *text, int index, char *out) {
  /* The caller's buffer holds all of text, so no argument can overrun it. */
  return CmdLineGetArgSized(text, index, out, 0x7FFFFFFF) == 1 ? 1 : 0;
}

/* Appends source to the debug log path; on overflow the path is emptied,
 * which leaves the debug log off rather than writing somewhere else. */
static void AppendToLogPath(const char *source) {
  char *path = diagState.debugLogPath;
  size_t used = strlen(path), extra = strlen(source);
  if (used + extra >= sizeof(diagState.debugLogPath)) {
    path[0] = 0;
    return;
  }
  memcpy(path + used, source, extra + 1);
}

static void BuildDebugLogPath(const char *logName, int argumentFits) {
  char *path = diagState.debugLogPath;
  size_t nameLength = strlen(logName);
  if (nameLength >= 2 && logName[1] == ':') {
    path[0] = 0; /* a name with a drive letter is the whole path */
    AppendToLogPath(logName);
    return;
  }
  if (!argumentFits) { /* argument 0 did not fit: no debug log */
    path[0] = 0;
    return;
  }
  char *cut = path;     /* keep argument 0 up to its last separator */
  for (char *p = path; *p; p++)
    if (*p == '\\' || *p == '/') cut = p + 1;
  *cut = 0;
  AppendToLogPath(nameLength < 2 ? kDefaultLogName : logName);
}

int CoreStartup(const char *logName, uint32_t flags) {
  LockCreate();
  debugFlags = flags;
  diagState.console.handle = OS_NO_FILE;
  diagState.debugLogPath[0] = 0;
  const char *commandLine = IoCommandLine();
  if (!commandLine) ABORT_AT_LINE(530, "Unable to retrieve commandline!\n");
  int found = CmdLineGetArgSized(commandLine, 0, diagState.debugLogPath,
                                 (int)sizeof(diagState.debugLogPath));
  if (found == 0)
    ABORT_AT_LINE(533, "No starting path was specified on commandline! [%s]\n", commandLine);
  /* A program path the command line cannot carry gives no debug log, as
   * one too long for it does. */
  BuildDebugLogPath(logName ? logName : kDefaultLogName, found == 1 && !IoCommandLineProblem());
  if (debugFlags == 0) return 1;

  if (debugFlags & DEBUG_CONSOLE) diagState.console = OsConsoleOpen(diagState.debugLogPath);
  if ((debugFlags & DEBUG_LOGFILE) && !(debugFlags & DEBUG_APPEND) && diagState.debugLogPath[0]) {
    OsFile file;
    if (IoFileOpen(&file, diagState.debugLogPath, OS_OPEN_CREATE, nullptr)) OsFileClose(file);
  }
  if (debugFlags & DEBUG_VERBOSE) DiagPrint("Tessel v%s\n", kLibraryVersion);
  return 1;
}

int CoreShutdown(void) {
  OsMutexClose(&coreLock.mutex);
  return 1;
}

/* ======================================================================== */
/* Tracked heap                                                             */
/* ======================================================================== */

enum { GUARD_BYTE = 0xCC, GUARD_SIZE = 4 };

/* A block's total, computed wide so that no size near the 32-bit limit can
 * wrap around into a short block. */
static long long BlockTotal(int size) { return ((long long)size + 8 + 3) & ~3LL; }

/* Every heap abort names the caller's call site; the lock is already held,
 * so the record is written directly and DiagAbort's release balances it. */
#define HEAP_ABORT(file, line, ...)                                            \
  (coreLock.callSiteFile = (file), coreLock.callSiteLine = (line), DiagAbort(__VA_ARGS__))

void *MemoryAlloc(int size, const char *file, int line) {
  LockAcquire();
  if (size <= 0) HEAP_ABORT(file, line, "Invalid Memory Size (%d)\n", size);
  long long total = BlockTotal(size);
  if ((long long)memoryState.bytesInUse + total > memoryState.memoryLimit)
    HEAP_ABORT(file, line, "Memory exceeds limit ((%d + %lld) / %d)\n", memoryState.bytesInUse,
               total, memoryState.memoryLimit);
  unsigned char *block = (unsigned char *)malloc((size_t)total);
  if (!block) HEAP_ABORT(file, line, "No Memory available (%d / %d)\n", size, (int)total);
  memoryState.blockCount += 1;
  memoryState.bytesInUse += (int)total;
  if (memoryState.blockCount > memoryState.peakBlockCount)
    memoryState.peakBlockCount = memoryState.blockCount;
  if (memoryState.bytesInUse > memoryState.peakBytesInUse)
    memoryState.peakBytesInUse = memoryState.bytesInUse;
  memset(block, GUARD_BYTE, GUARD_SIZE);
  memset(block + GUARD_SIZE, 0, (size_t)total - 2 * GUARD_SIZE);
  memset(block + total - GUARD_SIZE, GUARD_BYTE, GUARD_SIZE);
  LockRelease();
  return block + GUARD_SIZE;
}

int MemoryFree(void *pointerVariable, int size, const char *file, int line) {
  LockAcquire();
  if (size <= 0) HEAP_ABORT(file, line, "Invalid Memory Size (%d)\n", size);
  long long total = BlockTotal(size);
  void **variable = (void **)pointerVariable;
  if (!variable || !*variable)
    HEAP_ABORT(file, line, "No Memory address to free (%d / %lld)\n", size, total);
  unsigned char *block = (unsigned char *)*variable - GUARD_SIZE;
  for (int i = 0; i < GUARD_SIZE; i++)
    if (block[i] != GUARD_BYTE) HEAP_ABORT(file, line, "Memory corrupt before (%d)\n", size);
  for (int i = 0; i < GUARD_SIZE; i++)
    if (block[total - GUARD_SIZE + i] != GUARD_BYTE)
      HEAP_ABORT(file, line, "Memory corrupt after (%d)\n", size);
  memoryState.blockCount -= 1;
  memoryState.bytesInUse -= (int)total;
  free(block);
  *variable = nullptr;
  LockRelease();
  return 1;
}

int MemoryInit(int limit, int quickMemorySize) {
  if (debugFlags & DEBUG_VERBOSE) DiagSection("Memory Init");
  memoryState.memoryLimit = limit;
  memoryState.blockCount = 0;
  memoryState.bytesInUse = 0;
  memoryState.peakBlockCount = 0;
  memoryState.peakBytesInUse = 0;
  QuickMemoryInit(quickMemorySize);
  if (debugFlags & DEBUG_VERBOSE) {
    if (limit == MEMORY_NO_LIMIT)
      DiagPrint("Memory Initialized (Maximum)\n");
    else
      DiagPrint("Memory Initialized (limit %dk)\n", limit / 1024);
    DiagSection(nullptr);
  }
  return 1;
}

int MemoryRemove(void) {
  if (debugFlags & DEBUG_VERBOSE) DiagSection("Memory Remove");
  QuickMemoryRemove();
  if (debugFlags & DEBUG_VERBOSE)
    DiagPrint("Maximum Memory in use (%d / %dk)\n", memoryState.peakBlockCount,
              memoryState.peakBytesInUse / 1024);
  if (memoryState.bytesInUse != 0) {
    if (memoryState.bytesInUse < 1024)
      DiagPrint("Not all memory was free'd (%d / %db)\n", memoryState.blockCount,
                memoryState.bytesInUse);
    else
      DiagPrint("Not all memory was free'd (%d / %dk)\n", memoryState.blockCount,
                memoryState.bytesInUse / 1024);
  }
  if (debugFlags & DEBUG_VERBOSE) DiagSection(nullptr);
  return 1;
}

/* ======================================================================== */
/* Quick memory                                                             */
/* ======================================================================== */

int QuickMemoryInit(int size) {
  quickMemory.quickSize = size;
  if (size == MEMORY_NO_LIMIT) ABORT_AT_LINE(163, "Quickmemory size is invalid!\n");
  quickMemory.quickBase = size == 0 ? nullptr : (char *)MemoryAlloc(size, TSL_SOURCE, 168);
  quickMemory.quickTop = quickMemory.quickBase;
  quickMemory.quickPeak = quickMemory.quickBase;
  QuickMemoryNewFrame();
  if (debugFlags & DEBUG_VERBOSE) {
    if (size == 0)
      DiagPrint("Quickmemory Initialized (Disabled)\n");
    else
      DiagPrint("Quickmemory Initialized (%dk)\n", size / 1024);
  }
  return 1;
}

int QuickMemoryNewFrame(void) {
  LockAcquire();
  int frame = (int)(quickMemory.quickTop - quickMemory.quickBase);
  if (frame > quickMemory.quickLargestFrame) quickMemory.quickLargestFrame = frame;
  quickMemory.quickTop = quickMemory.quickBase;
  quickMemory.quickEnd = quickMemory.quickBase ? quickMemory.quickBase + quickMemory.quickSize
                                               : nullptr;
  LockRelease();
  return 1;
}

int QuickMemoryReport(void) {
  if (!quickMemory.quickBase) return 1;
  DiagPrint("Quick Memory size was set to (%dk)\n", quickMemory.quickSize / 1024);
  DiagPrint("Maximum Quick Memory in use (%dk)  Largest Frame (%dk)\n",
            (int)(quickMemory.quickPeak - quickMemory.quickBase) / 1024,
            quickMemory.quickLargestFrame / 1024);
  return 1;
}

int QuickMemoryRemove(void) {
  quickMemory.quickTop = quickMemory.quickBase;
  if (debugFlags & DEBUG_VERBOSE) QuickMemoryReport();
  if (quickMemory.quickSize > 0)
    MemoryFree(&quickMemory.quickBase, quickMemory.quickSize, TSL_SOURCE, 195);
  return 1;
}
