/* fastsrch - finds a fixed key in a range of bytes (Horspool's skip table),
 * letters matching in either case or exactly.
 *
 * A key is prepared once into a FastSearch record and searched for any
 * number of times; nothing is allocated and nothing needs releasing.
 */
#ifndef TSL_FASTSRCH_H
#define TSL_FASTSRCH_H

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

#endif /* TSL_FASTSRCH_H */
