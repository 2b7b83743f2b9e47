// The platform layer's contract, tested through tsl-os.h alone, so that the
// same cases run against the POSIX source here and against the Win32 source
// under Windows (or Wine): the same bytes in and out on every platform.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-os.h"

namespace {

// Reads a whole file through the text-mode reader in reads of `chunk` bytes,
// checking that every read but the last is full.
std::string ReadText(const std::string &path, int chunk, bool *allFull) {
  OsFile *file = OsFileOpen(path.c_str(), "rt");
  EXPECT_NE(file, nullptr) << path;
  if (!file) return "";
  std::string text;
  std::vector<char> buffer(chunk);
  *allFull = true;
  bool ended = false;
  for (;;) {
    int n = OsFileRead(file, buffer.data(), chunk);
    if (n > 0 && ended) *allFull = false;  // data after a short read
    if (n <= 0) break;
    if (n < chunk) ended = true;
    text.append(buffer.data(), n);
  }
  EXPECT_EQ(OsFileRead(file, buffer.data(), chunk), 0) << "the end stays the end";
  OsFileClose(file);
  return text;
}

TEST(OsContractTest, TextModeReadsDropCarriageReturnsAndEndAtSubstitute) {
  static const struct {
    const char *name;
    std::string bytes;
    std::string text;
  } kCases[] = {
      {"plain", "news=a\nold=b\n", "news=a\nold=b\n"},
      {"CR LF", "news=a\r\nold=b\r\n", "news=a\nold=b\n"},
      {"lone and doubled CRs", "a\rb\r\r\nc\r", "ab\nc"},
      {"only CRs", std::string(5000, '\r'), ""},
      {"0x1A ends the data", "a=b\n\x1A" "c=d\n", "a=b\n"},
      {"0x1A first", "\x1A" "abc", ""},
      {"zero bytes are data", std::string("a\0b\r\n", 5), std::string("a\0b\n", 4)},
  };
  TempDir dir;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "t.txt", c.bytes);
    for (int chunk : {1, 3, 4095}) {
      bool allFull = false;
      EXPECT_EQ(ReadText(dir / "t.txt", chunk, &allFull), c.text) << "chunk " << chunk;
      EXPECT_TRUE(allFull) << "a dropped CR must not make a read short, chunk " << chunk;
    }
  }
}

TEST(OsContractTest, LargeCrlfFileReadsBackWhole) {
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
TEST(OsContractTest, RandomCarriageReturnsAreDropped) {
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

TEST(OsContractTest, PathsWithBackslashesOpen) {
  TempDir dir;
  MakeDir(dir / "hopdata");
  WriteFile(dir / "hopdata/config.txt", "x\n");
  std::string path = dir.path() + "\\hopdata\\config.txt";
  OsFile *file = OsFileOpen(path.c_str(), "rt");
  ASSERT_NE(file, nullptr);
  OsFileClose(file);
}

TEST(OsContractTest, WhatDoesNotOpen) {
  TempDir dir;
  MakeDir(dir / "folder");
  EXPECT_EQ(OsFileOpen((dir / "missing.txt").c_str(), "rt"), nullptr);
  EXPECT_EQ(OsFileOpen((dir / "folder").c_str(), "rt"), nullptr) << "a folder is no table";
  EXPECT_EQ(OsFileOpen((dir / "no/such.log").c_str(), "at+"), nullptr);
  EXPECT_FALSE(FileExists(dir / "no")) << "no folder is ever created";
}

TEST(OsContractTest, TextModeWritesAndAppends) {
  TempDir dir;
  std::string path = dir / "a.log";
  OsFile *first = OsFileOpen(path.c_str(), "at+");
  ASSERT_NE(first, nullptr);
  OsFile *second = OsFileOpen(path.c_str(), "at+");
  ASSERT_NE(second, nullptr) << "two writers may hold the log at once";
  EXPECT_EQ(OsFileWrite(first, "one\n", 4), 1);
  EXPECT_EQ(OsFileWrite(second, "two\n", 4), 1);
  EXPECT_EQ(OsFileWrite(first, "three\n\n", 7), 1);
  OsFileClose(first);
  OsFileClose(second);
  EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\nthree\r\n\r\n") << "each write lands at the end";

  OsFile *empty = OsFileOpen(path.c_str(), "wt");
  ASSERT_NE(empty, nullptr);
  std::string long_line(OS_WRITE_WHOLE + 10, 'x');
  long_line += "\n";
  EXPECT_EQ(OsFileWrite(empty, long_line.data(), (int)long_line.size()), 1);
  OsFileClose(empty);
  EXPECT_EQ(ReadFile(path), Crlf(long_line)) << "\"wt\" empties, long writes arrive whole";
}

TEST(OsContractTest, CommandLineNamesThisProgram) {
  OsSetCommandLineForTest(nullptr);
  const char *text = OsGetCommandLine();
  ASSERT_NE(text, nullptr);
  std::string out(strlen(text) + 1, '\0');
  ASSERT_EQ(CmdLineGetArg(text, 0, &out[0]), 1);
  std::string program = out.c_str();
  EXPECT_NE(program.find("tsl-os_contract_test"), std::string::npos) << program;

  OsSetCommandLineForTest("C:\\x\\prog.exe a");
  EXPECT_STREQ(OsGetCommandLine(), "C:\\x\\prog.exe a");
  OsSetCommandLineForTest(nullptr);
}

TEST(OsContractTest, MutexIsRecursiveAndExcludesOtherThreads) {
  void *mutex = OsMutexCreate();
  ASSERT_NE(mutex, nullptr);
  OsMutexWait(mutex);
  OsMutexWait(mutex);  // the owner takes it again without blocking
  std::atomic<bool> entered(false);
  std::thread other([&] {
    OsMutexWait(mutex);
    entered = true;
    OsMutexRelease(mutex);
  });
  OsMutexRelease(mutex);
  OsSleep(50);
  EXPECT_FALSE(entered) << "still held once";
  OsMutexRelease(mutex);
  other.join();
  EXPECT_TRUE(entered);
  OsMutexClose(mutex);
}

TEST(OsContractTest, TimeSeamGivesTheLocalDate) {
  OsDateTime now{};
  ASSERT_EQ(OsLocalTime(&now), 1);
  EXPECT_GE(now.year, 126) << "the clock is not before 2026";
  // Noon, 15 June 2026 UTC: the same calendar day in every time zone from
  // UTC-11 to UTC+11.
  OsSetTimeForTest(1781524800);
  ASSERT_EQ(OsLocalTime(&now), 1);
  EXPECT_EQ(now.year, 126);
  EXPECT_EQ(now.month, 5);
  EXPECT_EQ(now.day, 15);
  OsSetTimeForTest(-1);
}

}  // namespace
