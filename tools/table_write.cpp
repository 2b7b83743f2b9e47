// table_write - a redirect table and its index replaced in one step (see
// table_write.h).
//
// The lock is on the table's folder, not on the table: the table's file is
// replaced by every edit, so a lock held on it would be a lock on a file
// no longer in use. A lock on the folder leaves no lock file behind.
#include "table_write.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "tableindex.h"
#include "tsl-io.h"

namespace hoptool {

namespace {

volatile sig_atomic_t caught = 0;
// The file being written beside its old one, removed by the fault handler.
char writing[PATH_MAX + 1];

void OnSignal(int signal) { caught = signal; }

void OnFault(int) {
  if (writing[0]) unlink(writing);
  static const char message[] =
      "hoptool: a file it was reading (the table or its index) was cut short by another "
      "program; nothing changed\n";
  ssize_t ignored = write(2, message, sizeof(message) - 1);
  (void)ignored;
  _exit(2);
}

std::string Reason(const std::string &what) { return what + ": " + strerror(errno); }

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void Now(int64_t *seconds, int64_t *nanos) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  *seconds = t.tv_sec;
  *nanos = t.tv_nsec;
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a new file beside target, renames it over target and flushes the
// folder. ready, called after the bytes are flushed and before the rename
// with signals held, may refuse it.
bool WriteAndRename(const std::string &target, const std::string &shownAs, const struct stat &like,
                    const FileWriter &write, const std::function<std::string()> &ready,
                    int folderFd, std::string *error) {
  const std::string folder = FolderOf(target);
  const std::string name = target.substr(target.rfind('/') + 1);
  std::string temp = folder + (folder == "/" ? "" : "/") + "." + name + ".hoptool-XXXXXX";
  std::vector<char> pattern(temp.begin(), temp.end());
  pattern.push_back(0);
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    *error = Reason("cannot write beside " + shownAs);
    return false;
  }
  temp = pattern.data();
  if (temp.size() <= PATH_MAX) memcpy(writing, temp.c_str(), temp.size() + 1);
  std::string failed;
  // The owner and mode of the table.
  struct stat now {};
  if (fstat(fd, &now) != 0) failed = Reason(temp);
  if (failed.empty() && (now.st_uid != like.st_uid || now.st_gid != like.st_gid) &&
      fchown(fd, like.st_uid, like.st_gid) != 0)
    failed = Reason("cannot give " + shownAs + " the owner of the table");
  if (failed.empty() && fchmod(fd, like.st_mode & 07777) != 0)
    failed = Reason("cannot give " + shownAs + " the mode of the table");
  if (failed.empty() && !caught && !write(fd, &failed) && failed.empty()) {
    // A table changed under its mapping fails the write: say that.
    failed = ready();
    if (failed.empty()) failed = Reason("cannot write the new " + shownAs);
  }
  if (failed.empty() && !caught && fsync(fd) != 0) failed = Reason("cannot flush the new " + shownAs);
  if (close(fd) != 0 && failed.empty()) failed = Reason("cannot write beside " + shownAs);

  // From here the rename happens whole or not at all: no signal between
  // the last look at the table and the rename.
  sigset_t block, old;
  sigemptyset(&block);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, signal);
  sigprocmask(SIG_BLOCK, &block, &old);
  if (failed.empty() && !caught) failed = ready();
  bool renamed = failed.empty() && !caught && rename(temp.c_str(), target.c_str()) == 0;
  if (failed.empty() && !caught && !renamed) failed = Reason("cannot rename over " + shownAs);
  if (!renamed) unlink(temp.c_str());
  writing[0] = 0;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!renamed) {
    if (caught) StopIfInterrupted();
    *error = failed;
    return false;
  }
  // The new name in the folder is on the disk too.
  int flushFd = folderFd >= 0 ? folderFd : open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool flushed = flushFd >= 0 && fsync(flushFd) == 0;
  if (flushFd >= 0 && flushFd != folderFd) close(flushFd);
  if (!flushed) {
    *error = Reason(shownAs + " is replaced, but its folder could not be flushed");
    return false;
  }
  return true;
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  struct sigaction fault {};
  fault.sa_handler = OnFault;
  sigemptyset(&fault.sa_mask);
  sigaction(SIGBUS, &fault, nullptr);
}

void StopIfInterrupted() {
  if (!caught) return;
  int signal = caught;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

bool WriteAt(int fd, uint64_t offset, const void *bytes, size_t count) {
  const char *p = (const char *)bytes;
  while (count > 0) {
    ssize_t n = pwrite(fd, p, count < (1u << 20) ? count : (1u << 20), (off_t)offset);
    if (n < 0 && errno == EINTR && !caught) continue;
    if (n <= 0 || caught) return false;
    p += n;
    offset += (uint64_t)n;
    count -= (size_t)n;
  }
  return true;
}

TableFile::~TableFile() {
  CloseTable(this);
  OsFileUnmap(&mapping);
  if (tableFd >= 0) close(tableFd);
}

bool CopyAt(int from, uint64_t offset, int to, uint64_t at, const char *bytes, size_t count) {
  while (count > 0) {
    loff_t in = (loff_t)offset, out = (loff_t)at;
    ssize_t n = copy_file_range(from, &in, to, &out, count, 0);
    if (n < 0 && errno == EINTR && !caught) continue;
    if (n <= 0) return WriteAt(to, at, bytes, count);  // not in the kernel: by hand
    offset += (uint64_t)n;
    at += (uint64_t)n;
    bytes += n;
    count -= (size_t)n;
  }
  return true;
}

bool ReadAt(int fd, uint64_t offset, void *bytes, size_t count) {
  char *p = (char *)bytes;
  while (count > 0) {
    ssize_t n = pread(fd, p, count, (off_t)offset);
    if (n < 0 && errno == EINTR && !caught) continue;
    if (n <= 0) return false;
    p += n;
    offset += (uint64_t)n;
    count -= (size_t)n;
  }
  return true;
}

bool OpenTable(const std::string &path, double waitSeconds, TableFile *file,
               std::string_view *bytes, std::string *error) {
  file->path = path;
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) {
    *error = Reason(path);
    return false;
  }
  file->target = resolved;
  file->folder = FolderOf(file->target);
  file->folderFd = open(file->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (file->folderFd < 0) {
    *error = Reason(file->folder);
    return false;
  }
  // Another edit holds the lock: wait for it, a little at a time.
  const struct timespec pause = {0, 20 * 1000 * 1000};
  for (double waited = 0; flock(file->folderFd, LOCK_EX | LOCK_NB) != 0; waited += 0.02) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = Reason("cannot lock " + file->folder);
      CloseTable(file);
      return false;
    }
    if (caught) StopIfInterrupted();
    if (waited >= waitSeconds) {
      char seconds[32];
      snprintf(seconds, sizeof(seconds), "%g", waitSeconds);
      *error = path + ": another edit of this table has held its lock for " + seconds +
               " s; nothing changed (wait longer with --wait)";
      CloseTable(file);
      return false;
    }
    nanosleep(&pause, nullptr);
  }
  Now(&file->readSeconds, &file->readNanos);
  int fd = open(file->target.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = fd >= 0 && fstat(fd, &file->read) == 0;
  if (read && !S_ISREG(file->read.st_mode)) {
    errno = EISDIR;
    read = false;
  }
  if (read && file->read.st_size > 0x7FFFFFF0) {
    // Offsets in the table and its index are 32-bit.
    *error = path + ": too large (over 2 GB)";
    close(fd);
    CloseTable(file);
    return false;
  }
  OsFile open = {fd, 0};
  if (read) read = OsFileStampOpen(open, &file->stamp);
  if (read && file->read.st_size > 0) {
    read = OsFileMap(open, file->read.st_size, &file->mapping);
    if (!read) errno = ENOMEM;
  }
  *bytes = std::string_view(file->mapping.bytes ? file->mapping.bytes : "", (size_t)file->mapping.size);
  if (!read) *error = Reason(path);
  if (read) file->tableFd = fd;
  else if (fd >= 0) close(fd);
  if (!read) CloseTable(file);
  return read;
}

void CloseTable(TableFile *file) {
  if (file->folderFd >= 0) close(file->folderFd);  // the lock goes with it
  file->folderFd = -1;
}

bool ReplaceTable(TableFile *file, const FileWriter &write, std::string *error) {
  auto ready = [file]() -> std::string {
    struct stat current {};
    if (stat(file->target.c_str(), &current) != 0)
      return Reason(file->path + " went away during the edit");
    if (!SameFile(current, file->read))
      return file->path + ": changed by another program since it was read; not overwritten";
    return "";
  };
  if (WriteAndRename(file->target, file->path, file->read, write, ready, file->folderFd, error))
    return true;
  if (error->find(" is replaced, but") == std::string::npos) *error += "; the table is unchanged";
  return false;
}

bool SettleTable(TableFile *file, const std::function<bool(const char *, size_t)> &same,
                 size_t size, OsFileStamp *stamp, int64_t *seconds, int64_t *nanos,
                 std::string *error) {
  if (!OsFileStampOf(file->target.c_str(), stamp)) {
    *error = Reason(file->path);
    return false;
  }
  if (TableIndexSettled(stamp, *seconds, *nanos)) return true;
  // Too new to tell a later change of the same tick from none: wait until
  // it is not, then read the table again and hold it against its bytes.
  for (int tries = 0; !TableIndexSettled(stamp, *seconds, *nanos); tries++) {
    if (tries > 300 || caught) {
      *error = file->path + ": its time stamp lies in the future";
      return false;
    }
    const struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    Now(seconds, nanos);
  }
  int fd = open(file->target.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason(file->path);
    return false;
  }
  std::vector<char> block(1 << 20);
  size_t total = 0;
  bool alike = true;
  for (;;) {
    ssize_t n = read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR && !caught) continue;
    if (n <= 0) {
      alike = alike && n == 0;
      break;
    }
    total += (size_t)n;
    if (alike && !same(block.data(), (size_t)n)) alike = false;
  }
  OsFileStamp again;
  OsFile open = {fd, 0};
  const bool stamped = OsFileStampOpen(open, &again);
  close(fd);
  if (!alike || total != size || !stamped || !IoSameStamp(&again, stamp)) {
    *error = file->path + ": changed by another program during the edit";
    return false;
  }
  return true;
}

bool ReplaceBeside(const std::string &path, const TableFile &table, const FileWriter &write,
                   std::string *error) {
  // Where a symbolic link points, also when nothing is there yet.
  std::string target = path;
  for (int links = 0; links < 16; links++) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::vector<char> to(PATH_MAX + 1);
    ssize_t n = readlink(target.c_str(), to.data(), PATH_MAX);
    if (n <= 0) break;
    std::string next(to.data(), (size_t)n);
    target = next[0] == '/' ? next : FolderOf(target) + "/" + next;
  }
  return WriteAndRename(target, path, table.read, write, [] { return std::string(); }, -1, error);
}

}  // namespace hoptool
