/* tsl-io - portable input and output (see tsl-io.h). */
#include "tsl-io.h"

#include <string.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

/* Room for the command line as joined from an argument vector. An argument
 * that does not fit is left off with everything after it, but for the
 * program's own path, which is kept cut at OS_ARG0_MAX bytes. The usual
 * command line, a web server's path of the program and perhaps the words
 * of a query, is joined in a short room among the state every run touches;
 * only one that does not fit there takes the large room, and its page. */
enum { JOINED_SHORT_SIZE = 512, JOINED_TEXT_SIZE = 3 * (OS_ARG0_MAX + 1) };

static struct {
  const char *commandLine; /* set by a test, else null */
  int64_t time;            /* set by a test, else below 0 */
  int messageBoxToStandardError;
  int commandLineBuilt; /* the system's text below was worked out */
  const char *systemCommandLine, *commandLineProblem;
  char shortJoined[JOINED_SHORT_SIZE];
} io = {nullptr, -1, 0, 0, nullptr, nullptr, {0}};
static char joined[JOINED_TEXT_SIZE] IO_LARGE_BUFFER;

/* ---- The process, with seams for tests ----------------------------------- */

/* Appends one argument to text (size bytes), quoted when it is empty or
 * holds a space or tab, so that the tokeniser gives it back unchanged. */
static void AppendArgument(char *text, int size, const char *arg, size_t length, int *used) {
  if (*used == 0 && length > OS_ARG0_MAX) length = OS_ARG0_MAX;
  int quote = (length == 0) || memchr(arg, ' ', length) || memchr(arg, '\t', length);
  size_t need = length + (quote ? 2 : 0) + (*used > 0 ? 1 : 0);
  if (*used < 0 || *used + need >= (size_t)size) {
    *used = -1; /* does not fit: this argument and the rest are left off */
    return;
  }
  char *p = text + *used;
  if (*used > 0) *p++ = ' ';
  if (quote) *p++ = '"';
  memcpy(p, arg, length);
  p += length;
  if (quote) *p++ = '"';
  *p = 0;
  *used = (int)(p - text);
}

/* Joins argument 0 (zero) and the vector's others into text (size bytes):
 * 1 when all of them fit. */
static int JoinInto(char *text, int size, const char *zero, char **arguments, int count) {
  int used = 0;
  text[0] = 0;
  AppendArgument(text, size, zero, strlen(zero), &used);
  for (int i = 1; arguments && i < count && arguments[i] && used >= 0; i++)
    AppendArgument(text, size, arguments[i], strlen(arguments[i]), &used);
  return used >= 0;
}

/* A path the command-line text cannot carry: the tokeniser has no escape
 * for a double quote, takes a backslash for a separator and ends an
 * argument at a byte below 32. */
static int Unfaithful(const char *path) {
  for (const unsigned char *p = (const unsigned char *)path; *p; p++)
    if (*p == '"' || *p == '\\' || *p < 32) return 1;
  return 0;
}

/* Joins the argument vector into one text, the way the tokeniser reads it
 * back; argument 0 as the program's own file when it is a bare name. */
static const char *JoinArguments(void) {
  static char own[OS_PATH_SIZE] IO_LARGE_BUFFER;
  char **arguments;
  const int count = OsArguments(&arguments);
  const int vector = count > 0 && arguments[0];
  const char *zero = nullptr;
  if (vector) {
    zero = arguments[0];
    if (!strchr(zero, '/') && OsOwnFile(zero, own, sizeof(own))) zero = own;
  } else if (OsOwnFile("", own, sizeof(own))) {
    /* No vector (a C library that passes none to initialisers): the
     * program's own file is all the command line can tell. */
    zero = own;
  }
  if (!zero) return nullptr;
  if (Unfaithful(zero))
    io.commandLineProblem = "its path holds a double quote, a backslash or a control byte";
  char **others = vector ? arguments : nullptr;
  const char *text = io.shortJoined;
  if (!JoinInto(io.shortJoined, JOINED_SHORT_SIZE, zero, others, count)) {
    JoinInto(joined, JOINED_TEXT_SIZE, zero, others, count);
    text = joined;
  }
  return text[0] ? text : nullptr;
}

static const char *SystemCommandLine(void) {
  if (!io.commandLineBuilt) {
    io.commandLineBuilt = 1;
    io.systemCommandLine = OsCommandLineText();
    if (!io.systemCommandLine) io.systemCommandLine = JoinArguments();
  }
  return io.systemCommandLine;
}

const char *IoCommandLine(void) { return io.commandLine ? io.commandLine : SystemCommandLine(); }

const char *IoCommandLineProblem(void) {
  if (io.commandLine) return nullptr;
  SystemCommandLine();
  return io.commandLineProblem;
}

int64_t IoTimeNow(void) { return io.time >= 0 ? io.time : OsTimeNow(); }

int IoLocalTime(OsDateTime *out) {
  struct tm parts;
  if (!OsLocalTime((time_t)IoTimeNow(), &parts)) return 0;
  out->year = parts.tm_year;
  out->month = parts.tm_mon;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  return 1;
}

void IoMessageBox(const char *text, const char *caption) {
  if (!io.messageBoxToStandardError && OsMessageBox(text, caption)) return;
  /* One write, so that the report stays together in a shared error log. */
  char report[4096 + 128];
  size_t captionLength = strlen(caption), textLength = strlen(text);
  OsFile error = OsStandardStream(OS_STDERR);
  if (captionLength + 1 + textLength <= sizeof(report)) {
    memcpy(report, caption, captionLength);
    report[captionLength] = '\n';
    memcpy(report + captionLength + 1, text, textLength);
    IoWriteAll(error, report, (int)(captionLength + 1 + textLength));
  } else {
    IoWriteAll(error, caption, (int)captionLength);
    IoWriteAll(error, "\n", 1);
    IoWriteAll(error, text, (int)textLength);
  }
}

void IoSetCommandLineForTest(const char *text) { io.commandLine = text; }

void IoSetTimeForTest(int64_t secondsSinceEpoch) { io.time = secondsSinceEpoch; }

void IoSetMessageBoxToStandardErrorForTest(int enabled) { io.messageBoxToStandardError = enabled; }

/* ---- Text mode and paths ----------------------------------------------- */

/* Drops every "\r" of count bytes in place; returns the number kept. Sixteen
 * bytes at a time where the processor allows: a block with none or one "\r"
 * (a CR LF table has one a line) takes one blend of the block and the block
 * shifted down by a byte, with no branch that guesses which of the two it
 * is. Every store lands below the end of the block just loaded, so no byte
 * is overwritten before it is read. */
static int DropReturns(char *bytes, int count) {
  int in = 0, out = 0;
#ifdef __SSE2__
  /* Sixteen bytes read from kOnes + 16 - at are all ones before position
   * at, and zero from it on. */
  static const unsigned char kOnes[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const __m128i returns = _mm_set1_epi8('\r');
  for (; in + 16 <= count; in += 16) {
    __m128i block = _mm_loadu_si128((const __m128i *)(bytes + in));
    unsigned found = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(block, returns));
    if ((found & (found - 1)) == 0) {
      /* Bytes before the "\r" stay, those after it move down by one. */
      int at = __builtin_ctz(found | 0x10000u);
      __m128i before = _mm_loadu_si128((const __m128i *)(kOnes + 16 - at));
      __m128i shifted = _mm_srli_si128(block, 1);
      __m128i kept = _mm_or_si128(_mm_and_si128(before, block), _mm_andnot_si128(before, shifted));
      _mm_storeu_si128((__m128i *)(bytes + out), kept);
      out += 16 - (found != 0);
    } else {
      for (int k = in; k < in + 16; k++) {
        char c = bytes[k];
        bytes[out] = c;
        out += c != '\r';
      }
    }
  }
#endif
  for (; in < count; in++) {
    char c = bytes[in];
    bytes[out] = c;
    out += c != '\r';
  }
  return out;
}

/* The data ends at a byte 0x1A: the count of bytes before it, *ended set
 * when there is one. */
static int CutAtEnd(const char *bytes, int count, int *ended) {
  const char *stop = (const char *)memchr(bytes, 0x1A, (size_t)count);
  if (!stop) return count;
  *ended = 1;
  return (int)(stop - bytes);
}

int IoTextIn(char *bytes, int count, int *ended) {
  count = CutAtEnd(bytes, count, ended);
  /* memchr finds the first "\r": a table with LF line ends costs no pass
   * per byte here. */
  char *cr = (char *)memchr(bytes, '\r', (size_t)count);
  if (!cr) return count;
  int plain = (int)(cr - bytes);
  return plain + DropReturns(cr, count - plain);
}

int IoNativePath(const char *path, char *native, int size) {
  size_t length = strlen(path);
  if (size <= 0 || length >= (size_t)size) {
    if (size > 0) native[0] = 0;
    return 0;
  }
  for (size_t i = 0; i <= length; i++) native[i] = path[i] == '\\' ? OS_PATH_SEPARATOR : path[i];
  return 1;
}

/* A call of the system with a path in its native form: an open of file
 * (mode, failure) or, without a file, a look at the stamp. */
typedef struct NativeCall {
  OsFile *file;
  int mode;
  OsFailure *failure;
  OsFileStamp *stamp;
} NativeCall;

static int PathTooLong(OsFailure *failure) {
  if (failure) {
    failure->code = IO_PATH_TOO_LONG;
    failure->transient = 0;
  }
  return 0;
}

static int CallNative(const char *native, const NativeCall *call) {
  return call->file ? OsFileOpen(call->file, native, call->mode, call->failure)
                    : OsFileStampOf(native, call->stamp);
}

static IO_OWN_FRAME int CallWithLongPath(const char *path, const NativeCall *call) {
  char native[OS_PATH_SIZE];
  if (!IoNativePath(path, native, sizeof(native))) return PathTooLong(call->failure);
  return CallNative(native, call);
}

/* Makes path native and makes the call. The program's own paths (the
 * table's and the log's, built on its folder) are short and fit a small
 * buffer; a longer one is made native in a frame of its own. */
static int CallWithPath(const char *path, const NativeCall *call) {
  char native[IO_SHORT_PATH_SIZE];
  if (!IoNativePath(path, native, sizeof(native))) return CallWithLongPath(path, call);
  return CallNative(native, call);
}

int IoFileStamp(const char *path, OsFileStamp *stamp) {
  const NativeCall call = {nullptr, 0, nullptr, stamp};
  return CallWithPath(path, &call);
}

int IoSameStamp(const OsFileStamp *a, const OsFileStamp *b) {
  return a->device == b->device && a->inode == b->inode && a->size == b->size &&
         a->modified == b->modified && a->modifiedNanos == b->modifiedNanos &&
         a->changed == b->changed && a->changedNanos == b->changedNanos;
}

void IoFailureText(OsFailure failure, char *text, int size) {
  if (failure.code == IO_PATH_TOO_LONG) {
    strncpy(text, "path too long", (size_t)size - 1);
    text[size - 1] = 0;
    return;
  }
  OsFailureText(failure, text, size);
}

/* ---- Reading text files ------------------------------------------------ */

int IoReaderOpen(IoReader *reader, const char *path, OsFailure *failure) {
  reader->start = reader->end = 0;
  reader->ended = 0;
  reader->keepReturns = 0;
  return IoFileOpen(&reader->file, path, OS_OPEN_READ, failure);
}

/* Reads the next block and turns it into text-mode bytes; 0 at the end of
 * the data. */
static int Refill(IoReader *reader) {
  if (reader->ended) return 0;
  int n = OsFileRead(reader->file, reader->block, (int)sizeof(reader->block));
  if (n <= 0) {
    reader->ended = 1; /* a read error is taken as the end */
    return 0;
  }
  reader->start = 0;
  reader->end = reader->keepReturns ? CutAtEnd(reader->block, n, &reader->ended)
                                    : IoTextIn(reader->block, n, &reader->ended);
  return 1;
}

void IoReaderKeepReturns(IoReader *reader, int keep) { reader->keepReturns = keep == 1; }

int IoReaderRead(IoReader *reader, char *buffer, int count) {
  int got = 0;
  while (got < count) {
    if (reader->start == reader->end) {
      if (!Refill(reader)) break;
      continue; /* a block of carriage returns only holds nothing */
    }
    int take = reader->end - reader->start;
    if (take > count - got) take = count - got;
    memcpy(buffer + got, reader->block + reader->start, (size_t)take);
    got += take;
    reader->start += take;
  }
  return got;
}

void IoReaderClose(IoReader *reader) {
  OsFileClose(reader->file);
  reader->file.handle = OS_NO_FILE;
}

/* ---- Writing ------------------------------------------------------------- */

int IoFileOpen(OsFile *file, const char *path, int mode, OsFailure *failure) {
  file->handle = OS_NO_FILE;
  const NativeCall call = {file, mode, failure, nullptr};
  return CallWithPath(path, &call);
}

int IoWriteAll(OsFile file, const char *bytes, int count) {
  while (count > 0) {
    int written = OsFileWrite(file, bytes, count);
    if (written <= 0) return 0;
    bytes += written;
    count -= written;
  }
  return 1;
}

int IoTextOut(char *text, int length, int capacity) {
  int lineFeeds = 0;
  for (const char *p = text, *end = text + length;
       (p = (const char *)memchr(p, '\n', (size_t)(end - p))) != nullptr; p++)
    lineFeeds++;
  const int total = length + lineFeeds;
  if (total > capacity) return -1;
  /* From the end back to the first line feed, each byte moved up by the
   * carriage returns still to be put in before it. */
  for (int from = length, to = total; lineFeeds > 0;) {
    const char c = text[--from];
    text[--to] = c;
    if (c == '\n') {
      text[--to] = '\r';
      lineFeeds--;
    }
  }
  return total;
}

int IoWriteTextTo(IoSink sink, void *context, const char *bytes, int count) {
  char translated[2 * IO_WRITE_WHOLE]; /* a piece of line feeds only doubles */
  while (count > 0) {
    const int piece = count < IO_WRITE_WHOLE ? count : IO_WRITE_WHOLE;
    memcpy(translated, bytes, (size_t)piece);
    if (!sink(context, translated, IoTextOut(translated, piece, (int)sizeof(translated))))
      return 0;
    bytes += piece;
    count -= piece;
  }
  return 1;
}

int IoWriteTextInPlace(IoSink sink, void *context, char *text, int length, int capacity) {
  if (length <= 0) return 1;
  if (length <= IO_WRITE_WHOLE) {
    const int n = IoTextOut(text, length, capacity);
    if (n >= 0) return sink(context, text, n);
  }
  return IoWriteTextTo(sink, context, text, length);
}

static int FileSink(void *file, const char *bytes, int count) {
  return IoWriteAll(*(OsFile *)file, bytes, count);
}

int IoWriteText(OsFile file, const char *bytes, int count) {
  return IoWriteTextTo(FileSink, &file, bytes, count);
}

int IoWriteFileInPlace(OsFile file, char *text, int length, int capacity) {
  return IoWriteTextInPlace(FileSink, &file, text, length, capacity);
}
