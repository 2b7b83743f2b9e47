/* winhelpr - the program directory (see winhelpr.h). */
#include "winhelpr.h"

#include <string.h>

#include "tsl-core.h"
#include "tsl-io.h"
#include "tsl-str.h"

/* Room for a program path whose directory is wanted in a smaller buffer. No
 * system opens a longer path than this in one call. */
enum { PROGRAM_PATH_MAX = OS_PATH_SIZE };
/* A program path cut by the command line must not fit here, or its cut end
 * would be taken for the program's file and give a wrong directory. */
static_assert((int)OS_ARG0_MAX >= (int)PROGRAM_PATH_MAX, "a cut program path must not fit");
static_assert((int)PROGRAM_TABLE_PATH_SIZE <= (int)IO_SHORT_PATH_SIZE &&
                  (int)PROGRAM_LOG_PATH_SIZE <= (int)IO_SHORT_PATH_SIZE,
              "the paths built on the program's folder must be ones the layer opens "
              "on the stack of the opening call");

int ConvertSlashes(char *text) {
  for (; *text; text++)
    if (*text == '/') *text = '\\';
  return 1;
}

/* The length of path's directory part, path being argument 0 with
 * backslashes: up to and including the last backslash, or up to a colon
 * plus the backslash that will follow it (*colon set); 0 for a bare name. */
static int DirectoryLength(const char *path, int *colon) {
  *colon = 0;
  for (int i = StrLength(path) - 1; i >= 0; i--) {
    if (path[i] == '\\') return i + 1;
    if (path[i] == ':') {
      *colon = 1;
      return i + 2;
    }
  }
  return 0;
}

static struct {
  int kept;  /* answer from directory */
  int found; /* GetProgramDirectory's result when it was worked out */
} keep;
static char keptDirectory[PROGRAM_PATH_MAX] IO_LARGE_BUFFER;

int KeepProgramDirectory(int kept) {
  keep.kept = 0;
  if (kept) keep.found = GetProgramDirectory(keptDirectory, PROGRAM_PATH_MAX);
  keep.kept = kept;
  return 1;
}

/* The directory of path, argument 0 as the command line gives it, into
 * buffer (capacity bytes; path may be buffer itself): 1, or 0 with buffer
 * empty when the command line cannot name the program's file faithfully or
 * the directory does not fit. */
static int FinishDirectory(char *path, char *buffer, int capacity) {
  if (IoCommandLineProblem()) { /* the text cannot name the program's file */
    if (capacity > 0) buffer[0] = 0;
    return 0;
  }
  ConvertSlashes(path);
  int colon;
  int length = DirectoryLength(path, &colon);
  if (length >= capacity) {
    if (capacity > 0) buffer[0] = 0;
    return 0;
  }
  if (path != buffer) memcpy(buffer, path, (size_t)length);
  if (colon) buffer[length - 1] = '\\';
  buffer[length] = 0;
  return 1;
}

/* Argument 0 into a path buffer of its own, for one too long for the
 * caller's buffer whose directory alone may still fit: 1, or 0 when it does
 * not fit there either. In a frame of its own, so that the usual call, with
 * room enough, keeps the stack shallow. */
static IO_OWN_FRAME int DirectoryOfLongPath(const char *commandLine, char *buffer,
                                            int capacity) {
  char whole[PROGRAM_PATH_MAX];
  if (CmdLineGetArgSized(commandLine, 0, whole, PROGRAM_PATH_MAX) < 0) return 0;
  return FinishDirectory(whole, buffer, capacity);
}

int GetProgramDirectory(char *buffer, int capacity) {
  if (keep.kept) {
    /* The tokeniser's pointer checks, with no room to copy into. */
    CmdLineGetArgSized(IoCommandLine(), 0, buffer, 0);
    int length = StrLength(keptDirectory);
    if (!keep.found || length >= capacity) {
      if (capacity > 0) buffer[0] = 0;
      return 0;
    }
    memcpy(buffer, keptDirectory, (size_t)length + 1);
    return 1;
  }
  /* The tokeniser checks both pointers: a missing command line or buffer
   * is a fatal report, as for every checked call. Argument 0 is copied into
   * the caller's buffer when it fits with a byte to spare (a directory
   * ended by a colon gains a backslash); otherwise through a path buffer of
   * its own, since the directory alone may still fit. */
  const char *commandLine = IoCommandLine();
  if (CmdLineGetArgSized(commandLine, 0, buffer, capacity - 1) < 0) {
    if (capacity > 0) buffer[0] = 0;
    return DirectoryOfLongPath(commandLine, buffer, capacity);
  }
  return FinishDirectory(buffer, buffer, capacity);
}
