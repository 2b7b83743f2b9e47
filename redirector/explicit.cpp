/* explicit - where an explicit address may lead (see explicit.h).
 *
 * The rule reads an address the way a browser finds its host: the host ends
 * at the first '/', '?', '#' or '\', and anything with '@' before that end is
 * user information naming some other host. Only the exact form is taken:
 * "https:example.com" and "https:/example.com", which browsers repair, are
 * refused, since a repair is a guess the list never made.
 */
#include "explicit.h"

#include <string.h>

static int Lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

/* 1 when the length bytes at a and b are equal, ASCII case-insensitively. */
static int SameText(const char *a, const char *b, int length) {
  for (int i = 0; i < length; i++)
    if (Lower((unsigned char)a[i]) != Lower((unsigned char)b[i])) return 0;
  return 1;
}

/* The length of the scheme "http://" or "https://" that address starts
 * with; 0 for any other start. */
static int SchemeLength(const char *address) {
  if (SameText(address, "http://", 7)) return 7;
  if (SameText(address, "https://", 8)) return 8;
  return 0;
}

static int EndsHost(char c) { return c == 0 || c == '/' || c == '?' || c == '#' || c == '\\'; }

static int IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

/* 1 when the host of length bytes is named by the list entry of length
 * entryLength: equal, or, for an entry ".name", equal to name or ending in
 * ".name". */
static int EntryNames(const char *entry, int entryLength, const char *host, int length) {
  if (entryLength == length && SameText(entry, host, length)) return 1;
  if (entryLength < 2 || entry[0] != '.') return 0;
  if (entryLength - 1 == length && SameText(entry + 1, host, length)) return 1;
  return length > entryLength && SameText(entry, host + length - entryLength, entryLength);
}

static int Listed(const char *setting, const char *host, int length) {
  for (const char *p = setting; *p;) {
    while (IsSeparator(*p)) p++;
    const char *entry = p;
    while (*p && !IsSeparator(*p)) p++;
    if (p > entry && EntryNames(entry, (int)(p - entry), host, length)) return 1;
  }
  return 0;
}

int ExplicitPortEntry(const char *setting, const char **entry) {
  if (setting == nullptr) return 0;
  for (const char *p = setting; *p;) {
    while (IsSeparator(*p)) p++;
    const char *start = p;
    int bracketed = 0, port = 0;
    for (; *p && !IsSeparator(*p); p++) {
      if (*p == '[') bracketed = 1;
      if (*p == ']') bracketed = 0;
      if (*p == ':' && !bracketed) port = 1;
    }
    if (port) {
      *entry = start;
      return (int)(p - start);
    }
  }
  return 0;
}

int ExplicitAllowed(const char *address, const char *setting) {
  if (setting == nullptr || setting[0] == 0) return 1;
  if (strcmp(setting, "none") == 0) return 0;
  /* A path on this very site; "//" and "/\" would name another host. */
  if (address[0] == '/') return address[1] != '/' && address[1] != '\\';

  int scheme = SchemeLength(address);
  if (scheme == 0) return 0;
  const char *host = address + scheme, *p = host;
  if (*p == '[') {
    /* An IPv6 literal: its colons are not a port's. */
    while (*p && *p != ']' && !EndsHost(*p)) p++;
    if (*p != ']') return 0;
    p++;
  } else {
    while (!EndsHost(*p) && *p != ':' && *p != '@') p++;
  }
  const int length = (int)(p - host);
  if (*p == ':') {
    p++;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') p++;
    if (p == digits) return 0;
  }
  if (!EndsHost(*p) || length == 0) return 0;
  if (memchr(host, '%', (size_t)length) || memchr(host, '@', (size_t)length)) return 0;
  return Listed(setting, host, length);
}
