/* logclient - how much of a visitor's address the request log keeps (see
 * logclient.h). Addresses are read as the text forms of RFC 4291 (IPv6)
 * and dotted decimal without leading zeros (IPv4), as REMOTE_ADDR gives
 * them; a zone ("%eth0") or anything else is not read and keeps no
 * address at all, the private choice. */
#include "logclient.h"

#include <stdio.h>
#include <string.h>

#include "logfmt.h"

static const char kNoAddress[] = LOG_NO_ADDRESS;

/* Reads a dotted-decimal IPv4 address that fills text up to end into four
 * bytes; 1 when it is one. */
static int ReadIpv4(const char *text, const char *end, unsigned char *bytes) {
  const char *p = text;
  for (int i = 0; i < 4; i++) {
    if (i > 0 && (p == end || *p++ != '.')) return 0;
    int value = 0, digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++, digits++) {
      if (digits > 0 && value == 0) return 0; /* a leading zero */
      value = value * 10 + (*p - '0');
      if (value > 255) return 0;
    }
    if (digits == 0) return 0;
    bytes[i] = (unsigned char)value;
  }
  return p == end;
}

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Reads an IPv6 address in any of its text forms (full, with one "::", with
 * a dotted IPv4 ending) into sixteen bytes; 1 when it is one. */
static int ReadIpv6(const char *text, unsigned char *bytes) {
  const char *end = text + strlen(text);
  unsigned char words[16] = {0};
  int count = 0;   /* bytes read */
  int gap = -1;    /* where "::" stands, in bytes */
  const char *p = text;
  if (p[0] == ':') {
    if (p[1] != ':') return 0;
    gap = 0;
    p += 2;
  }
  while (p < end) {
    if (count == 16) return 0;
    /* A dotted IPv4 ending fills the last four bytes. */
    const char *group = p;
    int value = 0, digits = 0;
    for (; p < end && HexValue(*p) >= 0; p++, digits++) {
      if (digits == 4) return 0;
      value = value * 16 + HexValue(*p);
    }
    if (p < end && *p == '.') {
      if (count > 12 || !ReadIpv4(group, end, words + count)) return 0;
      count += 4;
      p = end;
      break;
    }
    if (digits == 0) return 0;
    words[count++] = (unsigned char)(value >> 8);
    words[count++] = (unsigned char)value;
    if (p == end) break;
    if (*p++ != ':') return 0;
    if (p < end && *p == ':') {
      if (gap >= 0) return 0;
      gap = count;
      p++;
    } else if (p == end) {
      return 0; /* a single ':' at the end */
    }
  }
  if (gap < 0 ? count != 16 : count > 14) return 0;
  memset(bytes, 0, 16);
  if (gap < 0) gap = count;
  memcpy(bytes, words, (size_t)gap);
  memcpy(bytes + 16 - (count - gap), words + gap, (size_t)(count - gap));
  return 1;
}

/* Writes sixteen bytes in the form of RFC 5952: lower-case hexadecimal
 * without leading zeros, the longest run of two or more zero groups (the
 * first of equal ones) as "::". */
static void WriteIpv6(const unsigned char *bytes, char *room) {
  int groups[8];
  for (int i = 0; i < 8; i++) groups[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
  int runStart = -1, runLength = 0;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) j++;
    if (j - i > runLength && j - i >= 2) runStart = i, runLength = j - i;
    i = j > i ? j : i + 1;
  }
  char *out = room;
  for (int i = 0; i < 8; i++) {
    if (i == runStart) {
      out += sprintf(out, "::");
      i += runLength - 1;
      continue;
    }
    if (i > 0 && i != runStart + runLength) *out++ = ':';
    out += sprintf(out, "%x", groups[i]);
  }
  *out = 0;
}

static const char *Masked(const char *remote, char *room) {
  unsigned char bytes[16];
  const char *end = remote + strlen(remote);
  if (ReadIpv4(remote, end, bytes)) {
    sprintf(room, "%u.%u.%u.0", bytes[0], bytes[1], bytes[2]);
    return room;
  }
  if (!ReadIpv6(remote, bytes)) return kNoAddress;
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(bytes, kMapped, 12) == 0) {
    sprintf(room, "::ffff:%u.%u.%u.0", bytes[12], bytes[13], bytes[14]);
    return room;
  }
  memset(bytes + 6, 0, 10);
  WriteIpv6(bytes, room);
  return room;
}

const char *LogClientAddress(const char *remote, const char *setting, char *room) {
  if (setting == nullptr || strcmp(setting, "full") == 0) return remote ? remote : kNoAddress;
  if (strcmp(setting, "none") == 0) return kNoAddress;
  if (strcmp(setting, "masked") != 0) return nullptr;
  return remote ? Masked(remote, room) : kNoAddress;
}
