// Tests for TESSEL/tsl-str.cpp: the checked string operations.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-os.h"
#include "tsl-str.h"

namespace {

const char kStrSource[] = "..\\..\\TESSEL\\tsl-str";

class StrTest : public CoreStartedTest {};

TEST_F(StrTest, CompareIsByteEquality) {
  static const struct {
    const char *a, *b;
    int equal;
  } kCases[] = {
      {"", "", 1},          {"a", "A", 0},           {"ab", "abc", 0},
      {"abc", "ab", 0},     {"abc", "abc", 1},       {"", "a", 0},
      {"\xE9", "\xE9", 1},  {"\xE9", "e", 0},        {"a\xFF", "a\x7F", 0},
      {"key ", "key", 0},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(StrCompare(c.a, c.b), c.equal) << "[" << c.a << "] [" << c.b << "]";
    EXPECT_EQ(StrCompare(c.b, c.a), c.equal) << "[" << c.b << "] [" << c.a << "]";
  }
  const char same[] = "same";
  EXPECT_EQ(StrCompare(same, same), 1);
  // Bytes after the terminators are not looked at.
  const char x[] = "ab\0x", y[] = "ab\0y";
  EXPECT_EQ(StrCompare(x, y), 1);
}

TEST_F(StrTest, LengthCountsBytesBeforeTheTerminator) {
  static const struct {
    const char *text;
    int length;
  } kCases[] = {{"", 0}, {"a", 1}, {"hello world", 11}, {"\xE9\xE8\xFF", 3}, {"ab\0cd", 2}};
  for (const auto &c : kCases) EXPECT_EQ(StrLength(c.text), c.length) << c.text;
}

// Destination buffers start as "#" bytes, so that a write past the result's
// terminator shows.
TEST_F(StrTest, CopyAndAppendWriteExactlyTheResult) {
  static const struct {
    bool append;
    const char *destination, *source, *result;
  } kCases[] = {
      {false, "old text", "abc", "abc"},  {false, "old", "", ""},
      {false, "", "\xE9t\xE9", "\xE9t\xE9"}, {true, "ab", "cd", "abcd"},
      {true, "", "xy", "xy"},             {true, "ab", "", "ab"},
      {true, "", "", ""},
  };
  const size_t kSize = 32;
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << (c.append ? "append" : "copy") << " [" << c.destination
                                    << "] [" << c.source << "]");
    char buffer[kSize];
    memset(buffer, '#', kSize);
    memcpy(buffer, c.destination, strlen(c.destination) + 1);
    EXPECT_EQ(c.append ? StrAppend(buffer, c.source) : StrCopy(buffer, c.source), 1);
    EXPECT_STREQ(buffer, c.result);
    // Past the result, the buffer holds what it held before.
    size_t end = strlen(c.result) + 1;
    size_t before = strlen(c.destination) + 1;
    for (size_t i = end; i < kSize; i++)
      EXPECT_EQ(buffer[i], i < before ? c.destination[i] : '#') << "byte " << i;
  }
}

TEST_F(StrTest, PassingChecksLeaveTheLastCheckedLine) {
  char buffer[16] = "x";
  static const char kLine[] = "line";
  struct {
    int (*call)(char *);
    int line;
  } kCases[] = {
      {[](char *) { return StrLength(kLine); }, 31},
      {[](char *b) { return StrAppend(b, kLine); }, 42},
      {[](char *b) { return StrCopy(b, kLine); }, 61},
      {[](char *b) { return StrCompare(b, kLine); }, 267},
  };
  for (int singleThread : {0, 1}) {
    LockSetSingleThread(singleThread);
    for (const auto &c : kCases) {
      coreLock.callSiteFile = nullptr;
      coreLock.callSiteLine = 0;
      c.call(buffer);
      EXPECT_STREQ(coreLock.callSiteFile, kStrSource);
      EXPECT_EQ(coreLock.callSiteLine, c.line) << "single thread " << singleThread;
    }
  }
  LockSetSingleThread(0);
}

// A page that faults on any access: a destination that must not be touched.
char *UntouchablePage() {
#ifdef _WIN32
  return (char *)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
#else
  void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page == MAP_FAILED ? nullptr : (char *)page;
#endif
}

class StrDeathTest : public StrTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    StrTest::SetUp();
  }
};

// Each pointer is checked in argument order, one line per check. A null
// second argument is reported after the first passed and before the
// destination is read or written: the destination here faults on any access,
// which would end the process with a signal instead of exit status 1.
TEST_F(StrDeathTest, NullArgumentReportsItsLine) {
  static const struct {
    void (*call)(char *untouchable);
    int line;
  } kCases[] = {
      {[](char *) { StrLength(nullptr); }, 31},
      {[](char *) { StrAppend(nullptr, "x"); }, 41},
      {[](char *) { StrAppend(nullptr, nullptr); }, 41},
      {[](char *d) { StrAppend(d, nullptr); }, 42},
      {[](char *) { StrCopy(nullptr, "x"); }, 60},
      {[](char *) { StrCopy(nullptr, nullptr); }, 60},
      {[](char *d) { StrCopy(d, nullptr); }, 61},
      {[](char *) { StrCompare(nullptr, "x"); }, 266},
      {[](char *) { StrCompare(nullptr, nullptr); }, 266},
      {[](char *d) { StrCompare(d, nullptr); }, 267},
  };
  char *untouchable = UntouchablePage();
  ASSERT_NE(untouchable, nullptr);
  for (const auto &c : kCases) {
    const std::string report = "Internal error...\nASSERT:Pointer is NULL...\n       (" +
                               std::string(kStrSource) + "/" + std::to_string(c.line) + ")\n";
    EXPECT_EXIT(c.call(untouchable), testing::ExitedWithCode(1), LiteralRegex(report));
  }
}

TEST_F(StrDeathTest, SingleThreadModeStillReports) {
  EXPECT_EXIT((LockSetSingleThread(1), StrCopy(nullptr, "x")), testing::ExitedWithCode(1),
              LiteralRegex("Internal error...\nASSERT:Pointer is NULL...\n       (" +
                           std::string(kStrSource) + "/60)\n"));
}

} // namespace
