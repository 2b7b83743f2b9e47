/* fastsrch - finds a fixed key in a range of bytes (Horspool's skip table),
 * letters matching in either case or exactly.
 *
 * A key is prepared once into a FastSearch record and searched for any
 * number of times; nothing is allocated and nothing needs releasing.
 */
#ifndef TSL_FASTSRCH_H
#define TSL_FASTSRCH_H

#include <stddef.h>

enum { FAST_SEARCH_KEY_MAX = 256 };

typedef struct FastSearch {
  int caseSensitive;                         /* 1: bytes match only themselves */
  int keyLength;                             /* 0 to 256 */
  unsigned char key[FAST_SEARCH_KEY_MAX];    /* the key; the rest stays zero */
  unsigned char shift[256];                  /* skip distance per byte value */
} FastSearch;

/* Prepares search for key (zero-terminated) with mode stored as
 * caseSensitive (1: exact; anything else: ASCII letters in either case).
 * 1 when ready; 0 for the empty key and for a key longer than 256 bytes,
 * which leave a record that finds nothing. */
int FastSearchInit(FastSearch *search, const char *key, int mode);

/* Finds the first occurrence of the key lying wholly in [start, end); 1 and
 * its first byte in *occurrence, else 0 and null. Reads only inside the
 * range. */
int FastSearchFind(const FastSearch *search, const char *start, const char *end,
                   const char **occurrence);

int MatchExact(const unsigned char *a, const unsigned char *b, int n);  /* 1 when equal */
int MatchNoCase(const unsigned char *a, const unsigned char *b, int n); /* ASCII letters folded */

/* ---- The probe, for a search with a test of its own ------------------------
 * FastSearchFind is this probe with the plain test; the table's scan, whose
 * text may hold carriage returns inside an occurrence, passes its own. */

/* The test at a candidate end: where the occurrence that ends at text[at]
 * begins, or -1 when none does. */
typedef ptrdiff_t (*FastSearchTest)(const FastSearch *search, const unsigned char *text,
                                    ptrdiff_t at);

#if defined(__GNUC__)
#define FAST_SEARCH_INLINE static inline __attribute__((always_inline))
#else
#define FAST_SEARCH_INLINE static inline
#endif

/* Below this range size one probe does it; above, two. */
enum { FAST_SEARCH_SPLIT_RANGE = 256 };

/* Horspool's probe over the candidate ends in [at, stop): the first end
 * test accepts (its start in *first), or -1. */
FAST_SEARCH_INLINE ptrdiff_t FastSearchProbeEnds(const FastSearch *search,
                                                 const unsigned char *text, ptrdiff_t at,
                                                 ptrdiff_t stop, FastSearchTest test,
                                                 ptrdiff_t *first) {
  const unsigned char *shift = search->shift;
  while (at < stop) {
    unsigned char d = shift[text[at]];
    if (d != 0) {
      at += d;
      continue;
    }
    const ptrdiff_t start = test(search, text, at);
    if (start >= 0) {
      *first = start;
      return at;
    }
    at++;
  }
  return -1;
}

/* The first occurrence in text[0, total) that test accepts, for a prepared
 * key of 1 to total bytes: the index of its last byte, its first in *first;
 * -1 when there is none. Each probe is a chain of dependent loads (byte,
 * then its skip), so a long range is probed from both halves at once, the
 * second probe running in the first one's shadow; the first half's match
 * ends come first in the range, so its match wins, and the second half's
 * is taken only when the first half has none. Inlined where it is used, so
 * that the test costs no call. */
FAST_SEARCH_INLINE ptrdiff_t FastSearchProbe(const FastSearch *search, const unsigned char *text,
                                             ptrdiff_t total, FastSearchTest test,
                                             ptrdiff_t *first) {
  const unsigned char *shift = search->shift;
  const ptrdiff_t last = search->keyLength - 1;
  if (total < FAST_SEARCH_SPLIT_RANGE || total < 8 * (last + 1))
    return FastSearchProbeEnds(search, text, last, total, test, first);
  const ptrdiff_t mid = total / 2;
  ptrdiff_t a = last, b = mid, second = -1, secondFirst = -1;
  while (a < mid && b < total) {
    unsigned char da = shift[text[a]], db = shift[text[b]];
    if (da != 0 && db != 0) {
      a += da;
      b += db;
      continue;
    }
    if (da == 0) {
      if (test(search, text, a) >= 0) break; /* found again below */
      a++;
    } else {
      a += da;
    }
    if (db == 0) {
      if ((secondFirst = test(search, text, b)) >= 0) {
        second = b;
        break;
      }
      b++;
    } else {
      b += db;
    }
  }
  ptrdiff_t found = a < mid ? FastSearchProbeEnds(search, text, a, mid, test, first) : -1;
  if (found >= 0) return found;
  if (second >= 0) {
    *first = secondFirst;
    return second;
  }
  return b < total ? FastSearchProbeEnds(search, text, b, total, test, first) : -1;
}

#endif /* TSL_FASTSRCH_H */
