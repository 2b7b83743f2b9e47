/* tsl-os-text - the text-mode byte rules, shared by both platform sources so
 * that a table, a body or a log line gives the same bytes on either.
 * Internal to the platform layer. */
#ifndef TSL_OS_TEXT_H
#define TSL_OS_TEXT_H

#include <string.h>

/* Turns n freshly read bytes at p into text-mode data in place: cut at the
 * first 0x1A (setting *ended to the number of bytes from it on), then drop
 * every "\r". Returns the new length. memchr finds both, so data without
 * them costs no pass per byte here. */
static inline int TextModeInput(char *p, int n, int *ended) {
  char *eof = (char *)memchr(p, 0x1A, (size_t)n);
  if (eof) {
    *ended = (int)(p + n - eof);
    n = (int)(eof - p);
  }
  char *cr = (char *)memchr(p, '\r', (size_t)n);
  if (!cr) return n;
  char *end = p + n, *out = cr;
  for (char *in = cr; in < end; in++)
    if (*in != '\r') *out++ = *in;
  return (int)(out - p);
}

/* Writes in ("\n" as "\r\n") into out, which holds 2 * n bytes; returns the
 * translated length. */
static inline int TextModeOutput(const char *in, int n, char *out) {
  int o = 0;
  for (int i = 0; i < n; i++) {
    if (in[i] == '\n') out[o++] = '\r';
    out[o++] = in[i];
  }
  return o;
}

#endif /* TSL_OS_TEXT_H */
