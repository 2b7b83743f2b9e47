/* winmain - the request driver's redirect table lookup, for its tests. */
#ifndef LINKHOP_WINMAIN_H
#define LINKHOP_WINMAIN_H

/* Finds key in hopdata\config.txt beside the program and copies its address
 * (at most 300 bytes, then a zero byte) into value, which holds at least
 * 301 bytes; value is the empty text when there is none. Returns 1 when
 * found and 1 when the table does not open; 0 when the table holds no entry
 * for the key or a line too long for the read buffer came first. The empty
 * key and keys longer than 256 bytes are misses. */
int LookupRedirect(const char *key, char *value);

#endif
