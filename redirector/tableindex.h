/* tableindex - the compiled form of a redirect table: an index that answers
 * every key exactly as the scan of the table does (see table.h), in a few
 * reads whatever the table's size. hoptool writes it beside the table; the
 * program maps the file read-only and answers from it while it belongs to
 * the table as it is now, and scans the table otherwise. The same index
 * built in memory serves a persistent process whose table has no index
 * file, and hoptool's check and edits.
 *
 * What it holds. A key K matches at an end e of the table's text when the
 * text before e ends with K (letters in either case) and white space and
 * an '=' follow e. So every place where an accepted key may end is listed:
 * for each '=', each end from just after the last byte above 32 before it
 * up to the '=' itself. The run of an end is the text before it back to
 * the last byte below 32 (a key holds none); its order key is the run read
 * backwards, letters folded, at most TABLE_KEY_MAX bytes. Sorted by their
 * order keys, the ends where K matches are one stretch: those whose order
 * key starts with K backwards. The first of them in the text that the scan
 * reaches is the answer.
 *
 * The file, all integers little-endian:
 *
 *   header    TABLE_INDEX_HEADER bytes or a multiple: the fixed fields
 *             below; the checksums of the blocks of sums; zeros; the last
 *             8 bytes a checksum of all the header's other bytes
 *   sums      one 32-bit checksum per data block (4096 bytes of the data
 *             area; the last block may be shorter), padded to a block
 *   data      records   recordCount records, sorted by (order key, end)
 *             fences    the order key's first 8 bytes of every 256th
 *                       record, then of every 65536th
 *             mins      the least end of each 64 records, then of each 64
 *                       of those, and so on up to one
 *             text      the table's text as the lookup reads it (see
 *                       TableText) and a zero byte
 *             lines     where each of its lines starts in the text, and,
 *                       for a table with carriage returns, in the file
 *
 * Every offset follows from the counts in the header (TableIndexLayoutOf),
 * so a header is trusted only when its checksum holds and its offsets are
 * exactly the ones these counts give; a block is trusted once its checksum
 * holds. A reader checks the header, then each block it reads: never the
 * whole file.
 */
#ifndef LINKHOP_TABLEINDEX_H
#define LINKHOP_TABLEINDEX_H

#include <stdint.h>

#include "table.h"
#include "tsl-os.h"

enum {
  TABLE_INDEX_VERSION = 1,
  TABLE_INDEX_HEADER = 4096,   /* the header's least size; always a multiple of it */
  TABLE_INDEX_BLOCK = 4096,    /* a data block, checked as one */
  TABLE_INDEX_INLINE = 12,     /* bytes of the order key a record holds */
  TABLE_INDEX_FENCE = 256,     /* records between fences, and fences between fences */
  TABLE_INDEX_MIN_FAN = 64,    /* ends under one least end */
  TABLE_INDEX_MIN_LEVELS = 8,
  /* A table at least this large is looked up through its index, when it
   * has one; a smaller one is scanned in about the time the index takes to
   * open. */
  TABLE_INDEX_WORTH = 65536
};

/* The first bytes of every index file: the name, and bytes a text-mode
 * copy or an ASCII transfer would change. */
#define TABLE_INDEX_MAGIC "LHIDX\r\n\x1A"

/* A record: where an accepted key may end, and the first bytes of its
 * order key, packed so that integer order is the order key's order
 * (byte 0 in the top byte of key0; bytes after the run's start are 0). */
typedef struct TableIndexRecord {
  uint64_t key0; /* order key bytes 0 to 7 */
  uint32_t key1; /* bytes 8 to 11 */
  uint32_t end;  /* the end; TABLE_INDEX_OWN_KEY set when it ends its line's key */
} TableIndexRecord;

/* The end ends its line's own key: the text before the line's first '=',
 * white space around it removed, and the line holds no byte but white
 * space before the run. hoptool finds a key's own entry line by it. */
#define TABLE_INDEX_OWN_KEY 0x80000000u
#define TABLE_INDEX_END_MASK 0x7FFFFFFFu

/* The fixed fields at the start of the header, little-endian. */
typedef struct TableIndexHeader {
  char magic[8];
  uint32_t version;
  uint32_t byteOrder;   /* 0x01020304 */
  uint64_t fileSize;
  uint32_t headerSize;
  uint32_t recordCount;
  uint32_t textLength;
  uint32_t textEnd;     /* why the text ends: TABLE_INDEX_ENDS_... */
  /* The stamp of the table it was built from, and when it was read: an
   * index whose table changed since, or may have changed in the same tick
   * of the file system's clock, is not used. */
  uint64_t tableDevice, tableInode;
  int64_t tableSize;
  int64_t tableModified, tableModifiedNanos, tableChanged, tableChangedNanos;
  int64_t readSeconds, readNanos;
  /* The text's lines, and where it lies in the file: for hoptool, which
   * changes the table without reading every line of it. */
  uint32_t lineCount;
  uint32_t flags;       /* TABLE_INDEX_RETURNS: the file's lines start elsewhere */
  uint32_t fileTextEnd; /* where the file's bytes of the text end */
  uint32_t fileDataEnd; /* the file's first byte 0x1A, or its size */
  uint64_t reserved[2];
} TableIndexHeader;

/* The table holds carriage returns before its data's end: the lines' starts
 * in the file are given apart from those in the text. */
#define TABLE_INDEX_RETURNS 1u

enum { TABLE_INDEX_ENDS_AT_END, TABLE_INDEX_ENDS_AT_1A, TABLE_INDEX_ENDS_AT_LONG_LINE };

/* Where each part of a file of recordCount records, a text of textLength
 * bytes in lineCount lines, and flags lies. */
typedef struct TableIndexLayout {
  uint64_t headerSize, sumsOffset, dataOffset, dataBlocks, sumBlocks;
  uint64_t recordsOffset, fenceOffset[2], minOffset[TABLE_INDEX_MIN_LEVELS], textOffset;
  uint64_t linesOffset, fileLinesOffset; /* the second 0 without TABLE_INDEX_RETURNS */
  uint32_t fenceCount[2], minCount[TABLE_INDEX_MIN_LEVELS], minLevels;
  uint64_t fileSize;
} TableIndexLayout;

/* 0 when the counts make a file too large for the format. */
int TableIndexLayoutOf(uint32_t recordCount, uint32_t textLength, uint32_t lineCount,
                       uint32_t flags, TableIndexLayout *layout);

/* The checksum of a data block (block, its number in the data area), of a
 * block of sums (block, its number among them), and of the header. */
uint32_t TableIndexBlockSum(const void *bytes, uint32_t length, uint64_t block);
uint32_t TableIndexSumsSum(const void *bytes, uint32_t length, uint64_t block);
uint64_t TableIndexHeaderSum(const void *bytes, uint32_t length);

/* ---- The index, in memory or mapped ------------------------------------ */

/* What a lookup reads: the parts, and for a mapped file the checks its
 * blocks have passed. */
typedef struct TableIndex {
  const char *text; /* textLength bytes and a zero byte */
  uint32_t textLength;
  uint32_t recordCount;
  const TableIndexRecord *records;
  const uint64_t *fences[2];
  uint32_t fenceCount[2];
  const uint32_t *mins[TABLE_INDEX_MIN_LEVELS];
  uint32_t minCount[TABLE_INDEX_MIN_LEVELS];
  uint32_t minLevels;
  /* A mapped file's lines (see TableIndexHeader); null in memory. */
  const uint32_t *lines, *fileLines;
  uint32_t lineCount;
  /* 1: text is the reader's own copy of the file's text (the table's
   * bytes), read as it stands. */
  int ownText;
  /* A mapped file: its bytes, and the blocks found whole so far. Null for
   * an index built in memory, which is trusted as it stands. */
  const struct TableIndexFile *file;
} TableIndex;

/* The bytes of room an index of text needs beside the text itself: its
 * records, fences and mins, and room to sort the records in. */
int64_t TableIndexRoom(const char *text, int length);

/* The bytes of room the fences and mins of count records need. */
int64_t TableIndexSummaryRoom(uint32_t count);

/* Builds the index of text (length bytes, a zero byte after them, left in
 * place for the index's lifetime) in room, which holds TableIndexRoom
 * bytes and is aligned for 8-byte integers. 1. */
int TableIndexBuild(TableIndex *index, const char *text, int length, void *room);

/* What the lookup answers for key with this table: 1 and the address in
 * value (TABLE_VALUE_MAX + 1 bytes), *at the accepted occurrence's offset
 * in the text; 0, value empty and *at -1, for a miss. The empty key and
 * keys longer than TABLE_KEY_MAX bytes are misses. -1, value empty, when
 * a mapped file turns out damaged: the caller scans the table instead. */
int TableIndexLookup(const TableIndex *index, const char *key, char *value, int *at);

/* The records whose order key starts with key read backwards (length
 * bytes, no byte below 32): [*first, *last). 1, or -1 for a damaged file. */
int TableIndexStretch(const TableIndex *index, const char *key, int length, uint32_t *first,
                      uint32_t *last);

/* The least end of records [first, last) above floor (-1: any), or
 * 0xFFFFFFFF for none; *ok cleared for a damaged file. */
uint32_t TableIndexLeastEnd(const TableIndex *index, uint32_t first, uint32_t last, int64_t floor,
                            int *ok);

/* 1 when every block of a mapped file is whole, its text's too or not
 * (always, for an index in memory): for a reader that will lean on every
 * part of it. */
int TableIndexWhole(const TableIndex *index, int withText);

/* 1 when the bytes [at, at + length) of a mapped file's data are whole. */
int TableIndexPartWhole(const TableIndex *index, const void *at, uint64_t length);

/* 1 when bytes (length, a whole number of data blocks but the file's last
 * one) are what a mapped file's data blocks from block on hold: for a
 * reader that reads them by other means than the mapping. */
int TableIndexBlocksWhole(TableIndexFile *file, uint64_t block, const void *bytes, uint64_t length);

/* Line i's start in the text of a file, checked; -1 when damaged. */
int64_t TableIndexLineAt(const TableIndex *index, uint32_t i);

/* The record at i, checked; null for a damaged file. */
const TableIndexRecord *TableIndexRecordAt(const TableIndex *index, uint32_t i);

/* Text bytes [offset, offset + length), checked; null when damaged or
 * outside the text. */
const char *TableIndexTextAt(const TableIndex *index, uint32_t offset, uint32_t length);

/* The order key of a text run: the bytes before end back to the last byte
 * below 32, read backwards and folded, at most TABLE_KEY_MAX; its first
 * TABLE_INDEX_INLINE bytes as a record packs them. */
void TableIndexOrderKey(const char *text, uint32_t end, uint64_t *key0, uint32_t *key1);

/* Orders two records of text as the index does: -1, 0 or 1. */
int TableIndexCompare(const char *text, const TableIndexRecord *a, const TableIndexRecord *b);

/* Sorts records of text into the index's order, in place. */
void TableIndexSort(const char *text, TableIndexRecord *records, uint32_t count);

/* Fills the fences and mins for sorted records, in the room that
 * TableIndexRoom's layout gives after them. */
void TableIndexSummarize(TableIndex *index, void *summaries);

/* Calls each(end, flag) for every end of text [from, to) in the text's
 * order: the ends whose '=' lies in [from, to). Returns their number. */
uint32_t TableIndexEachEnd(const char *text, uint32_t length, uint32_t from, uint32_t to,
                           void (*each)(void *context, uint32_t endAndFlag), void *context);

/* ---- The file ------------------------------------------------------------ */

/* The index's path beside the table's: a final ".txt" of the table's name
 * becomes ".idx" (hopdata\config.txt, hopdata\config.idx), any other name
 * gets ".idx" added. 0 when it does not fit in size bytes. */
int TableIndexPath(const char *tablePath, char *indexPath, int size);

/* Blocks read from a file without a view of it, in slots; the caller's
 * room (a lookup of a process that answers one request). Every page of it
 * that a read writes costs such a process a fault: the header and each
 * slot start a page, and what tells the slots apart is kept in the file's
 * record. */
enum { TABLE_INDEX_SLOTS = 2, TABLE_INDEX_SLOT_BLOCKS = 2, TABLE_INDEX_HEADER_ROOM = 16384 };
typedef struct TableIndexSlot {
  uint64_t first;  /* the first block held */
  uint32_t count;  /* blocks held; 0: empty */
  uint32_t sums;   /* 1: a block of sums, else data blocks */
  uint64_t used;   /* when last used */
} TableIndexSlot;
typedef struct TableIndexReads {
  char header[TABLE_INDEX_HEADER_ROOM];
  char bytes[TABLE_INDEX_SLOTS][TABLE_INDEX_SLOT_BLOCKS * TABLE_INDEX_BLOCK];
} TableIndexReads;

/* An index file, mapped or read block by block, and the record of blocks
 * it found whole. */
typedef struct TableIndexFile {
  OsMapping mapping; /* bytes null: read through file into reads */
  OsFile file;
  TableIndexReads *reads;
  TableIndexSlot slots[TABLE_INDEX_SLOTS];
  uint64_t clock;
  OsFileStamp own; /* the index file's own stamp, as opened */
  TableIndexLayout layout;
  const TableIndexHeader *header;
  const char *headerBytes;
  /* Blocks checked: a few remembered by number, and, where the caller gave
   * room for one, a bit for every block. */
  uint64_t recent[16];
  unsigned recentNext;
  uint8_t *checked;
  uint64_t checkedBlocks;
} TableIndexFile;

/* Why a file is not used. */
enum {
  TABLE_INDEX_OK = 0,
  TABLE_INDEX_MISSING,   /* no such file, or it cannot be read or mapped */
  TABLE_INDEX_DAMAGED,   /* not an index of this version, cut short, or a checksum fails */
  TABLE_INDEX_FOREIGN,   /* the index of another table, or of another version of it */
  TABLE_INDEX_UNSETTLED  /* built when the table was so new that a change in the same
                            tick of the file system's clock could have passed unseen */
};

/* Maps the index at path and checks its header against the stamp of the
 * table as it is now (null: not compared). TABLE_INDEX_OK, and *index
 * ready to look up in, or why not (the file then left unmapped). */
int TableIndexOpen(const char *path, const OsFileStamp *table, TableIndexFile *file,
                   TableIndex *index);

/* The same, read block by block into reads as a lookup needs them: for a
 * process that answers one request, for which a view of a large file costs
 * more to set up and take down than the whole lookup. */
int TableIndexOpenRead(const char *path, const OsFileStamp *table, TableIndexReads *reads,
                       TableIndexFile *file, TableIndex *index);

/* The same for bytes already in memory (a test, a fuzz target). */
int TableIndexOpenBytes(const char *bytes, int64_t size, const OsFileStamp *table,
                        TableIndexFile *file, TableIndex *index);

void TableIndexCloseFile(TableIndexFile *file);

/* Whether an index read at readSeconds.readNanos is settled for a table of
 * stamp: every later change of the table must show in its stamp. */
int TableIndexSettled(const OsFileStamp *table, int64_t readSeconds, int64_t readNanos);

/* The file's writer: tableindex_write.h, for hoptool. */

/* Sets the stamp and the read time in a header (headerSize bytes), and its
 * checksum: for a writer that learns them only once the rest is written. */
void TableIndexRestamp(void *header, const OsFileStamp *table, int64_t readSeconds,
                       int64_t readNanos);

#endif /* LINKHOP_TABLEINDEX_H */
