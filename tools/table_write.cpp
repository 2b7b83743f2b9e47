// table_write - a redirect table and its index replaced in one step (see
// table_write.h).
#include "table_write.h"

#include <string.h>

#include <atomic>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tableindex.h"
#include "tsl-io.h"

namespace hoptool {

namespace fs = std::filesystem;

namespace {

std::atomic<int> caught{0};
// The file being written beside its old one, removed by the fault handler
// and by an interrupt that ends the process before the rename.
char writing[OS_PATH_SIZE];

void OnInterrupt(int kind) { caught = kind; }

void OnFault() {
  if (writing[0]) OsFileRemove(writing);
  static const char message[] =
      "hoptool: a file it was reading (the table or its index) was cut short by another "
      "program; nothing changed\n";
  OsFileWrite(OsStandardStream(OS_STDERR), message, (int)sizeof(message) - 1);
  OsExit(2);
}

std::string Reason(const std::string &what, OsFailure failure) {
  char text[256];
  OsFailureText(failure, text, (int)sizeof(text));
  return what + ": " + text;
}

std::string FolderOf(const std::string &path) {
  const fs::path folder = fs::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

// A name beside target that no file has yet: .NAME.hoptool-XXXXXX.
bool CreateBeside(const std::string &target, OsFile *file, std::string *temp,
                  OsFailure *failure) {
  static unsigned counter;
  const fs::path at(target);
  for (int tries = 0; tries < 100; tries++) {
    int64_t seconds, nanos;
    OsClockNow(&seconds, &nanos);
    uint64_t mix = (uint64_t)nanos * 2654435761u ^ (uint64_t)OsProcessId() << 20 ^ ++counter;
    char suffix[7];
    for (int i = 0; i < 6; i++, mix /= 36) suffix[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[mix % 36];
    suffix[6] = 0;
    *temp = (at.parent_path() / ("." + at.filename().string() + ".hoptool-" + suffix)).string();
    if (OsFileCreateNew(file, temp->c_str(), failure)) return true;
    OsFileStamp there;
    if (!OsFileStampOf(temp->c_str(), &there)) return false;  // not taken: it cannot be made
  }
  return false;
}

// Writes a new file beside target, puts it in target's place and flushes
// the folder. ready, called after the bytes are flushed and before the
// replacement with interrupts held, may refuse it; letGo, called then too,
// closes what of the old file this process holds, where that blocks the
// replacement. A replacement another program's open file refuses is tried
// again for up to waitSeconds.
bool WriteAndReplace(const std::string &target, const std::string &shownAs,
                     const std::string &likePath, const FileWriter &write,
                     const std::function<std::string()> &ready, const std::function<void()> &letGo,
                     double waitSeconds, std::string *error) {
  OsFile file;
  std::string temp;
  OsFailure failure = {0, 0};
  if (!CreateBeside(target, &file, &temp, &failure)) {
    *error = Reason("cannot write beside " + shownAs, failure);
    return false;
  }
  if (temp.size() < sizeof(writing)) memcpy(writing, temp.c_str(), temp.size() + 1);
  std::string failed;
  if (!OsFileTakeAccess(file, likePath.c_str(), &failure))
    failed = Reason("cannot give " + shownAs + " the access of the table", failure);
  if (failed.empty() && !caught && !write(file, &failed) && failed.empty()) {
    // A table changed under its mapping fails the write: say that.
    failed = ready();
    if (failed.empty()) failed = Reason("cannot write the new " + shownAs, OsLastFailure());
  }
  if (failed.empty() && !caught && !OsFileFlush(file))
    failed = Reason("cannot flush the new " + shownAs, OsLastFailure());
  OsFileClose(file);

  // From here the replacement happens whole or not at all: no interrupt
  // between the last look at the table and the rename.
  OsHoldInterrupts(1);
  if (failed.empty() && !caught) failed = ready();
  bool replaced = false;
  if (failed.empty() && !caught) {
    letGo();
    for (double waited = 0;; waited += 0.05) {
      replaced = OsFileReplace(temp.c_str(), target.c_str(), &failure);
      if (replaced || !failure.transient || waited >= waitSeconds || caught) break;
      OsHoldInterrupts(0);
      OsSleep(50);
      OsHoldInterrupts(1);
    }
    if (!replaced)
      failed = Reason("cannot put the new " + shownAs + " in its place", failure) +
               (failure.transient ? " (another program holds it open)" : "");
  }
  if (!replaced) OsFileRemove(temp.c_str());
  writing[0] = 0;
  OsHoldInterrupts(0);
  if (!replaced) {
    StopIfInterrupted();
    *error = failed;
    return false;
  }
  // The new name in the folder is on the disk too.
  if (!OsFolderFlush(FolderOf(target).c_str())) {
    *error = Reason(shownAs + " is replaced, but its folder could not be flushed", OsLastFailure());
    return false;
  }
  return true;
}

}  // namespace

std::string SystemReason(const std::string &what) { return Reason(what, OsLastFailure()); }

void CatchInterrupts() {
  OsCatchInterrupts(OnInterrupt);
  OsCatchMappedFault(OnFault);
}

void StopIfInterrupted() {
  const int kind = caught;
  if (!kind) return;
  if (writing[0]) OsFileRemove(writing);
  OsEndByInterrupt(kind);
}

bool WriteAt(OsFile file, uint64_t offset, const void *bytes, size_t count) {
  const char *p = (const char *)bytes;
  while (count > 0) {
    const int piece = count < (1u << 20) ? (int)count : (1 << 20);
    if (caught || !OsFileWriteAt(file, p, piece, (int64_t)offset)) return false;
    p += piece;
    offset += (uint64_t)piece;
    count -= (size_t)piece;
  }
  return !caught;
}

TableFile::~TableFile() {
  CloseTable(this);
  OsFileUnmap(&mapping);
  if (table.handle != OS_NO_FILE) OsFileClose(table);
}

bool CopyAt(const TableFile &from, uint64_t offset, OsFile to, uint64_t at, const char *bytes,
            size_t count) {
  while (count > 0 && from.table.handle != OS_NO_FILE) {
    const int64_t n = OsFileCopyRange(from.table, (int64_t)offset, to, (int64_t)at, (int64_t)count);
    if (n <= 0 || caught) break;  // not in the system: by hand
    offset += (uint64_t)n;
    at += (uint64_t)n;
    bytes += n;
    count -= (size_t)n;
  }
  return WriteAt(to, at, bytes, count);
}

bool ReadAt(OsFile file, uint64_t offset, void *bytes, size_t count) {
  char *p = (char *)bytes;
  while (count > 0) {
    const int n = OsFileReadAt(file, p, count < (1u << 30) ? (int)count : (1 << 30), (int64_t)offset);
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
  std::error_code failed;
  const fs::path resolved = fs::canonical(path, failed);
  if (failed) {
    // In the words of the C library on every system ("No such file or
    // directory"), as the other commands say it.
    *error = path + ": " + failed.default_error_condition().message();
    return false;
  }
  file->target = resolved.string();
  file->folder = FolderOf(file->target);
  if (fs::is_directory(resolved, failed)) {
    *error = path + ": Is a directory";
    return false;
  }
  OsFailure failure = {0, 0};
  // Another edit holds the lock: wait for it, a little at a time.
  for (double waited = 0;; waited += 0.02) {
    const int locked = OsEditLockTry(&file->lock, file->folder.c_str(),
                                     resolved.filename().string().c_str(), &failure);
    if (locked > 0) break;
    if (locked < 0) {
      *error = Reason("cannot lock " + file->folder, failure);
      return false;
    }
    StopIfInterrupted();
    if (waited >= waitSeconds) {
      char seconds[32];
      snprintf(seconds, sizeof(seconds), "%g", waitSeconds);
      *error = path + ": another edit of this table has held its lock for " + seconds +
               " s; nothing changed (wait longer with --wait)";
      CloseTable(file);
      return false;
    }
    OsSleep(20);
  }
  if (OsFileReadOnly(file->target.c_str())) {
    *error = path + ": is read-only; nothing changed (make it writable to edit it)";
    CloseTable(file);
    return false;
  }
  OsClockNow(&file->readSeconds, &file->readNanos);
  OsFile open;
  bool read = OsFileOpen(&open, file->target.c_str(), OS_OPEN_READ, &failure) != 0;
  if (!read) {
    *error = Reason(path, failure);
    CloseTable(file);
    return false;
  }
  read = OsFileStampOpen(open, &file->stamp) != 0;
  if (read && file->stamp.size > 0x7FFFFFF0) {
    // Offsets in the table and its index are 32-bit.
    *error = path + ": too large (over 2 GB)";
    OsFileClose(open);
    CloseTable(file);
    return false;
  }
  if (read && OS_OPEN_FILE_BLOCKS_REPLACE) {
    // Read whole and let go: a file held open here could not be replaced.
    file->held.resize((size_t)file->stamp.size);
    read = file->held.empty() || ReadAt(open, 0, &file->held[0], file->held.size());
    *bytes = std::string_view(file->held);
    if (!read) *error = SystemReason(path);
    OsFileClose(open);
  } else {
    if (read && file->stamp.size > 0) read = OsFileMap(open, file->stamp.size, &file->mapping) != 0;
    *bytes = std::string_view(file->mapping.bytes ? file->mapping.bytes : "",
                              (size_t)file->mapping.size);
    if (!read) *error = SystemReason(path);
    if (read) file->table = open;
    else OsFileClose(open);
  }
  if (!read) CloseTable(file);
  return read;
}

void CloseTable(TableFile *file) {
  if (file->lock.handle != OS_NO_FILE) OsFileClose(file->lock);  // the lock goes with it
  file->lock.handle = OS_NO_FILE;
}

bool ReplaceTable(TableFile *file, const FileWriter &write, double waitSeconds,
                  std::string *error) {
  auto ready = [file]() -> std::string {
    OsFileStamp current;
    if (!OsFileStampOf(file->target.c_str(), &current))
      return SystemReason(file->path + " went away during the edit");
    if (!IoSameStamp(&current, &file->stamp))
      return file->path + ": changed by another program since it was read; not overwritten";
    return "";
  };
  auto letGo = [file] {
    if (!OS_OPEN_FILE_BLOCKS_REPLACE) return;
    OsFileUnmap(&file->mapping);
    if (file->table.handle != OS_NO_FILE) OsFileClose(file->table);
    file->table.handle = OS_NO_FILE;
  };
  if (WriteAndReplace(file->target, file->path, file->target, write, ready, letGo, waitSeconds,
                      error))
    return true;
  if (error->find(" is replaced, but") == std::string::npos) *error += "; the table is unchanged";
  return false;
}

bool SettleTable(TableFile *file, const std::function<bool(const char *, size_t)> &same,
                 size_t size, OsFileStamp *stamp, int64_t *seconds, int64_t *nanos,
                 std::string *error) {
  if (!OsFileStampOf(file->target.c_str(), stamp)) {
    *error = SystemReason(file->path);
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
    OsSleep(10);
    OsClockNow(seconds, nanos);
  }
  OsFile open;
  OsFailure failure = {0, 0};
  if (!OsFileOpen(&open, file->target.c_str(), OS_OPEN_READ, &failure)) {
    *error = Reason(file->path, failure);
    return false;
  }
  std::vector<char> block(1 << 20);
  size_t total = 0;
  bool alike = true;
  for (;;) {
    const int n = OsFileRead(open, block.data(), (int)block.size());
    if (n <= 0) {
      alike = alike && n == 0;
      break;
    }
    total += (size_t)n;
    if (alike && !same(block.data(), (size_t)n)) alike = false;
  }
  OsFileStamp again;
  const bool stamped = OsFileStampOpen(open, &again);
  OsFileClose(open);
  if (!alike || total != size || !stamped || !IoSameStamp(&again, stamp)) {
    *error = file->path + ": changed by another program during the edit";
    return false;
  }
  return true;
}

bool ReplaceBeside(const std::string &path, const TableFile &table, const FileWriter &write,
                   double waitSeconds, std::string *error) {
  // Where a symbolic link points, also when nothing is there yet.
  fs::path target = path;
  std::error_code failed;
  for (int links = 0; links < 16 && fs::is_symlink(target, failed); links++) {
    const fs::path next = fs::read_symlink(target, failed);
    if (failed) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return WriteAndReplace(target.string(), path, table.target, write, [] { return std::string(); },
                         [] {}, waitSeconds, error);
}

}  // namespace hoptool
