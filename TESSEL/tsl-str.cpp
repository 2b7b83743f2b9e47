/* tsl-str - checked string operations (see tsl-str.h). */
#include "tsl-str.h"

#include "tsl-core.h"

#define TSL_SOURCE "..\\..\\TESSEL\\tsl-str"

int StrLength(const char *text) {
  CHECK_PTR_AT_LINE(31, text);
  const char *p = text;
  while (*p) p++;
  return (int)(p - text);
}

int StrAppend(char *destination, const char *source) {
  CHECK_PTR_AT_LINE(41, destination);
  CHECK_PTR_AT_LINE(42, source);
  while (*destination) destination++;
  while ((*destination++ = *source++) != 0) {
  }
  return 1;
}

int StrCopy(char *destination, const char *source) {
  CHECK_PTR_AT_LINE(60, destination);
  CHECK_PTR_AT_LINE(61, source);
  while ((*destination++ = *source++) != 0) {
  }
  return 1;
}

int StrCompare(const char *a, const char *b) {
  CHECK_PTR_AT_LINE(266, a);
  CHECK_PTR_AT_LINE(267, b);
  for (;; a++, b++) {
    if (*a != *b) return 0;
    if (*a == 0) return 1;
  }
}
