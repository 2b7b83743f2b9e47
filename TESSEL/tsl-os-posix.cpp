/* tsl-os-posix - the raw primitives on POSIX systems (see tsl-os.h).
 *
 * Files are raw descriptors, never stdio: its buffering would split a log
 * line into several writes, and it would allocate outside the tracked heap.
 */
#ifndef _WIN32

#include "tsl-os.h"

#include <errno.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(((OsMutex *)0)->u.storage),
              "OsMutex must hold a pthread mutex");

static struct {
  int argumentCount; /* the argument vector, when the C library passed it */
  char **arguments;
} os;

/* ---- Files and streams --------------------------------------------------- */

/* Refusals that pass: an interrupted call, a file another process holds
 * for a moment, a table of descriptors full for a moment. POSIX has no
 * sharing modes, so a busy file or a full table is what passes here. */
static int IsTransient(int code) {
  return code == EINTR || code == EAGAIN || code == EBUSY || code == ETXTBSY ||
         code == EMFILE || code == ENFILE;
}

static int Fail(OsFailure *failure, int code) {
  if (failure) {
    failure->code = code;
    failure->transient = IsTransient(code);
  }
  return 0;
}

int OsFileOpen(OsFile *file, const char *nativePath, int mode, OsFailure *failure) {
  file->handle = OS_NO_FILE;
  file->appending = mode == OS_OPEN_APPEND;
  int flags = O_RDONLY;
  if (mode == OS_OPEN_CREATE) flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (mode == OS_OPEN_APPEND) flags = O_WRONLY | O_CREAT | O_APPEND;
  int fd;
  do fd = open(nativePath, flags | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(failure, errno);
  /* The C library refuses to open a folder as a file; so does this. (A
   * folder never opens for writing in the first place.) */
  struct stat st;
  if (mode == OS_OPEN_READ && (fstat(fd, &st) < 0 || S_ISDIR(st.st_mode))) {
    close(fd);
    return Fail(failure, EISDIR);
  }
  file->handle = fd;
  return 1;
}

int OsFileRead(OsFile file, char *buffer, int count) {
  ssize_t r;
  do r = read((int)file.handle, buffer, (size_t)count);
  while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : (int)r;
}

int OsFileWrite(OsFile file, const char *bytes, int count) {
  ssize_t r;
  do r = write((int)file.handle, bytes, (size_t)count);
  while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : (int)r;
}

void OsFileClose(OsFile file) {
  if (file.handle != OS_NO_FILE) close((int)file.handle);
}

OsFile OsStandardStream(int which) {
  OsFile stream = {which == OS_STDIN ? STDIN_FILENO
                   : which == OS_STDOUT ? STDOUT_FILENO
                                        : STDERR_FILENO,
                   0};
  return stream;
}

void OsIgnoreBrokenPipe(void) { signal(SIGPIPE, SIG_IGN); }

static void StampOf(const struct stat &st, OsFileStamp *stamp);

int OsFileStampOf(const char *nativePath, OsFileStamp *stamp) {
  struct stat st;
  if (stat(nativePath, &st) != 0) return 0;
  StampOf(st, stamp);
  return 1;
}

static void StampOf(const struct stat &st, OsFileStamp *stamp) {
  stamp->device = (uint64_t)st.st_dev;
  stamp->inode = (uint64_t)st.st_ino;
  stamp->size = (int64_t)st.st_size;
  stamp->modified = (int64_t)st.st_mtim.tv_sec;
  stamp->modifiedNanos = (int64_t)st.st_mtim.tv_nsec;
  stamp->changed = (int64_t)st.st_ctim.tv_sec;
  stamp->changedNanos = (int64_t)st.st_ctim.tv_nsec;
}

int OsFileStampOpen(OsFile file, OsFileStamp *stamp) {
  struct stat st;
  if (fstat((int)file.handle, &st) != 0) return 0;
  StampOf(st, stamp);
  return 1;
}

int OsFileReadAt(OsFile file, char *buffer, int count, int64_t offset) {
  ssize_t r;
  do r = pread((int)file.handle, buffer, (size_t)count, (off_t)offset);
  while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : (int)r;
}

int OsFileMap(OsFile file, int64_t size, OsMapping *mapping) {
  mapping->bytes = nullptr;
  mapping->size = 0;
  mapping->handle = 0;
  if (size <= 0 || (uint64_t)size > (uint64_t)SIZE_MAX) return 0;
  void *view = mmap(nullptr, (size_t)size, PROT_READ, MAP_SHARED, (int)file.handle, 0);
  if (view == MAP_FAILED) return 0;
  mapping->bytes = (const char *)view;
  mapping->size = size;
  mapping->handle = 1;
  return 1;
}

void OsFileUnmap(OsMapping *mapping) {
  if (mapping->handle && mapping->bytes) munmap((void *)mapping->bytes, (size_t)mapping->size);
  mapping->bytes = nullptr;
  mapping->size = 0;
  mapping->handle = 0;
}

static OsFaultTrap *currentTrap;
static void (*onMappedFault)(void); /* OsCatchMappedFault's */

/* SA_NODEFER: the jump out of the handler leaves SIGBUS unblocked, as the
 * trap's sigsetjmp keeps no signal mask. */
static void OnFault(int) {
  OsFaultTrap *trap = currentTrap;
  if (trap && trap->set) {
    trap->set = 0;
    currentTrap = nullptr;
    siglongjmp(trap->jump, 1);
  }
  if (onMappedFault) onMappedFault();
  signal(SIGBUS, SIG_DFL); /* no trap: the fault, once more, ends the process */
}

static void CatchFaults(void) {
  static int installed;
  if (installed) return;
  struct sigaction action = {};
  action.sa_handler = OnFault;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_NODEFER;
  sigaction(SIGBUS, &action, nullptr);
  installed = 1;
}

void OsFaultTrapSet(OsFaultTrap *trap) {
  CatchFaults();
  trap->set = 1;
  currentTrap = trap;
}

void OsFaultTrapClear(OsFaultTrap *trap) {
  trap->set = 0;
  if (currentTrap == trap) currentTrap = nullptr;
}

/* ---- A file replaced whole ---------------------------------------------- */

int OsFileCreateNew(OsFile *file, const char *nativePath, OsFailure *failure) {
  file->handle = OS_NO_FILE;
  file->appending = 0;
  int fd;
  do fd = open(nativePath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(failure, errno);
  file->handle = fd;
  return 1;
}

int OsFileWriteAt(OsFile file, const char *bytes, int count, int64_t offset) {
  while (count > 0) {
    ssize_t n = pwrite((int)file.handle, bytes, (size_t)count, (off_t)offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    bytes += n;
    offset += n;
    count -= (int)n;
  }
  return 1;
}

int OsFileFlush(OsFile file) { return fsync((int)file.handle) == 0; }

int64_t OsFileCopyRange(OsFile from, int64_t offset, OsFile to, int64_t at, int64_t count) {
#ifdef __linux__
  loff_t in = (loff_t)offset, out = (loff_t)at;
  ssize_t n;
  do n = copy_file_range((int)from.handle, &in, (int)to.handle, &out, (size_t)count, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
    return 0;
  return n;
#else
  (void)from, (void)offset, (void)to, (void)at, (void)count;
  return 0;
#endif
}

int OsFileTakeAccess(OsFile file, const char *likePath, OsFailure *failure) {
  struct stat like, now;
  if (stat(likePath, &like) != 0 || fstat((int)file.handle, &now) != 0) return Fail(failure, errno);
  if ((now.st_uid != like.st_uid || now.st_gid != like.st_gid) &&
      fchown((int)file.handle, like.st_uid, like.st_gid) != 0)
    return Fail(failure, errno);
  if (fchmod((int)file.handle, like.st_mode & 07777) != 0) return Fail(failure, errno);
  return 1;
}

int OsFileReadOnly(const char *nativePath) {
  struct stat st;
  return stat(nativePath, &st) == 0 && (st.st_mode & 0222) == 0;
}

int OsFileReplace(const char *fromPath, const char *toPath, OsFailure *failure) {
  return rename(fromPath, toPath) == 0 ? 1 : Fail(failure, errno);
}

int OsFileRemove(const char *nativePath) { return unlink(nativePath) == 0; }

int OsFolderFlush(const char *nativeFolder) {
  int fd = open(nativeFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int flushed = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  return flushed;
}

/* A lock on the folder leaves no lock file behind; the table itself is
 * replaced by every edit, so a lock on it would be on a file no longer in
 * use. */
int OsEditLockTry(OsFile *lock, const char *nativeFolder, const char *, OsFailure *failure) {
  lock->appending = 0;
  lock->handle = open(nativeFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock->handle < 0) return Fail(failure, errno) - 1;
  for (;;) {
    if (flock((int)lock->handle, LOCK_EX | LOCK_NB) == 0) return 1;
    if (errno == EINTR) continue;
    const int held = errno == EWOULDBLOCK;
    if (!held) Fail(failure, errno);
    close((int)lock->handle);
    lock->handle = OS_NO_FILE;
    return held ? 0 : -1;
  }
}

static void (*onInterrupt)(int);
static sigset_t interruptSignals;

static void OnInterrupt(int signal) { onInterrupt(signal); }

void OsCatchInterrupts(void (*handler)(int kind)) {
  onInterrupt = handler;
  sigemptyset(&interruptSignals);
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  static const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : signals) {
    sigaddset(&interruptSignals, signal);
    sigaction(signal, &action, nullptr);
  }
}

void OsHoldInterrupts(int hold) {
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &interruptSignals, nullptr);
}

void OsEndByInterrupt(int kind) {
  /* By the same signal, as a shell expects of a program it interrupted. */
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(kind, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, kind);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(kind);
  _exit(128 + kind);
}

void OsCatchMappedFault(void (*onFault)(void)) {
  onMappedFault = onFault;
  CatchFaults();
}

void OsClockNow(int64_t *seconds, int64_t *nanos) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  *seconds = t.tv_sec;
  *nanos = t.tv_nsec;
}

int OsListens(int descriptor) {
  int listening = 0;
  socklen_t size = sizeof(listening);
  return getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
         listening != 0;
}

long OsProcessId(void) { return (long)getpid(); }

OsFailure OsLastFailure(void) {
  OsFailure failure = {errno, IsTransient(errno)};
  return failure;
}

void OsFailureText(OsFailure failure, char *text, int size) {
  snprintf(text, (size_t)size, "%s", strerror(failure.code));
}

/* ---- Time, the lock, the process ------------------------------------------ */

void OsSleep(int milliseconds) {
  struct timespec t = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&t, &t) < 0 && errno == EINTR) {
  }
}

void OsLockInit(void *storage) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init((pthread_mutex_t *)storage, &attr);
  pthread_mutexattr_destroy(&attr);
}

void OsLock(void *storage) { pthread_mutex_lock((pthread_mutex_t *)storage); }
void OsUnlock(void *storage) { pthread_mutex_unlock((pthread_mutex_t *)storage); }
void OsLockFree(void *storage) { pthread_mutex_destroy((pthread_mutex_t *)storage); }

int64_t OsTimeNow(void) { return (int64_t)time(nullptr); }

int OsLocalTime(time_t moment, struct tm *out) { return localtime_r(&moment, out) != nullptr; }

void *OsRoomReserve(int64_t bytes) {
  void *room = mmap(nullptr, (size_t)bytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return room == MAP_FAILED ? nullptr : room;
}

void OsRoomRelease(void *room, int64_t bytes) {
  if (room) munmap(room, (size_t)bytes);
}

#ifdef __GLIBC__
/* glibc hands every initialiser of the program the argument vector; keeping
 * it spares each request the reading of /proc. The priority runs it before
 * the initialisers of C++ objects, which may already want the command line. */
static void KeepArguments(int argc, char **argv, char **) {
  os.argumentCount = argc;
  os.arguments = argv;
}
__attribute__((section(".init_array.00101"), used)) static void (*const keepArguments)(
    int, char **, char **) = KeepArguments;
#endif

const char *OsCommandLineText(void) { return nullptr; }

int OsArguments(char ***vector) {
  *vector = os.arguments;
  return os.arguments ? os.argumentCount : 0;
}

int OsOwnFile(const char *name, char *path, int size) {
  struct stat self, here;
  if (stat("/proc/self/exe", &self) != 0) return 0;
  if (name[0] && stat(name, &here) == 0 && here.st_dev == self.st_dev &&
      here.st_ino == self.st_ino && getcwd(path, (size_t)size)) {
    size_t used = strlen(path);
    if (used + 1 + strlen(name) < (size_t)size) {
      snprintf(path + used, (size_t)size - used, "%s%s",
               used > 0 && path[used - 1] == '/' ? "" : "/", name);
      return 1;
    }
  }
  ssize_t n = readlink("/proc/self/exe", path, (size_t)size - 1);
  if (n <= 0) return 0;
  path[n] = 0;
  return 1;
}

int OsMessageBox(const char *, const char *) { return 0; }

/* Standard error has no title to set. */
OsFile OsConsoleOpen(const char *) { return OsStandardStream(OS_STDERR); }

static void (*onTerminate)(void);

static volatile sig_atomic_t terminateArrived;
static sigset_t waitMask; /* the signal mask inside the waits */

static void Terminate(int) {
  terminateArrived = 1;
  onTerminate();
}

void OsCatchTerminate(void (*handler)(void)) {
  onTerminate = handler;
  struct sigaction action = {};
  action.sa_handler = Terminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; /* no SA_RESTART: a wait for a connection ends */
  sigaction(SIGTERM, &action, nullptr);
}

void OsHoldTerminate(void) {
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &terminate, &waitMask);
  sigdelset(&waitMask, SIGTERM);
}

/* 1 when fd can be read, 0 when a request to end arrived, -1 on failure. */
static int AwaitInput(int fd) {
  struct pollfd wanted = {fd, POLLIN, 0};
  for (;;) {
    if (terminateArrived) return 0;
    int ready = ppoll(&wanted, 1, nullptr, &waitMask);
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

int OsAwaitConnection(int listener, char *peerAddress, int room) {
  for (;;) {
    if (AwaitInput(listener) <= 0) return -1;
    /* Another process on the same socket may take the connection first:
     * the accept, which then waits, lets a request to end through too. */
    sigset_t held;
    pthread_sigmask(SIG_SETMASK, &waitMask, &held);
    struct sockaddr_storage peer;
    socklen_t size = sizeof(peer);
    int connection = terminateArrived ? -1 : accept(listener, (struct sockaddr *)&peer, &size);
    int failure = errno;
    pthread_sigmask(SIG_SETMASK, &held, nullptr);
    if (connection >= 0) {
      peerAddress[0] = 0;
      if (peer.ss_family == AF_INET &&
          !inet_ntop(AF_INET, &((const struct sockaddr_in *)&peer)->sin_addr, peerAddress,
                     (socklen_t)room))
        peerAddress[0] = 0;
      /* Records go out whole: no waiting for an acknowledgement first. */
      if (peer.ss_family == AF_INET || peer.ss_family == AF_INET6) {
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      }
      return connection;
    }
    if (terminateArrived) return -1;
    /* A connection given up before it was taken, or the wait ended
     * otherwise: wait again. */
    if (failure != EINTR && failure != ECONNABORTED && failure != EAGAIN &&
        failure != EWOULDBLOCK && failure != EPROTO) {
      errno = failure;
      return -1;
    }
  }
}

int OsAwaitReadable(int socket) { return AwaitInput(socket) > 0; }

int OsFileAwait(OsFile file, int milliseconds) {
  struct pollfd wanted = {(int)file.handle, POLLIN, 0};
  int ready;
  do ready = poll(&wanted, 1, milliseconds);
  while (ready < 0 && errno == EINTR);
  return ready < 0 ? -1 : ready > 0;
}

void OsExit(int code) { exit(code); }

#endif /* !_WIN32 */
