/* tsl-os - the raw primitives Tessel needs of the operating system.
 *
 * Exactly one of tsl-os-posix.cpp and tsl-os-win32.cpp is compiled into a
 * build; both define the functions below, in the same order, and nothing
 * else. They hold no rule that the two systems share: text mode, read-ahead,
 * whole-line writes, the test seams and the native form of a path are done
 * once, above them, in tsl-io.
 */
#ifndef TSL_OS_H
#define TSL_OS_H

#include <stdint.h>
#include <time.h>
#ifndef _WIN32
#include <setjmp.h>
#endif

#ifdef _WIN32
#define OS_PATH_SEPARATOR '\\'
#else
#define OS_PATH_SEPARATOR '/'
#endif

enum {
  /* Longest native path the layer opens, with its terminator. */
  OS_PATH_SIZE = 4096,
  /* Longest program path the command line keeps: longer ones are cut, and
   * a cut path fits no path buffer of the library, which then knows no
   * directory of its own rather than a wrong one. */
  OS_ARG0_MAX = 32767
};

/* An open file or standard stream: a POSIX descriptor or a Win32 handle. */
typedef struct OsFile {
  intptr_t handle;
  int appending; /* opened to append: each write lands at the end */
} OsFile;
#define OS_NO_FILE ((intptr_t)-1)

/* Why an open failed: the system's error number, and whether the refusal
 * can pass if tried again a little later (another process holds the file
 * for a moment), as opposed to one that stays (missing folder, no
 * permission, read-only file system). */
typedef struct OsFailure {
  int code;
  int transient;
} OsFailure;

/* The library's one recursive, process-private mutex, in storage of the
 * caller's. ready is 0 until OsMutexCreate has run; wait and release on a
 * mutex that is not ready do nothing. */
typedef struct OsMutex {
  union {
    void *handle;
    long long align;
    unsigned char storage[64];
  } u;
  int ready;
} OsMutex;

/* A broken-down local time, as the request log needs it. */
typedef struct OsDateTime {
  int year;   /* years since 1900 */
  int month;  /* 0 to 11 */
  int day;    /* 1 to 31 */
  int hour;   /* 0 to 23 */
  int minute; /* 0 to 59 */
} OsDateTime;

enum { OS_OPEN_READ, OS_OPEN_CREATE, OS_OPEN_APPEND };
enum { OS_STDIN, OS_STDOUT, OS_STDERR };

/* ---- Files and streams --------------------------------------------------- */

/* Opens a native path: OS_OPEN_READ an existing file (never a folder),
 * OS_OPEN_CREATE a file created or emptied, OS_OPEN_APPEND a file created
 * if missing whose every write goes to its end, also when other processes
 * append at the same time. Never creates a folder. 1 and the file in *file;
 * 0, and the reason in *failure when it is not null. */
int OsFileOpen(OsFile *file, const char *nativePath, int mode, OsFailure *failure);

/* One read of up to count bytes: the number read, 0 at the end, -1 on an
 * error. An interrupted call is made again. */
int OsFileRead(OsFile file, char *buffer, int count);

/* Waits up to milliseconds for file (a pipe, a socket, a terminal) to have
 * bytes to read or to be at its end: 1 then (a file on disk at once), 0
 * when the time ran out, -1 when it cannot be waited on. */
int OsFileAwait(OsFile file, int milliseconds);

/* One write of count bytes, in one system call: the number written (which
 * may be short), or -1 on an error. An appending file's write lands whole at
 * the end of the file, never split by another process's. */
int OsFileWrite(OsFile file, const char *bytes, int count);

void OsFileClose(OsFile file);

/* OS_STDIN, OS_STDOUT or OS_STDERR; its handle is OS_NO_FILE when the
 * process has none. */
OsFile OsStandardStream(int which);

/* A visitor who has gone away must cost a failed write, never the process:
 * POSIX ends a process that writes to a pipe nobody reads, unless told not
 * to. Windows has nothing to do. */
void OsIgnoreBrokenPipe(void);

/* What tells one version of a file from the next: where it lives, its
 * size, and when it was last written and its entry last changed, to the
 * nanosecond where the system keeps that. */
typedef struct OsFileStamp {
  uint64_t device, inode;
  int64_t size;
  int64_t modified, modifiedNanos;
  int64_t changed, changedNanos;
} OsFileStamp;

/* The stamp of the file at a native path: 1, or 0 when it does not exist
 * or cannot be reached. */
int OsFileStampOf(const char *nativePath, OsFileStamp *stamp);

/* The stamp of an open file: 1, or 0 when the system cannot tell it. */
int OsFileStampOpen(OsFile file, OsFileStamp *stamp);

/* One read of up to count bytes at offset, the file's position left
 * alone: the number read, 0 at the end, -1 on an error. */
int OsFileReadAt(OsFile file, char *buffer, int count, int64_t offset);

/* A read-only view of the first size bytes of a file, shared with every
 * other process that maps or reads it: the pages the system's cache holds
 * for the file, not a copy. It stays valid when the file is closed, and
 * until OsFileUnmap. handle is 0 for a view that is not the layer's. */
typedef struct OsMapping {
  const char *bytes;
  int64_t size;
  intptr_t handle;
} OsMapping;

/* Maps an open file (size above 0): 1, or 0 when the system will not. */
int OsFileMap(OsFile file, int64_t size, OsMapping *mapping);
void OsFileUnmap(OsMapping *mapping);

/* A trap for the fault of reading a view whose file another program cut
 * short meanwhile (POSIX ends a process that reads a page past a mapped
 * file's end; Windows refuses to cut a mapped file). Set, a fault in the
 * view returns to where OS_FAULT_TRAPPED was, which is then 1 (trap
 * cleared); cleared, a fault ends the process as it would have. One trap
 * at a time, on the one thread. */
typedef struct OsFaultTrap {
#ifndef _WIN32
  sigjmp_buf jump;
#endif
  int set;
} OsFaultTrap;
void OsFaultTrapSet(OsFaultTrap *trap);
void OsFaultTrapClear(OsFaultTrap *trap);
#ifdef _WIN32
#define OS_FAULT_TRAPPED(trap) (OsFaultTrapSet(trap), 0)
#else
#define OS_FAULT_TRAPPED(trap) (OsFaultTrapSet(trap), sigsetjmp((trap)->jump, 0) != 0)
#endif

/* ---- A file replaced whole (the table's editor) ------------------------------ */

/* 1 where a file that this process holds open or mapped cannot be replaced
 * (Windows): the editor lets go of the table before it puts the new one
 * in its place. */
#ifdef _WIN32
#define OS_OPEN_FILE_BLOCKS_REPLACE 1
#else
#define OS_OPEN_FILE_BLOCKS_REPLACE 0
#endif

/* Creates the file at a native path, which must not exist yet, for
 * reading and writing, readable by its owner alone until OsFileTakeAccess:
 * 1, or 0 with the reason in *failure (EEXIST / ERROR_FILE_EXISTS when it
 * exists). */
int OsFileCreateNew(OsFile *file, const char *nativePath, OsFailure *failure);

/* Writes count bytes at offset, the file's position left alone: 1 when
 * all were written, 0 on an error. */
int OsFileWriteAt(OsFile file, const char *bytes, int count, int64_t offset);

/* The file's bytes on the disk: 1, or 0 on an error. */
int OsFileFlush(OsFile file);

/* Copies count bytes at offset of from to at of to within the system,
 * without them passing through the process: the number copied (fewer when
 * the system stops short), 0 when the system cannot (the caller writes the
 * bytes itself), -1 on an error. */
int64_t OsFileCopyRange(OsFile from, int64_t offset, OsFile to, int64_t at, int64_t count);

/* Gives file the access of the file at likePath: its owner, group and mode
 * (POSIX), its attributes (Windows, where the folder's rules give the
 * rest): 1, or 0 with the reason in *failure. */
int OsFileTakeAccess(OsFile file, const char *likePath, OsFailure *failure);

/* 1 when the system marks the file at a native path as not to be written:
 * no write permission for anyone (POSIX), the read-only attribute
 * (Windows). */
int OsFileReadOnly(const char *nativePath);

/* Puts the file at fromPath in the place of the one at toPath, in one step
 * for every reader (each opens the old file or the new one), the new name
 * on the disk when it returns where the system can say so (Windows:
 * written through; POSIX: see OsFolderFlush): 1, or 0 with the reason in
 * *failure, transient when another program holds toPath open in a way
 * that forbids it (Windows). */
int OsFileReplace(const char *fromPath, const char *toPath, OsFailure *failure);

/* Removes the file at a native path: 1, or 0. */
int OsFileRemove(const char *nativePath);

/* The names in a folder on the disk (POSIX; Windows wrote them through):
 * 1, or 0 on an error. */
int OsFolderFlush(const char *nativeFolder);

/* Takes, without waiting, the exclusive lock of the edits of the file name
 * in folder: on the folder itself where the system locks folders (POSIX),
 * else on a file beside the one edited, .NAME.lock, there only while an
 * edit holds it (Windows). 1 taken, and *lock open; 0 another process
 * holds it; -1 with the reason in *failure. It is let go when *lock is
 * closed or the process ends, however it ends. */
int OsEditLockTry(OsFile *lock, const char *nativeFolder, const char *name, OsFailure *failure);

/* An end asked of the process from outside: Ctrl+C, SIGTERM, SIGHUP, a
 * console window closed or the session ending (Windows). onInterrupt runs
 * with the kind (a signal number, or a console event), once, and must only
 * take note; the process then ends by OsEndByInterrupt. On Windows the end
 * of a closed console waits (up to the system's five seconds) until the
 * process has ended itself. While held, no interrupt arrives (POSIX: the
 * signals are blocked; Windows: the note waits). */
void OsCatchInterrupts(void (*onInterrupt)(int kind));
void OsHoldInterrupts(int hold);
[[noreturn]] void OsEndByInterrupt(int kind);

/* A fault in reading a mapped file that another program cut short, where
 * no OsFaultTrap is set: onFault runs, and must end the process (POSIX;
 * Windows refuses to cut a mapped file). */
void OsCatchMappedFault(void (*onFault)(void));

/* The clock, to the nanosecond where the system keeps it. */
void OsClockNow(int64_t *seconds, int64_t *nanos);

/* 1 when descriptor is a socket that listens for connections: how a web
 * server or a service manager hands a persistent (FastCGI) program its
 * requests. */
int OsListens(int descriptor);

/* This process's identifier. */
long OsProcessId(void);

/* The failure of the last call of this thread that failed, for a read or
 * write that returned -1. */
OsFailure OsLastFailure(void);

/* The system's words for a failure, in text (size bytes, always ended). */
void OsFailureText(OsFailure failure, char *text, int size);

/* ---- Time, the lock, the process ------------------------------------------ */

void OsSleep(int milliseconds);

/* The system's recursive lock, in storage of OsMutex's size. */
void OsLockInit(void *storage);
void OsLock(void *storage);
void OsUnlock(void *storage);
void OsLockFree(void *storage);

/* The mutex over that lock, with the rule both systems share: one that is
 * not ready takes no lock. */
static inline int OsMutexCreate(OsMutex *mutex) {
  OsLockInit(mutex->u.storage);
  mutex->ready = 1;
  return 1;
}
static inline void OsMutexWait(OsMutex *mutex) {
  if (mutex->ready) OsLock(mutex->u.storage);
}
static inline void OsMutexRelease(OsMutex *mutex) {
  if (mutex->ready) OsUnlock(mutex->u.storage);
}
static inline void OsMutexClose(OsMutex *mutex) {
  if (mutex->ready) OsLockFree(mutex->u.storage);
  mutex->ready = 0;
}

/* Seconds since 1970 now, and their local date and time; the latter 0 when
 * the system cannot break the time down (*out is then left alone). */
int64_t OsTimeNow(void);
int OsLocalTime(time_t moment, struct tm *out);

/* A room of bytes bytes from the system, zero-filled, outside the heap and
 * the program's image: its pages cost nothing until they are first touched,
 * so a program that may need a large room pays for it only when it does.
 * Null when the system gives none. OsRoomRelease gives it back. */
void *OsRoomReserve(int64_t bytes);
void OsRoomRelease(void *room, int64_t bytes);

/* The process's command-line text as the system hands it over (Windows),
 * program path first; null where the system hands over an argument vector
 * instead (POSIX). Valid until the process ends. */
const char *OsCommandLineText(void);

/* The argument vector the C library handed over, in *vector, and its
 * count; 0 where there is none (Windows; a C library that passes none to
 * the program's initialisers). */
int OsArguments(char ***vector);

/* The path of the program's own file, into path (size bytes), for argument
 * 0 given as name: the current folder's entry name when it is this very
 * file (a web server runs a bare name from the program's folder, perhaps
 * through a symbolic link whose folder holds the data), otherwise the file
 * the system started; the latter alone for the empty name. 0 when neither
 * can be told, and always where the command-line text names the file
 * (Windows). */
int OsOwnFile(const char *name, char *path, int size);

/* The modal box of a fatal report, one OK button and the stop icon. 0 where
 * the system has none (POSIX): the caller writes the report to standard
 * error instead, where a web server keeps its CGI error log. */
int OsMessageBox(const char *text, const char *caption);

/* A console for diagnostic texts, titled where the system allows: Windows
 * opens one of the process's own; POSIX writes them to standard error. */
OsFile OsConsoleOpen(const char *title);

/* Calls onTerminate (from a signal handler: it may only set flags) when
 * the process is asked to end (POSIX: SIGTERM), interrupting a wait for a
 * connection rather than resuming it. */
void OsCatchTerminate(void (*onTerminate)(void));

/* From here on a request to end is held back while the process works and
 * handed to the handler only inside the two waits below, so that it never
 * interrupts the reading or answering of a request: one that arrives
 * meanwhile is noticed at the next wait. (Windows: nothing to hold.) */
void OsHoldTerminate(void);

/* Waits for a connection on the listening socket listener and accepts it,
 * letting a held request to end through: the connection's descriptor, or
 * -1 when a request to end arrived or the socket failed. peerAddress (room
 * bytes, at least 16) gets the peer's address in dotted decimal for a
 * TCP/IPv4 connection, and is empty for any other. */
int OsAwaitConnection(int listener, char *peerAddress, int room);

/* Waits until socket has bytes to read or is closed, letting a held request
 * to end through: 1, or 0 when a request to end arrived or the wait
 * failed. */
int OsAwaitReadable(int socket);

/* Ends the process through the normal exit path. */
[[noreturn]] void OsExit(int code);

#endif /* TSL_OS_H */
