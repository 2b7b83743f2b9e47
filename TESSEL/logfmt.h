/* logfmt - the daily request log's layout, stated once: CgiLog and
 * DateToMinutes (cgi.cpp) write it, hoptool stats reads it, and neither
 * restates a number of the other.
 *
 * The file: MMDDYYYY.log (its local date: month, day, four-digit year) in
 * the folder hopdata\logs\ beside the program. A line, ended by a line
 * feed (CR LF in the file, which is written in text mode):
 *
 *   ADDRESS STAMP [KEY] TARGET
 *
 *   ADDRESS  the client's REMOTE_ADDR, or LOG_NO_ADDRESS without one;
 *   STAMP    the local time in minutes, LOG_STAMP_DIGITS upper-case
 *            hexadecimal digits;
 *   KEY      the key asked for, and TARGET the table's address for it
 *            (empty when the table has none); or KEY is LOG_EXPLICIT_KEY
 *            and TARGET an explicit address, which holds a full stop; or
 *            KEY is LOG_REFUSED_KEY and TARGET an explicit address that
 *            the site's list of hosts refused.
 *
 * The stamp counts minutes from 31 December 1969, 00:00: 1 January 1970 is
 * day 1. Its calendar makes every fourth year a leap year, which is the
 * Gregorian rule from 1901 to 2099. The reader counts days by the Gregorian
 * calendar, which it needs anyway for the dates in file names and on its
 * command line; so the two agree on every stamp written up to the end of
 * 2099, and part in 2100, which the stamp counts as a leap year. The
 * writer's calendar stays as it is: the stamps already in the logs keep
 * their meaning.
 */
#ifndef TSL_LOGFMT_H
#define TSL_LOGFMT_H

/* A day's log: month (1 to 12), day and year, as this format prints them.
 * CgiLog makes the name, and a line's head below, digit by digit (a
 * persistent process does it for every request, and the formatter costs
 * several times more); the log's tests hold both to these formats. */
#define LOG_NAME_FORMAT "%.2d%.2d%.4d.log"
#define LOG_NAME_SUFFIX ".log"

/* The start of a line: the client's address and the stamp, each followed
 * by a space. */
#define LOG_LINE_HEAD_FORMAT "%s %.8X "
#define LOG_NO_ADDRESS "0.0.0.0"

/* The driver's three messages after the stamp; each supplies the line end. */
#define LOG_EXPLICIT_KEY "Explicit"
#define LOG_EXPLICIT_MESSAGE "[" LOG_EXPLICIT_KEY "] %s\n"
#define LOG_REFUSED_KEY "Refused"
#define LOG_REFUSED_MESSAGE "[" LOG_REFUSED_KEY "] %s\n"
#define LOG_KEY_MESSAGE "[%s] %s\n"

enum {
  LOG_NAME_LENGTH = 12, /* MMDDYYYY.log */
  LOG_STAMP_DIGITS = 8, /* the width LOG_LINE_HEAD_FORMAT gives the stamp */
  LOG_MINUTES_PER_DAY = 1440,
  LOG_FIRST_YEAR = 1970 /* the year of day 1 */
};

#endif /* TSL_LOGFMT_H */
