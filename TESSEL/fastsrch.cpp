/* fastsrch - the token scanner (see fastsrch.h). */
#include "fastsrch.h"

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

int FastSearchFind(const FastSearch *search, const char *start, const char *end,
                   const char **occurrence) {
  CHECK_PTR_AT_LINE(130, search);
  CHECK_PTR_AT_LINE(131, start);
  CHECK_PTR_AT_LINE(132, end);
  CHECK_PTR_AT_LINE(133, occurrence);
  *occurrence = nullptr;
  const int length = search->keyLength;
  if (length <= 0 || end - start < length) return 0;

  const unsigned char *first = (const unsigned char *)start;
  const unsigned char *stop = (const unsigned char *)end;
  const unsigned char *probe = first + length - 1;
  const unsigned char *shift = search->shift;
  const int exact = search->caseSensitive == 1;
  while (probe < stop) {
    unsigned char d = shift[*probe];
    if (d != 0) {
      /* A skip may carry the probe past the range; only the distance left
       * matters, so compare distances rather than form a wild pointer. */
      if (stop - probe <= d) break;
      probe += d;
      continue;
    }
    const unsigned char *candidate = probe - (length - 1);
    int match = exact ? MatchExact(search->key, candidate, length)
                      : MatchNoCase(search->key, candidate, length);
    if (match) {
      *occurrence = (const char *)candidate;
      return 1;
    }
    probe++;
  }
  return 0;
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
