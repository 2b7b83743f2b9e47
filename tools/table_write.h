// table_write - a redirect table replaced in one step for every reader:
// the new table written beside the old one with its owner and mode,
// flushed to the disk, renamed over it, and the folder flushed; the whole
// read-change-write under an exclusive lock on the table's folder.
#ifndef LINKHOP_TABLE_WRITE_H
#define LINKHOP_TABLE_WRITE_H

#include <sys/stat.h>

#include <string>

namespace hoptool {

struct TableFile {
  std::string path;    // as the command line gives it
  std::string target;  // the file itself: where a symbolic link points
  std::string folder;  // the target's folder
  int folderFd = -1;   // open and locked while the edit runs
  struct stat read {};  // the table as read, to see another program's change
};

// Catches SIGINT, SIGTERM and SIGHUP from now on: an edit under way stops
// before its rename, leaves no temporary file, and then ends the process by
// the same signal.
void CatchInterrupts();

// Locks the folder of the table at path (a symbolic link followed), waiting
// up to waitSeconds for another edit to end, and reads the table. false,
// with the reason in *error, when it cannot.
bool OpenTable(const std::string &path, double waitSeconds, TableFile *file, std::string *bytes,
               std::string *error);

// Replaces the table with bytes (see above) and unlocks it. false, with the
// reason in *error and the old table in place, when the table cannot be
// written or another program changed it since it was read.
bool ReplaceTable(TableFile *file, const std::string &bytes, std::string *error);

// Unlocks without writing.
void CloseTable(TableFile *file);

// Ends the process by the signal caught, if one was.
void StopIfInterrupted();

}  // namespace hoptool

#endif
