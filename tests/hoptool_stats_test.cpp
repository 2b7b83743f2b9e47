// hoptool stats, run as the webmaster runs it: the built tool over prepared
// log folders whose counts are known, its output read back.
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cgi.h"
#include "stats.h"
#include "test_support.h"

namespace {

using Json = nlohmann::json;

ProcessResult Hoptool(const std::vector<std::string> &args) {
  std::vector<std::string> all = {"stats"};
  all.insert(all.end(), args.begin(), args.end());
  return RunProcess(HOPTOOL_BINARY, all, {});
}

// The report as JSON, every row of every list.
Json Stats(std::vector<std::string> args) {
  args.insert(args.begin(), {"--json", "--top", "0"});
  const ProcessResult run = Hoptool(args);
  EXPECT_EQ(run.status, 0) << run.err;
  return Json::parse(run.out, nullptr, false);
}

// The stamp the program writes for a local time: minutes since 31 December
// 1969, eight upper-case hexadecimal digits.
std::string Stamp(int year, int month, int day, int hour = 12, int minute = 0) {
  struct tm date = {};
  date.tm_year = year - 1900;
  date.tm_mon = month - 1;
  date.tm_mday = day;
  const long days = (long)(timegm(&date) / 86400) + 1;
  char text[16];
  snprintf(text, sizeof(text), "%08lX", days * 1440 + hour * 60 + minute);
  return text;
}

// One line as the program logs it; the key Explicit for an explicit address.
std::string Line(const std::string &client, const std::string &stamp, const std::string &key,
                 const std::string &target) {
  return client + " " + stamp + " [" + key + "] " + target + "\r\n";
}

const Json *Row(const Json &list, const char *field, const std::string &value) {
  for (const Json &row : list)
    if (row[field] == value) return &row;
  return nullptr;
}

// ---- How each line is read ------------------------------------------------

struct LineCase {
  const char *what;
  std::string line;  // without its line end
  const char *kind;  // hit, miss, explicit, refused or unreadable
  std::string key, target;
};

// The reader's parsing of one line, called as the reader calls it: the line
// end after the line, and bytes readable past it.
TEST(HoptoolStatsLines, EachLineIsReadAsTheProgramWroteIt) {
  const std::string s = " 01C8E7CF ";
  const LineCase cases[] = {
      {"a key found", "192.0.2.7" + s + "[news] https://norvale.example/news/", "hit", "news",
       "https://norvale.example/news/"},
      {"a key missed", "0.0.0.0" + s + "[weather] ", "miss", "weather", ""},
      {"an explicit address", "192.0.2.7" + s + "[Explicit] example.com/welcome.html",
       "explicit", "Explicit", "example.com/welcome.html"},
      {"scheme, user, port and case", "192.0.2.7" + s + "[Explicit] https://me:pw@Shop.EXAMPLE:8080/a",
       "explicit", "Explicit", "https://me:pw@Shop.EXAMPLE:8080/a"},
      {"no path, a query", "192.0.2.7" + s + "[Explicit] //cdn.example?x=1", "explicit",
       "Explicit", "//cdn.example?x=1"},
      {"Explicit without a full stop is the key", "192.0.2.7" + s + "[Explicit] https://intranet/",
       "hit", "Explicit", "https://intranet/"},
      {"the key Explicit missed", "192.0.2.7" + s + "[Explicit] ", "miss", "Explicit", ""},
      {"a refused address", "192.0.2.0" + s + "[Refused] https://u@Evil.TEST:8443/login",
       "refused", "Refused", "https://u@Evil.TEST:8443/login"},
      {"Refused without a full stop is the key", "::" + s + "[Refused] /intranet", "hit",
       "Refused", "/intranet"},
      {"a key with spaces", "192.0.2.7" + s + "[my key ] t", "hit", "my key ", "t"},
      {"a key with brackets", "192.0.2.7" + s + "[[a]b]] t", "hit", "[a]b]", "t"},
      {"a key holding \"] \" is cut there", "192.0.2.7" + s + "[a] b] t", "hit", "a", "b] t"},
      {"a target holding \"] \"", "192.0.2.7" + s + "[k] x] y] ", "hit", "k", "x] y] "},
      {"UTF-8 in a key", "192.0.2.7" + s + "[caf\xC3\xA9] ", "miss", "caf\xC3\xA9", ""},
      {"a byte that is not UTF-8", "192.0.2.7" + s + "[a\xFF] x", "hit", "a\xFF", "x"},
      {"an IPv6 client", "2001:db8::1" + s + "[news] x", "hit", "news", "x"},
      {"the longest IPv4-like client", "255.255.255.255" + s + "[k] x", "hit", "k", "x"},
      {"an empty line", "", "unreadable", "", ""},
      {"a torn line", "192.0.2.7 01C8E7", "unreadable", "", ""},
      {"a key holding a full stop", "192.0.2.7" + s + "[a.b] x", "unreadable", "", ""},
      {"an empty key", "192.0.2.7" + s + "[] x", "unreadable", "", ""},
      {"no space after the key", "192.0.2.7" + s + "[news]", "unreadable", "", ""},
      {"a lower-case stamp", "192.0.2.7 01c8e7cf [news] x", "unreadable", "", ""},
      {"a short stamp", "192.0.2.7 1C8E7CF [news] x", "unreadable", "", ""},
      {"no space after the stamp", "192.0.2.7 01C8E7CF[news] x", "unreadable", "", ""},
      {"no address", " 01C8E7CF [news] x", "unreadable", "", ""},
      {"the shortest line", "a 00000000 [k] ", "miss", "k", ""},
      {"one byte shorter", "a 00000000 [k]", "unreadable", "", ""},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string buffer = c.line + "\n" + std::string(16, '\0');
    hopstats::LogLine line;
    const bool read = hopstats::ParseLogLine(buffer.data(), buffer.data() + c.line.size(), &line);
    const std::string kind = c.kind;
    ASSERT_EQ(read, kind != "unreadable");
    if (!read) continue;
    EXPECT_EQ(std::string(line.client, line.clientLength), c.line.substr(0, c.line.find(' ')));
    EXPECT_EQ(line.isPacked, line.clientLength <= 15 &&
                                 c.line.find_first_not_of("0123456789.") == line.clientLength);
    EXPECT_EQ(std::string(line.key, line.keyLength), c.key);
    EXPECT_EQ(std::string(line.target, line.targetLength), c.target);
    EXPECT_EQ(line.isExplicit, kind == "explicit");
    EXPECT_EQ(line.isRefused, kind == "refused");
    EXPECT_EQ(kind == "hit", !line.isExplicit && !line.isRefused && line.targetLength > 0);
    if (c.line[0] != 'a') {  // 01C8E7CF is 06:39 local time.
      EXPECT_EQ(line.stamp, 0x01C8E7CFu);
      EXPECT_EQ(hopstats::StampHour(line.stamp), 6);
    }
  }
}

// The same lines as a file holds them: line ends, bytes no line of the
// program's holds, a line too long, the last line without its end; and how
// a host and a key are shown.
TEST(HoptoolStatsLines, AFileOfLinesIsCutAndCountedAsWritten) {
  const std::string s = " 01C8E7CF ";
  TempDir dir;
  WriteFile(dir / "12062026.log",
            "192.0.2.7" + s + "[news] x\n" +  // a line feed alone ends a line
                "192.0.2.7" + s + "[Explicit] https://me:pw@Shop.EXAMPLE:8080/a\r\n" +
                "192.0.2.7" + s + "[Explicit] //cdn.example?x=1\r\n" +
                "192.0.2.7" + s + "[a\xFF] x\r\n" +
                std::string("\x00\x01\x7F\xFE garbage ] \r\n", 17) +
                "192.0.2.7" + s + "[news] a\tb\r\n" +
                "192.0.2.7" + s + "[news] a\rb\r\n" +
                "192.0.2.7" + s + "[news] " + std::string(70000, 'x') + "\r\n" +
                "192.0.2.7" + s + "[news] x");  // cut short without its line end
  const Json stats = Stats({dir.path()});
  const Json &totals = stats["totals"];
  EXPECT_EQ(totals["lines"], 9);
  EXPECT_EQ(totals["hits"], 2);
  EXPECT_EQ(totals["misses"], 0);
  EXPECT_EQ(totals["explicit"], 2);
  EXPECT_EQ(totals["unreadable"], 5);
  ASSERT_EQ(stats["unreadable"].size(), 1u);
  EXPECT_EQ(stats["unreadable"][0]["lines"], Json::array({5, 6, 7, 8, 9}));
  EXPECT_TRUE(Row(stats["keys"], "key", "news"));
  EXPECT_TRUE(Row(stats["keys"], "key", "a\\xFF"));
  EXPECT_TRUE(Row(stats["explicit_hosts"], "host", "shop.example:8080"));
  EXPECT_TRUE(Row(stats["explicit_hosts"], "host", "cdn.example"));
  EXPECT_EQ(stats["hours"][6]["requests"], 4);
}

// The writer's stamp read back by the reader: every hour from 1970 to 2099.
TEST(HoptoolStatsLines, StampsReadBackToTheirDayAndHour) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int checked = 0;
  for (int year = 1970; year <= 2099; year++) {
    for (int month = 1; month <= 12; month++) {
      const int days = kDays[month - 1] + (month == 2 && year % 4 == 0);
      for (int day = 1; day <= days; day++) {
        const int number = hopstats::DayNumber(year, month, day);
        for (int hour = 0; hour < 24; hour++) {
          int stamp = 0;
          DateToMinutes(&stamp, (unsigned char)hour, (unsigned char)(59 - hour),
                        (unsigned char)(month - 1), (unsigned char)day,
                        (unsigned char)(year - 1900));
          if (hopstats::StampDay((uint32_t)stamp) != number ||
              hopstats::StampHour((uint32_t)stamp) != hour) {
            ADD_FAILURE() << year << "-" << month << "-" << day << " " << hour << ":00 gives "
                          << hopstats::DayText(hopstats::StampDay((uint32_t)stamp)) << " hour "
                          << hopstats::StampHour((uint32_t)stamp);
            return;
          }
          checked++;
        }
      }
    }
  }
  EXPECT_EQ(checked, 24 * hopstats::DayNumber(2100, 1, 1) - 24);
  EXPECT_EQ(hopstats::DayText(hopstats::DayNumber(2099, 12, 31)), "2099-12-31");
}

// ---- Counting over days and servers ---------------------------------------

// Two servers behind one site, a file per day across a month's end.
class TwoServers : public testing::Test {
 protected:
  void SetUp() override {
    MakeDir(dir / "web1");
    MakeDir(dir / "web2");
    WriteFile(dir / "web1/11302026.log",
              Line("192.0.2.1", Stamp(2026, 11, 30, 9), "news", "https://n.example/") +
                  Line("192.0.2.2", Stamp(2026, 11, 30, 9), "news", "https://n.example/") +
                  Line("192.0.2.1", Stamp(2026, 11, 30, 23, 59), "weather", ""));
    WriteFile(dir / "web1/12012026.log",
              Line("192.0.2.1", Stamp(2026, 12, 1, 0), "news", "https://n.example/") +
                  Line("0.0.0.0", Stamp(2026, 12, 1, 0), "Explicit", "https://a.example/x") +
                  "192.0.2.3 " + Stamp(2026, 12, 1, 1) + " [news] https://n.exa");  // torn
    WriteFile(dir / "web2/12012026.log",
              Line("192.0.2.1", Stamp(2026, 12, 1, 5), "weather", "") +
                  Line("01.2.3.4", Stamp(2026, 12, 1, 5), "docs", "https://d.example/") +
                  Line("1.2.3.4", Stamp(2026, 12, 1, 5), "docs", "https://d.example/") +
                  "\r\n" + Line("2001:db8::1", Stamp(2026, 12, 1, 5), "Explicit", "A.example"));
    WriteFile(dir / "web2/12022026.log",
              Line("2001:db8::1", Stamp(2026, 12, 2, 13), "news", "https://n.example/"));
    WriteFile(dir / "web2/notes.txt", Line("192.0.2.9", Stamp(2026, 12, 2), "news", "x"));
  }
  TempDir dir;
};

TEST_F(TwoServers, MergesTheServersDayByDay) {
  const Json stats = Stats({dir / "web1", dir / "web2"});
  const Json &totals = stats["totals"];
  EXPECT_EQ(totals["files"], 4);
  EXPECT_EQ(totals["first_day"], "2026-11-30");
  EXPECT_EQ(totals["last_day"], "2026-12-02");
  EXPECT_EQ(totals["lines"], 12);
  EXPECT_EQ(totals["hits"], 6);
  EXPECT_EQ(totals["misses"], 2);
  EXPECT_EQ(totals["explicit"], 2);
  EXPECT_EQ(totals["unreadable"], 2);
  EXPECT_EQ(totals["keys"], 3);
  // 192.0.2.1, .2, 0.0.0.0, 01.2.3.4, 1.2.3.4 (not the same text), 2001:db8::1
  EXPECT_EQ(totals["clients"], 6);

  const Json expectDays = Json::parse(R"([
    {"day": "2026-11-30", "requests": 3, "hits": 2, "misses": 1, "explicit": 0, "clients": 2, "unreadable": 0},
    {"day": "2026-12-01", "requests": 6, "hits": 3, "misses": 1, "explicit": 2, "clients": 5, "unreadable": 2},
    {"day": "2026-12-02", "requests": 1, "hits": 1, "misses": 0, "explicit": 0, "clients": 1, "unreadable": 0}])");
  EXPECT_EQ(stats["days"], expectDays);

  const Json *news = Row(stats["keys"], "key", "news");
  ASSERT_TRUE(news);
  EXPECT_EQ((*news)["requests"], 4);
  EXPECT_EQ((*news)["first_day"], "2026-11-30");
  EXPECT_EQ((*news)["last_day"], "2026-12-02");
  const Json *weather = Row(stats["misses"], "key", "weather");
  ASSERT_TRUE(weather);
  EXPECT_EQ((*weather)["misses"], 2);
  EXPECT_EQ((*weather)["last_day"], "2026-12-01");
  EXPECT_EQ(stats["explicit_hosts"], Json::parse(R"([
    {"host": "a.example", "requests": 2, "first_day": "2026-12-01", "last_day": "2026-12-01"}])"));

  std::vector<int> hours(24);
  hours[0] = 2, hours[5] = 4, hours[9] = 2, hours[13] = 1, hours[23] = 1;
  for (int h = 0; h < 24; h++) EXPECT_EQ(stats["hours"][h]["requests"], hours[h]) << "hour " << h;

  EXPECT_EQ(stats["unreadable"], Json::parse("[{\"file\": \"" + dir.path() +
                                             "/web1/12012026.log\", \"count\": 1, \"lines\": [3]},"
                                             "{\"file\": \"" + dir.path() +
                                             "/web2/12012026.log\", \"count\": 1, \"lines\": [4]}]"));
}

// The days asked for, and each file once however it is named.
TEST_F(TwoServers, TakesTheFilesAndDaysAskedFor) {
  const std::string both[] = {dir / "web1", dir / "web2"};
  struct Range {
    std::vector<std::string> args;
    int files, lines;
    const char *first, *last;
  } ranges[] = {
      {{"--from", "2026-12-01", both[0], both[1]}, 3, 9, "2026-12-01", "2026-12-02"},
      {{"--to", "2026-11-30", both[0], both[1]}, 1, 3, "2026-11-30", "2026-11-30"},
      {{"--from", "2026-12-01", "--to", "2026-12-01", both[0], both[1]}, 2, 8, "2026-12-01",
       "2026-12-01"},
      {{dir / "web1", dir / "web1/11302026.log", dir.path() + "/web1/../web1"}, 2, 6,
       "2026-11-30", "2026-12-01"},
  };
  for (const Range &r : ranges) {
    SCOPED_TRACE(r.args[0] + " " + r.args[1]);
    const Json stats = Stats(r.args);
    EXPECT_EQ(stats["totals"]["files"], r.files);
    EXPECT_EQ(stats["totals"]["lines"], r.lines);
    EXPECT_EQ(stats["totals"]["first_day"], r.first);
    EXPECT_EQ(stats["totals"]["last_day"], r.last);
  }
}

TEST_F(TwoServers, VerboseListsTheUnreadableLines) {
  const ProcessResult run = Hoptool({"-v", dir / "web1", dir / "web2"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, dir.path() + "/web1/12012026.log:3: unreadable: 192.0.2.3 " +
                         Stamp(2026, 12, 1, 1) + " [news] https://n.exa\n" + dir.path() +
                         "/web2/12012026.log:4: unreadable: \n");
}

// Client addresses are told apart by their text: IPv4 addresses are kept
// as numbers, and no other text may fall onto one of them.
TEST(HoptoolStatsCounting, KeepsClientAddressesApart) {
  const std::vector<std::string> clients = {
      "1.2.3.4", "01.2.3.4", "1.2.3.04", "0.2.3.4",  "256.2.3.4", "1.2.3.4.5", "1.2.3", "1.2.3.",
      "1..2.3",  "0.0.0.0",  "::1",      "1.2.3.4a", "1234.2.3.4"};
  TempDir dir;
  std::string log;
  for (const std::string &client : clients)
    log += Line(client, "01C8E7CF", "news", "x") + Line(client, "01C8E7CF", "news", "x");
  WriteFile(dir / "12062026.log", log);
  const Json stats = Stats({dir.path()});
  EXPECT_EQ(stats["totals"]["unreadable"], 0);
  EXPECT_EQ(stats["totals"]["clients"], clients.size());
  EXPECT_EQ(stats["days"][0]["clients"], clients.size());
}

// Many days are shared out among threads a whole day at a time, a few days
// a piece of a file at a time: both count each day's clients exactly.
TEST(HoptoolStatsCounting, CountsClientsPerDayHoweverTheWorkIsShared) {
  for (int days : {2, 12}) {
    SCOPED_TRACE(std::to_string(days) + " days");
    TempDir dir;
    MakeDir(dir / "a");
    MakeDir(dir / "b");
    for (int d = 0; d < days; d++) {
      // Day d has 10 + d clients; server a sees the first two thirds of
      // them, server b the last two thirds.
      const int clients = 10 + d;
      std::string a, b;
      for (int c = 0; c < clients; c++) {
        const std::string line = Line("10.0." + std::to_string(d) + "." + std::to_string(c),
                                      Stamp(2026, 3, 1 + d), "k", "t");
        if (c < 2 * clients / 3) a += line;
        if (c >= clients / 3) b += line + line;
      }
      char name[32];
      snprintf(name, sizeof(name), "03%02d2026.log", 1 + d);
      WriteFile(dir / "a" + "/" + name, a);
      WriteFile(dir / "b" + "/" + name, b);
    }
    const Json stats = Stats({dir / "a", dir / "b"});
    ASSERT_EQ(stats["days"].size(), (size_t)days);
    int total = 0;
    for (int d = 0; d < days; d++) {
      EXPECT_EQ(stats["days"][d]["clients"], 10 + d) << "day " << d;
      total += 10 + d;
    }
    EXPECT_EQ(stats["totals"]["clients"], total);
  }
}

// A file big enough to be read in pieces, on several threads: lines across
// the pieces' borders are read whole, once, and numbered as in the file,
// and a client seen in several pieces is one client. Lines of 64 bytes put
// the border of any piece of a power-of-two size exactly at a line's
// start; lines of 61 bytes put borders inside lines.
TEST(HoptoolStatsCounting, ReadsABigFileInPiecesAsOne) {
  for (size_t length : {64, 61}) {
    SCOPED_TRACE(std::to_string(length) + "-byte lines");
    TempDir dir;
    std::string log;
    std::set<size_t> bad;  // line numbers
    std::set<std::string> clients;
    size_t lines = 0;
    while (log.size() < 30 * 1000 * 1000) {
      lines++;
      if (lines % 9973 == 0) {
        // Unreadable, some of them long (as long as 1563 lines).
        bad.insert(lines);
        log += std::string(lines % 3 == 0 ? 1563 * length - 2 : length - 2, 'z') + "\r\n";
        continue;
      }
      // A few hundred clients, IPv4 and IPv6, each in every piece.
      const std::string client = lines % 5 == 0 ? "2001:db8::" + std::to_string(lines % 51)
                                                : "10.0.0." + std::to_string(lines % 199);
      clients.insert(client);
      const std::string line = Line(client, "01C8E7CF", "news", "https://n.example/");
      log += Line(client, "01C8E7CF", "news",
                  "https://n.example/" + std::string(length - line.size(), 'x'));
    }
    WriteFile(dir / "12062026.log", log);
    const ProcessResult run = Hoptool({"--json", "--top", "0", dir.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json stats = Json::parse(run.out);
    EXPECT_EQ(stats["totals"]["lines"], lines);
    EXPECT_EQ(stats["totals"]["hits"], lines - bad.size());
    EXPECT_EQ(stats["totals"]["unreadable"], bad.size());
    EXPECT_EQ(stats["days"][0]["clients"], clients.size());
    EXPECT_EQ(stats["totals"]["clients"], clients.size());
    ASSERT_EQ(stats["unreadable"].size(), 1u);
    const Json &listed = stats["unreadable"][0]["lines"];
    ASSERT_EQ(listed.size(), std::min<size_t>(bad.size(), 100));
    size_t i = 0;
    for (size_t line : bad) {
      if (i == listed.size()) break;
      EXPECT_EQ(listed[i++], line);
    }
  }
}

// ---- Output formats --------------------------------------------------------

class SmallSite : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "12062026.log",
              Line("192.0.2.7", Stamp(2026, 12, 6, 9, 15), "news", "https://n.example/") +
                  Line("192.0.2.8", Stamp(2026, 12, 6, 9, 30), "news", "https://n.example/") +
                  Line("192.0.2.7", Stamp(2026, 12, 6, 10), "Explicit", "https://Shop.example/a") +
                  Line("192.0.2.9", Stamp(2026, 12, 6, 10), "=HYPERLINK(\"x\",\"y\")", "") +
                  Line("192.0.2.9", Stamp(2026, 12, 6, 10), "<script>alert(1)</script>", "") +
                  Line("192.0.2.9", Stamp(2026, 12, 6, 21), "old, news", "") + "garbage\r\n");
  }
  TempDir dir;
};

TEST_F(SmallSite, PrintsTextTables) {
  const ProcessResult run = Hoptool({"--top", "2", dir.path()});
  EXPECT_EQ(run.status, 0);
  // 2 requests at 9, 3 at 10, 1 at 21: bars of 40 for the busiest hour.
  std::string hours;
  for (int h = 0; h < 24; h++) {
    const int count = h == 9 ? 2 : h == 10 ? 3 : h == 21 ? 1 : 0;
    char row[64];
    snprintf(row, sizeof(row), "  %02d%12d", h, count);
    hours += row;
    if (count > 0) hours += "  " + std::string((count * 40 + 2) / 3, '#');
    hours += "\n";
  }
  const std::string file = dir / "12062026.log";
  EXPECT_EQ(run.out,
            "Request logs: 1 file, 2026-12-06 to 2026-12-06 (1 day with a log)\n"
            "\n"
            "  lines read            7\n"
            "    key hits            2  28.6%\n"
            "    key misses          3  42.9%\n"
            "    explicit addresses  1  14.3%\n"
            "    unreadable          1  14.3%\n"
            "  4 distinct keys (3 missed), 1 host of explicit addresses,\n"
            "  3 client addresses\n"
            "\n"
            "Keys, most requested first (2 of 4)\n"
            "  key                        requests  hits  misses  first day   last day\n"
            "  news                              2     2       0  2026-12-06  2026-12-06\n"
            "  <script>alert(1)</script>         1     0       1  2026-12-06  2026-12-06\n"
            "\n"
            "Misses: keys the table lacks, most asked first (2 of 3)\n"
            "  key                        misses  hits  first day   last day\n"
            "  <script>alert(1)</script>       1     0  2026-12-06  2026-12-06\n"
            "  =HYPERLINK(\"x\",\"y\")             1     0  2026-12-06  2026-12-06\n"
            "\n"
            "Explicit addresses by host (1 of 1)\n"
            "  host          requests  first day   last day\n"
            "  shop.example         1  2026-12-06  2026-12-06\n"
            "\n"
            "Days\n"
            "  day         requests  hits  misses  explicit  clients  unreadable\n"
            "  2026-12-06         6     2       3         1        3           1\n"
            "\n"
            "Hours of the day (the stamps' local time)\n"
            "  hour  requests\n" +
                hours +
                "\n"
                "Unreadable lines by file (--verbose lists them)\n"
                "  file" + std::string(file.size() - 4, ' ') + "  lines\n"
                "  " + file + "      1\n");
}

TEST_F(SmallSite, WritesCsvForSpreadsheets) {
  const ProcessResult run = Hoptool({"--csv", "--top", "3", dir.path()});
  EXPECT_EQ(run.status, 0);
  std::string hours;
  for (int h = 0; h < 24; h++)
    hours += "hours," + std::to_string(h) + "," + (h == 9 ? "2" : h == 10 ? "3" : h == 21 ? "1" : "0") + "\r\n";
  EXPECT_EQ(run.out,
            "section,name,value\r\n"
            "totals,files,1\r\ntotals,lines,7\r\ntotals,hits,2\r\ntotals,misses,3\r\n"
            "totals,explicit,1\r\ntotals,unreadable,1\r\ntotals,keys,4\r\n"
            "totals,explicit_hosts,1\r\ntotals,clients,3\r\n"
            "totals,refused,0\r\ntotals,refused_hosts,0\r\n"
            "totals,first_day,2026-12-06\r\ntotals,last_day,2026-12-06\r\n"
            "\r\n"
            "section,key,requests,hits,misses,first_day,last_day\r\n"
            "keys,news,2,2,0,2026-12-06,2026-12-06\r\n"
            "keys,<script>alert(1)</script>,1,0,1,2026-12-06,2026-12-06\r\n"
            "keys,\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\",1,0,1,2026-12-06,2026-12-06\r\n"
            "\r\n"
            "section,key,misses,hits,first_day,last_day\r\n"
            "misses,<script>alert(1)</script>,1,0,2026-12-06,2026-12-06\r\n"
            "misses,\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\",1,0,2026-12-06,2026-12-06\r\n"
            "misses,\"old, news\",1,0,2026-12-06,2026-12-06\r\n"
            "\r\n"
            "section,host,requests,first_day,last_day\r\n"
            "explicit_hosts,shop.example,1,2026-12-06,2026-12-06\r\n"
            "\r\n"
            "section,host,refused,first_day,last_day\r\n"
            "\r\n"
            "section,day,requests,hits,misses,explicit,clients,unreadable\r\n"
            "days,2026-12-06,6,2,3,1,3,1\r\n"
            "\r\n"
            "section,hour,requests\r\n" +
                hours +
                "\r\n"
                "section,file,count,lines\r\n"
                "unreadable," + dir.path() + "/12062026.log,1,7\r\n");
}

TEST_F(SmallSite, JsonListsAsManyRowsAsAsked) {
  const ProcessResult run = Hoptool({"--json", "--top", "1", dir.path()});
  EXPECT_EQ(run.status, 0);
  const nlohmann::ordered_json stats = nlohmann::ordered_json::parse(run.out);
  std::vector<std::string> sections;
  for (const auto &item : stats.items()) sections.push_back(item.key());
  EXPECT_EQ(sections, (std::vector<std::string>{"totals", "keys", "misses", "explicit_hosts",
                                                "refused_hosts", "days", "hours", "unreadable"}));
  EXPECT_EQ(stats["keys"].size(), 1u);
  EXPECT_EQ(stats["keys"][0]["key"], "news");
  // Ties go by the key's bytes.
  EXPECT_EQ(stats["misses"].size(), 1u);
  EXPECT_EQ(stats["misses"][0]["key"], "<script>alert(1)</script>");
  EXPECT_EQ(Stats({dir.path()})["keys"].size(), 4u);  // --top 0: every row
}

// The page: one file that fetches nothing, shows visitors' keys as text,
// and that a real browser draws.
TEST_F(SmallSite, WritesASelfContainedPage) {
  const ProcessResult run = Hoptool({"--html", dir / "page.html", dir.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::string page = ReadFile(dir / "page.html");
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  for (const char *fetch : {"src=", "href=", "url(", "@import", "http:", "https:"})
    EXPECT_EQ(page.find(fetch), std::string::npos) << fetch;
  EXPECT_NE(page.find("<svg"), std::string::npos);
  EXPECT_EQ(Hoptool({"--html", "-", dir.path()}).out, page);
  EXPECT_EQ(page.find("Refused"), std::string::npos) << "no refused lines, no list of them";
}

// Explicit addresses the site's list refused, over two days: a total apart
// from the requests, and a list by host with first and last day, in every
// format.
TEST(HoptoolStatsFormats, ListRefusedAddressesByHost) {
  TempDir dir;
  WriteFile(dir / "12052026.log",
            Line("192.0.2.0", Stamp(2026, 12, 5), "Refused", "https://evil.test/a") +
                Line("192.0.2.0", Stamp(2026, 12, 5), "Explicit", "/local.html"));
  WriteFile(dir / "12062026.log",
            Line("2001:db8::", Stamp(2026, 12, 6), "Refused", "HTTPS://Evil.test/b") +
                Line("0.0.0.0", Stamp(2026, 12, 6), "Refused", "//relay.example/x"));
  const ProcessResult text = Hoptool({dir.path()});
  EXPECT_NE(text.out.find("    refused addresses   3  75.0%\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Refused addresses by host (2 of 2)\n"
                          "  host           refused  first day   last day\n"
                          "  evil.test            2  2026-12-05  2026-12-06\n"
                          "  relay.example        1  2026-12-06  2026-12-06\n"),
            std::string::npos)
      << text.out;
  const std::string csv = Hoptool({"--csv", dir.path()}).out;
  for (const char *row : {"totals,refused,3\r\n", "totals,refused_hosts,2\r\n",
                          "refused_hosts,evil.test,2,2026-12-05,2026-12-06\r\n",
                          "refused_hosts,relay.example,1,2026-12-06,2026-12-06\r\n"})
    EXPECT_NE(csv.find(row), std::string::npos) << row;
  const Json stats = Stats({dir.path()});
  EXPECT_EQ(stats["totals"]["refused"], 3);
  EXPECT_EQ(stats["totals"]["requests"], 1);
  EXPECT_EQ(stats["totals"]["clients"], 3);  // masked addresses count as they stand
  EXPECT_EQ(stats["refused_hosts"][0],
            Json::parse(R"({"host": "evil.test", "refused": 2, "first_day": "2026-12-05",
                            "last_day": "2026-12-06"})"));
  const std::string page = Hoptool({"--html", "-", dir.path()}).out;
  EXPECT_NE(page.find("<h2>Refused addresses by host</h2>"), std::string::npos);
  // Every line has its card, so that the shares add up; a list of one says so.
  EXPECT_NE(page.find("<div class=\"card refused\"><span class=\"n\">3</span><span class=\"l\">"
                      "refused, 75.0%</span></div>"),
            std::string::npos);
  EXPECT_EQ(page.find("All 1 "), std::string::npos) << "a list of one is the only one";
  EXPECT_NE(page.find("<td class=\"name\">relay.example</td><td class=\"num\">1</td>"),
            std::string::npos);
}

TEST(HoptoolStatsPage, ChromiumDrawsTheCharts) {
  const std::string chromium = "/usr/bin/chromium-headless-shell";
  if (!FileExists(chromium) || !FileExists("/usr/bin/python3"))
    GTEST_SKIP() << "needs chromium-headless-shell and python3";
  TempDir dir;
  std::string log;
  for (int h = 0; h < 24; h++)
    for (int i = 0; i <= h; i++) {
      log += Line("192.0.2." + std::to_string(i), Stamp(2026, 12, 6, h), "news", "https://n.example/");
      if (i % 3 == 0) log += Line("192.0.2.1", Stamp(2026, 12, 6, h), "weather", "");
      if (i % 4 == 0) log += Line("192.0.2.1", Stamp(2026, 12, 6, h), "Explicit", "b.example/x");
    }
  WriteFile(dir / "12062026.log", log);
  WriteFile(dir / "12082026.log", log + log);
  ASSERT_EQ(Hoptool({"--html", dir / "page.html", dir.path()}).status, 0);
  // Bounded in time: a browser that hangs fails the test, not the run.
  const ProcessResult shot = RunProcess(
      "/usr/bin/timeout",
      {"120", chromium, "--no-sandbox", "--disable-gpu", "--disable-background-networking",
       "--disable-component-update", "--disable-sync", "--no-first-run", "--hide-scrollbars",
       "--disable-dev-shm-usage", "--user-data-dir=" + (dir / "profile"),
       "--screenshot=" + (dir / "page.png"), "--window-size=1100,1400",
       "file://" + (dir / "page.html")},
      {{"HOME", dir.path()}});
  ASSERT_TRUE(FileExists(dir / "page.png")) << shot.err;
  // Decodes the PNG (8-bit RGB or RGBA, any filters) and counts the pixels
  // of each bar colour; a blank or unstyled page has none.
  const char *decode = R"(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
pos, idat = 8, b''
while pos < len(data):
    size, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + size]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
    elif kind == b'IDAT':
        idat += body
    pos += 12 + size
assert depth == 8 and colour in (2, 6)
step = 3 if colour == 2 else 4
raw, rows, prev = zlib.decompress(idat), [], bytearray(width * step)
for y in range(height):
    start = y * (width * step + 1)
    kind, line = raw[start], bytearray(raw[start + 1:start + 1 + width * step])
    for i in range(len(line)):
        a = line[i - step] if i >= step else 0
        b, c = prev[i], prev[i - step] if i >= step else 0
        if kind == 1: line[i] = (line[i] + a) & 255
        elif kind == 2: line[i] = (line[i] + b) & 255
        elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line)
    prev = line
counts = {}
for line in rows:
    for x in range(0, len(line), step):
        counts[bytes(line[x:x + 3])] = counts.get(bytes(line[x:x + 3]), 0) + 1
for name in ('2f6fdb', 'e0533d', '8b62d6', '1f9e89'):
    print(name, counts.get(bytes.fromhex(name), 0))
print('colours', len(counts))
)";
  WriteFile(dir / "decode.py", decode);
  const ProcessResult pixels = RunProcess("/usr/bin/python3", {dir / "decode.py", dir / "page.png"}, {});
  ASSERT_EQ(pixels.status, 0) << pixels.err;
  std::istringstream counts(pixels.out);
  std::string name;
  long count;
  while (counts >> name >> count) {
    if (name == "colours") EXPECT_GT(count, 20) << "a page of a few flat colours";
    else EXPECT_GT(count, 200) << "pixels of #" << name;
  }
}

// ---- Trouble -----------------------------------------------------------------

TEST(HoptoolStatsTrouble, SaysWhatIsWrongAndExitsWith2) {
  TempDir dir;
  WriteFile(dir / "notes.txt", "");
  WriteFile(dir / "12062026.log", Line("192.0.2.7", "01C8E7CF", "news", "x"));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{dir / "missing"}, "hoptool stats: " + (dir / "missing") + ": No such file or directory\n"},
      {{dir / "notes.txt/12062026.log"},
       "hoptool stats: " + (dir / "notes.txt/12062026.log") + ": Not a directory\n"},
      {{dir / "notes.txt"}, "hoptool stats: " + (dir / "notes.txt") +
                                ": not a day's log (its name must end in MMDDYYYY.log: the day "
                                "comes from it)\n"},
      {{"--html", dir / "no/such/page.html", dir.path()},
       "hoptool stats: " + (dir / "no/such/page.html") + ": No such file or directory\n"},
      {{"--from", "2026-12-07", "--to", "2026-12-06", dir.path()},
       "hoptool stats: --from 2026-12-07 is after --to 2026-12-06\n"},
      {{"--from", "2026-02-29", dir.path()}, "--from: not a date of the form YYYY-MM-DD from 1970 on: 2026-02-29\n"},
      {{"--top", "-1", dir.path()}, "--top: not a number of rows: -1\n"},
      {{"--csv", "--json", dir.path()}, "--csv excludes --json\n"},
      {{"--colour", dir.path()}, "The following argument was not expected: --colour\n"},
      {{}, "hoptool: stats: no PATH given, and the installed program's own log folder "},
      {{"no-such-site"}, "hoptool: no-such-site: no such log or folder here, and no site of "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    const ProcessResult run = Hoptool(c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
  }
}

TEST(HoptoolStatsTrouble, AFolderWithoutLogsIsNoError) {
  TempDir dir;
  const ProcessResult run = Hoptool({dir.path()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "No request logs to read.\n");
  EXPECT_EQ(Stats({dir.path()})["totals"]["lines"], 0);
}

TEST(HoptoolStatsTrouble, HelpNamesWhatCannotBeToldApart) {
  const ProcessResult run = Hoptool({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char *text : {"--from", "--to", "--top", "--csv", "--json", "--html", "--verbose",
                           "itself 'Explicit'", "itself 'Refused'", "first \"] \""})
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
}

}  // namespace
