// hoptool stats - what the request logs say: the command line, its help,
// and the run from the paths given to the report written.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>

#include "hoptool.h"
#include "site.h"
#include "stats.h"

namespace {

struct StatsOptions {
  std::vector<std::string> paths;
  std::string from, to, html;
  size_t top = 20;
  bool csv = false, json = false, verbose = false;
};

const char kDescription[] =
    "Summarises linkhop's request logs: how often each key was asked for and found\n"
    "(hits) or not (misses: the broken links, most asked first), where explicit\n"
    "addresses sent visitors (by host), and the requests per day and per hour of the\n"
    "day. Prints aligned text tables, or CSV, JSON or a web page with charts.";

const char kFooter[] =
    "\n"
    "Each PATH is a log (a file named MMDDYYYY.log, the day it holds; a prefix such\n"
    "as web1-12062026.log is allowed), a folder holding logs, such as a server's\n"
    "hopdata/logs/, or a site's name (linkhop-site list: its log folder). All are read\n"
    "as one: give the log folders of every server behind a site to see the site.\n"
    "\n"
    "How a line is read. Each line is ADDRESS STAMP [KEY] TARGET: the client's\n"
    "address, the local minute in eight hexadecimal digits (it gives the hour), the\n"
    "key in brackets and the address the table gave for it (none for a miss); or\n"
    "[Explicit] and the explicit address asked for; or [Refused] and an explicit\n"
    "address the site's list (LINKHOP_EXPLICIT) refused, counted apart from the\n"
    "requests and listed by host. The day is the file name's.\n"
    "\n"
    "What cannot be told apart:\n"
    "  - A key that is itself 'Explicit' is logged as [Explicit], like an explicit\n"
    "    address. When its address holds a full stop it is counted as an explicit\n"
    "    address (an explicit address always holds one); otherwise as the key.\n"
    "  - A key that is itself 'Refused' is logged as [Refused], like a refused\n"
    "    address, and is read the same way.\n"
    "  - The key ends at the first \"] \" after the opening bracket: a key holding \"] \"\n"
    "    itself is cut there, and its rest is taken for the start of the address.\n"
    "    Keys with spaces or with a \"]\" not followed by a space are read whole,\n"
    "    and so are addresses holding \"] \".\n"
    "  - Keys are the bytes the program logged: no URL decoding, no change of case\n"
    "    (news and NEWS are two keys, though the table answers both alike).\n"
    "\n"
    "Unreadable lines are counted, never fatal: empty or torn lines (cut short, or\n"
    "without their line end), lines with a byte below 32 (binary), lines of more\n"
    "than 64 KiB, and a key holding a full stop (the program logs such a query as\n"
    "an explicit address). --verbose lists them; the JSON and CSV give the first\n"
    "100 line numbers per file.\n"
    "\n"
    "Text and the page show bytes that are not UTF-8, and control characters, as\n"
    "\\xHH; JSON does so for bytes that are not UTF-8. CSV keeps the bytes, but a\n"
    "field starting with = + - or @ gets a ' in front, so that a spreadsheet never\n"
    "runs a visitor's key as a formula. Hosts are shown in lower case, without the\n"
    "scheme, the user and the path.\n"
    "\n"
    "What each output holds. Text: the totals, then the keys, the misses, the hosts of\n"
    "explicit and of refused addresses (each list --top rows), the days, the hours of\n"
    "the day and the files with unreadable lines. --csv: one table per section (totals,\n"
    "keys, misses, explicit hosts, refused hosts, days, hours, unreadable), each headed\n"
    "by its column names with a section column first. --json: one object with totals,\n"
    "keys, misses, explicit_hosts, refused_hosts, days, hours and unreadable. --html: one\n"
    "self-contained page that fetches nothing (no script, font or image; the charts are\n"
    "inline SVG): the totals as cards whose shares add up to the whole, the requests per\n"
    "day as stacked bars with a gap for a day without a log, the top keys and misses, the\n"
    "hours, the hosts, and every day's figures folded away.\n"
    "\n"
    "Memory grows with the distinct keys, hosts, client addresses and days, never with\n"
    "the number of lines. While more than 100 MB are read, standard error, when it is a\n"
    "terminal, shows how far it got.\n"
    "\n"
    "Exit status: 0 when the report is written; 2 for a bad command line, or a log\n"
    "or folder that cannot be read.";

bool StandardErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// Above this much input, a terminal is shown how far the reading got.
constexpr uint64_t kProgressBytes = 100000000;

int RunStats(const StatsOptions &options) {
  using namespace hopstats;
  int from = 0, to = 0x7FFFFFFF;
  if (!options.from.empty()) ParseDay(options.from, &from);  // checked by the parser
  if (!options.to.empty()) ParseDay(options.to, &to);
  if (from > to) {
    fprintf(stderr, "hoptool stats: --from %s is after --to %s\n", options.from.c_str(),
            options.to.c_str());
    return kHoptoolTrouble;
  }
  std::vector<LogFile> logs;
  std::string error;
  if (!FindLogs(options.paths, from, to, &logs, &error)) {
    fprintf(stderr, "hoptool stats: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  uint64_t total = 0;
  for (const LogFile &log : logs) total += log.size;

  Report report;
  if (!ReadLogs(logs, total > kProgressBytes && StandardErrorIsTerminal(), &report, &error)) {
    fprintf(stderr, "hoptool stats: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  if (options.verbose)
    for (const BadFile &bad : report.bad) {
      for (const BadLine &line : bad.lines)
        fprintf(stderr, "%s:%llu: unreadable: %s\n", Printable(bad.path).c_str(),
                (unsigned long long)line.line, Printable(line.excerpt).c_str());
      if (bad.count > bad.lines.size())
        fprintf(stderr, "%s: and %llu more unreadable lines\n", Printable(bad.path).c_str(),
                (unsigned long long)(bad.count - bad.lines.size()));
    }

  FILE *out = stdout;
  std::unique_ptr<FILE, int (*)(FILE *)> page(nullptr, fclose);
  if (!options.html.empty() && options.html != "-") {
    page.reset(fopen(options.html.c_str(), "wb"));
    if (!page) {
      fprintf(stderr, "hoptool stats: %s: %s\n", options.html.c_str(), strerror(errno));
      return kHoptoolTrouble;
    }
    out = page.get();
  }
  if (!options.html.empty()) WriteHtml(out, report, options.top);
  else if (options.json) WriteJson(out, report, options.top);
  else if (options.csv) WriteCsv(out, report, options.top);
  else WriteText(out, report, options.top);
  if (fflush(out) != 0 || ferror(out)) {
    fprintf(stderr, "hoptool stats: %s: %s\n",
            out == stdout ? "standard output" : options.html.c_str(), strerror(errno));
    return kHoptoolTrouble;
  }
  return kHoptoolOk;
}

}  // namespace

void AddStatsCommand(CLI::App &app, int *status) {
  auto options = std::make_shared<StatsOptions>();
  CLI::App *stats = app.add_subcommand("stats", "Summarise request logs: keys, misses, "
                                                "explicit addresses, days, hours");
  // The command list shows the line above; stats --help says the rest.
  stats->footer(std::string("\n") + kDescription + "\n" + kFooter);
  // The checks' own descriptions are left empty: the type names say it.
  const CLI::Validator day(
      [](std::string &text) {
        int number;
        return hopstats::ParseDay(text, &number)
                   ? std::string()
                   : "not a date of the form YYYY-MM-DD from 1970 on: " + text;
      },
      "", "day");
  const CLI::Validator count(
      [](std::string &text) {
        const bool digits =
            !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : "not a number of rows: " + text;
      },
      "", "count");

  stats->add_option("PATH", options->paths,
                    "Log files (MMDDYYYY.log), folders of them, or sites' names; left out, the "
                    "installed program's own log folder")
      ->type_name("");
  stats->add_option("--from", options->from, "Only the days from this one on")
      ->check(day)
      ->type_name("YYYY-MM-DD");
  stats->add_option("--to", options->to, "Only the days up to this one")
      ->check(day)
      ->type_name("YYYY-MM-DD");
  stats->add_option("--top", options->top, "Rows per list of keys, misses, hosts; 0: all")
      ->check(count)
      ->type_name("N")
      ->capture_default_str();
  CLI::Option *csv = stats->add_flag("--csv", options->csv, "CSV, one table per section");
  CLI::Option *json = stats->add_flag("--json", options->json, "JSON, one object");
  CLI::Option *html =
      stats->add_option("--html", options->html, "A web page with charts, to FILE (- for output)")
          ->type_name("FILE");
  csv->excludes(json)->excludes(html);
  json->excludes(html);
  stats->add_flag("-v,--verbose", options->verbose,
                  "List the unreadable lines on standard error");
  stats->callback([options, status] {
    std::string error;
    if (options->paths.empty()) {
      const std::string own = hoptool::DefaultLogs();
      std::error_code missing;
      if (!std::filesystem::exists(own, missing)) {
        fprintf(stderr,
                "hoptool: stats: no PATH given, and the installed program's own log folder %s "
                "does not exist (hoptool stats [PATH...]; PATH: a log, a folder, or a site's "
                "name)\n",
                own.c_str());
        *status = kHoptoolTrouble;
        return;
      }
      options->paths.push_back(own);
    }
    for (std::string &path : options->paths) {
      if (!hoptool::LogsOf(path, &path, &error)) {
        fprintf(stderr, "hoptool: %s\n", error.c_str());
        *status = kHoptoolTrouble;
        return;
      }
    }
    *status = RunStats(*options);
  });
}
