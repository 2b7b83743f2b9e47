/* sample.h - what the benchmark's reference programs share with linkhop's
 * sample table (hopdata/config.txt): the answer for its key "news", and
 * the minutes a log line is stamped with. Each program stays a plain,
 * single-file C program otherwise.
 */
#ifndef BENCH_SAMPLE_H
#define BENCH_SAMPLE_H

#include <time.h>

#define SAMPLE_ADDRESS "https://norvale.example/news/index.html"

/* The whole answer linkhop writes for "news", line ends and all. */
#define SAMPLE_ANSWER                  \
  "Status: 301 Moved Permanently\r\n" \
  "URI: " SAMPLE_ADDRESS "\r\n"        \
  "Location: " SAMPLE_ADDRESS "\r\n"   \
  "Method: GET\r\n"                    \
  "\r\n"

/* Minutes from 31 December 1969 to a local time, as the request log
 * stamps its lines. */
static inline int SampleMinutes(const struct tm *t) {
  static const short before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int year = t->tm_year & 0xFF;
  int days = 365 * (year - 70) + (year - 68) / 4 + before[t->tm_mon] + t->tm_mday;
  if (year % 4 == 0 && t->tm_mon < 2) days -= 1;
  return 1440 * days + 60 * t->tm_hour + t->tm_min;
}

#endif /* BENCH_SAMPLE_H */
