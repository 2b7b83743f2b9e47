/* tsl-str - checked operations on NUL-terminated byte strings.
 *
 * Every pointer argument is checked first, in argument order; a null one is
 * a fatal report naming tsl-str and the line of its check. Bytes are raw:
 * no case folding, no code pages. No operation takes a capacity: the
 * destination must hold the result and its terminator.
 */
#ifndef TSL_STR_H
#define TSL_STR_H

int StrCompare(const char *a, const char *b); /* 1 when equal byte for byte, else 0 */
int StrCopy(char *destination, const char *source);   /* 1 */
int StrAppend(char *destination, const char *source); /* 1 */
int StrLength(const char *text);                      /* bytes before the terminator */

#endif /* TSL_STR_H */
