/* tsl-os - the one thin layer between Tessel and the operating system.
 *
 * Everything above this header is portable. Exactly one of tsl-os-posix.cpp
 * and tsl-os-win32.cpp is compiled into a build; both define the functions
 * below, in the same order.
 *
 * Text mode. The system's bytes are those of a Windows text stream, and the
 * platform sources both apply these rules themselves (tsl-os-text.h):
 *   - writes (standard output, the request log, the debug log) store each
 *     "\n" as "\r\n";
 *   - reads (the redirect table, the request body) drop every "\r" and end
 *     the data at a byte 0x1A.
 *
 * Paths are written with backslashes ("hopdata\config.txt"); the POSIX
 * source opens them with '/'.
 */
#ifndef TSL_OS_H
#define TSL_OS_H

#include <stdint.h>

/* An open file. Opaque; null means "not open". */
typedef struct OsFile OsFile;

/* A broken-down local time, as the request log needs it. */
typedef struct OsDateTime {
  int year;   /* years since 1900 */
  int month;  /* 0 to 11 */
  int day;    /* 1 to 31 */
  int hour;   /* 0 to 23 */
  int minute; /* 0 to 59 */
} OsDateTime;

/* The process's command-line text: program path first, then the arguments,
 * as one NUL-terminated text. On POSIX it is rebuilt from the argument
 * vector: arguments joined by single spaces, an empty argument or one that
 * holds a space or tab written in double quotes. Null when the system gives
 * none. The text stays valid until the process ends. */
const char *OsGetCommandLine(void);

/* The library's one recursive, process-private mutex. Create gives a handle
 * (never null on success); wait and release on a null handle do nothing. */
void *OsMutexCreate(void);
void OsMutexWait(void *mutex);
void OsMutexRelease(void *mutex);
void OsMutexClose(void *mutex);

/* The modal box of a fatal report: one OK button and the stop icon. On
 * POSIX there is no box: the caption and the text go to standard error
 * (where a web server keeps its CGI error log), never to standard output. */
void OsMessageBox(const char *text, const char *caption);

/* The diagnostic console: a handle to write raw bytes to (no line-end
 * translation). POSIX: standard error. Win32: a console of the process's
 * own, titled with the given text. */
void *OsConsoleOpen(const char *title);
void OsConsoleWrite(void *console, const char *bytes, int count);

void OsSleep(int milliseconds);

/* Files in text mode. mode is a C library open mode: "rt" reads, "wt"
 * creates or empties, "at"/"at+" appends (created if missing; every write
 * goes to the end of the file, also when other processes append too).
 * Returns null when the file cannot be opened; never creates a directory. */
OsFile *OsFileOpen(const char *path, const char *mode);

/* Reads up to count bytes in text mode. Delivers count bytes unless the data
 * ends (end of file, a byte 0x1A, or a read error): a dropped "\r" never
 * makes the result short. Returns the number delivered, 0 at the end. */
int OsFileRead(OsFile *file, char *buffer, int count);

/* Writes count bytes in text mode. The translated bytes of one call of up to
 * OS_WRITE_WHOLE bytes reach the system in a single write, so that a line
 * appended by one process is never split by another's. Returns 1 when all
 * were taken, else 0. */
enum { OS_WRITE_WHOLE = 4096 };
int OsFileWrite(OsFile *file, const char *bytes, int count);

void OsFileClose(OsFile *file);

/* Reads up to count bytes of standard input in text mode, taking no more
 * than *rawBudget bytes from the stream (the caller's CONTENT_LENGTH) and
 * lowering *rawBudget by what it took. Returns the number delivered. */
int OsStdinRead(char *buffer, int count, int *rawBudget);

/* Writes count bytes to standard output in text mode. Returns 1 when all
 * were written. */
int OsStdoutWrite(const char *bytes, int count);

/* The local date and time now, to the second. Returns 0 (and leaves *out
 * alone) when the system cannot break the time down. */
int OsLocalTime(OsDateTime *out);

/* Ends the process through the normal exit path. */
[[noreturn]] void OsExit(int code);

/* Test seams: a test sets these instead of spawning a process or waiting
 * for midnight. Null, or a time below 0, restores the real source. */
void OsSetCommandLineForTest(const char *text);
void OsSetTimeForTest(int64_t secondsSinceEpoch);
/* With 1, a fatal report's box is written to standard error as on POSIX,
 * so that tests can read it; POSIX always does so. */
void OsSetMessageBoxToStandardErrorForTest(int enabled);
/* Forgets that standard input has ended (end of stream or a byte 0x1A), so
 * that a test which puts new bytes on standard input can read them. */
void OsResetStdinForTest(void);

#endif /* TSL_OS_H */
