// Tests for the redirect table lookup of redirector/winmain.cpp: real table
// files in a temporary cgi-bin folder that the command line names as the
// program's own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <filesystem>

#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "table_model.h"
#include "test_support.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "kept.h"
#include "table.h"
#include "tableindex.h"
#include "winmain.h"

#ifdef LINKHOP_INDEX_FILES
#include "table_index.h"
#endif

namespace {

const int kChunk = (int)table_model::kChunk;
const int kReadBlock = 4096 + 8;  // the read buffer with its guard bytes

using table_model::Answer;
using table_model::TableModel;


// n bytes of short filler lines that hold no key letters, ending in a line end.
std::string Filler(size_t n) {
  std::string text;
  while (text.size() < n) {
    size_t line = std::min<size_t>(64, n - text.size());
    text += std::string(line - 1, 'z') + "\n";
  }
  return text;
}

#ifdef LINKHOP_INDEX_FILES
// The index hoptool writes for the table at path, as bytes: read by a
// process that looked at the table seconds after its last change, so that
// the program trusts it while the table stays as it is.
std::string IndexOf(const std::string &path) {
  const std::string bytes = ReadFile(path);
  hoptool::EditBase base;
  int why;
  hoptool::LoadBaseOf(path, bytes, "", nullptr, &base, &why);
  hoptool::Draft draft(base);
  std::string file;
  std::vector<unsigned char> header;
  std::string failed;
  const bool composed = hoptool::ComposeIndex(
      OsFile{OS_NO_FILE, 0}, draft,
      [](void *context, uint64_t offset, const void *piece, uint32_t count) {
        std::string &out = *(std::string *)context;
        if (out.size() < offset + count) out.resize(offset + count);
        memcpy(&out[offset], piece, count);
        return true;
      },
      &file, &header, &failed);
  EXPECT_TRUE(composed) << failed;
  OsFileStamp stamp;
  EXPECT_TRUE(OsFileStampOf(path.c_str(), &stamp));
  TableIndexRestamp(header.data(), &stamp, std::max(stamp.modified, stamp.changed) + 3, 0);
  if (file.size() < header.size()) file.resize(header.size());
  memcpy(&file[0], header.data(), header.size());
  return file;
}
#endif

// The key test that the driver, the lookup and hoptool check share: what a
// query is once the driver has ended it at its first byte below 32.
TEST(TableRules, WhichQueriesAreLookedUpAsKeys) {
  const std::string longest(256, 'k');
  struct {
    std::string query;
    std::string taken;  // what TakeQuery leaves of it
    int explicitAddress;
    int flaws;          // of the query as given
  } cases[] = {
      {"promo", "promo", 0, 0},
      {longest, longest, 0, 0},
      {longest + "k", longest + "k", 0, TABLE_KEY_TOO_LONG},
      {"", "", 0, TABLE_KEY_EMPTY},
      {"a.b", "a.b", 1, TABLE_KEY_EXPLICIT},
      {".", ".", 1, TABLE_KEY_EXPLICIT},
      {"key\x1F.tail", "key", 0, TABLE_KEY_CONTROL | TABLE_KEY_EXPLICIT},
      {"key\ttail", "key", 0, TABLE_KEY_CONTROL},
      {"\nkey", "", 0, TABLE_KEY_CONTROL},
      {"two words", "two words", 0, 0},  // a space is a byte of the key
      {"k\xFF", "k\xFF", 0, 0},
      {"k\x7F\xFF", "k", 0, TABLE_KEY_CONTROL},  // DEL ends a query too
      {longest + ".\r", longest + ".", 1,
       TABLE_KEY_TOO_LONG | TABLE_KEY_EXPLICIT | TABLE_KEY_CONTROL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(TableKeyFlaws(c.query.data(), (int)c.query.size()), c.flaws);
    std::vector<char> query(c.query.begin(), c.query.end());
    query.push_back(0);
    EXPECT_EQ(TakeQuery(query.data()), c.explicitAddress);
    EXPECT_EQ(std::string(query.data()), c.taken);
  }
}

// The address after an entry's '=', as the lookup and hoptool check read it.
TEST(TableRules, WhereAnAddressStartsAndEnds) {
  const std::string long301 = "https://a/" + std::string(291, 'x');
  struct {
    std::string after;  // the text after the '='
    int started;
    size_t skipped;     // white space before the address
    int length, written;
  } cases[] = {
      {" https://a/ \n", 1, 1, 11, 11},
      {"\t\x01 /x\ttail", 1, 3, 2, 2},
      {"  \n\n  https://b/", 1, 6, 10, 10},   // white space runs over line ends
      {" \n \r", 0, 4, 0, 0},                // runs into the end: empty
      {"", 0, 0, 0, 0},
      {"x\x1F", 1, 0, 1, 1},
      {"a b\x7F\xFE\n", 1, 0, 5, 5},         // spaces, DEL and high bytes belong to it
      {long301, 1, 0, 300, 301},
      {"=" + long301 + "\n", 1, 0, 300, 302},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.after);
    TableAddress address;
    const char *text = c.after.data();
    EXPECT_EQ(TableAddressRead(text, text + c.after.size(), &address), c.started);
    EXPECT_EQ(address.start, text + c.skipped);
    EXPECT_EQ(address.length, c.length);
    EXPECT_EQ(address.written, c.written);
  }
}

struct TableCase {
  const char *name;
  std::string table;
  std::string key;
  Answer expected;
};

class LookupTest : public testing::Test {
 protected:
  void SetUp() override {
    MakeDir(bin_);
    MakeDir(bin_ + "/hopdata");
    IoSetCommandLineForTest(program_.c_str());
    CoreStartup("debug.log", 0);
    MemoryInit(MEMORY_NO_LIMIT, 0);
  }
  void TearDown() override {
    MemoryRemove();
    CoreShutdown();
    IoSetCommandLineForTest(nullptr);
  }

  void WriteTable(const std::string &bytes) { WriteFile(table_, bytes); }

  // One lookup; the read buffer must be gone when it returns, and the value
  // must end within its 301 bytes.
  Answer Lookup(const std::string &key) {
    char value[320];
    memset(value, 0x55, sizeof(value));
    memoryState.peakBlockCount = 0;
    memoryState.peakBytesInUse = 0;
    int result = LookupRedirect(key.c_str(), value);
    EXPECT_EQ(memoryState.blockCount, 0);
    EXPECT_EQ(memoryState.bytesInUse, 0);
    EXPECT_LE(memoryState.peakBlockCount, 1);
    lastPeak_ = memoryState.peakBytesInUse;
    EXPECT_TRUE(memchr(value, 0, 301) != nullptr);
    for (size_t i = 301; i < sizeof(value); i++) EXPECT_EQ(value[i], 0x55);
    return {result, std::string(value)};
  }

  // The same table held whole in memory and indexed, as a persistent
  // process and the table checker use it: the answer, and where the
  // accepted key begins in the table's text.
  static Answer IndexLookup(const std::string &table, const std::string &key, int *at) {
    std::string text = table;
    int cut;
    int length = TableText(&text[0], (int)text.size(), &cut);
    text.resize((size_t)length + 1);
    text[(size_t)length] = 0;
    std::vector<uint64_t> room((size_t)(TableIndexRoom(text.data(), length) / 8 + 1));
    TableIndex index;
    TableIndexBuild(&index, text.data(), length, room.data());
    char value[TABLE_VALUE_MAX + 1];
    int result = TableIndexLookup(&index, key.c_str(), value, at);
    return {result, value};
  }

  void RunCases(const std::vector<TableCase> &cases) {
    for (const TableCase &c : cases) {
      SCOPED_TRACE(c.name);
      WriteTable(c.table);
      EXPECT_EQ(Lookup(c.key), c.expected);
      int at;
      EXPECT_EQ(IndexLookup(c.table, c.key, &at), c.expected) << "through the index";
    }
  }

  TempDir dir_;
  std::string bin_ = dir_ / "cgi-bin";
  std::string program_ = bin_ + "/linkhop";
  std::string table_ = bin_ + "/hopdata/config.txt";
  std::string index_ = bin_ + "/hopdata/config.idx";
  int lastPeak_ = 0;
};

// ---- Entries ------------------------------------------------------------

TEST_F(LookupTest, EntriesAndTheirAddresses) {
  const std::string longValue = std::string(150, 'v') + std::string(250, 'w');
  const std::vector<TableCase> cases = {
      {"letters in either case", "News=pages/n.html\n", "news", {1, "pages/n.html"}},
      {"key in other case", "news=pages/n.html\n", "NEWS", {1, "pages/n.html"}},
      {"spaces and tabs around '=', trailing spaces kept",
       "  news \t =  \t pages/n.html  \n", "news", {1, "pages/n.html  "}},
      {"a tab ends the address", "news=pages/n.html\tcomment\n", "news", {1, "pages/n.html"}},
      {"first of two wins", "news=first\nnews=second\n", "news", {1, "first"}},
      {"empty address runs on to the next line", "news=\nother=x\n", "news", {1, "other=x"}},
      {"'=' on the next line", "news\n=x\n", "news", {1, "x"}},
      {"inside a longer word", "oldnews=x\n", "news", {1, "x"}},
      {"inside another entry's address", "a=b/news = c\n", "news", {1, "c"}},
      {"occurrence without '=' skipped", "news paper\nnews=y\n", "news", {1, "y"}},
      {"overlapping occurrences not tried", "aaa=x\n", "aa", {0, ""}},
      {"key holding '='", "a=b=c\n", "a=b", {1, "c"}},
      {"key holding a space", "a news=x\nnews=y\n", "a news", {1, "x"}},
      {"400-byte address cut to 300", "news=" + longValue + "\n", "news",
       {1, longValue.substr(0, 300)}},
      {"300-byte address whole", "news=" + longValue.substr(0, 300) + "\n", "news",
       {1, longValue.substr(0, 300)}},
      {"bytes 128 to 255 kept", "news=caf\xC3\xA9 \x80\xFF/x\n", "news", {1, "caf\xC3\xA9 \x80\xFF/x"}},
      {"zero byte ends the address", std::string("news=ab\0cd\n", 11), "news", {1, "ab"}},
      {"last line without a line end", "a=1\nnews = x  ", "news", {1, "x  "}},
      {"'=' at the end of the file", "news =", "news", {1, ""}},
      {"key at the end of the file", "a=1\nnews", "news", {0, ""}},
      {"not in the table", "other=x\nnew=y\n", "news", {0, ""}},
      {"empty file", "", "news", {0, ""}},
      {"empty key", "=x\n", "", {0, ""}},
      {"256-byte key", std::string(256, 'k') + "=long\n", std::string(256, 'K'), {1, "long"}},
      {"257-byte key", std::string(257, 'k') + "=long\n", std::string(257, 'k'), {0, ""}},
      {"1023-byte key", std::string(1023, 'k') + "=long\n", std::string(1023, 'k'), {0, ""}},
  };
  RunCases(cases);
}

// Carriage returns are dropped and a byte 0x1A ends the table, as a text
// stream reads on the target system.
TEST_F(LookupTest, TextModeTables) {
  const std::vector<TableCase> cases = {
      {"CRLF lines", Crlf("other=a\nnews = pages/n.html\nlast=z\n"), "news", {1, "pages/n.html"}},
      {"CRLF between key, '=' and address", Crlf("news\n=\nx\n"), "news", {1, "x"}},
      {"CRLF last line without a line end", Crlf("a=1\nnews=x"), "news", {1, "x"}},
      {"carriage return inside the key", "ne\rws=x\n", "news", {1, "x"}},
      {"carriage return inside the address", "news=a\rb\n", "news", {1, "ab"}},
      {"0x1A ends the address", "news=x\x1Ay\n", "news", {1, "x"}},
      {"entry after 0x1A unseen", "other=1\n\x1Anews=x\n", "news", {0, ""}},
      {"0x1A right after '='", "news=\x1A\nother=z\n", "news", {1, ""}},
      {"0x1A inside the key", "ne\x1Aws=x\n", "news", {0, ""}},
  };
  RunCases(cases);
}

TEST_F(LookupTest, MissingTableOpensNothingAndAllocatesNothing) {
  EXPECT_EQ(Lookup("news"), (Answer{1, ""}));
  EXPECT_EQ(lastPeak_, 0);
  MakeDir(table_);  // a folder where the table should be
  EXPECT_EQ(Lookup("news"), (Answer{1, ""}));
  EXPECT_EQ(lastPeak_, 0);
}

TEST_F(LookupTest, ReadBufferIsOneBlockFreedBeforeReturn) {
  WriteTable(Filler(20000) + "news=x\n");
  EXPECT_EQ(Lookup("news"), (Answer{1, "x"}));
  EXPECT_EQ(lastPeak_, kReadBlock);
  EXPECT_EQ(Lookup("nothing"), (Answer{0, ""}));
  EXPECT_EQ(lastPeak_, kReadBlock);
  EXPECT_EQ(Lookup(std::string(257, 'n')), (Answer{0, ""}));
  EXPECT_EQ(lastPeak_, 0);
}

// ---- Reads and their boundaries ------------------------------------------

// Every way an entry can be cut by the end of a read: the entry starts at
// each offset around the first read's end, in LF and CRLF files, written
// on one line or spread over several.
TEST_F(LookupTest, EntriesAcrossTheEndOfARead) {
  const std::string entries[] = {"news = pages/straddle.html\n", "news \n \n = \n pages/s.html\n"};
  const std::string values[] = {"pages/straddle.html", "pages/s.html"};
  for (int e = 0; e < 2; e++) {
    for (size_t start = kChunk - entries[e].size() - 2; start <= (size_t)kChunk + 2; start++) {
      for (bool crlf : {false, true}) {
        SCOPED_TRACE("entry " + std::to_string(e) + " at " + std::to_string(start) +
                     (crlf ? " CRLF" : ""));
        std::string text = Filler(start) + entries[e] + "tail=1\n";
        WriteTable(crlf ? Crlf(text) : text);
        EXPECT_EQ(Lookup("news"), (Answer{1, values[e]}));
        EXPECT_EQ(Lookup("tail"), (Answer{1, "1"}));
      }
    }
  }
}

// A key may begin with a space (a request body can carry one). An occurrence
// turned down because no '=' follows is passed over by the key's length
// only, so the next occurrence may begin in the white space that was
// skipped looking for the '=', also when that space runs on into the next
// read.
TEST_F(LookupTest, KeyStartingWithASpaceAfterARejectedOccurrence) {
  const std::string text = "x ne\n ne=y\n";
  for (size_t start = kChunk - text.size() - 2; start <= (size_t)kChunk + 2; start++) {
    SCOPED_TRACE("entries at " + std::to_string(start));
    WriteTable(Filler(start) + text);
    EXPECT_EQ(Lookup(" ne"), (Answer{1, "y"}));
  }
}

TEST_F(LookupTest, KeyOnTheLastLineOfALargeTable) {
  const std::string filler = Filler(3 << 20);
  WriteTable(filler + "news=far/away.html\n");
  EXPECT_EQ(Lookup("NEWS"), (Answer{1, "far/away.html"}));
  WriteTable(filler + "news=far/away.html");
  EXPECT_EQ(Lookup("news"), (Answer{1, "far/away.html"}));
  EXPECT_EQ(Lookup("other"), (Answer{0, ""}));
}

// A last line without a line end is searched wherever the file ends: inside
// a read, or exactly where a full read ends, the line then being carried.
TEST_F(LookupTest, LastLineWithoutALineEnd) {
  const std::string line = "news=xyz";
  for (size_t lead : {(size_t)0, (size_t)kChunk}) {
    for (size_t size = lead + kChunk - 6; size <= lead + kChunk + 6; size++) {
      SCOPED_TRACE("file of " + std::to_string(size) + " bytes");
      WriteTable(Filler(lead) + Filler(size - lead - line.size()) + line);
      EXPECT_EQ(Lookup("news"), (Answer{1, "xyz"}));
    }
  }
}

// A line of 4095 bytes or more, without its line end, cannot be held by the
// read buffer: it ends the table. A line of 4094 bytes can.
TEST_F(LookupTest, OverlongLineEndsTheTable) {
  const std::string q4094(4094, 'q'), q4095(4095, 'q'), q9000(9000, 'q');
  const std::vector<TableCase> cases = {
      {"4094-byte line", "a=1\n" + q4094 + "\nnews=x\n", "news", {1, "x"}},
      {"4095-byte line", "a=1\n" + q4095 + "\nnews=x\n", "news", {0, ""}},
      {"9000-byte line", "a=1\n" + q9000 + "\nnews=x\n", "news", {0, ""}},
      {"4095-byte line first", q4095 + "\nnews=x\n", "news", {0, ""}},
      {"4094-byte line first", q4094 + "\nnews=x\n", "news", {1, "x"}},
      {"4094-byte line mid-read", Filler(1000) + q4094 + "\nnews=x\n", "news", {1, "x"}},
      {"4095-byte line mid-read", Filler(1000) + q4095 + "\nnews=x\n", "news", {0, ""}},
      {"4094-byte line and its CR", Crlf("a=1\n" + q4094 + "\nnews=x\n"), "news",
       {1, "x"}},
      {"entry before it found", "news=x\n" + q9000 + "\n", "news", {1, "x"}},
      {"4094-byte last line holding the entry", std::string(4088, 'q') + "news=x", "news",
       {1, "x"}},
      {"4095-byte last line holding the entry", std::string(4089, 'q') + "news=x", "news",
       {0, ""}},
      {"entry ending the line of 4094 bytes", std::string(4086, 'q') + "news=xyz\n", "news",
       {1, "xyz"}},
      {"entry ending a line of 4095 bytes", std::string(4087, 'q') + "news=xyz\n", "news",
       {0, ""}},
      // The address would start after the cut: an entry whose address is empty.
      {"'=' before the cut", "news=\n" + q4095 + "\n", "news", {1, ""}},
      {"key before the cut, '=' after it", "news\n" + q4095 + "\n=x\n", "news", {0, ""}},
  };
  RunCases(cases);
}

// ---- The program directory -------------------------------------------------

// The table is looked for beside the program, whatever the program's file
// is called, and never beside the current folder when its path cannot be
// formed.
class LookupPathTest : public LookupTest {
 protected:
  void TearDown() override {
    std::error_code error;
    if (!oldCwd_.empty()) std::filesystem::current_path(oldCwd_, error);
    if (error) ADD_FAILURE() << "cannot go back";
    LookupTest::TearDown();
  }
  // Runs from a folder that holds a decoy table of its own.
  void RunFromDecoy() {
    oldCwd_ = std::filesystem::current_path().string();
    MakeDir(decoy_.path() + "/hopdata");
    WriteFile(decoy_ / "hopdata/config.txt", "news=decoy\n");
    std::filesystem::current_path(decoy_.path());
  }
  TempDir decoy_;
  std::string oldCwd_;
  std::string commandLine_;
};

TEST_F(LookupPathTest, LongProgramFileName) {
  RunFromDecoy();
  WriteTable("news=beside\n");
  commandLine_ = bin_ + "/" + std::string(300, 'n');
  IoSetCommandLineForTest(commandLine_.c_str());
  EXPECT_EQ(Lookup("news"), (Answer{1, "beside"}));
}

// The table's path is built in 320 bytes: a directory of 301 bytes leaves
// room for "hopdata\config.txt" and the zero byte, one of 302 does not.
TEST_F(LookupPathTest, DeepProgramDirectory) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows opens no path of more than 259 characters by name";
#endif
  RunFromDecoy();
  for (size_t length = 298; length <= 304; length++) {
    SCOPED_TRACE("directory of " + std::to_string(length) + " bytes");
    std::string outer = dir_ / std::string(150, 'd');
    std::string inner = outer + "/" + std::string(length - outer.size() - 2, 'e') + "/";
    ASSERT_EQ(inner.size(), length);
    MakeDir(outer);
    MakeDir(inner);
    MakeDir(inner + "hopdata");
    WriteFile(inner + "hopdata/config.txt", "news=deep\n");
    commandLine_ = inner + "linkhop";
    IoSetCommandLineForTest(commandLine_.c_str());
    EXPECT_EQ(Lookup("news"), (Answer{1, length <= 301 ? "deep" : ""}));
  }
}

#ifdef LINKHOP_PERSISTENT
// ---- The table kept between requests ----------------------------------------

void SetModified(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A process that lives long keeps the table indexed, and still sees every
// edit at the next lookup: a file written within two seconds is never
// kept, and an edit that keeps the size and the modification time changes
// the entry's change time.
TEST_F(LookupTest, KeptTableSeesEveryEdit) {
  LookupKeepTables(1);
  WriteTable("news=aaa\n");
  EXPECT_EQ(Lookup("news"), (Answer{1, "aaa"}));
  WriteTable("news=bbb\n");  // the same size, most likely the same second
  EXPECT_EQ(Lookup("news"), (Answer{1, "bbb"}));
  const time_t old = time(nullptr) - 60;
  SetModified(table_, old);
  EXPECT_EQ(Lookup("news"), (Answer{1, "bbb"}));
  EXPECT_EQ(Lookup("NEWS"), (Answer{1, "bbb"}));
  EXPECT_EQ(lastPeak_, 0) << "a kept table is read from memory, not the file";
  EXPECT_EQ(Lookup("other"), (Answer{0, ""}));

  WriteTable("news=ccc\n");
  SetModified(table_, old);  // the same size and modification time
  EXPECT_EQ(Lookup("news"), (Answer{1, "ccc"}));
  std::filesystem::remove(table_);
  EXPECT_EQ(Lookup("news"), (Answer{1, ""})) << "a missing table, as the scan says";
  WriteTable(std::string(5000, 'q') + "\nnews=far\n");
  SetModified(table_, old);
  EXPECT_EQ(Lookup("news"), (Answer{0, ""})) << "a line too long ends the kept table too";
  LookupKeepTables(0);
}

// A process the system gives no room to keep the table in scans the file
// on every request instead, and answers the same.
TEST_F(LookupTest, KeptTableWithoutRoomIsScanned) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs the address space this test takes away";
#endif
  WriteTable("news=aaa\n");
  SetModified(table_, time(nullptr) - 60);
  auto lookupsWithoutRoom = [this] {
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (!statm || fscanf(statm, "%ld", &pages) != 1) exit(2);
    fclose(statm);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = (rlim_t)pages * 4096 + (16u << 20);
    setrlimit(RLIMIT_AS, &limit);
    LookupKeepTables(1);
    const Answer first = Lookup("news");
    const int scanned = lastPeak_ > 0;
    exit(first == Answer{1, "aaa"} && Lookup("news") == first && scanned ? 0 : 1);
  };
  EXPECT_EXIT(lookupsWithoutRoom(), testing::ExitedWithCode(0), "");
}
#endif

#ifdef LINKHOP_INDEX_FILES
// ---- A broken index -----------------------------------------------------------

// An index that is not the table's as it is now, or is damaged anywhere, is
// answered around: every key as the scan answers it, read block by block
// and mapped, and never a crash. Those the header tells are scanned at once.
TEST_F(LookupTest, BrokenIndexAnswersAsTheScan) {
  auto tableOf = [](const char *host) {
    std::string table;
    for (int i = 0; i < 3000; i++)
      table += "k" + std::to_string(i) + (i % 7 ? " = " : "\t=\t") + "https://" + host +
               ".example/" + std::to_string(i) + (i % 5 ? "\n" : "\r\n");
    return table;
  };
  const std::string table = tableOf("e");
  WriteTable(tableOf("o"));  // the same size: another table, or its older self
  const std::string foreign = IndexOf(table_);
  WriteTable(table);
  const std::string good = IndexOf(table_);
  TableIndexHeader h;
  memcpy(&h, good.data(), sizeof(h));
  TableIndexLayout layout;
  ASSERT_TRUE(TableIndexLayoutOf(h.recordCount, h.textLength, h.lineCount, h.flags, &layout));
  ASSERT_EQ(layout.fileSize, good.size());
  ASSERT_NE(layout.fileLinesOffset, 0u) << "every part present";
  ASSERT_GT(layout.fenceCount[0], 1u);
  OsFileStamp stamp;
  ASSERT_TRUE(OsFileStampOf(table_.c_str(), &stamp));

  // Whether a lookup that finds its key reads the part (-1: it may).
  struct Part {
    const char *name;
    uint64_t from, to;
    int read;
  } parts[] = {
      {"header", 0, layout.headerSize, 1},
      {"sums", layout.sumsOffset, layout.dataOffset, 1},
      {"records", layout.recordsOffset, layout.fenceOffset[0], 1},
      {"fences", layout.fenceOffset[0], layout.minOffset[0], 1},
      {"mins", layout.minOffset[0], layout.textOffset, -1},
      {"text", layout.textOffset, layout.linesOffset, 1},
      {"lines", layout.linesOffset, layout.fileLinesOffset, -1},  // the text's last block
      {"file lines", layout.fileLinesOffset, layout.fileSize, 0},   // hoptool's only
  };
  struct Broken {
    std::string name;
    std::string bytes;
    int scanned;  // by a lookup that finds its key (-1: it may be)
  };
  std::vector<Broken> cases = {{"the table's own", good, 0},
                               {"missing", "", 1},
                               {"a foreign table's", foreign, 1},
                               {"one byte longer", good + "x", 1}};
  auto resigned = [&](const char *name, void (*change)(TableIndexHeader *), int64_t readSeconds,
                      int64_t readNanos) {
    std::string bytes = good;
    change((TableIndexHeader *)&bytes[0]);
    TableIndexRestamp(&bytes[0], &stamp, readSeconds, readNanos);
    cases.push_back({name, bytes, 1});
  };
  resigned("an older version, signed", [](TableIndexHeader *x) { x->version--; }, h.readSeconds,
           h.readNanos);
  resigned("a record more, signed", [](TableIndexHeader *x) { x->recordCount++; }, h.readSeconds,
           h.readNanos);
  resigned("read in the tick the table changed", [](TableIndexHeader *) {},
           std::max(stamp.modified, stamp.changed),
           std::max(stamp.modifiedNanos, stamp.changedNanos));
  for (const Part &part : parts) {
    cases.push_back({std::string("cut short in the ") + part.name,
                     good.substr(0, (size_t)(part.from + part.to) / 2), 1});
    // A byte flipped in every block of the part: whichever block a lookup
    // reads there is damaged.
    std::string flipped = good;
    for (uint64_t at = part.from; at < part.to; at += TABLE_INDEX_BLOCK) flipped[(size_t)at] ^= 0x40;
    cases.push_back({std::string("flipped in the ") + part.name, flipped, part.read});
  }

  const std::vector<std::string> keys = {"k2999", "K1500", "k0", "k1", "k29", "missing", "9"};
  auto answerAll = [&](const std::string &bytes, const std::string &name, int scanned) {
    SCOPED_TRACE(name);
    const std::string now = ReadFile(table_);
    if (bytes.empty()) std::filesystem::remove(index_);
    else WriteFile(index_, bytes);
    for (const std::string &key : keys) {
      SCOPED_TRACE(key);
      const Answer expected = TableModel(now, key);
      EXPECT_EQ(Lookup(key), expected);
      if (expected.result == 1 && scanned >= 0) {
        EXPECT_EQ(lastPeak_ > 0, scanned == 1);
      }
      char value[TABLE_VALUE_MAX + 1];
      long scanAt, scanLine, at, line;
      LookupRedirectIn(table_.c_str(), nullptr, key.c_str(), value, &scanAt, &scanLine);
      EXPECT_EQ(LookupRedirectIn(table_.c_str(), index_.c_str(), key.c_str(), value, &at, &line),
                expected.result);
      EXPECT_EQ(value, expected.value);
      EXPECT_EQ(at, scanAt);
      EXPECT_EQ(line, scanLine);
#ifdef LINKHOP_PERSISTENT
      LookupKeepTables(1);
      EXPECT_EQ(Lookup(key), expected) << "mapped";
      EXPECT_EQ(Lookup(key), expected) << "mapped, again";
      LookupKeepTables(0);
#endif
    }
  };
  for (const Broken &c : cases) answerAll(c.bytes, c.name, c.scanned);

  // The table edited in place: the same size, its modification time put
  // back; only its change time tells.
  std::string edited = table;
  edited.replace(edited.rfind("e.example"), 1, "f");
  WriteTable(edited);
  const auto modified = std::filesystem::last_write_time(table_);
  std::filesystem::last_write_time(table_, modified);
  struct timespec times[2] = {{stamp.modified, stamp.modifiedNanos}, {stamp.modified, stamp.modifiedNanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, table_.c_str(), times, 0), 0);
  answerAll(good, "the table edited in place", 1);
}

#ifdef LINKHOP_PERSISTENT
// A persistent process's view of its index: the file cut short under it
// (a fault on the lost pages) or written over in place is found out, and
// the table scanned, never a crash or an answer from the old bytes.
TEST_F(LookupTest, IndexChangedUnderItsView) {
  WriteTable(Filler(TABLE_INDEX_WORTH) + "news = https://m.example/\n");
  const std::string older = IndexOf(table_);  // the table's older self's
  const std::string table = Filler(TABLE_INDEX_WORTH) + "news = https://n.example/\n";
  WriteTable(table);
  const std::string good = IndexOf(table_);
  WriteFile(index_, good);
  OsFileStamp stamp;
  ASSERT_TRUE(OsFileStampOf(table_.c_str(), &stamp));
  TableIndexFile file;
  TableIndex index;
  ASSERT_EQ(TableIndexOpen(index_.c_str(), &stamp, &file, &index), TABLE_INDEX_OK);
  ASSERT_EQ(truncate(index_.c_str(), TABLE_INDEX_HEADER), 0);
  char value[TABLE_VALUE_MAX + 1];
  int at;
  EXPECT_EQ(TableIndexLookup(&index, "news", value, &at), -1) << "cut short under the view";
  TableIndexCloseFile(&file);

  LookupKeepTables(1);
  WriteFile(index_, good);
  EXPECT_EQ(Lookup("news"), (Answer{1, "https://n.example/"}));
  EXPECT_EQ(lastPeak_, 0);
  // The older index copied over it in place: the view now shows its bytes.
  WriteFile(index_, older);
  EXPECT_EQ(Lookup("news"), (Answer{1, "https://n.example/"}));
  LookupKeepTables(0);
}
#endif
#endif

// ---- Against the whole-file model --------------------------------------------

// Random tables built from fragments of keys, '=', white space, line ends,
// carriage returns, high bytes, the odd 0x1A, empty lines and lines of about
// 4094 and 4095 bytes, with padding that puts entries at and across the ends
// of reads; keys drawn from the same fragments in random case, some holding
// a space, as a request body may. Carriage returns come alone, in runs,
// before line feeds, inside keys and addresses and sprinkled through long
// lines, so that a line's bytes on disk may outrun a read while its text
// still fits.
TEST_F(LookupTest, AgreesWithTheWholeFileModel) {
  const uint32_t seed = 7351;
  std::mt19937 random(seed);
  auto pick = [&](size_t n) { return (size_t)(random() % n); };
  static const char *const kFragments[] = {"news", "new", "ews", "ne", "a", "aa", "ab", "b a", " ne"};
  const size_t fragmentCount = sizeof(kFragments) / sizeof(kFragments[0]);
  auto randomCase = [&](std::string s) {
    for (char &c : s)
      if (pick(2)) c = (char)toupper((unsigned char)c);
    return s;
  };
  auto sprinkleReturns = [&](std::string s, size_t count) {
    for (size_t i = 0; i < count; i++) s.insert(pick(s.size() + 1), "\r");
    return s;
  };
  auto token = [&]() -> std::string {
    switch (pick(27)) {
      case 24: return sprinkleReturns(randomCase(kFragments[pick(fragmentCount)]), 1 + pick(2));
      case 25: return std::string(1 + pick(3), '\r');
      case 26: return sprinkleReturns("http://a.example/" + std::string(pick(300), 'w'), 1 + pick(3));
      case 0: case 1: case 2: case 3: case 4: case 5:
        return randomCase(kFragments[pick(fragmentCount)]);
      case 6: case 7: case 8: return "=";
      case 9: case 10: return " ";
      case 11: return "\t";
      case 12: return "\r";
      case 13: return "\xE9\x80";
      case 14: return "\n";
      case 15: return pick(20) == 0 ? "\x1A" : "/";
      case 16: return std::string(pick(300), 'v');
      default: return std::string(1, "xyz.:/-_"[pick(8)]);
    }
  };
  auto line = [&]() -> std::string {
    size_t kind = pick(40);
    if (kind < 3) return "";
    if (kind == 3) {  // about as long as a read can hold
      std::string text = pick(2) ? randomCase(kFragments[pick(fragmentCount)]) + "=" : "";
      size_t length = kChunk - 3 + pick(5);
      text += std::string(length > text.size() ? length - text.size() : 0, 'q');
      return pick(2) ? text : sprinkleReturns(text, pick(8));
    }
    if (kind == 4) return std::string(pick(kChunk), 'p');  // padding
    if (kind == 5) return sprinkleReturns(std::string(pick(kChunk), 'p'), pick(16));
    std::string text;
    for (size_t i = 0, n = 1 + pick(8); i < n; i++) text += token();
    return text;
  };

  int failures = 0;
  for (int round = 0; round < 3000 && failures < 10; round++) {
    std::string table;
    if (pick(3)) table += std::string(pick(kChunk), 'p') + "\n";
    for (size_t i = 0, n = pick(40); i < n; i++) {
      table += line();
      if (i + 1 < n || pick(3)) table += pick(4) ? "\n" : "\r\n";
    }
    WriteTable(table);
    std::vector<std::string> keys(4);
    for (std::string &key : keys) {
      if (pick(100) == 0) {
        key = std::string(pick(2) ? 0 : 257, 'a');
      } else {
        for (size_t i = 0, n = 1 + pick(2); i < n; i++)
          key += randomCase(kFragments[pick(fragmentCount)]);
      }
    }
    for (const std::string &key : keys) {
      Answer expected = TableModel(table, key);
      Answer actual = Lookup(key);
      int indexAt = -1;
      long scanAt = -1, scanLine = -1;
      char value[TABLE_VALUE_MAX + 1];
      LookupRedirectIn(table_.c_str(), nullptr, key.c_str(), value, &scanAt, &scanLine);
      Answer indexed = IndexLookup(table, key, &indexAt);
      if (!(actual == expected) || !(indexed == expected) || scanAt != indexAt) {
        failures++;
        ADD_FAILURE() << "seed " << seed << " round " << round << " key '" << key
                      << "': lookup " << actual << " at " << scanAt << ", index " << indexed
                      << " at " << indexAt << ", model " << expected << ", table of "
                      << table.size() << " bytes";
      }
    }
#ifdef LINKHOP_INDEX_FILES
    // The same table after filler that makes it worth its index, answered
    // through the index file: read block by block, as a CGI process does,
    // and mapped, as a persistent one does; with where the key was found.
    if (failures > 0) continue;
    const std::string padded = Filler(TABLE_INDEX_WORTH) + table;
    WriteTable(padded);
    WriteFile(index_, IndexOf(table_));
    for (const std::string &key : keys) {
      const Answer expected = TableModel(padded, key);
      char value[TABLE_VALUE_MAX + 1];
      long scanAt, scanLine, at, line;
      LookupRedirectIn(table_.c_str(), nullptr, key.c_str(), value, &scanAt, &scanLine);
      const Answer read = Lookup(key);
      const int scanned = lastPeak_ > 0;
      const Answer answered{LookupRedirectIn(table_.c_str(), index_.c_str(), key.c_str(), value,
                                             &at, &line),
                            value};
#ifdef LINKHOP_PERSISTENT
      LookupKeepTables(1);
      const Answer mapped = Lookup(key);
      LookupKeepTables(0);
#else
      const Answer mapped = expected;
#endif
      if (!(read == expected) || !(mapped == expected) || !(answered == expected) || scanned ||
          at != scanAt || line != scanLine) {
        failures++;
        ADD_FAILURE() << "seed " << seed << " round " << round << " key '" << key
                      << "' through the index file: read " << read << (scanned ? " (scanned)" : "")
                      << ", mapped " << mapped << ", at " << at << " line " << line << " (scan "
                      << scanAt << " line " << scanLine << "), model " << expected;
      }
    }
#endif
  }
}

}  // namespace
