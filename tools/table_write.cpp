// table_write - a redirect table replaced in one step (see table_write.h).
//
// The lock is on the folder, not on the table: the table's file is
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

namespace hoptool {

namespace {

volatile sig_atomic_t caught = 0;

void OnSignal(int signal) { caught = signal; }

std::string Reason(const std::string &what) { return what + ": " + strerror(errno); }

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool ReadAll(int fd, std::string *bytes) {
  bytes->clear();
  std::vector<char> block(1 << 20);
  for (;;) {
    ssize_t n = read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR && !caught) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes->append(block.data(), (size_t)n);
  }
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void StopIfInterrupted() {
  if (!caught) return;
  int signal = caught;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

bool OpenTable(const std::string &path, double waitSeconds, TableFile *file, std::string *bytes,
               std::string *error) {
  file->path = path;
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) {
    *error = Reason(path);
    return false;
  }
  file->target = resolved;
  file->folder = file->target.substr(0, file->target.rfind('/'));
  if (file->folder.empty()) file->folder = "/";
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
  int fd = open(file->target.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = fd >= 0 && fstat(fd, &file->read) == 0 && ReadAll(fd, bytes);
  if (!read) *error = Reason(path);
  if (fd >= 0) close(fd);
  if (read && !S_ISREG(file->read.st_mode)) {
    *error = path + ": not a regular file";
    read = false;
  }
  if (!read) CloseTable(file);
  return read;
}

void CloseTable(TableFile *file) {
  if (file->folderFd >= 0) close(file->folderFd);  // the lock goes with it
  file->folderFd = -1;
}

bool ReplaceTable(TableFile *file, const std::string &bytes, std::string *error) {
  const std::string name = file->target.substr(file->target.rfind('/') + 1);
  std::string temp = file->folder + (file->folder == "/" ? "" : "/") + "." + name + ".hoptool-XXXXXX";
  std::vector<char> pattern(temp.begin(), temp.end());
  pattern.push_back(0);
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    *error = Reason("cannot write beside " + file->path) + "; the table is unchanged";
    CloseTable(file);
    return false;
  }
  temp = pattern.data();
  std::string failed;
  // The owner and mode of the table it replaces.
  const struct stat &was = file->read;
  struct stat now {};
  if (fstat(fd, &now) != 0) failed = Reason(temp);
  if (failed.empty() && (now.st_uid != was.st_uid || now.st_gid != was.st_gid) &&
      fchown(fd, was.st_uid, was.st_gid) != 0)
    failed = Reason("cannot give the new table the owner of " + file->path);
  if (failed.empty() && fchmod(fd, was.st_mode & 07777) != 0)
    failed = Reason("cannot give the new table the mode of " + file->path);
  for (size_t done = 0; failed.empty() && done < bytes.size() && !caught;) {
    size_t chunk = bytes.size() - done < (1u << 20) ? bytes.size() - done : (1u << 20);
    ssize_t n = write(fd, bytes.data() + done, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = Reason("cannot write the new table beside " + file->path);
    else done += (size_t)n;
  }
  if (failed.empty() && !caught && fsync(fd) != 0)
    failed = Reason("cannot flush the new table beside " + file->path);
  if (close(fd) != 0 && failed.empty()) failed = Reason("cannot write beside " + file->path);

  // From here the rename happens whole or not at all: no signal between
  // the last look at the table and the rename.
  sigset_t block, old;
  sigemptyset(&block);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, signal);
  sigprocmask(SIG_BLOCK, &block, &old);
  struct stat current {};
  if (failed.empty() && !caught) {
    if (stat(file->target.c_str(), &current) != 0)
      failed = Reason(file->path + " went away during the edit");
    else if (!SameFile(current, file->read))
      failed = file->path + ": changed by another program since it was read; not overwritten";
  }
  bool renamed = failed.empty() && !caught && rename(temp.c_str(), file->target.c_str()) == 0;
  if (failed.empty() && !caught && !renamed) failed = Reason("cannot rename over " + file->path);
  if (!renamed) unlink(temp.c_str());
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!renamed) {
    CloseTable(file);
    if (caught) StopIfInterrupted();
    *error = failed + "; the table is unchanged";
    return false;
  }
  // The new name in the folder is on the disk too.
  if (fsync(file->folderFd) != 0) {
    *error = Reason("the table is replaced, but its folder could not be flushed");
    CloseTable(file);
    return false;
  }
  CloseTable(file);
  return true;
}

}  // namespace hoptool
