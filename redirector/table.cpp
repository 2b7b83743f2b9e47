/* table - the redirect table's matching rules (see table.h). */
#include "table.h"

#include <stddef.h>
#include <string.h>

#include "tsl-io.h"

/* ---- The byte classes, keys and addresses ---------------------------------- */

int TableKeyFlaws(const char *key, int length) {
  int flaws = length == 0 ? TABLE_KEY_EMPTY : 0;
  if (length > TABLE_KEY_MAX) flaws |= TABLE_KEY_TOO_LONG;
  for (int i = 0; i < length; i++) {
    if (key[i] == '.') flaws |= TABLE_KEY_EXPLICIT;
    if (TableEndsQuery((unsigned char)key[i])) flaws |= TABLE_KEY_CONTROL;
  }
  return flaws;
}

/* Skips white space from *p towards end; 1 when it stopped on a byte of the
 * region, 0 when it ran into the end. */
static int SkipWhite(const unsigned char **p, const unsigned char *end) {
  while (*p < end && TableIsWhite(**p)) (*p)++;
  return *p < end;
}

/* The run an address is made of, from p: the bytes up to the first byte
 * below 32, or to end. */
static int AddressRun(const unsigned char *p, const unsigned char *end) {
  const unsigned char *q = p;
  while (q < end && !TableIsControl(*q)) q++;
  return (int)(q - p);
}

int TableAddressRead(const char *text, const char *end, TableAddress *address) {
  const unsigned char *p = (const unsigned char *)text, *stop = (const unsigned char *)end;
  int started = SkipWhite(&p, stop);
  int n = AddressRun(p, stop);
  address->start = (const char *)p;
  address->written = n;
  address->length = n < TABLE_VALUE_MAX ? n : TABLE_VALUE_MAX;
  return started;
}

/* Copies the address at p (the white space before it passed over) into value
 * (TABLE_VALUE_MAX + 1 bytes). The scan's text keeps its carriage returns,
 * which reading drops: the address is the run AddressRun finds, carried on
 * past each CR ("ab\rcd" is "abcd"). */
static void CopyValue(const unsigned char *p, const unsigned char *end, char *value) {
  int n = 0;
  for (;;) {
    const int run = AddressRun(p, end);
    const int take = run < TABLE_VALUE_MAX - n ? run : TABLE_VALUE_MAX - n;
    memcpy(value + n, p, (size_t)take);
    n += take;
    p += run;
    if (n == TABLE_VALUE_MAX || p >= end || *p != '\r') break;
    p++;
  }
  value[n] = 0;
}
/* ---- The search ------------------------------------------------------------ */

/* Horspool's probe as in fastsrch, over bytes in which a carriage return may
 * stand between any two bytes of an occurrence: reading drops it, so
 * "ne\rws" holds "news". A CR's skip distance is 1 (the occurrence may end
 * just after it); every other distance stays as it is, since bytes passed
 * over inside an occurrence only ever lengthen the way to its end. Where
 * the byte under the probe may end a match, the key is compared backwards,
 * CRs passed over; a CR before the key's first byte is not part of the
 * occurrence. A CR followed by a line feed is never inside one, as a key
 * holds no byte below 32: a CR LF table costs the probe what an LF one does. */

int TableSearchInit(FastSearch *search, const char *key) {
  int ready = FastSearchInit(search, key, 0);
  /* A key that holds a CR itself (never one the program asks for) is
   * searched for as it stands, in text that holds none. */
  if (ready && !memchr(search->key, '\r', (size_t)search->keyLength))
    search->shift[(unsigned char)'\r'] = 1;
  return ready;
}

/* Where the occurrence that ends at text[at] begins, or -1. */
static ptrdiff_t OccurrenceStart(const FastSearch *search, const unsigned char *text, ptrdiff_t at) {
  const unsigned char *key = search->key;
  for (int i = search->keyLength - 1;;) {
    unsigned char a = key[i], b = text[at];
    if (a != b && (search->caseSensitive == 1 || (a | 0x20) != (b | 0x20) ||
                   (a | 0x20) < 'a' || (a | 0x20) > 'z'))
      return -1;
    if (i-- == 0) return at;
    do {
      if (at == 0) return -1;
      at--;
    } while (text[at] == '\r');
  }
}

/* Finds the first occurrence lying wholly in [start, end): 1, its first byte
 * in *occurrence and the byte after its last in *after; else 0: the
 * scanner's probe, with the test that passes over carriage returns. */
static int FindOccurrence(const FastSearch *search, const char *start, const char *end,
                          const char **occurrence, const char **after) {
  const int length = search->keyLength;
  const ptrdiff_t total = end - start;
  if (length <= 0 || total < length) return 0;
  ptrdiff_t first;
  const ptrdiff_t found =
      FastSearchProbe(search, (const unsigned char *)start, total, OccurrenceStart, &first);
  if (found < 0) return 0;
  *occurrence = start + first;
  *after = start + found + 1;
  return 1;
}

/* Goes on from an occurrence's end at p: white space, '=', white space,
 * the value. 1 when the value is copied; 0 when no '=' follows (the
 * occurrence is turned down); -1 when the region ended first and the table
 * goes on, the decision waiting in scan->pending for the next region. */
static int Accept(TableScan *scan, const unsigned char *p, const unsigned char *end, int last) {
  if (scan->pending != PENDING_VALUE) {
    if (!SkipWhite(&p, end) && !last) {
      scan->pending = PENDING_EQUALS;
      return -1;
    }
    if (*p != '=') {
      scan->pending = PENDING_NONE;
      return 0;
    }
    p++;
  }
  if (!SkipWhite(&p, end) && !last) {
    scan->pending = PENDING_VALUE;
    return -1;
  }
  scan->pending = PENDING_NONE;
  CopyValue(p, end, scan->value);
  return 1;
}

/* Every region but the last ends at a line end, and a key holds no byte
 * below 32: no occurrence reaches from one region into the next, and all
 * that can be left pending across regions is the white space after an
 * occurrence or after its '='. A pending occurrence that is turned down
 * here ended in an earlier region, so the search goes on from this
 * region's start, where the next occurrence may begin inside the white
 * space just skipped (a key can start with a space). Occurrences in the
 * regions of white space between the two would all be turned down at the
 * same byte. */
int TableScanRegion(TableScan *scan, const char *start, const char *end, int last) {
  const unsigned char *stop = (const unsigned char *)end;
  if (scan->pending != PENDING_NONE) {
    int settled = Accept(scan, (const unsigned char *)start, stop, last);
    if (settled != 0) return settled > 0;
  }
  const char *position = start, *occurrence, *after;
  while (FindOccurrence(scan->search, position, end, &occurrence, &after)) {
    scan->at = scan->base + (long)(occurrence - start);
    int settled = Accept(scan, (const unsigned char *)after, stop, last);
    if (settled != 0) return settled > 0;
    /* Turned down: occurrences that overlap it are not tried. */
    position = after;
  }
  return 0;
}

/* ---- The table whole ------------------------------------------------------- */

int TableText(char *bytes, int count, int *cut) {
  int ended = 0;
  int length = IoTextIn(bytes, count, &ended);
  *cut = -1;
  for (int start = 0; start < length;) {
    const char *lineEnd = (const char *)memchr(bytes + start, '\n', (size_t)(length - start));
    int end = lineEnd ? (int)(lineEnd - bytes) : length;
    if (end - start > TABLE_LINE_MAX) {
      *cut = start;
      return start;
    }
    start = end + 1;
  }
  return length;
}
