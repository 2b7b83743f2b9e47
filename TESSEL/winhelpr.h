/* winhelpr - the program's own directory, where its data files live. */
#ifndef TSL_WINHELPR_H
#define TSL_WINHELPR_H

/* Writes into buffer (capacity bytes) the directory of the program's own
 * file, from argument 0 of the process command line, with backslashes and a
 * trailing backslash: "C:\www\cgi-bin\". A bare program name gives the empty
 * text (the current directory). Every call reads the command line again.
 * 1; 0 when the directory does not fit in capacity, or the command line
 * cannot name the program's file faithfully (IoCommandLineProblem), leaving
 * buffer empty: a caller must not then look beside the current directory
 * instead. */
int GetProgramDirectory(char *buffer, int capacity);

/* With 1, works the directory out once more, now, and answers every later
 * GetProgramDirectory from it (with the same results for each capacity),
 * for a process that answers many requests; with 0, every call reads the
 * command line again. 1. */
int KeepProgramDirectory(int keep);

/* The paths built on the program's folder, each with its zero byte: the
 * redirect table's (hopdata\config.txt, read by the driver) and the day's
 * request log's (hopdata\logs\MMDDYYYY.log, written by CgiLog). A folder
 * too long for one of them leaves the table unopened or the log line lost;
 * the other may still be used. */
enum {
  PROGRAM_TABLE_PATH_SIZE = 320,
  PROGRAM_LOG_PATH_SIZE = 512
};

/* Turns every '/' in text into '\', in place. 1. */
int ConvertSlashes(char *text);

#endif /* TSL_WINHELPR_H */
