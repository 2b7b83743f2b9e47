// Tests of the daily request log, in process: the time stamp, the file a
// line goes to, the exact bytes of a line, the retried open and what a log
// that cannot be opened costs. The clock is set through the platform layer's
// test seam, in UTC.
#include "cgi.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-io.h"

namespace {

const char kCgiSource[] = "..\\..\\TESSEL\\cgi";
const char kLogDirectory[] = "hopdata\\logs\\";

// Seconds since 1970 (UTC) of the moments the cases log at.
const int64_t k19991231_1234 = 946643640;
const int64_t k20000101_0000 = 946684800;

// A program installed in dir/cgi-bin, with hopdata/logs/ beside it; the local
// time zone is UTC while a test runs.
class CgiLogTest : public testing::Test {
 protected:
  void SetUp() override {
    const char *tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) oldTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    for (const char *name : {"QUERY_STRING", "CONTENT_LENGTH", "REMOTE_ADDR"}) unsetenv(name);
    MakeDir(bin_);
    MakeDir(bin_ + "/hopdata");
    MakeDir(logs_);
    UseProgram(bin_ + "/linkhop");
  }
  void TearDown() override {
    CoreShutdown();
    IoSetTimeForTest(-1);
    IoSetCommandLineForTest(nullptr);
    unsetenv("REMOTE_ADDR");
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  void UseProgram(const std::string &program) {
    if (!commandLine_.empty()) CoreShutdown();
    commandLine_ = program;
    IoSetCommandLineForTest(commandLine_.c_str());
    CoreStartup("debug.log", 0);
  }
  // A request from address (null: REMOTE_ADDR unset) at the given moment.
  void Request(const char *address, int64_t seconds) {
    if (address)
      setenv("REMOTE_ADDR", address, 1);
    else
      unsetenv("REMOTE_ADDR");
    CgiInit();
    IoSetTimeForTest(seconds);
  }
  void ClearLogs() {
    for (const auto &name : Listing(logs_)) unlink((logs_ + "/" + name).c_str());
  }

  TempDir dir_;
  std::string bin_ = dir_ / "cgi-bin";
  std::string logs_ = bin_ + "/hopdata/logs";

 private:
  std::string commandLine_, oldTz_;
  bool hadTz_ = false;
};

// ---- The time stamp ----------------------------------------------------------

TEST(DateToMinutesTest, KnownDates) {
  static const struct {
    const char *name;
    unsigned char hour, minute, month, day, year;
    int expected;
  } cases[] = {
      {"1 Jan 2000 00:00", 0, 0, 0, 1, 100, 0x00F0C6C0},
      {"29 Feb 2000 23:59", 23, 59, 1, 29, 100, 0x00F2183F},
      {"1 Mar 2000 00:00", 0, 0, 2, 1, 100, 0x00F21840},
      {"31 Dec 1999 12:34", 12, 34, 11, 31, 99, 0x00F0C412},
      {"1 Jan 1970 00:00", 0, 0, 0, 1, 70, 1440},
      {"6 Dec 2026 06:39", 6, 39, 11, 6, 126, 0x01C8E7CF},
      {"29 Feb 2024 12:00", 12, 0, 1, 29, 124, 0x01B2B230},
      {"31 Dec 2099 23:59", 23, 59, 11, 31, 199, 0x041353DF},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int stamp = -1;
    EXPECT_EQ(DateToMinutes(&stamp, c.hour, c.minute, c.month, c.day, c.year), 1);
    EXPECT_EQ(stamp, c.expected);
  }
}

// Every day from 1 Jan 1970 to 31 Dec 2099, at its first and last minute,
// against the calendar: day k since 1970 starts at minute 1440 * (k + 1), so
// each next day is exactly 1440 more, across every 28 Feb, 29 Feb, 1 Mar and
// New Year of those years (2000, 2024 and 2096 leap; 2023 and 2099 not).
TEST(DateToMinutesTest, EveryDayIsOneDayOfMinutesMore) {
  const int64_t kDays2100 = 47482;  // 1 Jan 1970 to 1 Jan 2100
  int failures = 0;
  for (int64_t k = 0; k < kDays2100 && failures < 5; k++) {
    for (int minuteOfDay : {0, 1439}) {
      time_t t = (time_t)(k * 86400 + minuteOfDay * 60);
      struct tm d;
      ASSERT_NE(gmtime_r(&t, &d), nullptr);
      int stamp = -1;
      DateToMinutes(&stamp, (unsigned char)d.tm_hour, (unsigned char)d.tm_min,
                    (unsigned char)d.tm_mon, (unsigned char)d.tm_mday, (unsigned char)d.tm_year);
      if (stamp != 1440 * (k + 1) + minuteOfDay) {
        ADD_FAILURE() << d.tm_year + 1900 << "-" << d.tm_mon + 1 << "-" << d.tm_mday << " minute "
                      << minuteOfDay << ": " << stamp << ", expected "
                      << 1440 * (k + 1) + minuteOfDay;
        failures++;
      }
    }
  }
}

// ---- The file and the line ---------------------------------------------------

TEST_F(CgiLogTest, FileNamedAfterTheLocalDate) {
  static const struct {
    int64_t seconds;
    const char *file;
    const char *stamp;
  } cases[] = {
      {k19991231_1234, "12311999.log", "00F0C412"},
      {k20000101_0000, "01012000.log", "00F0C6C0"},  // January counts from 1
      {951868740, "02292000.log", "00F2183F"},       // 29 Feb 2000 23:59:00
      {951868800, "03012000.log", "00F21840"},       // 1 Mar 2000 00:00
      {1796539140, "12062026.log", "01C8E7CF"},      // 6 Dec 2026 06:39
      {1796539199, "12062026.log", "01C8E7CF"},      // seconds ignored
      {0, "01011970.log", "000005A0"},               // the epoch
      {253402300799, "12319999.log", "02F268BF"},    // the last four-digit year
      {253402300800, "010110000.log", "02F268C0"},   // five digits; the stamp's year kept to 8 bits
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    ClearLogs();
    Request("192.0.2.7", c.seconds);
    EXPECT_EQ(CgiLog(kLogDirectory, "[%s] %s\n", "news", "/news/index.html"), 1);
    EXPECT_EQ(Listing(logs_), std::vector<std::string>{c.file});
    EXPECT_EQ(ReadFile(logs_ + "/" + c.file),
              "192.0.2.7 " + std::string(c.stamp) + " [news] /news/index.html\r\n");
  }
}

TEST_F(CgiLogTest, NewFileAfterMidnightAndLinesAppended) {
  static const struct {
    int64_t seconds;
    const char *address;
  } requests[] = {
      {k20000101_0000 - 61, "192.0.2.1"},  // 23:58:59
      {k20000101_0000 - 1, "192.0.2.2"},   // 23:59:59
      {k20000101_0000, "192.0.2.3"},
      {k20000101_0000 + 59, "192.0.2.4"},
  };
  for (const auto &r : requests) {
    Request(r.address, r.seconds);
    CgiLog(kLogDirectory, "[Explicit] %s\n", "a.b");
  }
  EXPECT_EQ(Listing(logs_), (std::vector<std::string>{"01012000.log", "12311999.log"}));
  EXPECT_EQ(ReadFile(logs_ + "/12311999.log"),
            "192.0.2.1 00F0C6BE [Explicit] a.b\r\n192.0.2.2 00F0C6BF [Explicit] a.b\r\n");
  EXPECT_EQ(ReadFile(logs_ + "/01012000.log"),
            "192.0.2.3 00F0C6C0 [Explicit] a.b\r\n192.0.2.4 00F0C6C0 [Explicit] a.b\r\n");
}

TEST_F(CgiLogTest, LineBytes) {
  const std::string explicit1023 = std::string(1021, 'e') + ".z";
  const std::string key1023(1023, 'k');
  const std::string ipv6 = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
  const std::string absurd(5000, '9');
  static const std::string stamp = " 00F0C412 ";
  const struct {
    const char *name;
    const char *address;  // null: REMOTE_ADDR unset
    const char *format;
    std::string query, value;
    std::string expected;
  } cases[] = {
      {"key found", "192.0.2.7", "[%s] %s\n", "news", "/news/index.html",
       "192.0.2.7" + stamp + "[news] /news/index.html\r\n"},
      {"key missed", "192.0.2.7", "[%s] %s\n", "news", "", "192.0.2.7" + stamp + "[news] \r\n"},
      {"explicit address", "2001:db8::7", "[Explicit] %s\n", "a.b", "",
       "2001:db8::7" + stamp + "[Explicit] a.b\r\n"},
      {"no REMOTE_ADDR", nullptr, "[Explicit] %s\n", "a.b", "",
       "0.0.0.0" + stamp + "[Explicit] a.b\r\n"},
      {"empty REMOTE_ADDR", "", "[Explicit] %s\n", "a.b", "", stamp + "[Explicit] a.b\r\n"},
      {"1023-byte explicit address, long IPv6 client", ipv6.c_str(), "[Explicit] %s\n",
       explicit1023, "", ipv6 + stamp + "[Explicit] " + explicit1023 + "\r\n"},
      {"1023-byte key missed", ipv6.c_str(), "[%s] %s\n", key1023, "",
       ipv6 + stamp + "[" + key1023 + "] \r\n"},
      {"line feeds inside the message", "192.0.2.7", "%s\n%s\n", "one", "two",
       "192.0.2.7" + stamp + "one\r\ntwo\r\n"},
      // What the 2048-byte line buffer keeps of an address that cannot fit,
      // with the line end that lets the next line start a line.
      {"overlong REMOTE_ADDR cut", absurd.c_str(), "[Explicit] %s\n", "a.b", "",
       absurd.substr(0, 2046) + "\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ClearLogs();
    Request(c.address, k19991231_1234);
    EXPECT_EQ(CgiLog(kLogDirectory, c.format, c.query.c_str(), c.value.c_str()), 1);
    // A second line shows where the first one ended.
    Request("192.0.2.9", k19991231_1234);
    CgiLog(kLogDirectory, "[Explicit] %s\n", "next.example");
    EXPECT_EQ(ReadFile(logs_ + "/12311999.log"),
              c.expected + "192.0.2.9" + stamp + "[Explicit] next.example\r\n");
  }
}

// Makes the directories for a program whose directory, as the log path
// begins with it (ending in a separator), is exactly length bytes long.
std::string ProgramInDirectoryOfLength(const std::string &base, size_t length) {
  std::string dir = base;
  while (dir.size() + 1 < length) {
    size_t need = length - 1 - dir.size();  // "/" and a name
    size_t name = need - 1 <= 200 ? need - 1 : 150;
    dir += "/" + std::string(name, 'd');
    MakeDir(dir);
  }
  MakeDir(dir + "/hopdata");
  MakeDir(dir + "/hopdata/logs");
  return dir + "/linkhop";
}

// The path is built in 512 bytes: the program directory, "hopdata\logs\" and
// the 12-byte file name, 511 bytes at most. One byte more is a log that
// cannot be opened: no line, and no file under a cut name.
TEST_F(CgiLogTest, PathThatDoesNotFitWritesNothing) {
  static const struct {
    size_t directoryLength;
    bool logged;
  } cases[] = {{511 - 25, true}, {512 - 25, false}, {600, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.directoryLength);
    TempDir base;
    std::string program = ProgramInDirectoryOfLength(base.path(), c.directoryLength);
    std::string logs = program.substr(0, program.size() - 7) + "hopdata/logs";
    ASSERT_EQ(program.size() - 7, c.directoryLength);
    UseProgram(program);
    Request("192.0.2.7", k19991231_1234);
    EXPECT_EQ(CgiLog(kLogDirectory, "[Explicit] %s\n", "a.b"), 1);
    EXPECT_EQ(Listing(logs),
              c.logged ? std::vector<std::string>{"12311999.log"} : std::vector<std::string>{});
  }
}

// ---- A log that cannot be opened ----------------------------------------------

// A refusal that cannot pass (here: no such folder) ends the attempts at
// once; one that can (here: no descriptor free for a moment) is tried again
// for about a second. Neither creates anything.
struct OpenOutcome {
  int result;
  double seconds;
};

void OpenWithoutDescriptors(OpenOutcome &out, const void *arg) {
  const std::string &path = *static_cast<const std::string *>(arg);
  int spare = dup(0);  // the lowest free descriptor, then the limit just below it
  close(spare);
  struct rlimit limit = {(rlim_t)spare, (rlim_t)spare};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  OsFile file;
  auto start = std::chrono::steady_clock::now();
  out.result = FileOpenRetry(&file, path.c_str(), "at+");
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(CgiLogTest, OpenRetriesOnlyWhatCanPass) {
  OsFile file = {12345, 0};
  const std::string missing = dir_ / "missing/12311999.log";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FileOpenRetry(&file, missing.c_str(), "at+"), 0);
  std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(file.handle, OS_NO_FILE);
  EXPECT_LT(spent.count(), 0.5) << "a missing folder is not waited for";
  EXPECT_FALSE(FileExists(dir_ / "missing"));

  const std::string path = logs_ + "/12311999.log";
  OpenOutcome out = InChild<OpenOutcome>(OpenWithoutDescriptors, &path);
  EXPECT_EQ(out.result, 0);
  EXPECT_GE(out.seconds, 0.9) << "100 attempts 10 ms apart";
  EXPECT_FALSE(FileExists(path));
}

// A process that answers many requests keeps the day's log open; a line
// still goes to the file the day's path names, also after that file was
// removed or moved away and another took its place, and after midnight.
TEST_F(CgiLogTest, KeptLogFollowsTheDaysFile) {
  const std::string log = logs_ + "/12311999.log";
  auto logged = [&](const char *address) {
    Request("192.0.2.7", k19991231_1234);
    CgiLog(kLogDirectory, "[Explicit] %s\n", address);
  };
  CgiKeepLogOpen(1);
  logged("one.example");
  logged("two.example");
  EXPECT_EQ(ReadFile(log), "192.0.2.7 00F0C412 [Explicit] one.example\r\n"
                           "192.0.2.7 00F0C412 [Explicit] two.example\r\n");
  unlink(log.c_str());
  logged("three.example");
  EXPECT_EQ(ReadFile(log), "192.0.2.7 00F0C412 [Explicit] three.example\r\n");
  ASSERT_EQ(rename(log.c_str(), (log + ".old").c_str()), 0);
  WriteFile(log, "");
  logged("four.example");
  EXPECT_EQ(ReadFile(log), "192.0.2.7 00F0C412 [Explicit] four.example\r\n");
  EXPECT_EQ(ReadFile(log + ".old"), "192.0.2.7 00F0C412 [Explicit] three.example\r\n");
  Request("192.0.2.7", k20000101_0000);
  CgiLog(kLogDirectory, "[Explicit] %s\n", "five.example");
  EXPECT_EQ(ReadFile(logs_ + "/01012000.log"), "192.0.2.7 00F0C6C0 [Explicit] five.example\r\n");
  CgiKeepLogOpen(0);
  logged("six.example");
  EXPECT_EQ(ReadFile(log), "192.0.2.7 00F0C412 [Explicit] four.example\r\n"
                           "192.0.2.7 00F0C412 [Explicit] six.example\r\n");
}

TEST_F(CgiLogTest, OpenWriteCloseAppendsInTextMode) {
  const std::string path = logs_ + "/old.log";
  WriteFile(path, "kept\r\n");
  std::string native = path;
  for (char &ch : native)
    if (ch == '/') ch = '\\';
  OsFile file;
  ASSERT_EQ(FileOpenRetry(&file, native.c_str(), "at+"), 1);
  ASSERT_NE(file.handle, OS_NO_FILE);
  EXPECT_EQ(FileWrite(&file, "a\nb\n", 4), 1);
  EXPECT_EQ(FileWrite(&file, "c", 1), 1);
  EXPECT_EQ(FileClose(&file), 1);
  EXPECT_EQ(file.handle, OS_NO_FILE);
  EXPECT_EQ(ReadFile(path), "kept\r\na\r\nb\r\nc");
}

// The remark goes into an HTML page only, and no line goes anywhere: neither
// the missing directory nor any file is created.
TEST_F(CgiLogTest, UnwritableLogRemarkedOnlyInAnHtmlPage) {
  static const char kHeader[] = "Content-Type: text/html\r\n\r\n";
  static const char kRemark[] = "<!-- Unable to update log\r\n -->\r\n\r\n";
  static const struct {
    const char *name;
    const char *directory;
    int64_t seconds;
    bool html;
  } cases[] = {
      {"missing directory, redirect", "hopdata\\gone\\", k19991231_1234, false},
      {"missing directory, HTML page", "hopdata\\gone\\", k19991231_1234, true},
      {"no local time, redirect", kLogDirectory, INT64_MAX, false},
      {"no local time, HTML page", kLogDirectory, INT64_MAX, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Request("192.0.2.7", c.seconds);
    int result = 0;
    std::string out = CaptureStdout([&] {
      if (c.html) CgiSendHtmlHeader();
      result = CgiLog(c.directory, "[Explicit] %s\n", "a.b");
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, c.html ? std::string(kHeader) + kRemark : "");
    EXPECT_EQ(Listing(bin_ + "/hopdata"), std::vector<std::string>{"logs"});
    EXPECT_EQ(Listing(logs_), std::vector<std::string>{});
  }
}

// ---- Broken preconditions -------------------------------------------------------

class CgiLogDeathTest : public CgiLogTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CgiLogTest::SetUp();
  }
};

TEST_F(CgiLogDeathTest, NullArgumentReportsItsLine) {
  static const struct {
    void (*call)(void);
    int line;
  } cases[] = {
      {[] { CgiLog(nullptr, "[Explicit] %s\n", "a.b"); }, 719},
      {[] { CgiLog(nullptr, nullptr); }, 719},
      {[] { CgiLog("hopdata\\logs\\", nullptr); }, 720},
      {[] { FileOpenRetry(nullptr, "x.log", "at+"); }, 50},
      {[] { FileOpenRetry(nullptr, nullptr, nullptr); }, 50},
      {[] {
         OsFile file;
         FileOpenRetry(&file, nullptr, nullptr);
       },
       51},
      {[] {
         OsFile file;
         FileOpenRetry(&file, "x.log", nullptr);
       },
       53},
      // Every other pointer the gateway takes.
      {[] { CgiUseSource(nullptr); }, 280},
      {[] { CgiVariable(nullptr); }, 295},
      {[] {
         int length;
         CgiGetQuery(nullptr, &length);
       },
       310},
      {[] {
         const char *data;
         CgiGetQuery(&data, nullptr);
       },
       311},
      {[] { CgiReadQuery(nullptr, 2); }, 352},
      {[] { CgiReadQuery(nullptr, 0); }, 352},
      {[] { CgiPrint(nullptr); }, 420},
      {[] { CgiComment(nullptr); }, 468},
      {[] { DateToMinutes(nullptr, 0, 0, 0, 1, 100); }, 640},
      {[] { FileWrite(nullptr, "x", 1); }, 66},
      {[] {
         OsFile file = {OS_NO_FILE, 0};
         FileWrite(&file, nullptr, 1);
       },
       67},
      {[] { FileClose(nullptr); }, 82},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EXIT(c.call(), testing::ExitedWithCode(1),
                LiteralRegex("Internal error...\nASSERT:Pointer is NULL...\n       (" +
                             std::string(kCgiSource) + "/" + std::to_string(c.line) + ")\n"));
  }
}

}  // namespace
