/* fastsrch - the token scanner (see fastsrch.h). */
#include "fastsrch.h"

#include <stddef.h>
#include <string.h>

#include "tsl-core.h"
#include "tsl-str.h"

#define TSL_SOURCE "..\\..\\TESSEL\\fastsrch"

static int IsLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

/* The same letter in the other case; only called for letters. */
static unsigned char OtherCase(unsigned char c) { return c >= 'a' ? c - 32 : c + 32; }

int FastSearchInit(FastSearch *search, const char *key, int mode) {
  CHECK_PTR_AT_LINE(82, search);
  CHECK_PTR_AT_LINE(83, key);
  memset(search, 0, sizeof(*search));
  search->caseSensitive = mode;
  int length = StrLength(key);
  /* The record has room for 256 key bytes; a longer key is refused and the
   * record keeps length 0, which finds nothing. */
  if (length == 0 || length > FAST_SEARCH_KEY_MAX) return 0;
  search->keyLength = length;
  memcpy(search->key, key, (size_t)length);

  /* A 256-byte key's default distance, 256, is stored as 0: every position
   * becomes a candidate, which costs speed, never a match. */
  memset(search->shift, (unsigned char)length, sizeof(search->shift));
  for (int i = 0; i < length; i++) {
    unsigned char b = search->key[i];
    unsigned char d = (unsigned char)(length - 1 - i);
    search->shift[b] = d;
    if (search->caseSensitive != 1 && IsLetter(b)) search->shift[OtherCase(b)] = d;
  }
  return 1;
}

/* Positions are indexes into the range, so that a skip past its end is a
 * number, never a pointer outside it. */
static int IsMatch(const FastSearch *search, const unsigned char *candidate) {
  return search->caseSensitive == 1 ? MatchExact(search->key, candidate, search->keyLength)
                                    : MatchNoCase(search->key, candidate, search->keyLength);
}

/* The plain test: the key, as it stands, ends at text[at]. */
static ptrdiff_t StartIfMatch(const FastSearch *search, const unsigned char *text, ptrdiff_t at) {
  const ptrdiff_t start = at - (search->keyLength - 1);
  return IsMatch(search, text + start) ? start : -1;
}

int FastSearchFind(const FastSearch *search, const char *start, const char *end,
                   const char **occurrence) {
  CHECK_PTR_AT_LINE(130, search);
  CHECK_PTR_AT_LINE(131, start);
  CHECK_PTR_AT_LINE(132, end);
  CHECK_PTR_AT_LINE(133, occurrence);
  *occurrence = nullptr;
  const int length = search->keyLength;
  const ptrdiff_t total = end - start;
  if (length <= 0 || total < length) return 0;

  ptrdiff_t first;
  if (FastSearchProbe(search, (const unsigned char *)start, total, StartIfMatch, &first) < 0)
    return 0;
  *occurrence = start + first;
  return 1;
}

int MatchExact(const unsigned char *a, const unsigned char *b, int n) {
  for (int i = 0; i < n; i++)
    if (a[i] != b[i]) return 0;
  return 1;
}

int MatchNoCase(const unsigned char *a, const unsigned char *b, int n) {
  for (int i = 0; i < n; i++) {
    unsigned char x = a[i], y = b[i];
    if (x == y) continue;
    if (!IsLetter(x) || !IsLetter(y) || (x | 0x20) != (y | 0x20)) return 0;
  }
  return 1;
}
