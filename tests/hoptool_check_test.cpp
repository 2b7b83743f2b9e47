// hoptool lookup and hoptool check, run as the webmaster runs them: the
// built tool on tables with known mistakes, its output read back, and held
// against the program itself and against each other over random tables.
#include <stdio.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Json = nlohmann::json;

ProcessResult Hoptool(const std::vector<std::string> &args) {
  return RunProcess(HOPTOOL_BINARY, args, {});
}

// Every line of the text output, the summary last.
std::vector<std::string> Lines(const std::string &out) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < out.size();) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// ---- check: every kind of finding --------------------------------------------

TEST(HoptoolCheckTest, EveryKindOfFinding) {
  TempDir dir;
  const std::string table = dir / "config.txt";
  const std::string longLine(5000, 'q');
  WriteFile(table,
            "oldnews = https://old.example/\n"      // 1
            "news = https://n.example/\n"            // 2 shadowed inside a longer key
            "NEWS = https://dup.example/\n"          // 3 shadowed, same key
            "x = https://a.example/?docs=1\r\n"      // 4
            "docs = https://docs.example/\n"         // 5 shadowed inside an address
            "web.site = https://w.example/\n"        // 6 explicit-key
            + std::string(257, 'k') + " = /k\n"      // 7 key-too-long
            "rel = pages/x.html\n"                   // 8 relative-address
            "tabbed = https://t.example/\tcomment\n" // 9 value-cut
            "empty =\n"                              // 10 value-next-line
            "next = https://next.example/\n"         // 11
            "sp ace = /s\n"                          // 12 encoded-key
            "long = /" + std::string(350, 'v') + "\n" // 13 value-too-long
            "= lone\n"                               // 14 no key: no entry
            + longLine + "\n"                        // 15
            "late = /late\n"                         // 16 after-long-line
            "oldnews = /again\n");                   // 17 shadowed (found before the long line)
  const ProcessResult run = Hoptool({"check", table});
  EXPECT_EQ(run.status, 1) << run.err;
  const std::string t = table + ":";
  const std::vector<std::string> expected = {
      t + "2: error: shadowed: 'news' is found first on line 1, inside the longer key 'oldnews', "
          "and answers 'https://old.example/'",
      t + "3: error: shadowed: 'NEWS' is found first on line 1, inside the longer key 'oldnews', "
          "and answers 'https://old.example/'",
      t + "5: error: shadowed: 'docs' is found first on line 4, inside its address, and answers "
          "'1'",
      t + "6: error: explicit-key: 'web.site' holds a full stop: such a query is sent on as an "
          "address and never looked up",
      t + "7: error: key-too-long: the key has 257 bytes; a key of more than 256 is never looked "
          "up",
      t + "8: warning: relative-address: 'pages/x.html' has no scheme (such as https:) and does "
          "not start with '/': browsers take it relative to the program's own URL",
      t + "9: warning: value-cut: the address ends at a byte 9 (a tab) in column 28: 'comment' "
          "is not part of it",
      t + "10: warning: value-next-line: nothing follows '=' on this line: line 11's text, "
          "'next = https://next.example/', becomes the address",
      t + "12: warning: encoded-key: 'sp ace' holds a byte that browsers send percent-encoded "
          "(a space, \", #, %, ', <, >, or a byte of 127 or more); linkhop does not decode, so no "
          "link typed in a browser reaches it",
      t + "13: warning: value-too-long: the address has 351 bytes; only the first 300 are sent",
      t + "16: error: after-long-line: stands after line 15, which has 5000 bytes: a line of "
          "more than 4094 ends every search",
      t + "17: error: shadowed: 'oldnews' is found first on line 1, as the same key, and answers "
          "'https://old.example/'",
      table + ": 15 entries, 7 errors, 5 warnings",
  };
  EXPECT_EQ(Lines(run.out), expected);

  const ProcessResult json = Hoptool({"check", "--json", table});
  EXPECT_EQ(json.status, 1);
  nlohmann::ordered_json findings = nlohmann::ordered_json::parse(json.out, nullptr, false);
  ASSERT_TRUE(findings.is_array()) << json.out;
  ASSERT_EQ(findings.size(), expected.size() - 1);
  EXPECT_EQ(findings[0].dump(),
            R"({"line":2,"severity":"error","kind":"shadowed","key":"news","message":"'news' is )"
            R"(found first on line 1, inside the longer key 'oldnews', and answers )"
            R"('https://old.example/'","by_line":1})");
  EXPECT_EQ(findings[10]["kind"], "after-long-line");
  EXPECT_EQ(findings[10]["by_line"], 15);
  EXPECT_FALSE(findings[5].contains("by_line")) << "only shadowed and after-long-line name one";
}

// The sample table stays clean; warnings alone exit 0; what is no table is
// refused with the file and the reason; bad usage is status 2.
TEST(HoptoolCheckTest, ExitStatuses) {
  TempDir dir;
  ProcessResult run = Hoptool({"check", std::string(LINKHOP_SOURCE_DIR) + "/hopdata/config.txt"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find(" entries, 0 errors, 0 warnings\n"), std::string::npos) << run.out;

  WriteFile(dir / "warned.txt", "a = relative\nb = /ok\n");
  run = Hoptool({"check", dir / "warned.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("2 entries, 0 errors, 1 warning\n"), std::string::npos) << run.out;

  const struct {
    std::vector<std::string> args;
    std::string err;  // a part of standard error
  } refused[] = {
      {{"check", dir / "missing.txt"}, dir / "missing.txt: No such file or directory"},
      {{"check", dir.path()}, dir.path() + ": Is a directory"},
      {{"lookup", dir / "missing.txt", "news"}, dir / "missing.txt: No such file or directory"},
      {{"check", "--bogus", dir / "warned.txt"}, "--bogus"},
      // Without TABLE, the installed program's table, which a build tree lacks.
      {{"check"}, "check: no TABLE given, and the installed program's own table "},
      {{"lookup", "news"}, "lookup: no TABLE given"},
      {{"lookup"}, "lookup: KEY is missing (hoptool lookup [TABLE] KEY)"},
      {{"add"}, "add: KEY and ADDRESS are missing (hoptool add [TABLE] KEY ADDRESS)"},
      {{"add", "news"}, "add: ADDRESS is missing"},
      {{"import"}, "import: FILE is missing"},
      {{"lookup", "no-such-site", "news"}, "no-such-site: no such table here, and no site of that name"},
      {{"frobnicate"}, "no command named 'frobnicate'"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    run = Hoptool(c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  for (const char *command : {"check", "lookup"}) {
    run = Hoptool({command, "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Exit status"), std::string::npos) << run.out;
  }
}

// Tables that are hardly tables: findings or nothing, never a crash.
TEST(HoptoolCheckTest, BrokenTablesGiveFindingsOrNothing) {
  TempDir dir;
  std::mt19937 random(99);
  std::string junk;
  for (int i = 0; i < 20000; i++) junk += (char)(random() % 256);
  const std::string cases[] = {
      "",
      std::string("a\0b = /x\n\0\0= y\n", 15),
      junk,
      "no line end = /x",
      std::string(10000, '='),
      "a = /x\x1A" "b = /y\n",
      "\r\r\r=\r\n=\r\n",
      std::string(70000, 'z') + "=" + std::string(70000, 'y'),
  };
  for (const auto &bytes : cases) {
    SCOPED_TRACE(bytes.size());
    WriteFile(dir / "t.txt", bytes);
    for (const char *json : {"", "--json"}) {
      ProcessResult run = Hoptool(*json ? std::vector<std::string>{"check", json, dir / "t.txt"}
                                        : std::vector<std::string>{"check", dir / "t.txt"});
      EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << " " << run.err;
      if (*json) {
        EXPECT_TRUE(Json::parse(run.out, nullptr, false).is_array()) << run.out.substr(0, 200);
      }
    }
  }
}

// ---- lookup: exactly what the program answers -----------------------------------

// Each key through hoptool lookup and through linkhop itself, beside the
// same table: the same address (or 404), and the line that gives it.
TEST(HoptoolLookupTest, AnswersAsTheProgram) {
  TempDir dir;
  std::string program = InstallProgram(dir);
  const std::string table = dir / "cgi-bin/hopdata/config.txt";
  WriteFile(table, "oldnews = https://old.example/\r\nnews = https://n.example/\n"
                   "blank =\n\nfar = https://far.example/ a b\n" + std::string(300, 'y') +
                       "= /y\n");
  const struct {
    std::string key;
    std::string out;  // standard output of lookup
    int status;
  } cases[] = {
      {"news", "https://old.example/\n" + table + ":1\n", 0},
      {"NEWS", "https://old.example/\n" + table + ":1\n", 0},
      {"far", "https://far.example/ a b\n" + table + ":5\n", 0},
      {"blank", "far = https://far.example/ a b\n" + table + ":3\n", 0},
      {"weather", "", 1},
      {"web.site", "web.site\n", 0},
      {"a.b\tc", "a.b\n", 0},
      {"news\tx", "https://old.example/\n" + table + ":1\n", 0},
      {std::string(300, 'y'), "", 1},
      {std::string(1024, 'n'), "", 1},
  };
  // The same table, then again grown past the size worth an index (filler
  // after its entries), with its index written by hoptool index: answered
  // through it, by hoptool and by the program, as it was scanned.
  const std::string filler = [] {
    std::string text;
    while (text.size() < 70000) text += std::string(63, 'z') + "\n";
    return text;
  }();
  for (int indexed = 0; indexed < 2; indexed++) {
    if (indexed) {
      WriteFile(table, ReadFile(table) + filler);
      ProcessResult checked = Hoptool({"check", table});
      EXPECT_NE(checked.out.find(table + ": warning: index-missing: "), std::string::npos)
          << checked.out;
      ProcessResult written = Hoptool({"index", table});
      EXPECT_EQ(written.status, 0) << written.err;
      ASSERT_TRUE(FileExists(dir / "cgi-bin/hopdata/config.idx"));
      checked = Hoptool({"check", table});
      EXPECT_EQ(checked.out.find("index-"), std::string::npos) << checked.out;
    }
    for (const auto &c : cases) {
      SCOPED_TRACE(c.key.substr(0, 20) + (indexed ? " indexed" : ""));
      ProcessResult looked = Hoptool({"lookup", table, c.key});
      EXPECT_EQ(looked.out, c.out);
      EXPECT_EQ(looked.status, c.status) << looked.err;
      ProcessResult answered =
          RunProcess(program, {}, RequestEnv({{"QUERY_STRING", c.key}}), "", dir / "cgi-bin");
      std::string address = c.out.substr(0, c.out.find('\n'));
      if (c.key.size() >= 1024) {
        EXPECT_EQ(answered.out, kTooLongPage);
      } else {
        EXPECT_EQ(answered.out, Answered(c.status == 0 ? address : ""));
      }
    }
  }
  // A hand edit after it: the index is another version's.
  WriteFile(table, ReadFile(table) + "tail = /t\n");
  ProcessResult stale = Hoptool({"check", table});
  EXPECT_NE(stale.out.find(table + ": warning: index-stale: "), std::string::npos) << stale.out;
  EXPECT_EQ(Hoptool({"lookup", table, "tail"}).out, "/t\n" + table + ":1101\n");
  // An entry with nothing after '=' at the end: its line, and no address.
  WriteFile(table, "news = /n\nlast =");
  ProcessResult looked = Hoptool({"lookup", table, "last"});
  EXPECT_EQ(looked.out, "\n" + table + ":2\n");
  EXPECT_EQ(looked.status, 1);
}

// ---- check against lookup over random tables ----------------------------------

// Random tables of short keys that contain one another, keys inside
// addresses, letters in both cases, CR LF, a byte 0x1A now and then, and
// lines too long for the lookup: for every entry, check says shadowed
// exactly when lookup stops on another line, and after-long-line exactly
// when lookup stops nowhere, the entry standing after a line too long.
TEST(HoptoolCheckTest, AgreesWithLookupOverRandomTables) {
  const uint32_t seed = 20261207;
  std::mt19937 random(seed);
  TempDir dir;
  const std::string table = dir / "t.txt";
  int entriesChecked = 0, shadowed = 0, afterLong = 0;
  for (int round = 0; round < 120; round++) {
    const std::string text = RandomTable(random);
    WriteFile(table, text);
    ProcessResult run = Hoptool({"check", "--json", table});
    ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
    Json findings = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(findings.is_array());
    std::map<int, std::map<std::string, int>> found;  // line -> kind -> by_line
    for (const Json &f : findings) found[f["line"]][f["kind"]] = f.value("by_line", 0);

    // The entries as the program reads the table.
    std::string read;
    for (char c : text.substr(0, text.find('\x1A')))
      if (c != '\r') read += c;
    int longLine = 0;  // 1-based, 0: none
    for (size_t start = 0, line = 1; start <= read.size() && !longLine; line++) {
      size_t end = read.find('\n', start);
      if (end == std::string::npos) end = read.size();
      if (end - start > 4094) longLine = (int)line;
      start = end + 1;
    }
    for (const auto &[line, key] : TableKeys(text)) {
      ProcessResult looked = Hoptool({"lookup", table, key});
      std::vector<std::string> out = Lines(looked.out);
      int stopsAt = 0;
      if (out.size() == 2) stopsAt = std::stoi(out[1].substr(out[1].rfind(':') + 1));
      SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) +
                   " line " + std::to_string(line) + " key '" + key + "'");
      bool isShadowed = found[line].count("shadowed") > 0;
      EXPECT_EQ(isShadowed, stopsAt != 0 && stopsAt != line) << text;
      if (isShadowed) {
        EXPECT_EQ(found[line]["shadowed"], stopsAt);
      }
      bool isAfterLong = found[line].count("after-long-line") > 0;
      EXPECT_EQ(isAfterLong, stopsAt == 0 && longLine && line > longLine) << text;
      if (isAfterLong) {
        EXPECT_EQ(found[line]["after-long-line"], longLine);
      }
      entriesChecked++;
      shadowed += isShadowed;
      afterLong += isAfterLong;
    }
  }
  // The tables are built to hold both kinds, often.
  EXPECT_GT(entriesChecked, 500);
  EXPECT_GT(shadowed, 100);
  EXPECT_GT(afterLong, 20);
}

}  // namespace
