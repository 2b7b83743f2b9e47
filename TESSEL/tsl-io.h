/* tsl-io - Tessel's input and output, the same on every system, over the
 * raw primitives of tsl-os.
 *
 * Text mode. The system's bytes are those of a Windows text stream, on
 * every system alike:
 *   - writes (standard output, the request log, the debug log) store each
 *     "\n" as "\r\n";
 *   - reads (the redirect table, the request body) drop every "\r" and end
 *     the data at a byte 0x1A, and a dropped "\r" never makes a read short.
 * Paths are written with backslashes ("hopdata\config.txt") and opened in
 * the system's own form.
 */
#ifndef TSL_IO_H
#define TSL_IO_H

#include <stdint.h>

#include "tsl-os.h"

enum {
  /* Text of up to this many bytes reaches the system in a single write, so
   * that a line appended by one process is never split by another's. */
  IO_WRITE_WHOLE = 4096,
  /* A text file is read from the system in blocks of this size, however
   * small the pieces its reader asks for. */
  IO_READ_AHEAD = 65536,
  /* A path of fewer bytes than this, as the program builds on its own
   * folder, is made native on the stack of the call that opens it; a longer
   * one in a frame of its own. */
  IO_SHORT_PATH_SIZE = 512
};

/* Marks a zero-filled buffer too large to share pages with the small state
 * that every run touches: a program started for each request pays for each
 * page it touches, and such buffers mostly lie untouched. Each starts a
 * page, so that a few bytes at its start (a reader's state and a short
 * file) cost one page, not two. (ELF on x86-64 keeps a section for large
 * data after all the rest.) */
#if defined(__ELF__) && defined(__x86_64__)
#define IO_LARGE_BUFFER __attribute__((section(".lbss"), aligned(4096)))
#else
#define IO_LARGE_BUFFER
#endif

/* Marks a function that holds a large buffer for an unusual case (a path
 * longer than the program's own ever are), so that its frame is made only
 * when that case comes: the usual call keeps the stack within the few pages
 * a run touches anyway. */
#if defined(__GNUC__)
#define IO_OWN_FRAME __attribute__((noinline))
#elif defined(_MSC_VER)
#define IO_OWN_FRAME __declspec(noinline)
#else
#define IO_OWN_FRAME
#endif

/* OsFailure.code of a path too long for the layer to open. */
#define IO_PATH_TOO_LONG (-1)

/* ---- The process, with seams for tests ----------------------------------- */

/* The process's command-line text: program path first, then the arguments,
 * as one NUL-terminated text; or the text a test set; null when the system
 * gives none. Windows hands the text over as it is. POSIX hands over an
 * argument vector, which is joined with single spaces, an argument that is
 * empty or holds a space or tab written in double quotes; there the program
 * path is the program's own file when argument 0 is a bare name, which the
 * system found in a folder of its search path, not necessarily in the
 * current one. Valid until the process ends. */
const char *IoCommandLine(void);

/* Null, or why that text cannot name the program's own file faithfully (a
 * path joined from a vector that holds a double quote, a backslash or a
 * byte below 32, which the text has no way to write): the program then has
 * no folder of its own, rather than a wrong one. Null for a text a test set. */
const char *IoCommandLineProblem(void);

/* Seconds since 1970 now, or the moment a test set. */
int64_t IoTimeNow(void);

/* The local date and time of IoTimeNow; 0 when the system cannot break it
 * down. */
int IoLocalTime(OsDateTime *out);

/* The box of a fatal report; where the system has none, or a test asks for
 * it, caption and text go to standard error in one write instead. */
void IoMessageBox(const char *text, const char *caption);

/* Test seams: null, or a time below 0, restores the real source. With 1,
 * a fatal report's box is written to standard error, as on POSIX, so that
 * a test can read it. */
void IoSetCommandLineForTest(const char *text);
void IoSetTimeForTest(int64_t secondsSinceEpoch);
void IoSetMessageBoxToStandardErrorForTest(int enabled);

/* ---- Text mode and paths ----------------------------------------------- */

/* Turns count freshly read bytes into text-mode data in place: cut at the
 * first 0x1A (setting *ended to 1), every "\r" dropped. Returns the number
 * of bytes kept. */
int IoTextIn(char *bytes, int count, int *ended);

/* Copies path into native (size bytes) with each backslash turned into the
 * system's separator; 0 when it does not fit (native is then empty). */
int IoNativePath(const char *path, char *native, int size);

/* The stamp of the file at path (see OsFileStampOf); 0 when there is none
 * or the path is too long. */
int IoFileStamp(const char *path, OsFileStamp *stamp);

/* 1 when two stamps are of the same version of the same file. */
int IoSameStamp(const OsFileStamp *a, const OsFileStamp *b);

/* The system's words for a failure of IoFileOpen or IoReaderOpen. */
void IoFailureText(OsFailure failure, char *text, int size);

/* ---- Reading text files ------------------------------------------------ */

/* A text file being read, with its read-ahead block; the caller's. */
typedef struct IoReader {
  OsFile file;
  int start, end; /* the block's unread text-mode bytes */
  int ended;      /* end of file, a read error or a byte 0x1A was met */
  int keepReturns; /* 1: "\r" is delivered, see IoReaderKeepReturns */
  char block[IO_READ_AHEAD];
} IoReader;

/* 1 when path opened for reading (a folder never does); else 0 and, when
 * failure is not null, why. */
int IoReaderOpen(IoReader *reader, const char *path, OsFailure *failure);

/* Delivers count text-mode bytes unless the data ends first; the number
 * delivered, 0 at the end, and 0 again on every later call. */
int IoReaderRead(IoReader *reader, char *buffer, int count);

/* With 1, the reader delivers every "\r" as it stands (the data still ends
 * at a byte 0x1A), for a caller that drops them itself where they matter;
 * IoReaderOpen sets 0. */
void IoReaderKeepReturns(IoReader *reader, int keep);

void IoReaderClose(IoReader *reader);

/* ---- Writing ------------------------------------------------------------- */

/* Opens path (OS_OPEN_CREATE or OS_OPEN_APPEND) for IoWriteText. */
int IoFileOpen(OsFile *file, const char *path, int mode, OsFailure *failure);

/* Where text-mode bytes go: all count bytes, 1 when they were taken. */
typedef int (*IoSink)(void *context, const char *bytes, int count);

/* Turns the length bytes at text into text mode where they lie: each "\n"
 * becomes "\r\n". The new length; -1, text unchanged, when that would not
 * fit in capacity bytes. */
int IoTextOut(char *text, int length, int capacity);

/* Writes count bytes in text mode to sink, in pieces of up to
 * IO_WRITE_WHOLE bytes, each translated and handed over in one call; stops
 * at the first piece the sink refuses. 1 when all were taken. */
int IoWriteTextTo(IoSink sink, void *context, const char *bytes, int count);

/* The same to a file or stream: each piece in one system call. */
int IoWriteText(OsFile file, const char *bytes, int count);

/* The same two for text in a buffer of the caller's, capacity bytes: with
 * the same calls of the sink, but a text of one piece whose translation
 * fits the buffer is translated where it lies (its bytes are changed) and
 * needs no buffer of the layer's, nor the stack that takes. */
int IoWriteTextInPlace(IoSink sink, void *context, char *text, int length, int capacity);
int IoWriteFileInPlace(OsFile file, char *text, int length, int capacity);

/* Writes raw bytes to a file or stream, again after a short write; 1 when
 * all went. */
int IoWriteAll(OsFile file, const char *bytes, int count);

#endif /* TSL_IO_H */
