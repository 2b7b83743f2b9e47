/* kept - the redirect table kept between requests (see kept.h).
 *
 * Two ways to keep it, tried in this order:
 *   - the index file, when it belongs to the table as it is now: mapped
 *     once, looked up in place; its blocks are checked once each and
 *     remembered, in a room of a bit per block;
 *   - the table read whole into a room of its own, taken from the system
 *     when the process turns persistent (pages cost memory only once the
 *     table fills them), and indexed there. A table too large for the room,
 *     or a process the system gives no room, is scanned on every request.
 * File times are coarse, so two quick edits of the same size may share a
 * stamp: a table written within the last two seconds is read whole, used
 * once and read afresh the next time. (An index file carries its own rule
 * for that: see TableIndexSettled.)
 */
#include "kept.h"

#include <string.h>

#include "tableindex.h"
#include "tsl-io.h"

enum { KEPT_ROOM = 64 << 20 };

static struct {
  int enabled;
  /* The index file mapped, for the table of stamp mappedFor. */
  int mapped;
  OsFileStamp mappedFor;
  TableIndexFile file;
  TableIndex index;
  uint8_t *checked; /* a bit per data block, checkedRoom bytes */
  int64_t checkedRoom;
  /* The index file last found unfit, and the table it was found unfit for:
   * not opened again until one of them changes. */
  int refused;
  OsFileStamp refusedIndex, refusedFor;
  /* The table read whole into the room. */
  int kept;     /* the index below answers for the file of stamp */
  int tooLarge; /* the file of stamp does not fit: scanned instead */
  OsFileStamp stamp;
  TableIndex inRoom;
} keep;
static char *keptRoom; /* KEPT_ROOM bytes while enabled */

static void Unmap(void) {
  if (!keep.mapped) return;
  TableIndexCloseFile(&keep.file);
  OsRoomRelease(keep.checked, keep.checkedRoom);
  keep.checked = nullptr;
  keep.checkedRoom = 0;
  keep.mapped = 0;
}

/* Maps the index at indexPath for the table of stamp; 0 when it is missing
 * or unfit, or did not change since it was last found unfit. */
static int MapIndex(const char *indexPath, const OsFileStamp *stamp) {
  OsFileStamp own;
  if (!IoFileStamp(indexPath, &own)) return 0;
  if (keep.refused && IoSameStamp(&own, &keep.refusedIndex) && IoSameStamp(stamp, &keep.refusedFor))
    return 0;
  if (TableIndexOpen(indexPath, stamp, &keep.file, &keep.index) != TABLE_INDEX_OK) {
    keep.refused = 1;
    keep.refusedIndex = own;
    keep.refusedFor = *stamp;
    return 0;
  }
  keep.mapped = 1;
  keep.mappedFor = *stamp;
  keep.refused = 0;
  /* A bit per block, each block checked once for the life of the mapping;
   * without the room, each lookup checks the blocks it reads. */
  const uint64_t blocks = keep.file.layout.dataBlocks;
  keep.checkedRoom = (int64_t)((blocks + 7) / 8);
  keep.checked = (uint8_t *)OsRoomReserve(keep.checkedRoom);
  keep.file.checked = keep.checked;
  keep.file.checkedBlocks = keep.checked ? blocks : 0;
  return 1;
}

/* Reads the table at path whole into the room and indexes it; 0 when it
 * cannot be read or does not fit. */
static int ReadAndIndex(const char *path) {
  static IoReader reader IO_LARGE_BUFFER;
  if (!IoReaderOpen(&reader, path, nullptr)) return 0;
  int64_t length = IoReaderRead(&reader, keptRoom, KEPT_ROOM - 1);
  int more = length == KEPT_ROOM - 1 && IoReaderRead(&reader, keptRoom, 1) > 0;
  IoReaderClose(&reader);
  if (more) return 0;
  int cut;
  length = TableText(keptRoom, (int)length, &cut);
  keptRoom[length] = 0;
  int64_t textRoom = (length + 1 + 7) & ~(int64_t)7;
  if (textRoom + TableIndexRoom(keptRoom, (int)length) > KEPT_ROOM) return 0;
  TableIndexBuild(&keep.inRoom, keptRoom, (int)length, keptRoom + textRoom);
  return 1;
}

/* The table read whole: -1 when it is scanned instead. */
static int LookupInRoom(const char *path, const OsFileStamp *stamp, const char *key, char *value) {
  int same = IoSameStamp(stamp, &keep.stamp);
  if (!(keep.kept && same)) {
    if (keep.tooLarge && same) return -1;
    keep.kept = 0;
    keep.stamp = *stamp;
    keep.tooLarge = !keptRoom || !ReadAndIndex(path);
    if (keep.tooLarge) return -1;
    keep.kept = IoTimeNow() - stamp->modified > 2;
  }
  int at;
  return TableIndexLookup(&keep.inRoom, key, value, &at);
}

int KeptLookup(const char *tablePath, const char *indexPath, const char *key, char *value) {
  value[0] = 0;
  OsFileStamp stamp;
  if (!IoFileStamp(tablePath, &stamp)) {
    Unmap();
    keep.kept = keep.tooLarge = 0;
    return -1; /* no table: as the scan says */
  }
  if (keep.mapped && !IoSameStamp(&stamp, &keep.mappedFor)) Unmap();
  if (keep.mapped) {
    /* An index written over in place (hoptool replaces it by a rename)
     * changes under the view, past the blocks already checked: opened
     * afresh. */
    OsFileStamp own;
    if (!IoFileStamp(indexPath, &own) || !IoSameStamp(&own, &keep.file.own)) Unmap();
  }
  if (!keep.mapped && stamp.size >= TABLE_INDEX_WORTH && indexPath) MapIndex(indexPath, &stamp);
  if (keep.mapped) {
    int at;
    const int found = TableIndexLookup(&keep.index, key, value, &at);
    if (found >= 0) return found;
    /* Damaged under the mapping: never again, until the file changes. */
    OsFileStamp own;
    if (IoFileStamp(indexPath, &own)) {
      keep.refused = 1;
      keep.refusedIndex = own;
      keep.refusedFor = stamp;
    }
    Unmap();
  }
  return LookupInRoom(tablePath, &stamp, key, value);
}

void LookupKeepTables(int enabled) {
  if (enabled && !keptRoom) keptRoom = (char *)OsRoomReserve(KEPT_ROOM);
  if (!enabled && keptRoom) {
    OsRoomRelease(keptRoom, KEPT_ROOM);
    keptRoom = nullptr;
  }
  Unmap();
  keep.enabled = enabled;
  keep.kept = keep.tooLarge = keep.refused = 0;
}

int KeptTablesEnabled(void) { return keep.enabled; }
