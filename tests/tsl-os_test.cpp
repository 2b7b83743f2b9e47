// Tests of the POSIX platform layer: text-mode files and standard input,
// the command line rebuilt from the argument vector, and the test seams.
#include "tsl-os.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "test_support.h"
#include "tsl-core.h"

namespace {

const char kPrintCommandLine[] = "TSL_OS_TEST_PRINT_COMMAND_LINE";

// Runs before main: this program started again with kPrintCommandLine set
// writes the command-line text the layer rebuilt for it, and ends.
[[maybe_unused]] const bool printCommandLineMode = [] {
  if (!getenv(kPrintCommandLine)) return false;
  const char *text = OsGetCommandLine();
  if (!text) _exit(2);
  size_t length = strlen(text);
  _exit(write(STDOUT_FILENO, text, length) == (ssize_t)length ? 0 : 3);
}();

std::string ThisProgram() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, (size_t)n) : std::string();
}

std::string WithoutCr(const std::string &text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// Many lines with CRLF ends, and here and there a run of carriage returns,
// so that chunk boundaries fall on them in every way.
std::string ManyCarriageReturns() {
  std::string text;
  for (int i = 0; i < 6000; i++) {
    text += "line " + std::to_string(i);
    text += std::string((size_t)(i % 7 == 0 ? i % 5 + 1 : 1), '\r');
    text += '\n';
  }
  return text;
}

// ---- Text-mode reads ------------------------------------------------------

TEST(OsFileReadTest, TextModeDeliversFullChunksUntilTheDataEnds) {
  const std::string many = ManyCarriageReturns();
  const struct {
    const char *name;
    std::string raw;
    int chunk;
    std::string expected;
  } cases[] = {
      {"CRLF lines", "one\r\ntwo\r\n", 4096, "one\ntwo\n"},
      {"lone carriage returns", "a\rb\rc", 4096, "abc"},
      {"run of carriage returns", "a\r\r\r\r\nb", 4096, "a\nb"},
      {"carriage returns only", "\r\r\r\r\r\r", 4096, ""},
      {"carriage returns only, small reads", "\r\r\r\r\r\r", 2, ""},
      {"carriage return at a read boundary", "abc\r\ndef\r\nghi", 3, "abc\ndef\nghi"},
      {"run across read boundaries", "ab\r\r\r\r\r\rcdefg", 2, "abcdefg"},
      {"carriage return last", "abc\r", 3, "abc"},
      {"0x1A ends the data", "abc\x1A" "def", 4096, "abc"},
      {"0x1A first", "\x1A" "abc", 4096, ""},
      {"0x1A in a later chunk", "abcde\x1A" "fgh", 2, "abcde"},
      {"0x1A after a carriage return", "ab\r\x1A\r\ncd", 4096, "ab"},
      {"empty file", "", 4096, ""},
      {"many carriage returns, 4095-byte reads", many, 4095, WithoutCr(many)},
      {"many carriage returns, 1-byte reads", many.substr(0, 3000), 1,
       WithoutCr(many.substr(0, 3000))},
  };
  TempDir dir;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "in.txt", c.raw);
    OsFile *file = OsFileOpen((dir / "in.txt").c_str(), "rt");
    ASSERT_NE(file, nullptr);
    std::vector<char> buffer((size_t)c.chunk);
    std::string all;
    std::vector<int> sizes;
    int n;
    while ((n = OsFileRead(file, buffer.data(), c.chunk)) > 0) {
      sizes.push_back(n);
      all.append(buffer.data(), (size_t)n);
      ASSERT_LE(sizes.size(), c.raw.size() + 1) << "reads never end";
    }
    EXPECT_EQ(n, 0);
    // Once ended, the data stays ended.
    EXPECT_EQ(OsFileRead(file, buffer.data(), c.chunk), 0);
    EXPECT_EQ(OsFileRead(file, buffer.data(), c.chunk), 0);
    OsFileClose(file);
    EXPECT_EQ(all, c.expected);
    for (size_t i = 0; i + 1 < sizes.size(); i++)
      ASSERT_EQ(sizes[i], c.chunk) << "short read " << i << " of " << sizes.size();
  }
}

TEST(OsFileOpenTest, OpensFilesOnlyWhereTheyAre) {
  TempDir dir;
  MakeDir(dir / "sub");
  WriteFile(dir / "sub/table.txt", "key = a.b\r\n");
  std::string backslashed = dir.path() + "\\sub\\table.txt";
  OsFile *file = OsFileOpen(backslashed.c_str(), "rt");
  ASSERT_NE(file, nullptr);
  char buffer[64];
  EXPECT_EQ(OsFileRead(file, buffer, sizeof(buffer)), 10);
  EXPECT_EQ(std::string(buffer, 10), "key = a.b\n");
  OsFileClose(file);

  EXPECT_EQ(OsFileOpen((dir / "sub").c_str(), "rt"), nullptr);
  EXPECT_EQ(OsFileOpen((dir / "missing.txt").c_str(), "rt"), nullptr);
  EXPECT_FALSE(FileExists(dir / "missing.txt"));
  EXPECT_EQ(OsFileOpen((dir / "nodir/log.txt").c_str(), "at+"), nullptr);
  EXPECT_FALSE(FileExists(dir / "nodir"));
}

// ---- Text-mode writes -----------------------------------------------------

std::string WriteThrough(const std::string &path, const char *mode, const std::string &bytes) {
  OsFile *file = OsFileOpen(path.c_str(), mode);
  if (!file) return "(not open)";
  int ok = OsFileWrite(file, bytes.data(), (int)bytes.size());
  OsFileClose(file);
  return ok == 1 ? ReadFile(path) : "(write failed)";
}

TEST(OsFileWriteTest, LineFeedsBecomeCrlf) {
  std::string whole((size_t)OS_WRITE_WHOLE, '\n');
  std::string longer;
  for (int i = 0; i < 900; i++) longer += "entry " + std::to_string(i) + "\n";
  const struct {
    const char *name;
    std::string bytes;
  } cases[] = {
      {"lines", "a\nb\n\nc"},
      {"carriage return kept", "a\r\nb"},
      {"a whole write of line feeds", whole},
      {"more than a whole write", longer},
  };
  TempDir dir;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WriteThrough(dir / "out.txt", "wt", c.bytes), Crlf(c.bytes));
  }
}

TEST(OsFileWriteTest, ModesCreateEmptyAndAppend) {
  TempDir dir;
  std::string path = dir / "log.txt";
  EXPECT_EQ(WriteThrough(path, "at+", "one\n"), "one\r\n");  // created
  EXPECT_EQ(WriteThrough(path, "at+", "two\n"), "one\r\ntwo\r\n");
  EXPECT_EQ(WriteThrough(path, "at", "three\n"), "one\r\ntwo\r\nthree\r\n");

  OsFile *file = OsFileOpen(path.c_str(), "wt");
  ASSERT_NE(file, nullptr);
  OsFileClose(file);
  EXPECT_EQ(ReadFile(path), "");

  // Two appenders: every write lands at the end, whoever wrote last.
  OsFile *first = OsFileOpen(path.c_str(), "at+");
  OsFile *second = OsFileOpen(path.c_str(), "at+");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  OsFileWrite(first, "1\n", 2);
  OsFileWrite(second, "2\n", 2);
  OsFileWrite(first, "3\n", 2);
  OsFileClose(first);
  OsFileClose(second);
  EXPECT_EQ(ReadFile(path), "1\r\n2\r\n3\r\n");
}

TEST(OsFileWriteTest, WholeLinesOfConcurrentAppendersNeverInterleave) {
  TempDir dir;
  std::string path = dir / "shared.log";
  const int writers = 4, lines = 150;
  std::vector<pid_t> children;
  for (int w = 0; w < writers; w++) {
    pid_t pid = fork();
    if (pid == 0) {
      // One call of OS_WRITE_WHOLE bytes: one line of a single letter.
      std::string line((size_t)OS_WRITE_WHOLE - 1, (char)('a' + w));
      line += '\n';
      for (int i = 0; i < lines; i++) {
        OsFile *file = OsFileOpen(path.c_str(), "at+");
        if (!file || OsFileWrite(file, line.data(), (int)line.size()) != 1) _exit(1);
        OsFileClose(file);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string all = ReadFile(path);
  const size_t lineSize = OS_WRITE_WHOLE + 1;
  ASSERT_EQ(all.size(), lineSize * writers * lines);
  for (size_t at = 0; at < all.size(); at += lineSize) {
    std::string expected((size_t)OS_WRITE_WHOLE - 1, all[at]);
    ASSERT_EQ(all.compare(at, lineSize, expected + "\r\n"), 0) << "line split at byte " << at;
  }
}

// ---- Standard input -------------------------------------------------------

struct StdinOutcome {
  int delivered[3];
  char bytes[3][64];
  int budgetAfter[3];
  long offsetAfter[3];
};

struct StdinCase {
  const char *name;
  std::string raw;
  int budget;
  std::vector<int> counts;
  std::vector<std::string> expected;
  std::vector<int> budgetAfter;  // -1: whatever was taken, as long as it is accounted for
};

void ReadStdinCalls(StdinOutcome &out, const void *arg) {
  const StdinCase &c = *static_cast<const StdinCase *>(arg);
  StdinFrom(c.raw);
  int budget = c.budget;
  for (size_t i = 0; i < c.counts.size() && i < 3; i++) {
    out.delivered[i] = OsStdinRead(out.bytes[i], c.counts[i], &budget);
    out.budgetAfter[i] = budget;
    out.offsetAfter[i] = (long)lseek(STDIN_FILENO, 0, SEEK_CUR);
  }
}

TEST(OsStdinReadTest, TextModeWithinTheRawBudget) {
  const StdinCase cases[] = {
      {"CRLF body", "a\r\nb\r\n", 6, {10}, {"a\nb\n"}, {0}},
      {"dropped carriage returns never shorten", "\r\r\rabc", 6, {2, 5}, {"ab", "c"}, {1, 0}},
      {"never past the budget", "abcdefgh", 5, {3, 10, 10}, {"abc", "de", ""}, {2, 0, 0}},
      {"input shorter than the budget", "xyz", 100, {10, 10}, {"xyz", ""}, {97, 97}},
      {"no budget", "abc", 0, {10}, {""}, {0}},
      {"0x1A ends the input", "ab\x1A" "cd", 5, {10, 10}, {"ab", ""}, {-1, -1}},
      {"0x1A met by a later call", "ab\x1A" "cd", 5, {2, 10, 10}, {"ab", "", ""}, {3, -1, -1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    StdinOutcome out = InChild<StdinOutcome>(ReadStdinCalls, &c);
    for (size_t i = 0; i < c.counts.size(); i++) {
      SCOPED_TRACE("call " + std::to_string(i));
      ASSERT_GE(out.delivered[i], 0);
      EXPECT_EQ(std::string(out.bytes[i], (size_t)out.delivered[i]), c.expected[i]);
      if (c.budgetAfter[i] >= 0) {
        EXPECT_EQ(out.budgetAfter[i], c.budgetAfter[i]);
      }
      // What left the stream is exactly what came off the budget.
      EXPECT_EQ(out.offsetAfter[i], (long)(c.budget - out.budgetAfter[i]));
      EXPECT_LE(out.offsetAfter[i], (long)c.budget);
    }
  }
}

// ---- The command line -----------------------------------------------------

class OsCommandLineTest : public CoreStartedTest {};

TEST_F(OsCommandLineTest, RebuiltFromTheArgumentVector) {
  TempDir dir;
  ASSERT_EQ(dir.path().find_first_of(" \t\""), std::string::npos);
  std::string self = ThisProgram();
  ASSERT_FALSE(self.empty());
  std::string plain = dir / "prog", spaced = dir / "my prog";
  ASSERT_EQ(symlink(self.c_str(), plain.c_str()), 0);
  ASSERT_EQ(symlink(self.c_str(), spaced.c_str()), 0);
  static const struct {
    bool spacedProgram;
    std::vector<std::string> args;
    std::string expectedArgs;  // what follows argument 0
  } cases[] = {
      {false, {}, ""},
      {false, {"-?"}, " -?"},
      {false, {"a b", "", "x\ty", "plain"}, " \"a b\" \"\" \"x\ty\" plain"},
      {false, {"a", "b"}, " a b"},
      {false, {"q=1&r=2", "\" quoted"}, " q=1&r=2 \"\" quoted\""},
      {true, {"x"}, " x"},
      {true, {}, ""},
  };
  for (const auto &c : cases) {
    const std::string &program = c.spacedProgram ? spaced : plain;
    std::string argZero = c.spacedProgram ? "\"" + program + "\"" : program;
    SCOPED_TRACE(argZero + c.expectedArgs);
    ProcessResult run = RunProcess(program, c.args, {{kPrintCommandLine, "1"}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, argZero + c.expectedArgs);
    std::vector<char> out(run.out.size() + 1);
    EXPECT_EQ(CmdLineGetArg(run.out.c_str(), 0, out.data()), 1);
    EXPECT_EQ(std::string(out.data()), program);
  }
}

TEST_F(OsCommandLineTest, SeamReplacesTheCommandLineUntilCleared) {
  const char *text = "\"C:\\Program Files\\web\\prog.exe\" x";
  OsSetCommandLineForTest(text);
  EXPECT_EQ(OsGetCommandLine(), text);

  OsSetCommandLineForTest(nullptr);
  std::string ownArgZero = ReadFile("/proc/self/cmdline").c_str();  // up to the first NUL
  const char *real = OsGetCommandLine();
  ASSERT_NE(real, nullptr);
  std::vector<char> out(strlen(real) + 1);
  EXPECT_EQ(CmdLineGetArg(real, 0, out.data()), 1);
  EXPECT_EQ(std::string(out.data()), ownArgZero);
}

// ---- Local time -----------------------------------------------------------

TEST(OsLocalTimeTest, SeamGivesTheLocalTimeOfAKnownMoment) {
  const char *oldTz = getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  static const struct {
    const char *tz;
    int64_t seconds;
    OsDateTime expected;
  } cases[] = {
      {"UTC", 946684800, {100, 0, 1, 0, 0}},
      {"UTC", 0, {70, 0, 1, 0, 0}},
      {"UTC", 951782400, {100, 1, 29, 0, 0}},
      {"UTC", 978307199, {100, 11, 31, 23, 59}},
      {"UTC", 1700000000, {123, 10, 14, 22, 13}},
      {"UTC", 2147483647, {138, 0, 19, 3, 14}},
      {"UTC", 4102444800, {200, 0, 1, 0, 0}},
      {"EET-2", 946684800, {100, 0, 1, 2, 0}},
      {"EST5", 946684800, {99, 11, 31, 19, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.seconds));
    setenv("TZ", c.tz, 1);
    tzset();
    OsSetTimeForTest(c.seconds);
    OsDateTime now = {-1, -1, -1, -1, -1};
    ASSERT_EQ(OsLocalTime(&now), 1);
    EXPECT_EQ(now.year, c.expected.year);
    EXPECT_EQ(now.month, c.expected.month);
    EXPECT_EQ(now.day, c.expected.day);
    EXPECT_EQ(now.hour, c.expected.hour);
    EXPECT_EQ(now.minute, c.expected.minute);
  }
  // A time below 0 gives the real clock back.
  OsSetTimeForTest(-1);
  OsDateTime now = {-1, -1, -1, -1, -1};
  ASSERT_EQ(OsLocalTime(&now), 1);
  EXPECT_GE(now.year, 124);
  if (oldTz)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
