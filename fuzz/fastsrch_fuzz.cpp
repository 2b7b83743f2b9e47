// The key scanner on any key and range, in both modes, against a naive
// search: the same answer at the same occurrence, for each of the first few
// occurrences in turn. Input: [mode byte][key length, 2 bytes][key][range];
// the key is cut at a zero byte, as a zero-terminated text is. The range
// sits in a buffer of its own size, so a read outside it is a finding.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fastsrch.h"
#include "fuzz_support.h"

namespace {

bool Letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The first i in [from, range end) where the key lies wholly in the range.
const char *NaiveFind(const std::string &key, bool exact, const char *from, const char *end) {
  for (const char *p = from; end - p >= (ptrdiff_t)key.size(); p++) {
    size_t j = 0;
    for (; j < key.size(); j++) {
      unsigned char a = (unsigned char)key[j], b = (unsigned char)p[j];
      if (a != b && (exact || !Letter(a) || !Letter(b) || (a | 0x20) != (b | 0x20))) break;
    }
    if (j == key.size()) return p;
  }
  return nullptr;
}

void CheckMode(const std::string &key, int mode, const char *begin, const char *end) {
  FastSearch search;
  const bool ready = !key.empty() && key.size() <= FAST_SEARCH_KEY_MAX;
  FUZZ_CHECK(FastSearchInit(&search, key.c_str(), mode) == (ready ? 1 : 0));
  FUZZ_CHECK(search.caseSensitive == mode);
  FUZZ_CHECK(search.keyLength == (ready ? (int)key.size() : 0));

  const char *from = begin;
  for (int round = 0; round < 8; round++) {
    const char *occurrence = begin;  // must be overwritten
    const char *expected = ready ? NaiveFind(key, mode == 1, from, end) : nullptr;
    FUZZ_CHECK(FastSearchFind(&search, from, end, &occurrence) == (expected ? 1 : 0));
    FUZZ_CHECK(occurrence == expected);
    if (!expected) break;
    from = expected + 1;  // overlapping occurrences count
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzStartup("C:\\web\\cgi-bin\\prog.exe");
  if (size < 3) return 0;
  // Any mode but 1 asks for letters in either case.
  const int otherMode = data[0] == 1 ? 0 : (int8_t)data[0];
  const size_t keyLength = ((size_t)data[1] << 8 | data[2]) % 301;
  data += 3;
  size -= 3;
  const size_t taken = keyLength < size ? keyLength : size;
  const std::string key((const char *)data, strnlen((const char *)data, taken));
  // Exactly the range's bytes on the heap, so that a read past either end
  // is a finding; an empty range is the end of a one-byte buffer.
  const size_t length = size - taken;
  std::vector<char> range(length > 0 ? length : 1, 'x');
  memcpy(range.data(), data + taken, length);
  const char *begin = range.data() + (length > 0 ? 0 : 1);
  CheckMode(key, 1, begin, begin + length);
  CheckMode(key, otherMode, begin, begin + length);
  return 0;
}
