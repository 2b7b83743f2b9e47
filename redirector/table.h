/* table - the redirect table's matching rules, stated once for the
 * program and hoptool, and the scan that a lookup runs over the file,
 * region by region, as it reads it in fixed memory: the reference for
 * every other way of answering (the compiled table, tableindex.h).
 *
 * The rules: a key matches wherever it occurs, ASCII letters in either
 * case, followed by optional white space (bytes 0 to 32) and '='; the
 * address starts at the first byte after the '=' that is not white space
 * and runs up to the first byte below 32, at most TABLE_VALUE_MAX bytes. The
 * first accepted occurrence wins, and an occurrence turned down is passed
 * over by the key's length. A line of more than TABLE_LINE_MAX bytes ends
 * the table.
 */
#ifndef LINKHOP_TABLE_H
#define LINKHOP_TABLE_H

#include <stdint.h>

#include "fastsrch.h"

enum {
  TABLE_KEY_MAX = FAST_SEARCH_KEY_MAX, /* bytes of a key that is looked up */
  TABLE_VALUE_MAX = 300, /* bytes of an address; the rest is dropped */
  TABLE_LINE_MAX = 4094, /* bytes of a line the lookup's buffer can hold */
  /* The lookup's read buffer: a line of TABLE_LINE_MAX bytes, its line end
   * and a zero byte. */
  TABLE_BUFFER = TABLE_LINE_MAX + 2
};

/* ---- The byte classes, keys and addresses ---------------------------------- */

/* White space around a key, its '=' and before an address: bytes 0 to 32. */
static inline int TableIsWhite(unsigned char c) { return c <= 32; }

/* A byte below 32 ends an address in the table, and a query. */
static inline int TableIsControl(unsigned char c) { return c < 32; }

/* Where the driver ends a query: a byte below 32, and DEL (127), which no
 * header value may hold. */
static inline int TableEndsQuery(unsigned char c) { return TableIsControl(c) || c == 127; }

/* Why a query of these bytes is never looked up as a key; 0 when it is. */
enum {
  TABLE_KEY_EMPTY = 1,
  TABLE_KEY_TOO_LONG = 2, /* more than TABLE_KEY_MAX bytes */
  TABLE_KEY_EXPLICIT = 4, /* a full stop: the driver sends it on as an address */
  TABLE_KEY_CONTROL = 8,  /* a byte where the driver ends a query (TableEndsQuery) */
  /* A key with any of these is a miss in every table. */
  TABLE_KEY_UNSEARCHABLE = TABLE_KEY_EMPTY | TABLE_KEY_TOO_LONG | TABLE_KEY_CONTROL
};

/* The TABLE_KEY_ flags of every reason why the length bytes at key are never
 * looked up; 0 for a key the driver asks the table for. */
int TableKeyFlaws(const char *key, int length);

/* An entry's address, as the lookup reads it. */
typedef struct TableAddress {
  const char *start; /* past the white space after the '=' */
  int length;        /* the bytes sent: up to the first byte below 32, at most TABLE_VALUE_MAX */
  int written;       /* the bytes up to the first byte below 32, all of them */
} TableAddress;

/* Reads the address in [text, end), the text that follows an entry's '=':
 * it starts after the white space (which may run over line ends) and ends
 * at the first byte below 32 or at end. Returns 0 when the white space runs
 * into end (the address is then empty), else 1. */
int TableAddressRead(const char *text, const char *end, TableAddress *address);

/* ---- The scan ------------------------------------------------------------ */

/* What the scan of an occurrence waits for when it runs into the end of a
 * region before the table has ended: the bytes of the next region decide. */
enum { PENDING_NONE, PENDING_EQUALS, PENDING_VALUE };

typedef struct TableScan {
  const FastSearch *search; /* prepared by TableSearchInit */
  int pending;
  char *value; /* the caller's buffer of TABLE_VALUE_MAX + 1 bytes */
  long base;   /* the caller's: the region's offset in the table's text */
  long at;     /* the offset of the occurrence accepted (or pending) */
} TableScan;

/* Prepares search for key, letters in either case, as TableScanRegion
 * needs it: a carriage return may stand anywhere inside an occurrence. 0
 * for a key that finds nothing (see FastSearchInit). */
int TableSearchInit(FastSearch *search, const char *key);

/* Searches one region of the table, [start, end), whose bytes are followed
 * in memory by a zero byte or by more table bytes; last says whether the
 * table ends with it. The region's bytes may still hold the carriage
 * returns that reading drops: the scan answers as if they were gone (a CR
 * inside a key or an address is passed over; anywhere else it is white
 * space either way). Every region but the last must end at a line end, and
 * the key must hold no byte below 32. Returns 1 when the value is found,
 * scan->at then telling where the key begins, in the region's bytes. */
int TableScanRegion(TableScan *scan, const char *start, const char *end, int last);

/* ---- The table whole ----------------------------------------------------- */

/* Turns the raw bytes of a table into the text the lookup reads, in place:
 * carriage returns dropped, the data ended at a byte 0x1A, and the text cut
 * before the first line of more than TABLE_LINE_MAX bytes (*cut is then its
 * offset in the text, else -1). Returns the text's length; the caller puts a
 * zero byte after it. */
int TableText(char *bytes, int count, int *cut);

#endif /* LINKHOP_TABLE_H */
