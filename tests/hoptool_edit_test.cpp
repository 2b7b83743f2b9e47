// hoptool add, set, rm and import, run as the webmaster runs them: the
// table's bytes after each edit, every refusal, random edits held against
// what hoptool lookup answers before and after, and edits that fail or race.
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "table_edit.h"
#include "table_model.h"
#include "test_support.h"

namespace {

const std::string kTable = "TABLE";  // stands for the table's path in args

// The hoptool under test: this build's, or, with HOPTOOL_TEST_EXE, the
// Windows build's, run under Wine with the same inputs and expectations.
std::string Binary() {
  const char *exe = getenv("HOPTOOL_TEST_EXE");
  return exe && *exe ? exe : HOPTOOL_BINARY;
}
bool UnderWine() {
  const char *exe = getenv("HOPTOOL_TEST_EXE");
  return exe && *exe;
}

ProcessResult Hoptool(std::vector<std::string> args, const std::string &table,
                      const std::string &input = "", const Launch &launch = Launch()) {
  for (std::string &a : args)
    if (a == kTable) a = table;
  return RunProcess(Binary(), args, {}, input, "", launch);
}

// The names in the folder that are not the ones given: a temporary file
// left behind shows here.
std::vector<std::string> Others(const std::string &dir, std::set<std::string> known) {
  std::vector<std::string> others;
  for (const std::string &name : Listing(dir))
    if (!known.count(name)) others.push_back(name);
  return others;
}

// ---- What each command writes -------------------------------------------------

TEST(HoptoolEditTest, WritesExactlyTheChange) {
  const struct {
    const char *name;
    std::string before;
    std::vector<std::string> args;
    std::string after;
    std::string input = "";
  } cases[] = {
      {"add at the end", "a = /a\n", {"add", kTable, "b", "/b"}, "a = /a\nb = /b\n"},
      {"add before the line that catches the key", "oldnews = /o\nz = /z\n",
       {"add", kTable, "news", "/n"}, "news = /n\noldnews = /o\nz = /z\n"},
      {"add in the table's CR LF", "a = /a\r\nb = /b\r\n", {"add", kTable, "c", "/c"},
       "a = /a\r\nb = /b\r\nc = /c\r\n"},
      {"add, still no final line end", "a = /a", {"add", kTable, "b", "/b"}, "a = /a\nb = /b"},
      {"add before the end of the data", "a = /a\n\x1A" "b = /b\n", {"add", kTable, "c", "/c"},
       "a = /a\nc = /c\n\x1A" "b = /b\n"},
      {"add to an empty table", "", {"add", kTable, "a", "https://a.example/"},
       "a = https://a.example/\n"},
      {"set keeps the line's layout", "  A\t=  /old\tnote\r\nb = /b\r\n",
       {"set", kTable, "a", "/new"}, "  A\t=  /new\tnote\r\nb = /b\r\n"},
      {"set where the address was missing", "a =\nb = /b\n", {"set", kTable, "a", "/x"},
       "a = /x\nb = /b\n"},
      {"set to the same address", "a = /a\n", {"set", kTable, "a", "/a"}, "a = /a\n"},
      {"rm", "a = /a\nb = /b\nc = /c\n", {"rm", kTable, "B"}, "a = /a\nc = /c\n"},
      {"rm the last line, still no final line end", "a = /a\r\nb = /b", {"rm", kTable, "b"},
       "a = /a"},
      {"rm --force", "news = /n\noldnews = /o\n", {"rm", "--force", kTable, "news"},
       "oldnews = /o\n"},
      {"add --force, an address that is no web address", "", {"add", "--force", kTable, "w",
       "notaurl"}, "w = notaurl\n"},
      {"rm --force, another key's answer changing", "oldnews = /o\nnews = /n\n",
       {"rm", "--force", kTable, "oldnews"}, "news = /n\n"},
      {"import adds and sets", "a = /a\n", {"import", kTable, "-"}, "a = /a2\nnew = /n,1\n",
       "key,address\r\nnew,\"/n,1\"\r\n\"a\",/a2\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string table = dir / "config.txt";
    WriteFile(table, c.before);
    ProcessResult run = Hoptool(c.args, table, c.input);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFile(table), c.after);
    // The index beside it, when anything changed.
    const std::vector<std::string> files =
        c.after == c.before ? std::vector<std::string>{"config.txt"}
                            : std::vector<std::string>{"config.idx", "config.txt"};
    EXPECT_EQ(Listing(dir.path()), files);
  }
}

// --dry-run prints a unified diff and leaves the table alone.
TEST(HoptoolEditTest, DryRunPrintsTheDiff) {
  TempDir dir;
  const std::string table = dir / "t.txt";
  const std::string before = "one = /1\ntwo = /2\nthree = /3\nfour = /4\nfive = /5\nsix = /6\n"
                             "oldnews = /o";
  WriteFile(table, before);
  ProcessResult run = Hoptool({"add", "--dry-run", kTable, "news", "/n"}, table);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "--- " + table + "\n+++ " + table + "\n@@ -4,4 +4,5 @@\n four = /4\n"
                     " five = /5\n six = /6\n+news = /n\n oldnews = /o\n"
                     "\\ No newline at end of file\n");
  run = Hoptool({"rm", "--dry-run", kTable, "oldnews"}, table);
  EXPECT_EQ(run.out, "--- " + table + "\n+++ " + table + "\n@@ -3,5 +3,4 @@\n three = /3\n"
                     " four = /4\n five = /5\n-six = /6\n-oldnews = /o\n\\ No newline at end of file\n"
                     "+six = /6\n\\ No newline at end of file\n");
  EXPECT_EQ(ReadFile(table), before);
}

// ---- Every refusal, one case each -----------------------------------------------

TEST(HoptoolEditTest, Refusals) {
  const std::string longKey(257, 'k'), longAddress = "/" + std::string(300, 'v');
  const struct {
    std::string table;
    std::vector<std::string> args;
    std::string err;  // the first line of standard error, after "TABLE"
    std::string input = "";
  } cases[] = {
      {"News = /n\n", {"add", kTable, "news", "/x"}, ":1: error: has-entry: 'news' has an entry "
       "of its own on this line; change its address with hoptool set"},
      {"", {"add", kTable, "web.site", "/x"}, ": error: bad-key: 'web.site' holds a full stop: "
       "such a query is sent on as an address and never looked up"},
      {"", {"add", kTable, "", "/x"}, ": error: bad-key: the key is empty"},
      {"", {"add", kTable, longKey, "/x"}, ": error: bad-key: the key has 257 bytes; a key of "
       "more than 256 is never looked up"},
      {"", {"add", kTable, "a b", "/x"}, ": error: bad-key: 'a b' holds a space or a byte below "
       "32: no visitor's query asks for it"},
      {"", {"add", kTable, "a=b", "/x"}, ": error: bad-key: 'a=b' holds '=': its line's key "
       "would end there"},
      {"", {"add", kTable, "a", ""}, ": error: bad-address: the address is empty"},
      {"", {"add", kTable, "a", longAddress}, ": error: bad-address: the address has 301 bytes; "
       "only 300 are sent"},
      {"", {"add", kTable, "a", "/x\ty"}, ": error: bad-address: '/x\\x09y' holds a byte below "
       "32, where an address ends"},
      {"", {"add", kTable, "wiki", "notaurl"}, ": error: not-web-address: 'notaurl' has no "
       "scheme (such as https:) and does not start with '/': browsers take it relative to the "
       "program's own URL; --force writes it anyway"},
      {"", {"add", kTable, "wiki", "htp:/norvale.example"}, ": error: not-web-address: "
       "'htp:/norvale.example' is not an http, https or mailto address: a browser refuses it, "
       "or runs it; --force writes it anyway"},
      {"a = /a\n", {"set", kTable, "a", "javascript:alert(1)"}, ": error: not-web-address: "
       "'javascript:alert(1)' is not an http, https or mailto address: a browser refuses it, "
       "or runs it; --force writes it anyway"},
      {"", {"add", kTable, "a", "HTTPS:///x"}, ": error: not-web-address: 'HTTPS:///x' names "
       "no host: write it as https://HOST/...; --force writes it anyway"},
      {"", {"import", kTable, "-"}, ":1: error: not-web-address: key 'a': '//evil.example/' "
       "names another host without a scheme: write it as https://HOST/...; --force writes it "
       "anyway", "a,//evil.example/\n"},
      {"a =\nz = /?k=1\n", {"add", kTable, "k", "/k"}, ":1: error: changes-other: 'a' answers "
       "'z = /?k=1' from line 1 today; after this change it would answer 'k = /k' from line 1"},
      {"a = /a\n", {"set", kTable, "b", "/b"}, ": error: no-entry: 'b' has no entry; add one "
       "with hoptool add"},
      {"a = /a\nb = /b\n", {"set", kTable, "a", "/x b=1"}, ":2: error: changes-other: 'b' "
       "answers '/b' from line 2 today; after this change it would answer '1' from line 1"},
      {"oldnews = /o\n", {"set", kTable, "news", "/n"}, ":1: error: changes-other: 'oldnews' "
       "answers '/o' from line 1 today; after this change it would answer '/n' from line 1"},
      {"oldnews = /o\nnews = /n\n", {"set", kTable, "news", "/x"}, ":1: error: changes-other: "
       "'news' is caught first by this line ('oldnews = /o'), so its own entry on line 2 is "
       "never reached: move line 2 above this one, or remove this line, then set 'news' again"},
      {"a = /a\n", {"rm", kTable, "b"}, ": error: no-entry: 'b' has no entry to remove"},
      {"news = /n\noldnews = /o\n", {"rm", kTable, "news"}, ":2: error: still-answered: without "
       "line 1, 'news' would be answered by this line ('oldnews = /o') with '/o'; remove it "
       "anyway with --force"},
      {"a = /a\n", {"import", kTable, "-"}, ":3: error: bad-key: the key is empty",
       "b,/b\nc,/c\n,/x\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2].substr(0, 20) + " on '" + c.table + "'");
    TempDir dir;
    const std::string table = dir / "t.txt";
    WriteFile(table, c.table);
    ProcessResult run = Hoptool(c.args, table, c.input);
    EXPECT_EQ(run.status, 1);
    const std::string where = c.args[0] == "import" ? "(standard input)" : table;
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')), where + c.err);
    EXPECT_NE(run.err.find("hoptool: " + table + ": nothing changed\n"), std::string::npos);
    EXPECT_EQ(ReadFile(table), c.table);
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"t.txt"});
  }
}

// An import lists every reason, and writes nothing when any pair is refused;
// what is no table or no CSV is status 2.
TEST(HoptoolEditTest, ImportIsWholeOrNothing) {
  TempDir dir;
  const std::string table = dir / "t.txt", pairs = dir / "pairs.csv";
  WriteFile(table, "a = /a\nx = /?d=1\n");
  WriteFile(pairs, "key,address\nnew,/n\nweb.site,/w\nd,/d\nb,\n");
  ProcessResult run = Hoptool({"import", kTable, pairs}, table);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, pairs + ":3: error: bad-key: 'web.site' holds a full stop: such a query is "
                     "sent on as an address and never looked up\n" +
                     pairs + ":5: error: bad-address: key 'b': the address is empty\n"
                     "hoptool: " + table + ": nothing changed\n");
  EXPECT_EQ(ReadFile(table), "a = /a\nx = /?d=1\n");

  const struct {
    std::vector<std::string> args;
    std::string input, err;
  } trouble[] = {
      {{"import", kTable, "-"}, "a,\"/unended\n",
       "hoptool: (standard input): not CSV: the input ends inside a quoted field"},
      {{"import", kTable, "-"}, "key,address\nb,/b\"c\n",
       "hoptool: (standard input):2: not CSV: a quote inside a field that does not start with one"},
      {{"import", kTable, "-"}, "\"b\"\"\"x,/b\n",
       "hoptool: (standard input):1: not CSV: a byte after a closing quote"},
      {{"import", kTable, dir / "missing.csv"}, "", dir / "missing.csv: No such file"},
      {{"add", dir / "missing.txt", "a", "/a"}, "", dir / "missing.txt: No such file"},
      {{"set", dir.path(), "a", "/a"}, "", dir.path() + ": Is a directory"},
      {{"add", dir / "huge.txt", "a", "/a"}, "", dir / "huge.txt: too large (over 2 GB)"},
      {{"index", dir / "huge.txt"}, "", dir / "huge.txt: too large (over 2 GB)"},
  };
  // Sparse: past the 32-bit offsets of a table and its index, yet no room taken.
  WriteFile(dir / "huge.txt", "");
  ASSERT_EQ(truncate((dir / "huge.txt").c_str(), (off_t)0x80000000), 0);
  for (const auto &c : trouble) {
    run = Hoptool(c.args, table, c.input);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  EXPECT_EQ(ReadFile(table), "a = /a\nx = /?d=1\n");

  // What the strict reader takes: quoted fields holding commas, doubled
  // quotes and a line end (refused as an address, on the line where its
  // record ends), CR LF line ends, an empty line.
  WriteFile(pairs, "key,address\r\n\"q\",\"/a,b\"\r\n\r\n\"w\",\"/x?\"\"y\"\"\"\nn,\"/1\n2\"\n");
  run = Hoptool({"import", kTable, pairs}, table);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(pairs + ":6: error: bad-address: key 'n': "), std::string::npos) << run.err;
  // A record of other than two fields is refused with the rest.
  WriteFile(pairs, "key,address\nx,/x,more\ny\n");
  run = Hoptool({"import", kTable, pairs}, table);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, pairs + ":2: error: bad-record: 3 fields; a line holds key,address\n" + pairs +
                         ":3: error: bad-record: 1 field; a line holds key,address\n"
                         "hoptool: " + table + ": nothing changed\n");
  WriteFile(pairs, "key,address\r\n\"q\",\"/a,b\"\r\n\r\n\"w\",\"/x?\"\"y\"\"\"\n");
  run = Hoptool({"import", kTable, pairs}, table);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(table), "a = /a\nx = /?d=1\nq = /a,b\nw = /x?\"y\"\n");
}

// The file itself: a symbolic link stays a link, the owner and mode stay;
// an editor's swap or lock file beside it, or beside the file it leads to,
// refuses the edit (its save would undo it), and --force edits anyway,
// leaving the swap file alone.
TEST(HoptoolEditTest, KeepsTheFileItself) {
  if (UnderWine()) GTEST_SKIP() << "owners, modes and symbolic links are POSIX's";
  TempDir dir;
  MakeDir(dir / "real");
  const std::string target = dir / "real/config.txt";
  WriteFile(target, "a = /a\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 1234, 4321), 0);
  }
  std::filesystem::create_symlink("real/config.txt", dir / "config.txt");
  for (const char *holder : {".config.txt.swp", ".config.txt.swo", ".#config.txt", "#config.txt#"}) {
    for (const std::string &folder : {dir.path(), dir / "real"}) {
      SCOPED_TRACE(folder + "/" + holder);
      WriteFile(folder + "/" + holder, "swap");
      for (const char *command : {"add", "set", "rm"}) {
        std::vector<std::string> args = {command, kTable, "a"};
        if (std::string(command) != "rm") args.push_back("/z");
        ProcessResult refused = Hoptool(args, dir / "config.txt");
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find(": error: editor-open: " + folder + "/" + holder +
                                   " says an editor has the table open"),
                  std::string::npos)
            << refused.err;
      }
      std::filesystem::remove(folder + "/" + holder);
    }
  }
  EXPECT_EQ(ReadFile(target), "a = /a\n");
  WriteFile(dir / "real/.config.txt.swp", "swap");
  ProcessResult run = Hoptool({"add", "--force", kTable, "b", "/b"}, dir / "config.txt");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "config.txt"));
  EXPECT_EQ(ReadFile(target), "a = /a\nb = /b\n");
  EXPECT_EQ(ReadFile(dir / "real/.config.txt.swp"), "swap");
  // The index beside the link, where the program that reads the link looks.
  EXPECT_EQ(Listing(dir / "real"), (std::vector<std::string>{".config.txt.swp", "config.txt"}));
  EXPECT_TRUE(FileExists(dir / "config.idx"));
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
  }
}

// ---- The table's index ------------------------------------------------------------

// Whatever stands at the index's place before an edit (nothing, the table's
// own, a damaged file, another table's, the table's older self's), the
// edit changes the table exactly and leaves the index of the new table;
// hoptool index leaves an index that is the table's as it is, and --force
// writes it anew.
TEST(HoptoolEditTest, EveryEditLeavesTheTablesOwnIndex) {
  TempDir dir;
  const std::string table = dir / "t.txt", index = dir / "t.idx";
  std::string base;
  // Large enough to be worth its index (check says nothing of a small
  // table's).
  for (int i = 0; i < 8000; i++) base += "k" + std::to_string(i) + " = /" + std::to_string(i) + "\n";
  ASSERT_GE(base.size(), (size_t)TABLE_INDEX_WORTH);
  auto indexFindings = [&] {
    const std::string out = Hoptool({"check", kTable}, table).out;
    return out.find("index-") == std::string::npos ? std::string() : out;
  };
  WriteFile(table, "other = /o\n" + base);
  ASSERT_EQ(Hoptool({"index", kTable}, table).status, 0);
  const std::string foreign = ReadFile(index);
  WriteFile(table, base);
  ASSERT_EQ(Hoptool({"index", kTable}, table).status, 0);
  const std::string own = ReadFile(index);
  std::string damaged = own;
  damaged[damaged.size() / 2] ^= 0x40;
  const struct {
    const char *name;
    std::string before;  // the index file before the edit; empty: none
  } cases[] = {
      {"none", ""}, {"the table's own", own}, {"damaged", damaged}, {"another table's", foreign},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(table, base);
    std::filesystem::remove(index);
    if (!c.before.empty()) WriteFile(index, c.before);
    ProcessResult run = Hoptool({"add", kTable, "fresh", "/fresh"}, table);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(table), base + "fresh = /fresh\n");
    EXPECT_EQ(indexFindings(), "");
    EXPECT_EQ(Hoptool({"lookup", kTable, "FRESH"}, table).out, "/fresh\n" + table + ":8001\n");
    EXPECT_EQ(Hoptool({"lookup", kTable, "k7999"}, table).out, "/7999\n" + table + ":8000\n");
    run = Hoptool({"rm", kTable, "k0"}, table);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(indexFindings(), "");
  }
  // The older self's index: the table edited by hand since.
  WriteFile(table, base + "hand = /h\n");
  EXPECT_NE(indexFindings().find("index-stale"), std::string::npos);
  struct stat first {}, again {}, forced {};
  ASSERT_EQ(Hoptool({"index", kTable}, table).status, 0);
  EXPECT_EQ(indexFindings(), "");
  ASSERT_EQ(stat(index.c_str(), &first), 0);
  ASSERT_EQ(Hoptool({"index", kTable}, table).status, 0);
  ASSERT_EQ(stat(index.c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, first.st_ino) << "an index that is the table's is left as it is";
  ASSERT_EQ(Hoptool({"index", "--force", kTable}, table).status, 0);
  ASSERT_EQ(stat(index.c_str(), &forced), 0);
  EXPECT_NE(forced.st_ino, first.st_ino);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"t.idx", "t.txt"}));
}

// ---- Random edits against lookup -------------------------------------------------

// On random tables of the hard kinds, random add, set and rm: after each,
// hoptool lookup of every key answers what the command promised for its
// key and what it answered before for every other; or the command was
// refused and the table is byte for byte as it was.
TEST(HoptoolEditTest, RandomEditsKeepEveryOtherAnswer) {
  const uint32_t seed = 20261208;
  std::mt19937 random(seed);
  auto pick = [&](size_t n) { return (size_t)(random() % n); };
  static const char *const kWords[] = {"news", "ne", "ews", "a", "ab", "b", "n", "Aa", "zz"};
  TempDir dir;
  const std::string table = dir / "t.txt";
  int applied[3] = {0, 0, 0}, refused = 0;
  for (int round = 0; round < 14; round++) {
    // CR LF and LF lines, and now and then lone carriage returns, which the
    // lookup passes over inside a key or an address.
    std::string bytes = RandomTable(random);
    for (size_t i = 0, n = pick(3) ? 0 : 1 + pick(3); i < n && !bytes.empty(); i++)
      bytes.insert(pick(bytes.size()), "\r");
    WriteFile(table, bytes);
    for (int step = 0; step < 4; step++) {
      const std::string before = ReadFile(table);
      const auto keys = TableKeys(before);
      const int kind = (int)pick(3);
      std::string key = keys.empty() || pick(2) ? std::string(kWords[pick(9)]) + kWords[pick(9)]
                                                : keys[pick(keys.size())].second;
      std::string address = pick(3) ? "/" + std::to_string(round) + "-" + std::to_string(step)
                                    : "/p?" + std::string(kWords[pick(9)]) + "=1";
      std::vector<std::string> args = {kind == 0 ? "add" : kind == 1 ? "set" : "rm", kTable, key};
      if (kind < 2) args.push_back(address);
      std::set<std::string> asked = {key};
      for (const auto &k : keys) asked.insert(k.second);
      std::map<std::string, std::pair<int, std::string>> was;  // key -> status, first line
      auto look = [&](const std::string &k) {
        ProcessResult r = Hoptool({"lookup", kTable, k}, table);
        return std::make_pair(r.status, r.out.substr(0, r.out.find('\n')));
      };
      for (const std::string &k : asked) was[k] = look(k);

      ProcessResult run = Hoptool(args, table);
      SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) + ": " +
                   args[0] + " '" + key + "' '" + address + "' on\n" + before);
      ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
      if (run.status == 1) {
        EXPECT_EQ(ReadFile(table), before);
        refused++;
        continue;
      }
      const std::string after = ReadFile(table);
      applied[kind] += after != before;
      if (kind == 1 && after != before) {
        // set changes the address and nothing after it: the bytes that
        // differ lie inside one line, and its line end stays as it was.
        size_t p = 0, q = 0;
        while (p < before.size() && p < after.size() && before[p] == after[p]) p++;
        while (q < before.size() - p && q < after.size() - p &&
               before[before.size() - 1 - q] == after[after.size() - 1 - q])
          q++;
        const std::string removed = before.substr(p, before.size() - p - q);
        EXPECT_EQ(removed.find('\n'), std::string::npos) << after;
        EXPECT_FALSE(!removed.empty() && removed.back() == '\r' && q > 0 &&
                     after[after.size() - q] == '\n')
            << "the line lost its carriage return:\n" << after;
      }
      for (const std::string &k : asked) {
        auto now = look(k);
        if (strcasecmp(k.c_str(), key.c_str()) != 0) {
          EXPECT_EQ(now, was[k]) << "key '" << k << "'\n" << ReadFile(table);
        } else if (kind < 2) {
          EXPECT_EQ(now, std::make_pair(0, address)) << ReadFile(table);
        } else {
          EXPECT_EQ(now.first, 1) << ReadFile(table);
        }
      }
    }
  }
  // Each kind is applied, and refused, often enough to mean something.
  EXPECT_GT(applied[0], 4);
  EXPECT_GT(applied[1], 2);
  EXPECT_GT(applied[2], 2);
  EXPECT_GT(refused, 4);
}

// ---- The draft against the whole-file model ---------------------------------------

// Random changes of whole lines, many at a time and some undone, laid over a
// random table's index: after each, every key the model is asked for gets
// the model's answer, from the line a draft built afresh from the bytes
// names, and the index the draft would write answers the same; a key's own
// line is the first whose key it is.
TEST(HoptoolDraftTest, AgreesWithTheWholeFileModelAfterEveryChange) {
  const uint32_t seed = 20261209;
  std::mt19937 random(seed);
  auto pick = [&](size_t n) { return (size_t)(random() % n); };
  static const char *const kWords[] = {"news", "new", "ews", "ne", "a", "aa", "b", "n", "Ab"};
  auto word = [&] { return std::string(kWords[pick(9)]) + (pick(3) ? "" : kWords[pick(9)]); };
  // Lines of the kinds that reach across line ends: empty, white only, a
  // key without '=', '=' without a key, an empty address, a key in a query.
  auto line = [&]() -> std::string {
    switch (pick(12)) {
      case 0: return "";
      case 1: return std::string(1 + pick(3), ' ');
      case 2: return word();
      case 3: return "=" + (pick(2) ? std::string(" /") + word() : std::string());
      case 4: return word() + " =";
      case 5: return "x = /?" + word() + "=1";
      case 6: return "  " + word() + "\t= /" + word();
      case 7: return word() + " " + word() + "=/" + word();
      default: return word() + " = /" + word();
    }
  };
  std::vector<std::string> keys;
  for (const char *a : kWords) {
    keys.push_back(a);
    keys.push_back(std::string(" ") + a);
    for (const char *b : kWords) keys.push_back(std::string(a) + b);
  }
  int checked = 0, undone = 0, started = 0;
  for (int round = 0; round < 160; round++) {
    std::string bytes = RandomTable(random);
    std::unique_ptr<hoptool::EditBase> base(new hoptool::EditBase);
    int why;
    hoptool::LoadBase("t.txt", bytes, "", nullptr, base.get(), &why);
    hoptool::Draft draft(*base);
    const std::string end = bytes.find("\r\n") != std::string::npos && pick(2) ? "\r\n" : "\n";
    for (int step = 0; step < 12; step++) {
      const hoptool::Draft::Mark mark = draft.Save();
      const std::string before = bytes;
      const size_t lines = draft.Lines();
      const size_t from = pick(lines + 1), to = std::min(lines, from + pick(3));
      std::vector<std::string> written;
      for (size_t i = 0, n = pick(3); i < n; i++) written.push_back(line() + end);
      if (to == lines && !written.empty() && lines > 0 && !draft.EndsWithLineEnd() && pick(2))
        written.back().resize(written.back().size() - end.size());  // still no final line end
      if (!draft.Splice(from, to, written)) {
        started++;
        continue;  // where the search ends would move
      }
      bytes.clear();
      draft.EachRawPiece([&](const char *p, size_t n) { bytes.append(p, n); });
      const bool undo = pick(6) == 0;
      if (undo) {
        draft.Restore(mark);
        std::string raw;
        draft.EachRawPiece([&](const char *p, size_t n) { raw.append(p, n); });
        EXPECT_EQ(raw, before);
        bytes = before;
        undone++;
      }
      // A draft built afresh, and the index this draft would write.
      hoptool::EditBase fresh;
      hoptool::LoadBase("t.txt", bytes, "", nullptr, &fresh, &why);
      hoptool::Draft afresh(fresh);
      std::vector<TableIndexRecord> records;
      draft.Records(&records);
      std::string text;
      draft.EachTextPiece([&](const char *p, size_t n) { text.append(p, n); });
      text.push_back(0);
      TableIndex index{};
      index.text = text.data();
      index.textLength = draft.TextLength();
      index.records = records.data();
      index.recordCount = (uint32_t)records.size();
      std::vector<uint64_t> summaries((size_t)(TableIndexSummaryRoom(index.recordCount) / 8 + 1));
      TableIndexSummarize(&index, summaries.data());
      ASSERT_EQ(records.size(), fresh.index.recordCount) << bytes;
      std::vector<std::string> asked = keys;
      for (const auto &k : TableKeys(bytes)) asked.push_back(k.second);
      for (const std::string &key : asked) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) +
                     " step " + std::to_string(step) + " key '" + key + "' on\n" + bytes);
        const table_model::Answer model = table_model::TableModel(bytes, key);
        const hoptool::Answer a = draft.Ask(key), b = afresh.Ask(key);
        ASSERT_EQ(a.found, model.result == 1);
        ASSERT_EQ(a.value, model.value);
        ASSERT_EQ(a.line, b.line);
        ASSERT_EQ(a.column, b.column);
        char value[TABLE_VALUE_MAX + 1];
        int at;
        ASSERT_EQ(TableIndexLookup(&index, key.c_str(), value, &at), model.result);
        ASSERT_EQ(std::string(value), model.value);
        int own = -1;
        for (const auto &k : TableKeys(bytes))
          if (strcasecmp(k.second.c_str(), key.c_str()) == 0) {
            own = k.first - 1;
            break;
          }
        ASSERT_EQ(draft.OwnEntryLine(key), own);
        checked++;
      }
    }
  }
  EXPECT_GT(checked, 100000);
  EXPECT_GT(undone, 100);
  EXPECT_GT(started, 10);
}

// ---- Edits that fail or race ---------------------------------------------------------

// A table large enough that writing it takes a while.
std::string LargeTable() {
  std::string text;
  for (int i = 0; i < 200000; i++)
    text += "key" + std::to_string(i) + " = https://example.org/some/longer/path/" +
            std::to_string(i) + "\n";
  return text;
}

// Waits until a file other than the table appears in the folder: the new
// table being written. false when the process ended first.
bool AwaitTemporary(const std::string &dir, pid_t pid) {
  for (;;) {
    if (!Others(dir, {"t.txt"}).empty()) return true;
    siginfo_t ended{};
    if (waitid(P_PID, (id_t)pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid)
      return false;
    usleep(200);
  }
}

TEST(HoptoolEditTest, AFailedEditLeavesTheTableAndNoTemporaryFile) {
  if (UnderWine()) GTEST_SKIP() << "signals and other accounts are POSIX's";
  TempDir dir;
  const std::string table = dir / "t.txt";
  const std::string large = LargeTable();

  // Interrupted while the new table is written.
  WriteFile(table, large);
  bool caught = false;
  Launch interrupt;
  interrupt.whileRunning = [&](pid_t pid) {
    caught = AwaitTemporary(dir.path(), pid);
    kill(pid, SIGINT);
  };
  ProcessResult run = Hoptool({"add", kTable, "new", "/n"}, table, "", interrupt);
  EXPECT_TRUE(caught) << "the edit ended before it could be interrupted";
  if (caught) {
    EXPECT_EQ(run.status, -SIGINT) << run.err;
    EXPECT_EQ(ReadFile(table), large);
  }
  EXPECT_EQ(Others(dir.path(), {"t.txt"}), std::vector<std::string>{});

  // Changed by another program, one that takes no lock, while the new table
  // is written: not overwritten.
  WriteFile(table, large);
  Launch change;
  change.whileRunning = [&](pid_t pid) {
    caught = AwaitTemporary(dir.path(), pid);
    kill(pid, SIGSTOP);
    WriteFile(table, "other = /program\n");
    kill(pid, SIGCONT);
  };
  run = Hoptool({"add", kTable, "new", "/n"}, table, "", change);
  EXPECT_TRUE(caught) << "the edit ended before the table could be changed";
  if (caught) {
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "hoptool: " + table + ": changed by another program since it was read; "
                       "not overwritten; the table is unchanged\n");
    EXPECT_EQ(ReadFile(table), "other = /program\n");
  }
  EXPECT_EQ(Others(dir.path(), {"t.txt"}), std::vector<std::string>{});

  // A folder that cannot be written: as an ordinary account when run as
  // root, which writes everywhere.
  WriteFile(table, "a = /a\n");
  ASSERT_EQ(chmod(table.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  std::vector<std::string> args = {"add", table, "b", "/b"};
  if (geteuid() == 0) {
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", HOPTOOL_BINARY});
    run = RunProcess("/usr/bin/setpriv", args, {});
  } else {
    run = Hoptool(args, table);
  }
  chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "hoptool: cannot write beside " + table + ": Permission denied; the table "
                     "is unchanged\n");
  EXPECT_EQ(ReadFile(table), "a = /a\n");
  EXPECT_EQ(Others(dir.path(), {"t.txt"}), std::vector<std::string>{});
}

// Two loops of add on one table at once: every edit of both arrives; an
// edit that cannot have the lock in time gives up and changes nothing.
TEST(HoptoolEditTest, RacingEditsLoseNothing) {
  TempDir dir;
  const std::string table = dir / "t.txt";
  WriteFile(table, "start = /s\n");
  const std::string loop = "for i in $(seq 40); do $0 add \"$1\" \"$2$i-\" \"/$2$i\" || exit 1; done";
  // Under Wine, the loops start the Windows build through its launcher.
  std::map<std::string, std::string> env;
  const std::string wine = WineFor(Binary(), &env);
  const std::string binary = wine.empty() ? Binary() : wine + " " + Binary();
  Launch both;
  both.whileRunning = [&](pid_t first) {
    ProcessResult second = RunProcess("/bin/sh", {"-c", loop, binary, table, "b"}, env);
    EXPECT_EQ(second.status, 0) << second.err;
    (void)first;
  };
  ProcessResult first =
      RunProcess("/bin/sh", {"-c", loop, binary, table, "a"}, env, "", "", both);
  EXPECT_EQ(first.status, 0) << first.err;
  const std::string after = ReadFile(table);
  for (const char *side : {"a", "b"})
    for (int i = 1; i <= 40; i++) {
      const std::string key = side + std::to_string(i) + "-";
      EXPECT_NE(after.find(key + " = /" + side + std::to_string(i) + "\n"), std::string::npos)
          << key;
    }
  EXPECT_EQ(TableKeys(after).size(), 81u);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"t.idx", "t.txt"}));

  // An edit that holds the lock longer than --wait: the next gives up.
  if (UnderWine()) return;  // flock(1) takes the POSIX build's lock, not the Windows one
  Launch held;
  ProcessResult waited;
  held.whileRunning = [&](pid_t) {
    usleep(300 * 1000);  // the holder has taken the lock
    waited = Hoptool({"add", "--wait", "0.2", kTable, "late", "/late"}, table);
  };
  RunProcess("/usr/bin/flock", {dir.path(), "sleep", "1"}, {}, "", "", held);
  EXPECT_EQ(waited.status, 2);
  EXPECT_EQ(waited.err, "hoptool: " + table + ": another edit of this table has held its lock "
                        "for 0.2 s; nothing changed (wait longer with --wait)\n");
  EXPECT_EQ(ReadFile(table), after);
}

// A program reading the table holds it open while an edit would replace
// it (linkhop, on Windows, without sharing the table's deletion): the
// edit waits for it up to --wait, and otherwise gives up saying so,
// leaving the table and no temporary file. On POSIX systems a reader
// never stands in the way.
TEST(HoptoolEditTest, AReaderHoldingTheTableIsWaitedFor) {
  TempDir dir;
  const std::string table = dir / "t.txt";
  WriteFile(table, "a = /a\r\n");
#ifdef HOPTOOL_WINDOWS_HOLD
  const std::string holder = HOPTOOL_WINDOWS_HOLD;  // the Windows build's hold_open.exe
#else
  const std::string holder;
#endif
  const std::string hold = UnderWine() ? holder : "/bin/sh";
  if (hold.empty()) GTEST_SKIP() << "no Windows program to hold the table (hold_open.exe)";
  const std::vector<std::string> holdFor = UnderWine() ? std::vector<std::string>{table, "1500"}
      : std::vector<std::string>{"-c", "exec 3<\"$0\"; echo held; sleep 1.5", table};
  for (const char *wait : {"10", "0"}) {
    SCOPED_TRACE(std::string("--wait ") + wait);
    ProcessResult edit;
    Launch held;
    held.whileRunning = [&](pid_t) {
      usleep(700 * 1000);  // the holder has the table open
      edit = Hoptool({"add", "--wait", wait, kTable, "b", "/b"}, table);
    };
    RunProcess(hold, holdFor, {}, "", "", held);
    if (std::string(wait) == "0" && UnderWine()) {
      EXPECT_EQ(edit.status, 2);
      EXPECT_NE(edit.err.find("(another program holds it open); the table is unchanged"),
                std::string::npos) << edit.err;
      EXPECT_EQ(ReadFile(table), "a = /a\r\n");
    } else {
      EXPECT_EQ(edit.status, 0) << edit.err;
      EXPECT_EQ(ReadFile(table), "a = /a\r\nb = /b\r\n");
      WriteFile(table, "a = /a\r\n");
    }
    std::filesystem::remove(dir / "t.idx");
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"t.txt"});
  }
  // Marked read-only (under Wine: no write permission for anyone): refused,
  // as the system says it is not to be written.
  ASSERT_EQ(chmod(table.c_str(), 0444), 0);
  ProcessResult refused = Hoptool({"add", kTable, "c", "/c"}, table);
  chmod(table.c_str(), 0644);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "hoptool: " + table + ": is read-only; nothing changed (make it writable "
                         "to edit it)\n");
  EXPECT_EQ(ReadFile(table), "a = /a\r\n");
}

}  // namespace
