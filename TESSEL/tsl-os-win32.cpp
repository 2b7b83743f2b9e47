/* tsl-os-win32 - the raw primitives on Windows (see tsl-os.h).
 *
 * Files and the standard streams are Win32 handles, never the C runtime's:
 * its text mode keeps a "\r" that no "\n" follows, and writes a translated
 * line in several WriteFile calls, which lets another process's log line
 * fall between the pieces. Text mode is applied above this layer.
 */
#ifdef _WIN32

#include "tsl-os.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <windows.h>

/* ---- Files and streams --------------------------------------------------- */

/* Another process holds the file, or a region of it, for a moment: Windows
 * refuses an open or a write while another's sharing mode or lock forbids it. */
static int IsTransient(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

static int Fail(OsFailure *failure, DWORD code) {
  if (failure) {
    failure->code = (int)code;
    failure->transient = IsTransient(code);
  }
  return 0;
}

int OsFileOpen(OsFile *file, const char *nativePath, int mode, OsFailure *failure) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  /* Append-only access: the system puts every write at the end of the file
   * at the moment it happens, also with other writers at work. Read access
   * lets the writer take the lock of OsFileWrite. */
  if (mode == OS_OPEN_CREATE) access = GENERIC_WRITE, disposition = CREATE_ALWAYS;
  if (mode == OS_OPEN_APPEND)
    access = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE, disposition = OPEN_ALWAYS;
  /* A file read may be replaced meanwhile (the table, by its editor):
   * the reader keeps the old one. */
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (mode == OS_OPEN_READ ? FILE_SHARE_DELETE : 0);
  HANDLE handle = CreateFileA(nativePath, access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  file->handle = OS_NO_FILE;
  file->appending = mode == OS_OPEN_APPEND;
  if (handle == INVALID_HANDLE_VALUE) return Fail(failure, GetLastError());
  file->handle = (intptr_t)handle;
  return 1;
}

int OsFileRead(OsFile file, char *buffer, int count) {
  DWORD got = 0;
  if (!ReadFile((HANDLE)file.handle, buffer, (DWORD)count, &got, nullptr))
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1; /* a closed pipe is its end */
  return (int)got;
}

int OsFileWrite(OsFile file, const char *bytes, int count) {
  /* Append-only access makes Windows put each write at the end of the file
   * as it happens; an emulation of it (Wine) may instead look up the end
   * and then write there, which lets two processes' lines overwrite each
   * other. An exclusive lock on one byte far past any log's end serialises
   * the writers everywhere and blocks no reader. */
  OVERLAPPED region = {};
  region.OffsetHigh = 0x7FFFFFFF;
  BOOL locked = file.appending &&
                LockFileEx((HANDLE)file.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region);
  DWORD written = 0;
  BOOL ok = WriteFile((HANDLE)file.handle, bytes, (DWORD)count, &written, nullptr);
  if (locked) UnlockFileEx((HANDLE)file.handle, 0, 1, 0, &region);
  return ok ? (int)written : -1;
}

void OsFileClose(OsFile file) {
  if (file.handle != OS_NO_FILE) CloseHandle((HANDLE)file.handle);
}

OsFile OsStandardStream(int which) {
  HANDLE handle = GetStdHandle(which == OS_STDIN    ? STD_INPUT_HANDLE
                               : which == OS_STDOUT ? STD_OUTPUT_HANDLE
                                                    : STD_ERROR_HANDLE);
  OsFile stream = {handle && handle != INVALID_HANDLE_VALUE ? (intptr_t)handle : OS_NO_FILE, 0};
  return stream;
}

void OsIgnoreBrokenPipe(void) {}

/* The stamp from an open handle's information. */
static int StampOfHandle(HANDLE file, OsFileStamp *stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return 0;
  /* File times count 100 ns from 1601; Windows keeps no change time of an
   * entry apart from its writes, so the creation time stands in. */
  auto seconds = [](FILETIME t, int64_t *nanos) {
    int64_t ticks = ((int64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
    *nanos = ticks % 10000000 * 100;
    return ticks / 10000000 - 11644473600LL;
  };
  stamp->device = info.dwVolumeSerialNumber;
  stamp->inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  stamp->size = ((int64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  stamp->modified = seconds(info.ftLastWriteTime, &stamp->modifiedNanos);
  stamp->changed = seconds(info.ftCreationTime, &stamp->changedNanos);
  return 1;
}

int OsFileStampOf(const char *nativePath, OsFileStamp *stamp) {
  HANDLE file = CreateFileA(nativePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int ok = StampOfHandle(file, stamp);
  CloseHandle(file);
  return ok;
}

int OsFileStampOpen(OsFile file, OsFileStamp *stamp) {
  return StampOfHandle((HANDLE)file.handle, stamp);
}

int OsFileReadAt(OsFile file, char *buffer, int count, int64_t offset) {
  OVERLAPPED at = {};
  at.Offset = (DWORD)(offset & 0xFFFFFFFF);
  at.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
  DWORD got = 0;
  if (!ReadFile((HANDLE)file.handle, buffer, (DWORD)count, &got, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return (int)got;
}

/* The mapping object holds the file open: the view outlives the handle
 * the caller closes. */
int OsFileMap(OsFile file, int64_t size, OsMapping *mapping) {
  mapping->bytes = nullptr;
  mapping->size = 0;
  mapping->handle = 0;
  if (size <= 0) return 0;
  HANDLE object = CreateFileMappingA((HANDLE)file.handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!object) return 0;
  const void *view = MapViewOfFile(object, FILE_MAP_READ, 0, 0, (SIZE_T)size);
  if (!view) {
    CloseHandle(object);
    return 0;
  }
  mapping->bytes = (const char *)view;
  mapping->size = size;
  mapping->handle = (intptr_t)object;
  return 1;
}

void OsFileUnmap(OsMapping *mapping) {
  if (mapping->handle) {
    UnmapViewOfFile(mapping->bytes);
    CloseHandle((HANDLE)mapping->handle);
  }
  mapping->bytes = nullptr;
  mapping->size = 0;
  mapping->handle = 0;
}

/* Windows refuses to cut a file short while a view of it exists. */
void OsFaultTrapSet(OsFaultTrap *trap) { trap->set = 1; }
void OsFaultTrapClear(OsFaultTrap *trap) { trap->set = 0; }

/* ---- A file replaced whole ---------------------------------------------- */

int OsFileCreateNew(OsFile *file, const char *nativePath, OsFailure *failure) {
  file->handle = OS_NO_FILE;
  file->appending = 0;
  HANDLE handle = CreateFileA(nativePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Fail(failure, GetLastError());
  file->handle = (intptr_t)handle;
  return 1;
}

int OsFileWriteAt(OsFile file, const char *bytes, int count, int64_t offset) {
  while (count > 0) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)(offset & 0xFFFFFFFF);
    at.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
    DWORD written = 0;
    if (!WriteFile((HANDLE)file.handle, bytes, (DWORD)count, &written, &at) || written == 0)
      return 0;
    bytes += written;
    offset += written;
    count -= (int)written;
  }
  return 1;
}

int OsFileFlush(OsFile file) { return FlushFileBuffers((HANDLE)file.handle) != 0; }

/* Bytes pass through the process: the caller writes them. */
int64_t OsFileCopyRange(OsFile, int64_t, OsFile, int64_t, int64_t) { return 0; }

/* The new file inherits the folder's access rules, as the old one did;
 * what is the file's own are its attributes (hidden, archive...). */
int OsFileTakeAccess(OsFile file, const char *likePath, OsFailure *failure) {
  const DWORD like = GetFileAttributesA(likePath);
  if (like == INVALID_FILE_ATTRIBUTES) return Fail(failure, GetLastError());
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx((HANDLE)file.handle, FileBasicInfo, &basic, sizeof(basic)))
    return Fail(failure, GetLastError());
  const DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  basic.FileAttributes = (like & kept) ? (like & kept) : FILE_ATTRIBUTE_NORMAL;
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0; /* 0: left as they are */
  if (!SetFileInformationByHandle((HANDLE)file.handle, FileBasicInfo, &basic, sizeof(basic)))
    return Fail(failure, GetLastError());
  return 1;
}

int OsFileReadOnly(const char *nativePath) {
  const DWORD attributes = GetFileAttributesA(nativePath);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

int OsFileReplace(const char *fromPath, const char *toPath, OsFailure *failure) {
  if (MoveFileExA(fromPath, toPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
  const DWORD code = GetLastError();
  Fail(failure, code);
  /* A reader holding the table open without sharing its deletion: it lets
   * go within a request's time. */
  if (failure && code == ERROR_ACCESS_DENIED) failure->transient = 1;
  return 0;
}

int OsFileRemove(const char *nativePath) { return DeleteFileA(nativePath) != 0; }

int OsFolderFlush(const char *) { return 1; /* MOVEFILE_WRITE_THROUGH did */ }

/* The lock file goes when the last edit that has it open closes it; one
 * that finds it going (ERROR_ACCESS_DENIED: its deletion is pending) finds
 * it held, and tries again. */
int OsEditLockTry(OsFile *lock, const char *nativeFolder, const char *name, OsFailure *failure) {
  lock->appending = 0;
  lock->handle = OS_NO_FILE;
  char path[OS_PATH_SIZE];
  if (snprintf(path, sizeof(path), "%s\\.%s.lock", nativeFolder, name) >= (int)sizeof(path))
    return Fail(failure, ERROR_FILENAME_EXCED_RANGE) - 1;
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) return 0;
    return Fail(failure, code) - 1;
  }
  OVERLAPPED first = {};
  if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first)) {
    lock->handle = (intptr_t)handle;
    return 1;
  }
  const DWORD code = GetLastError();
  CloseHandle(handle);
  if (code == ERROR_LOCK_VIOLATION) return 0;
  return Fail(failure, code) - 1;
}

static void (*onInterrupt)(int);
static volatile LONG interruptsHeld, interruptArrived;

/* Runs on a thread of its own. Ctrl+C and Ctrl+Break are taken note of;
 * for a closed console, a log-off or a shut-down the system ends the
 * process once this returns, so it waits for the process to end itself. */
static BOOL WINAPI OnConsoleEvent(DWORD event) {
  while (interruptsHeld) Sleep(10);
  if (InterlockedExchange(&interruptArrived, 1) == 0) onInterrupt((int)event);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  Sleep(5000);
  return TRUE;
}

void OsCatchInterrupts(void (*handler)(int kind)) {
  onInterrupt = handler;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void OsHoldInterrupts(int hold) { InterlockedExchange(&interruptsHeld, hold ? 1 : 0); }

void OsEndByInterrupt(int) { ExitProcess(0xC000013A); /* STATUS_CONTROL_C_EXIT */ }

void OsCatchMappedFault(void (*)(void)) {}

void OsClockNow(int64_t *seconds, int64_t *nanos) {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const uint64_t ticks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
  const uint64_t since1970 = ticks - 116444736000000000ULL; /* 100 ns ticks */
  *seconds = (int64_t)(since1970 / 10000000);
  *nanos = (int64_t)(since1970 % 10000000) * 100;
}

int OsListens(int) { return 0; /* no persistent mode on Windows */ }

long OsProcessId(void) { return (long)GetCurrentProcessId(); }

OsFailure OsLastFailure(void) {
  DWORD code = GetLastError();
  OsFailure failure = {(int)code, IsTransient(code)};
  return failure;
}

void OsFailureText(OsFailure failure, char *text, int size) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           (DWORD)failure.code, 0, text, (DWORD)size, nullptr);
  /* The system's text ends in a full stop and a line end; a log line
   * carries its own. */
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) n--;
  if (n == 0) snprintf(text, (size_t)size, "error %d", failure.code);
  else text[n] = 0;
}

/* ---- Time, the lock, the process ------------------------------------------ */

void OsSleep(int milliseconds) { Sleep((DWORD)milliseconds); }

/* A critical section: recursive and private to the process like a mutex
 * object, but taken and released without a call into the kernel unless
 * another thread holds it. Every checked call takes the lock; a kernel
 * mutex cost more than the scan of the table it guards. */
static_assert(sizeof(CRITICAL_SECTION) <= sizeof(((OsMutex *)0)->u.storage),
              "OsMutex must hold a critical section");

void OsLockInit(void *storage) { InitializeCriticalSection((CRITICAL_SECTION *)storage); }
void OsLock(void *storage) { EnterCriticalSection((CRITICAL_SECTION *)storage); }
void OsUnlock(void *storage) { LeaveCriticalSection((CRITICAL_SECTION *)storage); }
void OsLockFree(void *storage) { DeleteCriticalSection((CRITICAL_SECTION *)storage); }

int64_t OsTimeNow(void) { return (int64_t)time(nullptr); }

int OsLocalTime(time_t moment, struct tm *out) {
  struct tm *parts = localtime(&moment); /* per-thread storage in the C runtime */
  if (parts) *out = *parts;
  return parts != nullptr;
}

void *OsRoomReserve(int64_t bytes) {
  return VirtualAlloc(nullptr, (SIZE_T)bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void OsRoomRelease(void *room, int64_t) {
  if (room) VirtualFree(room, 0, MEM_RELEASE);
}

const char *OsCommandLineText(void) { return GetCommandLineA(); }

int OsArguments(char ***vector) { return (*vector = nullptr), 0; }

int OsOwnFile(const char *, char *, int) { return 0; /* the text names it */ }

int OsMessageBox(const char *text, const char *caption) {
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONHAND);
  return 1;
}

OsFile OsConsoleOpen(const char *title) {
  AllocConsole(); /* fails harmlessly when the process already has one */
  SetConsoleTitleA(title);
  return OsStandardStream(OS_STDOUT);
}

void OsCatchTerminate(void (*)(void)) {}

void OsHoldTerminate(void) {}

/* The persistent mode is not built for Windows: no socket is waited on. */
int OsAwaitConnection(int, char *, int) { return -1; }

int OsAwaitReadable(int) { return 0; }

int OsFileAwait(OsFile file, int milliseconds) {
  HANDLE handle = (HANDLE)file.handle;
  if (GetFileType(handle) != FILE_TYPE_PIPE) return 1;
  /* A pipe tells what waits in it, or that its writer closed it. */
  for (int waited = 0;; waited += 10) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE ? 1 : -1;
    if (waiting > 0) return 1;
    if (waited >= milliseconds) return 0;
    Sleep(10);
  }
}

void OsExit(int code) { exit(code); }

#endif /* _WIN32 */
