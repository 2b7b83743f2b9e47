// table_write - a redirect table and its index replaced in one step for
// every reader: each new file written beside the old one with the table's
// owner and mode, flushed to the disk, renamed over it, and the folder
// flushed; the whole read-change-write under an exclusive lock on the
// table's folder.
#ifndef LINKHOP_TABLE_WRITE_H
#define LINKHOP_TABLE_WRITE_H

#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

#include "tsl-os.h"

namespace hoptool {

struct TableFile {
  std::string path;    // as the command line gives it
  std::string target;  // the file itself: where a symbolic link points
  std::string folder;  // the target's folder
  int folderFd = -1;   // open and locked while the edit runs
  struct stat read {};  // the table as read, to see another program's change
  OsFileStamp stamp{};  // the same, as the index records it
  int64_t readSeconds = 0, readNanos = 0;  // the clock just before the read
  OsMapping mapping{};  // the table as read, mapped: its pages are the system's cache
  int tableFd = -1;     // the table as read, open

  TableFile() = default;
  TableFile(const TableFile &) = delete;
  TableFile &operator=(const TableFile &) = delete;
  ~TableFile();
};

// Catches SIGINT, SIGTERM and SIGHUP from now on: an edit under way stops
// before its rename, leaves no temporary file, and then ends the process by
// the same signal. A fault in a mapped index (another program cut it short
// while it was read) ends the process with a message and status 2, leaving
// no temporary file either.
void CatchInterrupts();

// Locks the folder of the table at path (a symbolic link followed), waiting
// up to waitSeconds for another edit to end, and maps the table: *bytes,
// valid while file is. false, with the reason in *error, when it cannot
// (a table over 2 GB too).
bool OpenTable(const std::string &path, double waitSeconds, TableFile *file,
               std::string_view *bytes, std::string *error);

// Writes a file's bytes: to fd, at any offset. false, with the reason.
typedef std::function<bool(int fd, std::string *error)> FileWriter;

// Replaces the table with what write writes (see above), keeping the lock.
// false, with the reason in *error and the old table in place, when the
// table cannot be written or another program changed it since it was read.
bool ReplaceTable(TableFile *file, const FileWriter &write, std::string *error);

// The table's stamp now (after ReplaceTable, the new table's), and whether
// its bytes are still the ones given (compare: called with each piece in
// turn, false at the first that differs), read no earlier than the clock's
// *seconds.*nanos, which it sets: an index of those bytes can then be
// trusted by every reader (see TableIndexSettled). false, with the reason,
// when another program changed the table meanwhile.
bool SettleTable(TableFile *file, const std::function<bool(const char *, size_t)> &same,
                 size_t size, OsFileStamp *stamp, int64_t *seconds, int64_t *nanos,
                 std::string *error);

// Replaces the file at path (a symbolic link followed, also one that
// points at nothing yet) with what write writes, with the table's owner
// and mode: the index holds the table's text.
bool ReplaceBeside(const std::string &path, const TableFile &table, const FileWriter &write,
                   std::string *error);

// Unlocks.
void CloseTable(TableFile *file);

// Ends the process by the signal caught, if one was.
void StopIfInterrupted();

// Writes all count bytes at offset; false on failure.
bool WriteAt(int fd, uint64_t offset, const void *bytes, size_t count);

// Copies count bytes of the file from at offset to the file to at offset
// at, in the kernel where it can (the bytes are those at bytes, in a
// mapping of from, which are written instead where it cannot).
bool CopyAt(int from, uint64_t offset, int to, uint64_t at, const char *bytes, size_t count);

// Reads count bytes at offset; false unless all came.
bool ReadAt(int fd, uint64_t offset, void *bytes, size_t count);

}  // namespace hoptool

#endif
