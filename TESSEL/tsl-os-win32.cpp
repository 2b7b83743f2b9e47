/* tsl-os-win32 - the operating-system layer for Windows.
 *
 * Files and the standard streams go through the Win32 handles, and the
 * text-mode rules are applied here rather than by the C runtime: its text
 * mode keeps a "\r" that no "\n" follows, and writes a translated line in
 * several WriteFile calls through a small buffer, which lets another
 * process's log line fall between the pieces.
 */
#ifdef _WIN32

#include "tsl-os.h"
#include "tsl-os-text.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <windows.h>

static struct {
  const char *commandLineOverride;
  int64_t timeOverride;
  int stdinEnded;
  int messageBoxToStandardError;
} os = {nullptr, -1, 0, 0};

const char *OsGetCommandLine(void) {
  if (os.commandLineOverride) return os.commandLineOverride;
  return GetCommandLineA();
}

void *OsMutexCreate(void) { return CreateMutexA(nullptr, FALSE, nullptr); }

void OsMutexWait(void *mutex) {
  if (mutex) WaitForSingleObject((HANDLE)mutex, INFINITE);
}

void OsMutexRelease(void *mutex) {
  if (mutex) ReleaseMutex((HANDLE)mutex);
}

void OsMutexClose(void *mutex) {
  if (mutex) CloseHandle((HANDLE)mutex);
}

static int WriteAll(HANDLE handle, const char *bytes, DWORD count);

void OsMessageBox(const char *text, const char *caption) {
  if (os.messageBoxToStandardError) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    WriteAll(error, caption, (DWORD)strlen(caption));
    WriteAll(error, "\n", 1);
    WriteAll(error, text, (DWORD)strlen(text));
    return;
  }
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONHAND);
}

void *OsConsoleOpen(const char *title) {
  AllocConsole(); /* fails harmlessly when the process already has one */
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  SetConsoleTitleA(title);
  return console;
}

static int WriteAll(HANDLE handle, const char *bytes, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr) || written == 0) return 0;
    bytes += written;
    count -= written;
  }
  return 1;
}

void OsConsoleWrite(void *console, const char *bytes, int count) {
  if (console && count > 0) WriteAll((HANDLE)console, bytes, (DWORD)count);
}

void OsSleep(int milliseconds) { Sleep((DWORD)milliseconds); }

OsFile *OsFileOpen(const char *path, const char *mode) {
  DWORD access, disposition;
  switch (mode[0]) {
    case 'r': access = GENERIC_READ; disposition = OPEN_EXISTING; break;
    case 'w': access = GENERIC_WRITE; disposition = CREATE_ALWAYS; break;
    /* Append-only access: the system puts every write at the end of the
     * file at the moment it happens, also with other writers at work. Read
     * access lets the writer take the lock of OsFileWrite. */
    case 'a': access = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE; disposition = OPEN_ALWAYS; break;
    default: return nullptr;
  }
  if (strchr(mode, '+')) access |= GENERIC_READ;
  HANDLE file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : (OsFile *)file;
}

static int ReadRaw(HANDLE handle, char *buffer, int count) {
  DWORD got = 0;
  if (!ReadFile(handle, buffer, (DWORD)count, &got, nullptr)) return 0;
  return (int)got;
}

int OsFileRead(OsFile *file, char *buffer, int count) {
  int got = 0;
  while (got < count) {
    int r = ReadRaw((HANDLE)file, buffer + got, count - got);
    if (r <= 0) break;
    int ended = 0;
    got += TextModeInput(buffer + got, r, &ended);
    if (ended) {
      /* Stand on the 0x1A again, so every later read ends there too. */
      LARGE_INTEGER back;
      back.QuadPart = -(LONGLONG)ended;
      SetFilePointerEx((HANDLE)file, back, nullptr, FILE_CURRENT);
      break;
    }
  }
  return got;
}

static int WriteText(HANDLE handle, const char *bytes, int count) {
  char translated[2 * OS_WRITE_WHOLE];
  int ok = 1;
  while (count > 0) {
    int piece = count < OS_WRITE_WHOLE ? count : OS_WRITE_WHOLE;
    int n = TextModeOutput(bytes, piece, translated);
    if (!WriteAll(handle, translated, (DWORD)n)) ok = 0;
    bytes += piece;
    count -= piece;
  }
  return ok;
}

int OsFileWrite(OsFile *file, const char *bytes, int count) {
  /* Append-only access makes Windows put each write at the end of the file
   * as it happens; an emulation of it (Wine) may instead look up the end
   * and then write there, which lets two processes' lines overwrite each
   * other. An exclusive lock on one byte far past any log's end serialises
   * the writers everywhere and blocks no reader. */
  OVERLAPPED region = {};
  region.OffsetHigh = 0x7FFFFFFF;
  BOOL locked = LockFileEx((HANDLE)file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region);
  int ok = WriteText((HANDLE)file, bytes, count);
  if (locked) UnlockFileEx((HANDLE)file, 0, 1, 0, &region);
  return ok;
}

void OsFileClose(OsFile *file) {
  if (file) CloseHandle((HANDLE)file);
}

int OsStdinRead(char *buffer, int count, int *rawBudget) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  int got = 0;
  while (got < count && *rawBudget > 0 && !os.stdinEnded) {
    int ask = count - got < *rawBudget ? count - got : *rawBudget;
    int r = (input && input != INVALID_HANDLE_VALUE) ? ReadRaw(input, buffer + got, ask) : 0;
    if (r <= 0) {
      os.stdinEnded = 1;
      break;
    }
    *rawBudget -= r;
    int ended = 0;
    got += TextModeInput(buffer + got, r, &ended);
    if (ended) os.stdinEnded = 1;
  }
  return got;
}

int OsStdoutWrite(const char *bytes, int count) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!output || output == INVALID_HANDLE_VALUE) return 0;
  return WriteText(output, bytes, count);
}

int OsLocalTime(OsDateTime *out) {
  time_t now = os.timeOverride >= 0 ? (time_t)os.timeOverride : time(nullptr);
  struct tm *parts = localtime(&now); /* per-thread storage in the C runtime */
  if (!parts) return 0;
  out->year = parts->tm_year;
  out->month = parts->tm_mon;
  out->day = parts->tm_mday;
  out->hour = parts->tm_hour;
  out->minute = parts->tm_min;
  return 1;
}

void OsExit(int code) { exit(code); }

void OsSetCommandLineForTest(const char *text) { os.commandLineOverride = text; }

void OsSetTimeForTest(int64_t secondsSinceEpoch) { os.timeOverride = secondsSinceEpoch; }

void OsSetMessageBoxToStandardErrorForTest(int enabled) { os.messageBoxToStandardError = enabled; }

void OsResetStdinForTest(void) { os.stdinEnded = 0; }

#endif /* _WIN32 */
