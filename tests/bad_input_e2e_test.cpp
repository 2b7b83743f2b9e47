// End-to-end sweep of bad input and faults around the built program: every
// byte value in a query and a body, lengths at the buffer edges, absurd
// CONTENT_LENGTH values, closed or broken standard streams, a log that
// cannot be written, broken redirect tables and program paths too long for
// the program's buffers. Whatever happens, a run ends with exit status 1 (0
// for the banner), writes one well-formed answer, says nothing on standard
// error, adds at most one whole log line and never dies of a signal.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace {


// One entry: the keys "ab" and "b" (in either case) find it, no byte sweep
// key or explicit address does by accident.
const std::string kTable = "ab=https://t.example/ab\r\n";
const std::string kHit = "https://t.example/ab";

// A 301 block whose target holds no byte below 32 and no DEL, or one of the
// pages.
bool WellFormedAnswer(const std::string &out) {
  if (out == kNoQueryPage || out == kTooLongPage || out == kMissPage) return true;
  const std::string head = "Status: 301 Moved Permanently\r\nURI: ";
  if (out.compare(0, head.size(), head) != 0) return false;
  size_t end = out.find("\r\n", head.size());
  if (end == std::string::npos) return false;
  std::string target = out.substr(head.size(), end - head.size());
  for (unsigned char c : target)
    if (c < 32 || c == 127) return false;
  return out == Redirect(target);
}

// Empty, or exactly one line matching ^[^\r\n]* [0-9A-F]{8} \[[^\r\n]*\r\n$.
bool WellFormedLog(const std::string &text) {
  if (text.empty()) return true;
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
  std::string line = text.substr(0, text.size() - 2);
  if (line.find_first_of("\r\n") != std::string::npos) return false;
  for (size_t i = 0; i + 11 <= line.size(); i++) {
    bool stamp = line[i] == ' ' && line[i + 9] == ' ' && line[i + 10] == '[';
    for (size_t j = 1; stamp && j <= 8; j++)
      stamp = isdigit((unsigned char)line[i + j]) || (line[i + j] >= 'A' && line[i + j] <= 'F');
    if (stamp) return true;
  }
  return false;
}

// The query up to its first byte below 32 or DEL.
std::string Cut(const std::string &query) {
  size_t i = 0;
  while (i < query.size() && (unsigned char)query[i] >= 32 && query[i] != 127) i++;
  return query.substr(0, i);
}

// A body as text mode reads it: ended by 0x1A, without carriage returns.
std::string TextMode(const std::string &body) {
  std::string text;
  for (char c : body.substr(0, body.find('\x1a')))
    if (c != '\r') text += c;
  return text;
}

enum LogRule { kNoLine, kLine, kAnyLine };

struct Expected {
  std::string out;  // the exact answer; empty: any well-formed answer
  LogRule log;
  std::string message;  // for kLine: the line after "0.0.0.0 STAMP "
  std::string err = "";  // standard error: the line of a lost log line
};

// The one line a lost log line leaves on standard error.
std::string LostLine(const std::string &log, const std::string &reason) {
  return "linkhop: request log " + log + ": " + reason + "; line lost\n";
}

// What the program answers for a query that arrived whole, with kTable.
Expected Answer(const std::string &query) {
  if (query.empty()) return {kNoQueryPage, kNoLine, ""};
  if (query.size() >= 1024) return {kTooLongPage, kNoLine, ""};
  std::string target = Cut(query);
  if (target.find('.') != std::string::npos)
    return {Redirect(target), kLine, "[Explicit] " + target};
  std::string lower;
  for (char c : target) lower += (char)tolower((unsigned char)c);
  std::string value = lower == "ab" || lower == "b" ? kHit : "";
  return {Answered(value), kLine, "[" + target + "] " + value};
}

// Everything in a log folder, the files then removed for the next run.
std::string TakeLog(const std::string &logs) {
  std::string all;
  for (const auto &name : Listing(logs)) {
    all += ReadFile(logs + "/" + name);
    std::filesystem::remove(logs + "/" + name);
  }
  return all;
}

// answered: false when standard output went nowhere the test can read.
void Check(const ProcessResult &result, const Expected &expected, const std::string &log,
           int status = 1, bool answered = true) {
  EXPECT_EQ(result.status, status);
  EXPECT_EQ(result.err, expected.err);
  if (answered) {
    EXPECT_TRUE(WellFormedAnswer(result.out)) << testing::PrintToString(result.out);
    if (!expected.out.empty()) {
      EXPECT_EQ(result.out, expected.out);
    }
  }
  EXPECT_TRUE(WellFormedLog(log)) << testing::PrintToString(log);
  if (expected.log == kNoLine) {
    EXPECT_EQ(log, "");
  }
  if (expected.log == kLine) {
    EXPECT_EQ(log.compare(0, 8, "0.0.0.0 "), 0) << testing::PrintToString(log);
    EXPECT_EQ(log.substr(std::min<size_t>(log.size(), 17)), expected.message + "\r\n");
  }
}

// The day's log name at a moment, in the zone the program uses (ours).
std::string LogName(time_t t) {
  struct tm local;
  localtime_r(&t, &local);
  char text[32];
  snprintf(text, sizeof(text), "%.2d%.2d%.4d.log", local.tm_mon + 1, local.tm_mday,
           local.tm_year + 1900);
  return text;
}

// Whether this process is really refused a new file in dir (root is not).
bool CreateRefused(const std::string &dir) {
  std::string probe = dir + "/probe";
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT, 0666);
  if (fd < 0) return true;
  close(fd);
  unlink(probe.c_str());
  return false;
}

class BadInputE2eTest : public testing::Test {
 protected:
  void SetUp() override { WriteFile(bin_ + "/hopdata/config.txt", kTable); }

  ProcessResult Ask(const Env &extra, const std::string &body = "") {
    return RunProcess(program_, {}, RequestEnv(extra), body, bin_);
  }

  TempDir dir_;
  std::string program_ = InstallProgram(dir_);
  std::string bin_ = dir_ / "cgi-bin";
  std::string logs_ = bin_ + "/hopdata/logs";
};

// The queries of the byte sweep: the byte alone, inside a key and inside an
// explicit address.
std::vector<std::string> ByteQueries(int b) {
  const std::string x(1, (char)b);
  return {x, "ab" + x + "cd", "x.y" + x + "z"};
}

// QUERY_STRING cannot hold a zero byte; every byte below 32, and DEL, ends
// the target.
TEST_F(BadInputE2eTest, EveryByteInTheQueryString) {
  for (int b = 1; b < 256; b++) {
    for (const auto &query : ByteQueries(b)) {
      SCOPED_TRACE(testing::PrintToString(query));
      ProcessResult result = Ask({{"QUERY_STRING", query}});
      Check(result, Answer(query), TakeLog(logs_));
    }
  }
}

// In a body 0x1A also ends the body and a carriage return is dropped.
TEST_F(BadInputE2eTest, EveryByteInTheBody) {
  for (int b = 0; b < 256; b++) {
    for (const auto &body : ByteQueries(b)) {
      SCOPED_TRACE(testing::PrintToString(body));
      ProcessResult result = Ask({{"CONTENT_LENGTH", std::to_string(body.size())}}, body);
      Check(result, Answer(TextMode(body)), TakeLog(logs_));
    }
  }
}

// Lengths at the edges of the body queue (512) and the query buffer (1024),
// and far beyond, as explicit addresses and as keys, in both carriers.
TEST_F(BadInputE2eTest, QueryAndBodyLengths) {
  const size_t lengths[] = {0, 1, 511, 512, 513, 1022, 1023, 1024, 100000};
  for (size_t n : lengths) {
    std::string explicitAddress = n == 0 ? "" : "." + std::string(n - 1, 'e');
    for (const std::string &query : {explicitAddress, std::string(n, 'k')}) {
      SCOPED_TRACE(std::to_string(n) + (query.find('.') == 0 ? " explicit" : " key"));
      ProcessResult result = Ask({{"QUERY_STRING", query}});
      Check(result, Answer(query), TakeLog(logs_));
      result = Ask({{"CONTENT_LENGTH", std::to_string(n)}}, query);
      Check(result, Answer(query), TakeLog(logs_));
    }
  }
}

// Text-mode rules inside bodies that are read after start-up (above 512
// bytes) as well as those read with it.
TEST_F(BadInputE2eTest, BodyTextModeAtEveryReadPath) {
  std::string crs;
  for (int i = 0; i < 100; i++) crs += "\r.abcdefgh";  // 1000 bytes, 900 kept
  const std::string cases[] = {
      "x.y\x1a" + std::string(500, 'z'),  // 504 bytes, read with start-up
      "x." + std::string(100, 'a') + "\x1a" + std::string(497, 'b'),  // 600 bytes
      "\x1a" + std::string(899, 'c'),
      "x.\ry\rz",
      crs,
      std::string(1000, 'q') + "\r\r\r\x1a",
  };
  for (const auto &body : cases) {
    SCOPED_TRACE(body.size());
    ProcessResult result = Ask({{"CONTENT_LENGTH", std::to_string(body.size())}}, body);
    std::string text = TextMode(body);
    Check(result, body.size() > 512 && text.empty() ? Expected{"", kAnyLine, ""} : Answer(text),
          TakeLog(logs_));
  }
}

// CONTENT_LENGTH is read as atoi reads it, saturating at the 32-bit limits:
// a huge length is a long query, never a wrapped small or negative one.
TEST_F(BadInputE2eTest, ContentLengthAtTheLimits) {
  const struct {
    const char *length;
    const char *queryString;  // null: none
    std::string body;
    Expected expected;
  } cases[] = {
      {"2147483647", "q.example", "x.y", {kTooLongPage, kNoLine, ""}},
      {"2147483648", "q.example", "", {kTooLongPage, kNoLine, ""}},
      {"4294967295", "q.example", "x.y", {kTooLongPage, kNoLine, ""}},
      {"4294967296", "q.example", "", {kTooLongPage, kNoLine, ""}},
      {"4294967297", "q.example", "x.y", {kTooLongPage, kNoLine, ""}},
      {"99999999999999999999999", "q.example", "x.y", {kTooLongPage, kNoLine, ""}},
      {"-2147483648", "q.example", "x.y", Answer("q.example")},
      {"-2147483649", "q.example", "x.y", Answer("q.example")},
      {"-4294967295", "q.example", "x.y", Answer("q.example")},
      {"-99999999999999999999999", nullptr, "x.y", {kNoQueryPage, kNoLine, ""}},
      {"-1", nullptr, "x.y", {kNoQueryPage, kNoLine, ""}},
      {"0", "ab", "x.y", Answer("ab")},
      {"abc", "q.example", "x.y", Answer("q.example")},
      {"  3", nullptr, "x.y", Answer("x.y")},
      {"+3", nullptr, "x.yz", Answer("x.y")},
      {"3abc", nullptr, "x.yz", Answer("x.y")},
      {"512", nullptr, "", {kNoQueryPage, kNoLine, ""}},
      {"512", nullptr, "x.y", Answer("x.y")},
      {"513", nullptr, "", {"", kAnyLine, ""}},
      {"513", nullptr, "x.y", Answer("x.y")},
      {"1023", nullptr, "x.y", Answer("x.y")},
      {"1024", nullptr, "x.y", {kTooLongPage, kNoLine, ""}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.length);
    Env env = {{"CONTENT_LENGTH", c.length}};
    if (c.queryString) env["QUERY_STRING"] = c.queryString;
    ProcessResult result = Ask(env, c.body);
    Check(result, c.expected, TakeLog(logs_));
  }
}

// Standard input closed, empty or short; standard output closed or a pipe
// whose reader has gone. The log line is written whatever became of the
// answer.
TEST_F(BadInputE2eTest, BrokenStandardStreams) {
  const std::string long1023 = "x." + std::string(1021, 'l');
  const struct {
    const char *name;
    Stdin input;
    Stdout output;
    Env env;
    std::string body;
    std::vector<std::string> args;
    int status;
    Expected expected;
  } cases[] = {
      {"input closed, short body", Stdin::kClosed, Stdout::kCapture, {{"CONTENT_LENGTH", "5"}}, "",
       {}, 1, {kNoQueryPage, kNoLine, ""}},
      {"input closed, long body", Stdin::kClosed, Stdout::kCapture, {{"CONTENT_LENGTH", "600"}}, "",
       {}, 1, {"", kAnyLine, ""}},
      {"input closed, query string", Stdin::kClosed, Stdout::kCapture, {{"QUERY_STRING", "ab"}}, "",
       {}, 1, Answer("ab")},
      {"input empty, short body", Stdin::kDevNull, Stdout::kCapture, {{"CONTENT_LENGTH", "5"}}, "",
       {}, 1, {kNoQueryPage, kNoLine, ""}},
      {"input empty, long body", Stdin::kDevNull, Stdout::kCapture, {{"CONTENT_LENGTH", "900"}}, "",
       {}, 1, {"", kAnyLine, ""}},
      {"body ends early", Stdin::kBytes, Stdout::kCapture, {{"CONTENT_LENGTH", "100"}}, "x.y", {}, 1,
       Answer("x.y")},
      {"long body ends early", Stdin::kBytes, Stdout::kCapture, {{"CONTENT_LENGTH", "800"}}, "b",
       {}, 1, Answer("b")},
      {"output closed, explicit", Stdin::kBytes, Stdout::kClosed, {{"QUERY_STRING", "q.example"}},
       "", {}, 1, {"", kLine, "[Explicit] q.example"}},
      {"output closed, key", Stdin::kClosed, Stdout::kClosed, {{"QUERY_STRING", "AB"}}, "", {}, 1,
       {"", kLine, "[AB] " + kHit}},
      {"output closed, error page", Stdin::kBytes, Stdout::kClosed, {}, "", {}, 1,
       {"", kNoLine, ""}},
      {"reader gone, explicit", Stdin::kBytes, Stdout::kBrokenPipe,
       {{"QUERY_STRING", long1023}}, "", {}, 1, {"", kLine, "[Explicit] " + long1023}},
      {"reader gone, body key", Stdin::kBytes, Stdout::kBrokenPipe, {{"CONTENT_LENGTH", "2"}},
       "ab", {}, 1, {"", kLine, "[ab] " + kHit}},
      {"reader gone, error page", Stdin::kBytes, Stdout::kBrokenPipe,
       {{"CONTENT_LENGTH", "5000"}}, "", {}, 1, {"", kNoLine, ""}},
      {"reader gone, banner", Stdin::kBytes, Stdout::kBrokenPipe, {}, "", {"/?"}, 0,
       {"", kNoLine, ""}},
      {"output closed, banner", Stdin::kClosed, Stdout::kClosed, {}, "", {"-?"}, 0,
       {"", kNoLine, ""}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {program_};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult result =
        RunProcess(program_, argv, c.status == 0 ? Env{} : RequestEnv(c.env), c.body, bin_,
                   {c.input, c.output, true, {}});  // the banner: at a console, not a server
    Check(result, c.expected, TakeLog(logs_), c.status, c.output == Stdout::kCapture);
  }
}

// A body the server passes on without CONTENT_LENGTH (a chunked POST) is
// read to its end before the program exits, so that a server still writing
// it gets no broken pipe and takes the answer; one that never ends holds
// the program a bounded time. Standard input is a pipe, as a server's is.
TEST_F(BadInputE2eTest, BodyWithoutALengthIsReadToItsEnd) {
  const struct {
    const char *name;
    Env env;
    std::string writer;  // what writes standard input, in the shell
    std::string out;
  } cases[] = {
      {"chunked", {{"REQUEST_METHOD", "POST"}, {"HTTP_TRANSFER_ENCODING", "chunked"}},
       "/usr/bin/head -c 300000 /dev/zero", kNoQueryPage},
      {"POST without a length", {{"REQUEST_METHOD", "POST"}}, "/usr/bin/head -c 100000 /dev/zero",
       kNoQueryPage},
      {"chunked, with a query string",
       {{"REQUEST_METHOD", "POST"}, {"HTTP_TRANSFER_ENCODING", "chunked"}, {"QUERY_STRING", "ab"}},
       "/usr/bin/head -c 200000 /dev/zero", Answered(kHit)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // pipefail: the writer's status counts; 141 would be its broken pipe.
    ProcessResult result =
        RunProcess("/bin/bash", {"-c", "set -o pipefail; " + c.writer + " | \"$0\"", program_},
                   RequestEnv(c.env), "", bin_);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, 1) << "the program's, not the writer's (141: a broken pipe)";
    TakeLog(logs_);
  }
  // A writer that never closes its end: the program still ends, in seconds.
  const std::string fifo = dir_ / "body";
  ProcessResult held = RunProcess(
      "/bin/bash",
      {"-c",
       "/usr/bin/mkfifo \"$1\" || exit; /bin/sleep 30 >\"$1\" 2>/dev/null & writer=$!; "
       "start=$SECONDS; \"$0\" <\"$1\"; echo \" $((SECONDS - start))\"; kill $writer",
       program_, fifo},
      RequestEnv({{"REQUEST_METHOD", "POST"}, {"HTTP_TRANSFER_ENCODING", "chunked"}}), "", bin_);
  ASSERT_EQ(held.out.compare(0, kNoQueryPage.size(), kNoQueryPage), 0) << held.out;
  EXPECT_LE(std::stoi(held.out.substr(kNoQueryPage.size())), 4);
}

// A log the program cannot write costs the line, never the answer.
TEST_F(BadInputE2eTest, LogOnAFullDisk) {
  time_t now = time(nullptr);
  for (time_t t : {now, now + 120}) {
    std::string link = logs_ + "/" + LogName(t);
    if (!FileExists(link)) {
      ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    }
  }
  for (const char *query : {"q.example", "ab"}) {
    SCOPED_TRACE(query);
    ProcessResult result = Ask({{"QUERY_STRING", query}});
    std::string log = logs_ + "/" + LogName(time(nullptr));
    Check(result, {Answer(query).out, kNoLine, "", LostLine(log, "No space left on device")},
          "");
  }
}

TEST_F(BadInputE2eTest, LogFolderIsAFile) {
  ASSERT_EQ(rmdir(logs_.c_str()), 0);
  WriteFile(logs_, "not a folder");
  ProcessResult result = Ask({{"QUERY_STRING", "ab"}});
  std::string log = logs_ + "/" + LogName(time(nullptr));
  Check(result, {Redirect(kHit), kNoLine, "", LostLine(log, "Not a directory")}, "");
  EXPECT_EQ(ReadFile(logs_), "not a folder");
}

TEST_F(BadInputE2eTest, LogFolderReadOnly) {
  ASSERT_EQ(chmod(logs_.c_str(), 0555), 0);
  if (!CreateRefused(logs_)) {
    chmod(logs_.c_str(), 0755);
    GTEST_SKIP() << "a read-only folder is writable to this user";
  }
  ProcessResult result = Ask({{"QUERY_STRING", "q.example"}});
  chmod(logs_.c_str(), 0755);
  std::string log = logs_ + "/" + LogName(time(nullptr));
  Check(result, {Redirect("q.example"), kNoLine, "", LostLine(log, "Permission denied")},
        TakeLog(logs_));
}

// Tables that are not tables: every lookup misses, nothing worse.
TEST_F(BadInputE2eTest, BrokenTables) {
  enum Kind { kContent, kFolder, kUnreadable };
  const std::string longLine(3 << 20, 'a');
  const struct {
    const char *name;
    Kind kind;
    std::string content;
    std::string value;  // the answer for the key "ab"
  } cases[] = {
      {"a folder", kFolder, "", ""},
      {"unreadable", kUnreadable, kTable, ""},
      {"0x1A only", kContent, std::string(5000, '\x1a'), ""},
      {"0x1A before the entry", kContent, "\x1a" + kTable, ""},
      {"carriage returns only", kContent, std::string(20000, '\r'), ""},
      {"zero bytes only", kContent, std::string(65536, '\0'), ""},
      {"zero bytes around the entry", kContent, std::string(100, '\0') + kTable + '\0', kHit},
      {"empty", kContent, "", ""},
      {"3 MB without a line end", kContent, longLine, ""},
      {"3 MB line ending in the entry", kContent, longLine + kTable, ""},
      {"entry after a 3 MB line", kContent, longLine + "\n" + kTable, ""},
      {"entry before a 3 MB line", kContent, kTable + longLine, kHit},
  };
  const std::string table = bin_ + "/hopdata/config.txt";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(table);
    if (c.kind == kFolder) {
      MakeDir(table);
    } else {
      WriteFile(table, c.content);
    }
    if (c.kind == kUnreadable) {
      chmod(table.c_str(), 0);
      int fd = open(table.c_str(), O_RDONLY);
      if (fd >= 0) {
        close(fd);
        continue;  // this user reads it anyway (root)
      }
    }
    ProcessResult result = Ask({{"QUERY_STRING", "ab"}});
    Check(result, {Answered(c.value), kLine, "[ab] " + c.value}, TakeLog(logs_));
    chmod(table.c_str(), 0644);
  }
}

// A program whose directory is D (ending in '/'), under dir, of exactly
// length bytes, with hopdata/ beside it; returns the program path.
std::string InstallDeep(const TempDir &dir, size_t length) {
  std::string d = dir.path() + "/";
  while (d.size() < length) {
    size_t left = length - d.size();
    size_t part = std::min<size_t>(left - 1, 200);
    if (left - part - 1 == 1) part--;  // leave no room too small for a folder
    d += std::string(part, 'd') + "/";
    MakeDir(d);
  }
  MakeDir(d + "hopdata");
  MakeDir(d + "hopdata/logs");
  WriteFile(d + "hopdata/config.txt", kTable);
  std::string program = d + "linkhop";
  WriteFile(program, ReadFile(LINKHOP_BINARY));
  chmod(program.c_str(), 0755);
  return program;
}

// The table path must fit in 320 bytes and the log path in 512; beyond them
// a key misses and no line is written, but an explicit address is answered.
TEST_F(BadInputE2eTest, LongProgramPaths) {
  const struct {
    size_t directory;
    bool tableFits, logFits;
  } cases[] = {
      {301, true, true},   {302, false, true},   {486, false, true},
      {487, false, false}, {3000, false, false}, {4000, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.directory);
    TempDir dir;
    ASSERT_LT(dir.path().size() + 3, c.directory);
    std::string program = InstallDeep(dir, c.directory);
    ASSERT_EQ(program.size(), c.directory + 7);
    std::string logs = program.substr(0, c.directory) + "hopdata/logs";
    for (const char *query : {"q.example", "ab"}) {
      SCOPED_TRACE(query);
      ProcessResult result = RunProcess(program, {}, RequestEnv({{"QUERY_STRING", query}}));
      Expected expected = Answer(query);
      if (!c.tableFits && expected.out == Redirect(kHit)) expected = {kMissPage, kLine, "[ab] "};
      if (!c.logFits) {
        expected.log = kNoLine;
        // The folder fits the log's path buffer up to 499 bytes, the file
        // name after it does not.
        expected.err = c.directory < 500
                           ? LostLine(program.substr(0, c.directory) + "hopdata/logs/",
                                      "path too long")
                           : "linkhop: request log: no folder of the program's own (its path "
                             "is too long); line lost\n";
      }
      Check(result, expected, TakeLog(logs));
    }
  }
}

// Argument 0 as the caller chose it: a bare name, however long, empty or
// missing altogether (argc 0), is the program's own file; a real path padded
// with slashes is too long for the program's buffers, and the program then
// has no folder of its own: keys miss and no line is logged (the empty
// folder the run starts from holds no table and no log either).
TEST_F(BadInputE2eTest, HugeOrEmptyArgumentZero) {
  TempDir elsewhere;
  const struct {
    const char *name;
    std::vector<std::string> argv;
    bool ownFolder;
  } cases[] = {
      {"10000 bytes", {std::string(10000, 'x')}, true},
      {"32767 bytes", {std::string(32767, 'x')}, true},
      {"32768 bytes", {std::string(32768, 'x')}, true},
      {"40000 bytes", {std::string(40000, 'x')}, true},
      {"40000 bytes and an argument", {std::string(40000, 'x'), "q.example"}, true},
      {"the program behind 3000 slashes", {std::string(3000, '/') + program_}, false},
      // The program's path and words of a query that just fit, or just miss,
      // the short room a command line is joined in.
      {"the program and 511 bytes in all",
       {program_, std::string(510 - program_.size(), 'w')}, true},
      {"the program and 512 bytes in all",
       {program_, std::string(511 - program_.size(), 'w')}, true},
      {"the program and an 800-byte word", {program_, std::string(800, 'w')}, true},
      {"empty", {""}, true},
      {"no arguments", {}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (const char *query : {"q.example", "ab"}) {
      SCOPED_TRACE(query);
      ProcessResult result =
          RunProcess(program_, c.argv, RequestEnv({{"QUERY_STRING", query}}), "",
                     elsewhere.path(), {Stdin::kBytes, Stdout::kCapture, true, {}});
      Expected expected = Answer(query);
      if (!c.ownFolder) {
        if (expected.out == Redirect(kHit)) expected.out = kMissPage;
        expected.log = kNoLine;
        expected.err =
            "linkhop: request log: no folder of the program's own (its path is too long); "
            "line lost\n";
      }
      Check(result, expected, TakeLog(logs_));
      EXPECT_EQ(Listing(elsewhere.path()), std::vector<std::string>{});
    }
  }
}

// Where the program finds its folder. A bare name (as some servers start
// a CGI program) names the current folder's entry when that is the program
// itself, also through a symbolic link whose folder holds the data, and
// otherwise the file the system started. A path that the command-line text
// cannot carry gives no folder at all, never the folder a decoy table sits
// in: explicit addresses are answered, keys miss, nothing is logged, and
// standard error says why.
TEST_F(BadInputE2eTest, ProgramFolderIsItsOwnOrNone) {
  enum Kind { kOwn, kNone };
  const std::string noFolder =
      "linkhop: request log: no folder of the program's own (its path holds a double quote, a "
      "backslash or a control byte); line lost\n";
  const struct {
    const char *name;
    const char *folder;   // the program's folder under the temporary one
    const char *decoy;    // where a mistaken reading of the path would look
    const char *argZero;  // "": the program's full path
    const char *from;     // the current folder, under the temporary one
    Kind kind;
  } cases[] = {
      {"bare name from another folder", "www/cgi-bin", "", "linkhop", "", kOwn},
      {"bare name from its own folder", "www/cgi-bin", "", "linkhop", "www/cgi-bin", kOwn},
      {"bare name, another file of that name here", "www/cgi-bin", "", "linkhop", "other",
       kOwn},
      {"double quote in the folder", "q\"dir/cgi-bin", "qdir/cgi-bin", "", "", kNone},
      {"backslash in the folder", "bs\\dir/cgi-bin", "bs/dir/cgi-bin", "", "", kNone},
      {"tab in the folder", "t\tdir/cgi-bin", "t", "", "", kNone},
      {"line feed in the folder", "n\ndir/cgi-bin", "n", "", "", kNone},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto install = [&](const std::string &folder, const std::string &address) {
      std::string bin = dir.path();
      for (size_t start = 0; start <= folder.size();) {  // each level of the folder
        size_t slash = folder.find('/', start);
        if (slash == std::string::npos) slash = folder.size();
        bin += "/" + folder.substr(start, slash - start);
        MakeDir(bin);
        start = slash + 1;
      }
      MakeDir(bin + "/hopdata");
      MakeDir(bin + "/hopdata/logs");
      WriteFile(bin + "/hopdata/config.txt", "ab=" + address + "\n");
      return bin;
    };
    std::string bin = install(c.folder, kHit);
    std::string decoy = *c.decoy ? install(c.decoy, "https://decoy.example/") : "";
    std::string program = bin + "/linkhop";
    WriteFile(program, ReadFile(LINKHOP_BINARY));
    chmod(program.c_str(), 0755);
    MakeDir(dir / "other");
    WriteFile(dir / "other/linkhop", "#!/bin/sh\n");  // not this program
    std::string from = *c.from ? dir / c.from : dir.path();
    std::vector<std::string> argv = {*c.argZero ? c.argZero : program};
    for (const char *query : {"q.example", "ab"}) {
      SCOPED_TRACE(query);
      ProcessResult result = RunProcess(program, argv, RequestEnv({{"QUERY_STRING", query}}),
                                        "", from, {Stdin::kBytes, Stdout::kCapture, true, {}});
      Expected expected = Answer(query);
      if (c.kind == kNone) {
        if (expected.out == Redirect(kHit)) expected.out = kMissPage;
        expected.log = kNoLine;
        expected.err = noFolder;
      }
      Check(result, expected, TakeLog(bin + "/hopdata/logs"));
      if (!decoy.empty()) {
        EXPECT_EQ(Listing(decoy + "/hopdata/logs"), std::vector<std::string>{});
      }
    }
  }

  // Through a symbolic link: the folder that holds the link holds the data.
  TempDir dir;
  MakeDir(dir / "bin");
  MakeDir(dir / "cgi-bin");
  MakeDir(dir / "cgi-bin/hopdata");
  MakeDir(dir / "cgi-bin/hopdata/logs");
  WriteFile(dir / "cgi-bin/hopdata/config.txt", "ab=" + kHit + "\n");
  WriteFile(dir / "bin/linkhop", ReadFile(LINKHOP_BINARY));
  chmod((dir / "bin/linkhop").c_str(), 0755);
  ASSERT_EQ(symlink((dir / "bin/linkhop").c_str(), (dir / "cgi-bin/linkhop").c_str()), 0);
  ProcessResult result = RunProcess(dir / "cgi-bin/linkhop", {"linkhop"},
                                    RequestEnv({{"QUERY_STRING", "ab"}}), "", dir / "cgi-bin",
                                    {Stdin::kBytes, Stdout::kCapture, true, {}});
  Check(result, Answer("ab"), TakeLog(dir / "cgi-bin/hopdata/logs"));
}

}  // namespace
