// table_write - a redirect table and its index replaced in one step for
// every reader: each new file written beside the old one with the table's
// access, flushed to the disk, put in its place by a replacing rename, and
// the folder flushed; the whole read-change-write under an exclusive lock
// on the table's edits. The same on POSIX systems and Windows, through the
// platform layer (tsl-os).
#ifndef LINKHOP_TABLE_WRITE_H
#define LINKHOP_TABLE_WRITE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <string_view>

#include "tsl-os.h"

namespace hoptool {

struct TableFile {
  std::string path;    // as the command line gives it
  std::string target;  // the file itself: where a symbolic link points
  std::string folder;  // the target's folder
  OsFile lock{OS_NO_FILE, 0};  // open and locked while the edit runs
  OsFileStamp stamp{};  // the table as read, to see another program's change
  int64_t readSeconds = 0, readNanos = 0;  // the clock just before the read
  OsMapping mapping{};  // the table as read, mapped: its pages are the system's cache
  OsFile table{OS_NO_FILE, 0};  // the table as read, open (where that blocks no replacement)
  std::string held;     // the table as read, where it is not kept open

  TableFile() = default;
  TableFile(const TableFile &) = delete;
  TableFile &operator=(const TableFile &) = delete;
  ~TableFile();
};

// Catches interrupts from now on (Ctrl+C, SIGTERM, SIGHUP, a closed
// console window): an edit under way stops before its rename, leaves no
// temporary file, and then ends the process as the interrupt would have. A
// fault in a mapped file (another program cut it short while it was read)
// ends the process with a message and status 2, leaving no temporary file
// either.
void CatchInterrupts();

// Locks the edits of the table at path (a symbolic link followed), waiting
// up to waitSeconds for another edit to end, and reads the table: *bytes,
// valid while file is. false, with the reason in *error, when it cannot
// (a table over 2 GB, or one the system marks read-only, too).
bool OpenTable(const std::string &path, double waitSeconds, TableFile *file,
               std::string_view *bytes, std::string *error);

// Writes a file's bytes: to file, at any offset. false, with the reason.
typedef std::function<bool(OsFile file, std::string *error)> FileWriter;

// Replaces the table with what write writes (see above), keeping the lock;
// a replacement that another program's open file refuses is tried again
// for up to waitSeconds. false, with the reason in *error and the old
// table in place, when the table cannot be written or another program
// changed it since it was read.
bool ReplaceTable(TableFile *file, const FileWriter &write, double waitSeconds,
                  std::string *error);

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
// points at nothing yet) with what write writes, with the table's access:
// the index holds the table's text.
bool ReplaceBeside(const std::string &path, const TableFile &table, const FileWriter &write,
                   double waitSeconds, std::string *error);

// Unlocks.
void CloseTable(TableFile *file);

// Ends the process as the interrupt caught would have, if one was.
void StopIfInterrupted();

// Writes all count bytes at offset; false on failure.
bool WriteAt(OsFile file, uint64_t offset, const void *bytes, size_t count);

// Copies count bytes of the table at offset to the file to at offset at,
// in the system where it can (the bytes are those at bytes, the table's
// own as read, which are written instead where it cannot).
bool CopyAt(const TableFile &from, uint64_t offset, OsFile to, uint64_t at, const char *bytes,
            size_t count);

// Reads count bytes at offset; false unless all came.
bool ReadAt(OsFile file, uint64_t offset, void *bytes, size_t count);

// The reason of the last failed call, as the system words it.
std::string SystemReason(const std::string &what);

}  // namespace hoptool

#endif
