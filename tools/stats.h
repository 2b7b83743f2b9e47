// hoptool stats - what the request logs say. The reader turns log files into
// a Report; the writers print a Report as text, CSV, JSON or a web page.
#ifndef LINKHOP_STATS_H
#define LINKHOP_STATS_H

#include <stdint.h>
#include <stdio.h>

#include <array>
#include <string>
#include <vector>

#include "logfmt.h"

namespace hopstats {

// ---- Days and finding the logs (stats_days.cpp) -------------------------

// A day is counted in days since 31 December 1969, as the log's stamps count
// minutes from it: 1 January 1970 is day 1.
int DayNumber(int year, int month, int day);
std::string DayText(int day);  // YYYY-MM-DD
// YYYY-MM-DD, a real date from 1970 on.
bool ParseDay(const std::string &text, int *day);
// The day of a log named MMDDYYYY.log, also with a prefix that does not end
// in a digit (web1-12062026.log); false for any other name.
bool DayOfLogName(const std::string &name, int *day);

// A line's stamp read back: its day (as DayNumber counts them) and its hour.
inline int StampDay(uint32_t stamp) { return (int)(stamp / LOG_MINUTES_PER_DAY); }
inline int StampHour(uint32_t stamp) { return (int)(stamp % LOG_MINUTES_PER_DAY / 60); }

struct LogFile {
  std::string path;  // as it is shown: the argument, or folder/name
  int day;
  uint64_t size;
};

// Finds the logs that paths name (files, or folders of logs) with days in
// [from, to], sorted by day, then path; each file once however it is named.
// False with *error ("PATH: reason") when a path cannot be used.
bool FindLogs(const std::vector<std::string> &paths, int from, int to,
              std::vector<LogFile> *logs, std::string *error);

// ---- One line of a log (stats_line.cpp) ---------------------------------

// A line as the program writes it (see logfmt.h), its parts pointing into
// the line.
struct LogLine {
  const char *client, *key, *target;
  uint32_t clientLength, keyLength, targetLength;
  uint32_t stamp;   // minutes: see StampDay and StampHour
  bool isExplicit;  // an explicit address; otherwise a key, found or missed
  bool isRefused;   // an explicit address the site's list of hosts refused
  bool isPacked;    // a client of 1 to 15 digits and full stops, packed into code
  uint64_t code;    // a number no other such client has; its lowest 4 bits never 0
};

// Reads the line [p, end), which holds no byte below 32 (its line end is
// left out); false when it is not a line the program writes. The byte at
// end is below 32, and 16 more bytes can be read after it. Touches nothing
// but *line.
bool ParseLogLine(const char *p, const char *end, LogLine *line);

// ---- Reading (stats_read.cpp) -------------------------------------------

struct KeyRow {
  std::string key;
  uint64_t hits = 0, misses = 0;
  int first = 0, last = 0;  // days
  uint64_t requests() const { return hits + misses; }
};

struct HostRow {
  std::string host;
  uint64_t requests = 0;
  int first = 0, last = 0;
};

struct DayRow {
  int day = 0;
  uint64_t hits = 0, misses = 0, explicit_ = 0, unreadable = 0;
  uint64_t refused = 0;  // explicit addresses refused: not among the requests answered
  uint64_t clients = 0;  // distinct client addresses
  uint64_t requests() const { return hits + misses + explicit_; }
};

// Unreadable lines are listed up to this many per file; the rest are counted.
constexpr size_t kListedPerFile = 100;

struct BadLine {
  uint64_t line;        // from 1
  std::string excerpt;  // its first bytes
};

struct BadFile {
  std::string path;
  uint64_t count = 0;
  std::vector<BadLine> lines;  // the first kListedPerFile
};

struct Report {
  uint64_t files = 0, lines = 0, hits = 0, misses = 0, explicit_ = 0, unreadable = 0;
  uint64_t refused = 0;  // [Refused] lines: explicit addresses the site's list refused
  uint64_t clients = 0;  // distinct client addresses over every day
  int first = 0, last = 0;  // the first and last day read; 0 without files
  std::vector<KeyRow> keys;  // every key, in no order
  std::vector<HostRow> hosts;
  std::vector<HostRow> refusedHosts;  // the hosts of the refused addresses
  std::vector<DayRow> days;  // one per day with a log, by day
  std::array<uint64_t, 24> hours{};
  std::vector<BadFile> bad;  // files with unreadable lines, in reading order
  uint64_t requests() const { return hits + misses + explicit_; }
};

// Reads the logs, on several threads when there are several cores. progress
// shows how far it got on standard error. False with *error when a file
// cannot be read.
bool ReadLogs(const std::vector<LogFile> &logs, bool progress, Report *report,
              std::string *error);

// ---- Writing ------------------------------------------------------------

// The rows each list shows: the first `top` (all when 0) in the order it
// is read in.
std::vector<const KeyRow *> TopKeys(const Report &report, size_t top);    // by requests
std::vector<const KeyRow *> TopMisses(const Report &report, size_t top);  // by misses
std::vector<const HostRow *> TopHosts(const Report &report, size_t top);
std::vector<const HostRow *> TopRefusedHosts(const Report &report, size_t top);

// Bytes as a terminal or a page may show them: valid UTF-8 stays, every
// other byte and every control character becomes \xHH. With controls false
// only the bytes that are not UTF-8 are changed (for JSON, which escapes
// controls itself).
std::string Printable(const std::string &bytes, bool controls = true);

// A count with its thousands grouped: 1234567 as 1,234,567.
std::string Count(uint64_t n);

void WriteText(FILE *out, const Report &report, size_t top);
void WriteCsv(FILE *out, const Report &report, size_t top);
void WriteJson(FILE *out, const Report &report, size_t top);
void WriteHtml(FILE *out, const Report &report, size_t top);

}  // namespace hopstats

#endif
