// hoptool stats - the calendar of the logs' days, and finding the logs.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "logfmt.h"
#include "stats.h"

namespace fs = std::filesystem;

namespace hopstats {

// ---- Days ---------------------------------------------------------------

static bool IsLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

static int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Civil dates to a day count and back (the proleptic Gregorian calendar,
// counted in eras of 400 years).
int DayNumber(int year, int month, int day) {
  year -= month <= 2;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yoe = year - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 1;  // 1 January 1970 is day 1
}

std::string DayText(int number) {
  const int z = number - 1 + 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  const int day = doy - (153 * mp + 2) / 5 + 1;
  const int month = mp < 10 ? mp + 3 : mp - 9;
  const int year = yoe + era * 400 + (month <= 2);
  char text[32];
  snprintf(text, sizeof(text), "%04d-%02d-%02d", year, month, day);
  return text;
}

static bool Digits(const char *p, int n, int *value) {
  *value = 0;
  for (int i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    *value = *value * 10 + (p[i] - '0');
  }
  return true;
}

static bool MakeDay(int year, int month, int day, int *number) {
  if (year < LOG_FIRST_YEAR || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  *number = DayNumber(year, month, day);
  return true;
}

bool ParseDay(const std::string &text, int *day) {
  int y, m, d;
  return text.size() == 10 && text[4] == '-' && text[7] == '-' && Digits(&text[0], 4, &y) &&
         Digits(&text[5], 2, &m) && Digits(&text[8], 2, &d) && MakeDay(y, m, d, day);
}

bool DayOfLogName(const std::string &name, int *day) {
  const size_t n = name.size(), suffix = sizeof(LOG_NAME_SUFFIX) - 1;
  if (n < LOG_NAME_LENGTH || name.compare(n - suffix, suffix, LOG_NAME_SUFFIX) != 0) return false;
  const char *p = name.data() + n - LOG_NAME_LENGTH;
  if (n > LOG_NAME_LENGTH && p[-1] >= '0' && p[-1] <= '9') return false;
  int m, d, y;
  return Digits(p, 2, &m) && Digits(p + 2, 2, &d) && Digits(p + 4, 4, &y) && MakeDay(y, m, d, day);
}

// ---- Finding the logs ---------------------------------------------------

bool FindLogs(const std::vector<std::string> &paths, int from, int to,
              std::vector<LogFile> *logs, std::string *error) {
  std::set<std::string> seen;  // the same file named twice is read once
  auto add = [&](const fs::path &path, const std::string &shown, int day) -> bool {
    std::error_code code;
    const uint64_t size = fs::file_size(path, code);
    if (code) {
      *error = shown + ": " + code.message();
      return false;
    }
    fs::path real = fs::weakly_canonical(path, code);
    if (!seen.insert(code ? shown : real.string()).second) return true;
    if (day >= from && day <= to) logs->push_back({shown, day, size});
    return true;
  };
  for (const std::string &arg : paths) {
    std::error_code code;
    const fs::path path(arg);
    const fs::file_status status = fs::status(path, code);
    if (code || !fs::exists(status)) {
      *error = arg + ": " + (code ? code.message() : std::string(strerror(ENOENT)));
      return false;
    }
    if (fs::is_directory(status)) {
      // The logs of one server: its day files, in the folder itself.
      std::vector<std::pair<std::string, int>> found;
      fs::directory_iterator it(path, code), end;
      for (; !code && it != end; it.increment(code)) {
        const std::string name = it->path().filename().string();
        int day;
        std::error_code kind;
        if (DayOfLogName(name, &day) && it->is_regular_file(kind)) found.push_back({name, day});
      }
      if (code) {
        *error = arg + ": " + code.message();
        return false;
      }
      std::sort(found.begin(), found.end());
      for (const auto &entry : found) {
        fs::path file = path / entry.first;
        if (!add(file, file.string(), entry.second)) return false;
      }
    } else if (fs::is_regular_file(status)) {
      int day;
      if (!DayOfLogName(path.filename().string(), &day)) {
        *error = arg + ": not a day's log (its name must end in MMDDYYYY.log: the day comes from it)";
        return false;
      }
      if (!add(path, arg, day)) return false;
    } else {
      *error = arg + ": neither a log file nor a folder";
      return false;
    }
  }
  std::stable_sort(logs->begin(), logs->end(), [](const LogFile &a, const LogFile &b) {
    return a.day != b.day ? a.day < b.day : a.path < b.path;
  });
  return true;
}

}  // namespace hopstats
