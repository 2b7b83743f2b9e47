// Tests of Tessel's input and output (tsl-io) and the primitives below it
// (tsl-os), through their headers alone: the same cases run against the
// POSIX source here and against the Win32 source under Wine, so that both
// give the same bytes in and out.
#include "tsl-io.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include "test_support.h"
#include "tsl-core.h"

namespace {

// Reads a whole file through the text-mode reader in reads of `chunk` bytes,
// checking that every read but the last is full and that the end stays the
// end.
std::string ReadText(const std::string &path, int chunk, bool *allFull, bool keepReturns = false) {
  IoReader *reader = new IoReader;
  std::string text;
  *allFull = true;
  EXPECT_EQ(IoReaderOpen(reader, path.c_str(), nullptr), 1) << path;
  if (keepReturns) IoReaderKeepReturns(reader, 1);
  std::vector<char> buffer(chunk);
  bool ended = false;
  int n;
  while ((n = IoReaderRead(reader, buffer.data(), chunk)) > 0) {
    if (ended) *allFull = false;  // data after a short read
    if (n < chunk) ended = true;
    text.append(buffer.data(), n);
  }
  EXPECT_EQ(IoReaderRead(reader, buffer.data(), chunk), 0) << "the end stays the end";
  EXPECT_EQ(IoReaderRead(reader, buffer.data(), chunk), 0);
  IoReaderClose(reader);
  delete reader;
  return text;
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

TEST(IoReadTest, TextModeDropsCarriageReturnsAndEndsAtSubstitute) {
  const std::string many = ManyCarriageReturns();
  static const struct {
    const char *name;
    std::string bytes;
    std::string text;
  } kCases[] = {
      {"plain", "news=a\nold=b\n", "news=a\nold=b\n"},
      {"CR LF", "news=a\r\nold=b\r\n", "news=a\nold=b\n"},
      {"lone and doubled CRs", "a\rb\r\r\nc\r", "ab\nc"},
      {"lone carriage returns", "a\rb\rc", "abc"},
      {"run of carriage returns", "a\r\r\r\r\nb", "a\nb"},
      {"run across read boundaries", "ab\r\r\r\r\r\rcdefg", "abcdefg"},
      {"carriage return at a read boundary", "abc\r\ndef\r\nghi", "abc\ndef\nghi"},
      {"carriage return last", "abc\r", "abc"},
      {"carriage returns only", "\r\r\r\r\r\r", ""},
      {"many carriage returns only", std::string(5000, '\r'), ""},
      {"0x1A ends the data", "a=b\n\x1A" "c=d\n", "a=b\n"},
      {"0x1A first", "\x1A" "abc", ""},
      {"0x1A in a later read", "abcde\x1A" "fgh", "abcde"},
      {"0x1A after a carriage return", "ab\r\x1A\r\ncd", "ab"},
      {"zero bytes are data", std::string("a\0b\r\n", 5), std::string("a\0b\n", 4)},
      {"empty file", "", ""},
      {"many carriage returns", many, WithoutCr(many)},
  };
  TempDir dir;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "t.txt", c.bytes);
    for (int chunk : {1, 2, 3, 4095, 4096}) {
      if (chunk < 4 && c.bytes.size() > 10000) continue;  // slow, and no new case
      bool allFull = false;
      EXPECT_EQ(ReadText(dir / "t.txt", chunk, &allFull), c.text) << "chunk " << chunk;
      EXPECT_TRUE(allFull) << "a dropped CR must not make a read short, chunk " << chunk;
      // A reader that keeps the CRs still ends the data at 0x1A.
      EXPECT_EQ(ReadText(dir / "t.txt", chunk, &allFull, true),
                c.bytes.substr(0, c.bytes.find('\x1A')))
          << "CRs kept, chunk " << chunk;
      EXPECT_TRUE(allFull) << "CRs kept, chunk " << chunk;
    }
  }
}

TEST(IoReadTest, LargeCrlfFileReadsBackWhole) {
  TempDir dir;
  std::string bytes, text;
  for (int i = 0; i < 20000; i++) {
    std::string line = "key" + std::to_string(i) + " = /page/" + std::to_string(i * 7);
    bytes += line + "\r\n";
    text += line + "\n";
  }
  WriteFile(dir / "big.txt", bytes);
  bool allFull = false;
  EXPECT_EQ(ReadText(dir / "big.txt", 4095, &allFull), text);
  EXPECT_TRUE(allFull);
}

// Carriage returns alone, in pairs, in runs, at every offset of a block:
// the reader drops them however they fall and hands back everything else.
TEST(IoReadTest, RandomCarriageReturnsAreDropped) {
  TempDir dir;
  std::mt19937 random(20261207);
  for (int round = 0; round < 40; round++) {
    const char *alphabet = round % 2 ? "ab\r\n" : "abcdefghijklmnopqrstuvwxyz\r\n";
    size_t letters = strlen(alphabet);
    std::string bytes, text;
    size_t size = random() % (round < 20 ? 300 : 200000);
    for (size_t i = 0; i < size; i++) {
      // A run of returns now and then, one alone often.
      char c = random() % 50 == 0 ? '\r' : alphabet[random() % letters];
      size_t run = c == '\r' && random() % 8 == 0 ? 1 + random() % 40 : 1;
      bytes.append(run, c);
      if (c != '\r') text += c;
    }
    WriteFile(dir / "t.txt", bytes);
    bool allFull = false;
    ASSERT_EQ(ReadText(dir / "t.txt", 4095, &allFull), text) << "round " << round;
    EXPECT_TRUE(allFull);
  }
}

// The text-mode rule on its own, as the body of a request meets it: in
// place, at every offset and every density of carriage returns.
TEST(IoReadTest, TextInDropsInPlace) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; round++) {
    std::string bytes;
    size_t size = random() % 80;
    int density = 1 + random() % 20;
    for (size_t i = 0; i < size; i++)
      bytes += random() % density == 0 ? '\r' : (char)('a' + random() % 26);
    if (round % 10 == 0 && size > 0) bytes[random() % size] = '\x1A';
    std::string expected = WithoutCr(bytes.substr(0, bytes.find('\x1A')));
    std::string buffer = bytes;
    int ended = 0;
    int n = IoTextIn(&buffer[0], (int)buffer.size(), &ended);
    ASSERT_EQ(buffer.substr(0, (size_t)n), expected) << "round " << round;
    EXPECT_EQ(ended, bytes.find('\x1A') != std::string::npos ? 1 : 0);
  }
}

TEST(IoOpenTest, OpensFilesOnlyWhereTheyAre) {
  TempDir dir;
  MakeDir(dir / "sub");
  WriteFile(dir / "sub/table.txt", "key = a.b\r\n");
  std::string backslashed = dir.path() + "\\sub\\table.txt";
  IoReader *reader = new IoReader;
  ASSERT_EQ(IoReaderOpen(reader, backslashed.c_str(), nullptr), 1);
  char buffer[64];
  EXPECT_EQ(IoReaderRead(reader, buffer, sizeof(buffer)), 10);
  EXPECT_EQ(std::string(buffer, 10), "key = a.b\n");
  IoReaderClose(reader);

  OsFailure failure = {0, 1};
  EXPECT_EQ(IoReaderOpen(reader, (dir / "sub").c_str(), &failure), 0) << "a folder is no table";
  EXPECT_EQ(failure.transient, 0);
  EXPECT_EQ(IoReaderOpen(reader, (dir / "missing.txt").c_str(), &failure), 0);
  EXPECT_EQ(failure.transient, 0) << "a missing file stays missing";
  EXPECT_FALSE(FileExists(dir / "missing.txt"));
  OsFile file;
  EXPECT_EQ(IoFileOpen(&file, (dir / "nodir/log.txt").c_str(), OS_OPEN_APPEND, &failure), 0);
  EXPECT_FALSE(FileExists(dir / "nodir")) << "no folder is ever created";
  EXPECT_EQ(IoFileOpen(&file, std::string(5000, 'p').c_str(), OS_OPEN_APPEND, &failure), 0);
  EXPECT_EQ(failure.code, IO_PATH_TOO_LONG);
  char text[64];
  IoFailureText(failure, text, sizeof(text));
  EXPECT_STREQ(text, "path too long");
  delete reader;
}

// Paths about the length the layer makes native on the stack of the call,
// and past it, with slashes or backslashes: each opens, reads, appends and
// has a stamp alike. One past the longest native path is too long; one
// within it reaches the system, which says what it thinks of it.
TEST(IoOpenTest, LongPathsOpenLikeShortOnes) {
  TempDir dir;
#ifndef _WIN32 /* Windows opens no path of more than 259 characters by name */
  for (int length : {IO_SHORT_PATH_SIZE - 2, IO_SHORT_PATH_SIZE - 1, (int)IO_SHORT_PATH_SIZE,
                     IO_SHORT_PATH_SIZE + 1, 1000}) {
    SCOPED_TRACE(length);
    std::string folder = dir.path();
    while (length - (int)folder.size() - 1 > 200) {
      folder += "/" + std::string(200, (char)('a' + folder.size() % 26));
      MakeDir(folder);
    }
    const std::string path = folder + "/" + std::string(length - folder.size() - 1, 'n');
    ASSERT_EQ((int)path.size(), length);
    std::string backslashed = path;
    if (length % 2) std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    OsFile file;
    ASSERT_EQ(IoFileOpen(&file, backslashed.c_str(), OS_OPEN_APPEND, nullptr), 1);
    EXPECT_EQ(IoWriteText(file, "k = a.b\n", 8), 1);
    OsFileClose(file);
    EXPECT_EQ(ReadFile(path), "k = a.b\r\n");
    OsFileStamp stamp;
    ASSERT_EQ(IoFileStamp(backslashed.c_str(), &stamp), 1);
    EXPECT_EQ(stamp.size, 9);
    IoReader *reader = new IoReader;
    ASSERT_EQ(IoReaderOpen(reader, backslashed.c_str(), nullptr), 1);
    char buffer[16];
    EXPECT_EQ(IoReaderRead(reader, buffer, sizeof(buffer)), 8);
    IoReaderClose(reader);
    delete reader;
  }
#endif
  OsFailure failure = {0, 0};
  OsFileStamp stamp;
  OsFile file;
  EXPECT_EQ(IoFileOpen(&file, std::string(OS_PATH_SIZE, 'p').c_str(), OS_OPEN_READ, &failure), 0);
  EXPECT_EQ(failure.code, IO_PATH_TOO_LONG);
  EXPECT_EQ(IoFileStamp(std::string(OS_PATH_SIZE, 'p').c_str(), &stamp), 0);
  EXPECT_EQ(IoFileOpen(&file, std::string(OS_PATH_SIZE - 1, 'p').c_str(), OS_OPEN_READ, &failure),
            0);
  EXPECT_NE(failure.code, IO_PATH_TOO_LONG) << "the longest native path reaches the system";
}

// ---- Text-mode writes -----------------------------------------------------

std::string WriteThrough(const std::string &path, int mode, const std::string &bytes) {
  OsFile file;
  if (!IoFileOpen(&file, path.c_str(), mode, nullptr)) return "(not open)";
  int ok = IoWriteText(file, bytes.data(), (int)bytes.size());
  OsFileClose(file);
  return ok == 1 ? ReadFile(path) : "(write failed)";
}

TEST(IoWriteTest, LineFeedsBecomeCrlf) {
  std::string whole((size_t)IO_WRITE_WHOLE, '\n');
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
      {"a long line", std::string(IO_WRITE_WHOLE + 10, 'x') + "\n"},
  };
  TempDir dir;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WriteThrough(dir / "out.txt", OS_OPEN_CREATE, c.bytes), Crlf(c.bytes));
  }
}

TEST(IoWriteTest, ModesCreateEmptyAndAppend) {
  TempDir dir;
  std::string path = dir / "log.txt";
  EXPECT_EQ(WriteThrough(path, OS_OPEN_APPEND, "one\n"), "one\r\n");  // created
  EXPECT_EQ(WriteThrough(path, OS_OPEN_APPEND, "two\n"), "one\r\ntwo\r\n");

  // Two appenders: every write lands at the end, whoever wrote last.
  OsFile first, second;
  ASSERT_EQ(IoFileOpen(&first, path.c_str(), OS_OPEN_APPEND, nullptr), 1);
  ASSERT_EQ(IoFileOpen(&second, path.c_str(), OS_OPEN_APPEND, nullptr), 1)
      << "two writers may hold the log at once";
  EXPECT_EQ(IoWriteText(first, "1\n", 2), 1);
  EXPECT_EQ(IoWriteText(second, "2\n", 2), 1);
  EXPECT_EQ(IoWriteText(first, "3\n\n", 3), 1);
  OsFileClose(first);
  OsFileClose(second);
  EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n1\r\n2\r\n3\r\n\r\n");

  EXPECT_EQ(WriteThrough(path, OS_OPEN_CREATE, ""), "") << "creating empties";
}

// A sink sees each piece whole: a line of up to IO_WRITE_WHOLE bytes in one
// call, translated.
TEST(IoWriteTest, PiecesReachTheSinkWhole) {
  struct Calls {
    std::vector<std::string> pieces;
    int refuseFrom = 1 << 30;
  };
  IoSink sink = [](void *context, const char *bytes, int count) {
    Calls *calls = (Calls *)context;
    if ((int)calls->pieces.size() >= calls->refuseFrom) return 0;
    calls->pieces.emplace_back(bytes, (size_t)count);
    return 1;
  };
  Calls calls;
  std::string line(IO_WRITE_WHOLE - 1, 'a');
  EXPECT_EQ(IoWriteTextTo(sink, &calls, (line + "\n").data(), IO_WRITE_WHOLE), 1);
  ASSERT_EQ(calls.pieces.size(), 1u);
  EXPECT_EQ(calls.pieces[0], line + "\r\n");

  calls = Calls();
  std::string three(3 * IO_WRITE_WHOLE, '\n');
  EXPECT_EQ(IoWriteTextTo(sink, &calls, three.data(), (int)three.size()), 1);
  EXPECT_EQ(calls.pieces.size(), 3u);

  calls = Calls();
  calls.refuseFrom = 1;
  EXPECT_EQ(IoWriteTextTo(sink, &calls, three.data(), (int)three.size()), 0);
  EXPECT_EQ(calls.pieces.size(), 1u) << "nothing more after a refused piece";

  // A text in a buffer of the caller's reaches the sink in the very pieces
  // of a copied one, whether it is translated where it lies (one piece whose
  // carriage returns fit) or not: exactly fitting, one byte short, a buffer
  // to spare, one piece and more, line feeds first, last and in runs.
  std::string mixed;
  for (int i = 0; mixed.size() < 2 * IO_WRITE_WHOLE + 100; i++)
    mixed += std::string((size_t)(i % 13), 'k') + (i % 5 ? "\n" : "\n\n");
  for (const std::string &text :
       {std::string("a\nb\n\nc"), std::string("\n"), std::string("no line feed"),
        std::string(IO_WRITE_WHOLE, '\n'), std::string(IO_WRITE_WHOLE - 1, 'a') + "\n",
        std::string(IO_WRITE_WHOLE + 1, 'a') + "\n", mixed.substr(0, 100),
        mixed.substr(0, IO_WRITE_WHOLE), mixed}) {
    Calls copied;
    ASSERT_EQ(IoWriteTextTo(sink, &copied, text.data(), (int)text.size()), 1);
    const int lineFeeds = (int)std::count(text.begin(), text.end(), '\n');
    const int fit = (int)text.size() + lineFeeds;
    for (int capacity : {(int)text.size(), fit - 1, fit, fit + 100}) {
      SCOPED_TRACE(std::to_string(text.size()) + " bytes in " + std::to_string(capacity));
      std::vector<char> buffer(text.begin(), text.end());
      buffer.resize((size_t)std::max(capacity, (int)text.size()) + 1, '#');
      Calls inPlace;
      EXPECT_EQ(IoWriteTextInPlace(sink, &inPlace, buffer.data(), (int)text.size(), capacity), 1);
      EXPECT_EQ(inPlace.pieces, copied.pieces);
      EXPECT_EQ(buffer[(size_t)std::max(capacity, (int)text.size())], '#')
          << "nothing written past the buffer";
    }
  }
}

TEST(IoWriteTest, TextOutInPlaceOrNotAtAll) {
  const struct {
    std::string text;
    int extra;  // capacity beyond the text's length
    std::string expected;  // empty: does not fit, text unchanged
  } cases[] = {
      {"", 0, ""},
      {"abc", 0, "abc"},
      {"\n", 1, "\r\n"},
      {"\n", 0, ""},
      {"a\nb\n", 2, "a\r\nb\r\n"},
      {"a\nb\n", 1, ""},
      {"\n\n\nx", 3, "\r\n\r\n\r\nx"},
      {"x\r\n", 1, "x\r\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    std::string buffer = c.text + std::string((size_t)c.extra + 1, '#');
    const int capacity = (int)c.text.size() + c.extra;
    const int n = IoTextOut(&buffer[0], (int)c.text.size(), capacity);
    if (c.expected.empty() && !c.text.empty()) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(buffer.substr(0, c.text.size()), c.text);
    } else {
      EXPECT_EQ(n, (int)c.expected.size());
      EXPECT_EQ(buffer.substr(0, (size_t)n), c.expected);
    }
    EXPECT_EQ(buffer[(size_t)capacity], '#');
  }
}

// ---- The process and its seams ----------------------------------------------

TEST(IoProcessTest, CommandLineNamesThisProgramUnlessATestSetsOne) {
  IoSetCommandLineForTest(nullptr);
  const char *text = IoCommandLine();
  ASSERT_NE(text, nullptr);
  std::string out(strlen(text) + 1, '\0');
  ASSERT_EQ(CmdLineGetArg(text, 0, &out[0]), 1);
  std::string program = out.c_str();
  EXPECT_NE(program.find("tsl-io_test"), std::string::npos) << program;

  const char *set = "\"C:\\Program Files\\web\\prog.exe\" x";
  IoSetCommandLineForTest(set);
  EXPECT_EQ(IoCommandLine(), set);
  IoSetCommandLineForTest(nullptr);
  EXPECT_EQ(IoCommandLine(), text);
}

TEST(IoProcessTest, MutexIsRecursiveAndExcludesOtherThreads) {
  OsMutex mutex = {};
  OsMutexWait(&mutex);  // not created: does nothing
  OsMutexRelease(&mutex);
  ASSERT_EQ(OsMutexCreate(&mutex), 1);
  OsMutexWait(&mutex);
  OsMutexWait(&mutex);  // the owner takes it again without blocking
  std::atomic<bool> entered(false);
  std::thread other([&] {
    OsMutexWait(&mutex);
    entered = true;
    OsMutexRelease(&mutex);
  });
  OsMutexRelease(&mutex);
  OsSleep(50);
  EXPECT_FALSE(entered) << "still held once";
  OsMutexRelease(&mutex);
  other.join();
  EXPECT_TRUE(entered);
  OsMutexClose(&mutex);
}

TEST(IoProcessTest, TimeSeamGivesTheLocalDate) {
  OsDateTime now{};
  ASSERT_EQ(IoLocalTime(&now), 1);
  EXPECT_GE(now.year, 126) << "the clock is not before 2026";
  // Noon, 15 June 2026 UTC: the same calendar day in every time zone from
  // UTC-11 to UTC+11.
  IoSetTimeForTest(1781524800);
  ASSERT_EQ(IoLocalTime(&now), 1);
  EXPECT_EQ(now.year, 126);
  EXPECT_EQ(now.month, 5);
  EXPECT_EQ(now.day, 15);
  IoSetTimeForTest(-1);
}

#ifndef _WIN32
// ---- POSIX only: processes, zones and the argument vector --------------------

TEST(IoWriteTest, WholeLinesOfConcurrentAppendersNeverInterleave) {
  TempDir dir;
  std::string path = dir / "shared.log";
  const int writers = 4, lines = 150;
  std::vector<pid_t> children;
  for (int w = 0; w < writers; w++) {
    pid_t pid = fork();
    if (pid == 0) {
      // One call of IO_WRITE_WHOLE bytes: one line of a single letter.
      std::string line((size_t)IO_WRITE_WHOLE - 1, (char)('a' + w));
      line += '\n';
      for (int i = 0; i < lines; i++) {
        OsFile file;
        if (!IoFileOpen(&file, path.c_str(), OS_OPEN_APPEND, nullptr) ||
            IoWriteText(file, line.data(), (int)line.size()) != 1)
          _exit(1);
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
  const size_t lineSize = IO_WRITE_WHOLE + 1;
  ASSERT_EQ(all.size(), lineSize * writers * lines);
  for (size_t at = 0; at < all.size(); at += lineSize) {
    std::string expected((size_t)IO_WRITE_WHOLE - 1, all[at]);
    ASSERT_EQ(all.compare(at, lineSize, expected + "\r\n"), 0) << "line split at byte " << at;
  }
}

TEST(IoProcessTest, LocalTimeOfAKnownMomentInEachZone) {
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
    IoSetTimeForTest(c.seconds);
    OsDateTime now = {-1, -1, -1, -1, -1};
    ASSERT_EQ(IoLocalTime(&now), 1);
    EXPECT_EQ(now.year, c.expected.year);
    EXPECT_EQ(now.month, c.expected.month);
    EXPECT_EQ(now.day, c.expected.day);
    EXPECT_EQ(now.hour, c.expected.hour);
    EXPECT_EQ(now.minute, c.expected.minute);
  }
  IoSetTimeForTest(-1);
  if (oldTz)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

const char kPrintCommandLine[] = "TSL_IO_TEST_PRINT_COMMAND_LINE";

// Runs before main: this program started again with kPrintCommandLine set
// writes the command-line text the layer rebuilt for it, and ends.
[[maybe_unused]] const bool printCommandLineMode = [] {
  if (!getenv(kPrintCommandLine)) return false;
  const char *text = IoCommandLine();
  if (!text) _exit(2);
  size_t length = strlen(text);
  _exit(write(STDOUT_FILENO, text, length) == (ssize_t)length ? 0 : 3);
}();

std::string ThisProgram() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, (size_t)n) : std::string();
}

TEST(IoProcessTest, CommandLineRebuiltFromTheArgumentVector) {
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
#endif  // !_WIN32

}  // namespace
