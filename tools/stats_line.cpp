// hoptool stats - one line of a request log read: a pure function, tested
// from a table of lines.
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

#include "stats.h"

namespace hopstats {

// The value of each byte as an upper-case hexadecimal digit; -1 for any
// other byte.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int i = 0; i < 256; i++) value[i] = -1;
    for (int i = 0; i < 10; i++) value['0' + i] = (int8_t)i;
    for (int i = 0; i < 6; i++) value['A' + i] = (int8_t)(10 + i);
  }
};
static constexpr HexDigits kHexDigits;

// A minute stamp: LOG_STAMP_DIGITS upper-case hexadecimal digits.
static inline bool ParseStamp(const char *p, uint32_t *value) {
  uint32_t v = 0;
  int bad = 0;
  for (int i = 0; i < LOG_STAMP_DIGITS; i++) {
    const int digit = kHexDigits.value[(unsigned char)p[i]];
    bad |= digit;  // negative for a byte that is no digit
    v = v << 4 | (uint32_t)(digit & 15);
  }
  *value = v;
  return bad >= 0;
}

// The client address at p when it is 1 to 15 digits and full stops followed
// by a space (an IPv4 address, or text like one), packed four bits a byte
// into a number that no other such text has: a digit as 1 to 10, a full
// stop as 15, nothing after the end as 0. Returns where the address ends,
// or null for any other address. Reads 16 bytes at p.
static inline const char *PackAddress(const char *p, uint64_t *code) {
#if defined(__SSE2__) && defined(__GNUC__)
  const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
  const unsigned spaces = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
  const __m128i digits =
      _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8('0')), bytes),
                    _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8('9')), bytes));
  const unsigned accepted = (unsigned)_mm_movemask_epi8(
      _mm_or_si128(digits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
  const unsigned n = spaces ? (unsigned)__builtin_ctz(spaces) : 16;
  const unsigned before = (1u << n) - 1;
  if (n == 0 || n == 16 || (accepted & before) != before) return nullptr;
  const __m128i kept = _mm_cmplt_epi8(
      _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm_set1_epi8((char)n));
  const __m128i nibbles = _mm_and_si128(
      _mm_add_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x0F)), _mm_set1_epi8(1)), kept);
  // Each pair of bytes into one: the first in the low four bits.
  const __m128i pairs =
      _mm_or_si128(_mm_and_si128(nibbles, _mm_set1_epi16(0x000F)),
                   _mm_and_si128(_mm_srli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0)));
  *code = (uint64_t)_mm_cvtsi128_si64(_mm_packus_epi16(pairs, pairs));
  return p + n;
#else
  uint64_t v = 0;
  unsigned n = 0;
  for (; n < 16 && p[n] != ' '; n++) {
    const char c = p[n];
    if (c != '.' && (c < '0' || c > '9')) return nullptr;
    v |= (uint64_t)((c & 0x0F) + 1) << (4 * n);
  }
  if (n == 0 || n == 16) return nullptr;
  *code = v;
  return p + n;
#endif
}

#if defined(__SSE2__) && defined(__GNUC__)
// Bit i set when byte i of the 16 at p is c.
static inline unsigned Matches16(const char *p, char c) {
  const __m128i bytes = _mm_loadu_si128((const __m128i *)p);
  return (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
}
#endif

// The key at p runs to the first "] " before end; returns where, or null
// without one. *fullStop tells whether the key holds a full stop. May read
// up to 16 bytes past end.
static inline const char *FindKeyEnd(const char *p, const char *end, bool *fullStop) {
#if defined(__SSE2__) && defined(__GNUC__)
  unsigned dots = 0;
  for (;; p += 16) {
    if (end - p < 2) return nullptr;
    // Brackets where "] " can start: with a byte of the line after them.
    const size_t room = (size_t)(end - p) - 1;
    unsigned brackets = Matches16(p, ']');
    const unsigned fullStops = Matches16(p, '.');
    if (room < 16) brackets &= (1u << room) - 1;
    for (; brackets; brackets &= brackets - 1) {
      const unsigned i = (unsigned)__builtin_ctz(brackets);
      if (p[i + 1] == ' ') {
        *fullStop = dots != 0 || (fullStops & ((1u << i) - 1)) != 0;
        return p + i;
      }
    }
    dots |= fullStops;
    if (room <= 16) return nullptr;
  }
#else
  bool dot = false;
  for (; p + 1 < end; p++) {
    if (p[0] == ']' && p[1] == ' ') {
      *fullStop = dot;
      return p;
    }
    dot |= p[0] == '.';
  }
  return nullptr;
#endif
}

bool ParseLogLine(const char *p, const char *end, LogLine *line) {
  // The shortest line: "a 00000000 [k] ".
  constexpr long kAfterAddress = 1 + LOG_STAMP_DIGITS + 4;  // " 00000000 [k]"
  if (end - p < 1 + kAfterAddress + 1) return false;
  // The client address runs to the first space. IPv4 addresses are packed
  // into numbers, any other address is kept as text.
  const char *space = PackAddress(p, &line->code);
  line->isPacked = space != nullptr;
  if (!space) space = (const char *)memchr(p, ' ', (size_t)(end - p));
  if (!space || space == p || end - space < kAfterAddress + 1) return false;
  const char *stampText = space + 1;
  if (!ParseStamp(stampText, &line->stamp)) return false;
  if (stampText[LOG_STAMP_DIGITS] != ' ' || stampText[LOG_STAMP_DIGITS + 1] != '[') return false;
  // A key never holds a full stop: the program takes such a query for an
  // explicit address.
  const char *key = stampText + LOG_STAMP_DIGITS + 2;
  bool fullStop = false;
  const char *keyEnd = FindKeyEnd(key, end, &fullStop);
  if (!keyEnd || keyEnd == key || fullStop) return false;
  line->client = p;
  line->clientLength = (uint32_t)(space - p);
  line->key = key;
  line->keyLength = (uint32_t)(keyEnd - key);
  line->target = keyEnd + 2;
  line->targetLength = (uint32_t)(end - line->target);
  // The explicit and refused marks with an address holding a full stop are
  // explicit addresses, answered or refused; without one each can only be
  // the key of that name.
  constexpr size_t kExplicit = sizeof(LOG_EXPLICIT_KEY) - 1, kRefused = sizeof(LOG_REFUSED_KEY) - 1;
  const bool address = memchr(line->target, '.', line->targetLength) != nullptr;
  line->isExplicit =
      address && line->keyLength == kExplicit && memcmp(key, LOG_EXPLICIT_KEY, kExplicit) == 0;
  line->isRefused =
      address && line->keyLength == kRefused && memcmp(key, LOG_REFUSED_KEY, kRefused) == 0;
  return true;
}

}  // namespace hopstats
