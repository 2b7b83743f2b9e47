// Tests for TESSEL/tsl-core.cpp: start-up, the command-line tokeniser, the
// global lock, the diagnostic channel, the tracked heap and quick memory.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-io.h"

namespace {

const char kCoreSource[] = "..\\..\\TESSEL\\tsl-core";
const char kStrSource[] = "..\\..\\TESSEL\\tsl-str";
const char kApp[] = "winmain";

// A fatal report as the channel builds it, and as it reaches standard error:
// the message box's caption, then the report without its two line ends.
std::string Report(const std::string &prefix, const std::string &message, const std::string &site) {
  return prefix + message + "       (" + site + ")\n";
}
std::string Box(const std::string &report) { return "Internal error...\n" + report; }
std::string AbortBox(const std::string &message, const std::string &site) {
  return Box(Report("ABORT: ", message, site));
}
std::string NullBox(const std::string &site) {
  return Box(Report("ASSERT:", "Pointer is NULL...\n", site));
}
std::string Equals(int count) { return std::string(count, '='); }

// Runs fn on a second thread; false when it could not finish. The wait only
// guards against a hang: when fn is stuck on the lock, this thread leaves
// single-thread mode and gives up one hold of the lock so that fn can end.
bool RunsOnOtherThread(const std::function<void()> &fn) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread worker([&] { fn(), done.set_value(); });
  bool ran = finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ran) LockSetSingleThread(0), LockRelease();
  worker.join();
  return ran;
}
bool OtherThreadCanLock() {
  return RunsOnOtherThread([] { LockAcquire(), LockRelease(); });
}

// The core started as the program starts it: a program path, switch word 0.
class CoreTest : public CoreStartedTest {};

class CoreDeathTest : public CoreTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CoreTest::SetUp();
  }
};

// ---- Command-line tokeniser ------------------------------------------------

TEST_F(CoreTest, TokeniserFindsAndCopiesArguments) {
  static const struct {
    const char *text;
    int index;
    const char *foundAt; // the text from CmdLineFindArg's result; null: none
    int found;
    const char *argument;
  } kCases[] = {
      {"C:\\web\\prog.exe", 0, "C:\\web\\prog.exe", 1, "C:\\web\\prog.exe"},
      {"\"C:\\Program Files\\web\\prog.exe\" x", 0, "\"C:\\Program Files\\web\\prog.exe\" x", 1,
       "C:\\Program Files\\web\\prog.exe"},
      {"\"C:\\Program Files\\web\\prog.exe\" x", 1, "x", 1, "x"},
      {" \t prog  \t a", 0, "prog  \t a", 1, "prog"},
      {" \t prog  \t a", 1, "a", 1, "a"},
      {"prog a\tb", 2, "b", 1, "b"},
      {"prog ", 1, nullptr, 0, ""},
      {"prog\t\t", 1, nullptr, 0, ""},
      {"", 0, "", 0, ""},
      {" \t  ", 0, "", 0, ""},
      {"a b", 5, nullptr, 0, ""},
      {"a\"b c\"d e", 0, "a\"b c\"d e", 1, "ab c"},
      {"a\"b c\"d e", 1, "e", 1, "e"},
      {"\"\"", 0, "\"\"", 1, ""},
      {"\"\"", 1, nullptr, 0, ""},
      {"\"a b\"c", 0, "\"a b\"c", 1, "a b"},
      {"\"a b\"c", 1, nullptr, 0, ""},
      {"\"a\tb\" c", 0, "\"a\tb\" c", 1, "a"},
      {"\"a\tb\" c", 1, "c", 1, "c"},
      {"prog \"x y\" z", 1, "\"x y\" z", 1, "x y"},
      {"prog \"x y\" z", 2, "z", 1, "z"},
      {"\xE9t\xE9 \xFF", 1, "\xFF", 1, "\xFF"},
      {"ab\x01" "cd", 1, "cd", 1, "cd"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "text [" << c.text << "] index " << c.index);
    const char *at = CmdLineFindArg(c.text, c.index);
    if (c.foundAt) {
      ASSERT_NE(at, nullptr);
      EXPECT_STREQ(at, c.foundAt);
    } else {
      EXPECT_EQ(at, nullptr);
    }
    std::vector<char> out(strlen(c.text) + 1, 'X');
    EXPECT_EQ(CmdLineGetArg(c.text, c.index, out.data()), c.found);
    EXPECT_STREQ(out.data(), c.argument);
  }
}

TEST_F(CoreTest, SizedCopyRefusesAnArgumentThatDoesNotFit) {
  static const struct {
    const char *text;
    int capacity, result;
    const char *argument;
  } kCases[] = {
      {"prog abcdef", 7, 1, "abcdef"}, // six bytes and the NUL: fits exactly
      {"prog abcdef", 6, -1, ""},      {"prog abcdef", 1, -1, ""},
      {"prog \"a b\"", 4, 1, "a b"},   {"prog \"a b\"", 3, -1, ""},
      {"prog", 1, 0, ""},
  };
  const int kGuard = 8;
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "text [" << c.text << "] capacity " << c.capacity);
    std::vector<char> out(c.capacity + kGuard, '#');
    EXPECT_EQ(CmdLineGetArgSized(c.text, 1, out.data(), c.capacity), c.result);
    ASSERT_LT(strnlen(out.data(), c.capacity), (size_t)c.capacity); // terminated in bounds
    EXPECT_STREQ(out.data(), c.argument);
    EXPECT_EQ(std::string(out.data() + c.capacity, kGuard), std::string(kGuard, '#'));
  }
}

// ---- Start-up --------------------------------------------------------------

TEST(CoreStartupTest, DebugLogPathIsBuiltFromArgumentZero) {
  static const struct {
    const char *commandLine, *logName, *path;
  } kCases[] = {
      {"C:\\web\\cgi-bin\\prog.exe", "debug.log", "C:\\web\\cgi-bin\\debug.log"},
      {"\"C:\\Program Files\\web\\prog.exe\" x", "debug.log", "C:\\Program Files\\web\\debug.log"},
      {"C:/web/prog.exe", "debug.log", "C:/web/debug.log"},
      {"C:\\a/b\\prog.exe", "debug.log", "C:\\a/b\\debug.log"},
      {"prog.exe", "debug.log", "debug.log"},
      {"\"\"", "debug.log", "debug.log"}, // an empty argument 0 is still one
      {"C:\\web\\prog.exe", "D:\\logs\\core.log", "D:\\logs\\core.log"},
      {"C:\\web\\prog.exe", "core.log", "C:\\web\\core.log"},
      {"C:\\web\\prog.exe", "\\core.log", "C:\\web\\\\core.log"},
      {"C:\\web\\prog.exe", "", "C:\\web\\debug.log"},
      {"C:\\web\\prog.exe", "x", "C:\\web\\debug.log"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "[" << c.commandLine << "] [" << c.logName << "]");
    IoSetCommandLineForTest(c.commandLine);
    EXPECT_EQ(CoreStartup(c.logName, 0), 1);
    EXPECT_STREQ(diagState.debugLogPath, c.path);
    EXPECT_EQ(debugFlags, 0u);
    CoreShutdown();
  }
  IoSetCommandLineForTest(nullptr);
}

TEST(CoreStartupTest, OverlongPathNeverOverrunsItsBuffer) {
  // The report buffer follows the path buffer: an overrun would land there.
  const std::string tooLong = "C:\\" + std::string(DIAG_PATH_SIZE + 100, 'a') + "\\prog.exe";
  const std::string nearlyFull = "C:\\" + std::string(DIAG_PATH_SIZE - 8, 'a') + "\\p";
  for (const std::string *commandLine : {&tooLong, &nearlyFull}) {
    memset(diagState.reportBuffer, 'Z', sizeof(diagState.reportBuffer));
    IoSetCommandLineForTest(commandLine->c_str());
    EXPECT_EQ(CoreStartup("debug.log", DEBUG_LOGFILE), 1);
    EXPECT_LT(strnlen(diagState.debugLogPath, DIAG_PATH_SIZE), (size_t)DIAG_PATH_SIZE);
    EXPECT_EQ(std::string(diagState.reportBuffer, sizeof(diagState.reportBuffer)),
              std::string(sizeof(diagState.reportBuffer), 'Z'));
    // An argument 0 that the buffer cannot hold leaves the debug log off.
    if (commandLine == &tooLong) {
      EXPECT_STREQ(diagState.debugLogPath, "");
    }
    CoreShutdown();
  }
  IoSetCommandLineForTest(nullptr);
}

TEST(CoreStartupDeathTest, BlankCommandLineAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char *text : {"", "   ", "\t \t"}) {
    EXPECT_EXIT((IoSetCommandLineForTest(text), CoreStartup("debug.log", 0)),
                testing::ExitedWithCode(1),
                LiteralRegex(AbortBox("No starting path was specified on commandline! [" +
                                          std::string(text) + "]\n",
                                      std::string(kCoreSource) + "/533")));
  }
}

// ---- Global lock and call-site record --------------------------------------

TEST_F(CoreTest, OtherThreadWaitsUntilEveryHoldIsReleased) {
  LockAcquire();
  LockAcquire(); // recursive: does not block this thread
  std::atomic<int> releases{0};
  std::atomic<bool> waiting{false};
  int seenAtAcquire = -1;
  std::thread other([&] {
    waiting = true;
    LockAcquire();
    seenAtAcquire = releases;
    LockRelease();
  });
  while (!waiting) std::this_thread::yield();
  // The pauses give a lock that opens too early the chance to let the other
  // thread in; a correct lock passes however the threads are scheduled.
  OsSleep(20);
  LockRelease();
  releases = 1;
  OsSleep(20);
  releases = 2;
  LockRelease();
  other.join();
  EXPECT_EQ(seenAtAcquire, 2);
}

TEST_F(CoreTest, PassingCheckedCallsKeepTheirSiteAndFreeTheLock) {
  int value = 0;
  LockAcquire(); // a checked call inside a held lock takes it once more
  EXPECT_EQ(MarkCallSite(kStrSource, 41), 1);
  EXPECT_EQ(CheckPointer(&value), 1);
  LockRelease();
  EXPECT_EQ(coreLock.callSiteFile, kStrSource);
  EXPECT_EQ(coreLock.callSiteLine, 41);
  EXPECT_EQ(MarkCallSite(kApp, 121), 1);
  EXPECT_EQ(DiagAssert(1, "never shown %d\n", 1), 1);
  EXPECT_EQ(coreLock.callSiteFile, kApp);
  EXPECT_EQ(coreLock.callSiteLine, 121);
  EXPECT_TRUE(OtherThreadCanLock());
}

TEST_F(CoreTest, SingleThreadModeNeverWaitsButStillRecords) {
  static const struct {
    int mode, singleThread;
  } kModes[] = {{1, 1}, {0, 0}, {2, 0}, {-1, 0}, {1, 1}};
  for (const auto &m : kModes) {
    EXPECT_EQ(LockSetSingleThread(m.mode), 1);
    EXPECT_EQ(coreLock.singleThread, m.singleThread) << "mode " << m.mode;
  }
  LockAcquire(); // does nothing now
  int value = 0;
  EXPECT_TRUE(RunsOnOtherThread([&] { MarkCallSite(kApp, 7), CheckPointer(&value); }));
  EXPECT_EQ(coreLock.callSiteFile, kApp);
  EXPECT_EQ(coreLock.callSiteLine, 7);
  LockRelease();
  LockSetSingleThread(0);
  EXPECT_TRUE(OtherThreadCanLock());
}

TEST_F(CoreDeathTest, FailingCheckedCallsReportTheMarkedSite) {
  static const std::string kCore = kCoreSource;
  static const struct {
    void (*call)();
    std::string report;
  } kCases[] = {
      {[] { MarkCallSite(kApp, 77), DiagAbort("Bad value %d of %s\n", 5, "x"); },
       AbortBox("Bad value 5 of x\n", "winmain/77")},
      {[] { MarkCallSite(kApp, 78), DiagAssert(0, "Count %d\n", 3); },
       Box(Report("ASSERT:", "Count 3\n", "winmain/78"))},
      {[] { MarkCallSite(kStrSource, 42), CheckPointer(nullptr); },
       NullBox(std::string(kStrSource) + "/42")},
      {[] { LockSetSingleThread(1), MarkCallSite(kApp, 79), CheckPointer(nullptr); },
       NullBox("winmain/79")},
      {[] { CmdLineFindArg(nullptr, 0); }, NullBox(kCore + "/855")},
      {[] { char out[8]; CmdLineGetArg(nullptr, 0, out); }, NullBox(kCore + "/924")},
      {[] { CmdLineGetArg(nullptr, 0, nullptr); }, NullBox(kCore + "/924")},
      {[] { CmdLineGetArg("prog", 0, nullptr); }, NullBox(kCore + "/925")},
  };
  for (const auto &c : kCases)
    EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), LiteralRegex(c.report));
}

// ---- Diagnostic channel ----------------------------------------------------

// The folder a test's debug log goes to. A death test's child may be a fresh
// run of this program that repeats the test from its start, so the folder is
// handed down through the environment: both sides use the one the parent
// made, and the parent removes it.
class LogFolder {
 public:
  LogFolder() {
    if (const char *inherited = getenv(kVariable)) {
      path_ = inherited;
      return;
    }
    own_.reset(new TempDir);
    path_ = own_->path();
    setenv(kVariable, path_.c_str(), 1);
  }
  ~LogFolder() {
    if (own_) unsetenv(kVariable);
  }
  const std::string &path() const { return path_; }

 private:
  static constexpr const char *kVariable = "TSL_CORE_TEST_LOG_FOLDER";
  std::unique_ptr<TempDir> own_;
  std::string path_;
};

// The program "installed" in a temporary folder, so that its debug log lands
// there too.
class DiagTest : public testing::Test {
 protected:
  void SetUp() override {
    commandLine_ = "\"" + folder_.path() + "/prog.exe\" arg";
    IoSetCommandLineForTest(commandLine_.c_str());
  }
  void TearDown() override {
    if (started_) CoreShutdown();
    IoSetCommandLineForTest(nullptr);
  }
  void Start(uint32_t flags) {
    CoreStartup("debug.log", flags);
    started_ = true;
  }
  std::string LogPath() const { return folder_.path() + "/debug.log"; }
  std::string Log() const { return ReadFile(LogPath()); }
  void ClearLog() const { WriteFile(LogPath(), ""); }

  LogFolder folder_;
  std::string commandLine_;
  bool started_ = false;
};

TEST_F(DiagTest, TextsReachTheLogInOrder) {
  Start(DEBUG_LOGFILE);
  EXPECT_EQ(std::string(diagState.debugLogPath), LogPath());
  EXPECT_EQ(DiagPrint("first %d\n", 1), 1);
  EXPECT_EQ(DiagSection(nullptr), 1);
  DiagPrint("%s|%s\n", "a", "b");
  DiagSection("Part");
  DiagPrint("no line end");
  DiagPrint(" until now\n");
  EXPECT_EQ(Log(), Crlf("first 1\n" + Equals(79) + "\na|b\n\n====[Part]" + Equals(69) +
                        "\nno line end until now\n"));
}

TEST_F(DiagTest, SectionRulesAreSeventyNineCharactersWide) {
  static const std::string kLong(200, 'T');
  static const struct {
    const char *title;
    std::string rule;
  } kCases[] = {
      {nullptr, Equals(79) + "\n"},
      {"Memory Init", "\n====[Memory Init]" + Equals(62) + "\n"},
      {"", "\n====[]" + Equals(73) + "\n"},
      {kLong.c_str() + 127, "\n====[" + kLong.substr(127) + "]\n"}, // 73: fills the line
      {kLong.c_str() + 126, "\n====[" + kLong.substr(126) + "\n"},  // 74: the bracket is cut
      {kLong.c_str(), "\n====[" + std::string(74, 'T') + "\n"},
  };
  Start(DEBUG_LOGFILE);
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.title ? c.title : "(no title)");
    ClearLog();
    DiagSection(c.title);
    EXPECT_EQ(Log(), Crlf(c.rule));
  }
}

TEST_F(DiagTest, SwitchWordZeroWritesNothingAndTakesNoLock) {
  Start(0);
  DiagPrint("text\n");
  DiagSection("Title");
  MemoryInit(MEMORY_NO_LIMIT, 0);
  void *leak = MemoryAlloc(1, kApp, 65);
  MemoryRemove(); // a leak, but nowhere to tell of it
  MemoryFree(&leak, 1, kApp, 132);
  EXPECT_FALSE(FileExists(LogPath()));
  LockAcquire();
  EXPECT_TRUE(RunsOnOtherThread([] { DiagPrint("text\n"), DiagSection(nullptr); }));
  LockRelease();
}

TEST_F(DiagTest, StartupEmptiesTheLogUnlessAppending) {
  static const struct {
    uint32_t flags;
    const char *afterStartup, *afterPrint;
  } kCases[] = {
      {DEBUG_LOGFILE, "", "new\r\n"},
      {DEBUG_LOGFILE | DEBUG_APPEND, "old\r\n", "old\r\nnew\r\n"},
      {DEBUG_APPEND, "old\r\n", "old\r\n"},
      {DEBUG_VERBOSE, "old\r\n", "old\r\n"},
      {DEBUG_LOGFILE | DEBUG_VERBOSE, "Tessel v0.31\r\n", "Tessel v0.31\r\nnew\r\n"},
      {DEBUG_LOGFILE | DEBUG_VERBOSE | DEBUG_APPEND, "old\r\nTessel v0.31\r\n",
       "old\r\nTessel v0.31\r\nnew\r\n"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "flags " << c.flags);
    WriteFile(LogPath(), "old\r\n");
    CoreStartup("debug.log", c.flags);
    EXPECT_EQ(debugFlags, c.flags);
    EXPECT_EQ(Log(), c.afterStartup);
    DiagPrint("new\n");
    EXPECT_EQ(Log(), c.afterPrint);
    CoreShutdown();
  }
}

// One verbose run of the heap: MemoryInit, a block freed before the end and
// one kept, MemoryRemove. The log holds the two sections and nothing else.
TEST_F(DiagTest, VerboseHeapReports) {
  static const struct {
    int limit, quickSize, freedSize, keptSize;
    const char *initLines, *removeLines;
  } kCases[] = {
      {MEMORY_NO_LIMIT, 0, 4096, 0,
       "Quickmemory Initialized (Disabled)\nMemory Initialized (Maximum)\n",
       "Maximum Memory in use (1 / 4k)\n"},
      {1048576, 0, 0, 0, "Quickmemory Initialized (Disabled)\nMemory Initialized (limit 1024k)\n",
       "Maximum Memory in use (0 / 0k)\n"},
      {1500, 0, 0, 1, "Quickmemory Initialized (Disabled)\nMemory Initialized (limit 1k)\n",
       "Maximum Memory in use (1 / 0k)\nNot all memory was free'd (1 / 12b)\n"},
      {MEMORY_NO_LIMIT, 0, 0, 4096,
       "Quickmemory Initialized (Disabled)\nMemory Initialized (Maximum)\n",
       "Maximum Memory in use (1 / 4k)\nNot all memory was free'd (1 / 4k)\n"},
      {MEMORY_NO_LIMIT, 65536, 0, 0,
       "Quickmemory Initialized (64k)\nMemory Initialized (Maximum)\n",
       "Quick Memory size was set to (64k)\n"
       "Maximum Quick Memory in use (0k)  Largest Frame (0k)\n"
       "Maximum Memory in use (1 / 64k)\n"},
      {MEMORY_NO_LIMIT, 1000, 0, 0, "Quickmemory Initialized (0k)\nMemory Initialized (Maximum)\n",
       "Quick Memory size was set to (0k)\n"
       "Maximum Quick Memory in use (0k)  Largest Frame (0k)\n"
       "Maximum Memory in use (1 / 0k)\n"},
  };
  Start(DEBUG_LOGFILE | DEBUG_VERBOSE);
  EXPECT_EQ(Log(), "Tessel v0.31\r\n");
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << c.limit << " " << c.quickSize);
    ClearLog();
    MemoryInit(c.limit, c.quickSize);
    void *freed = c.freedSize ? MemoryAlloc(c.freedSize, kApp, 65) : nullptr;
    void *kept = c.keptSize ? MemoryAlloc(c.keptSize, kApp, 66) : nullptr;
    if (freed) MemoryFree(&freed, c.freedSize, kApp, 132);
    MemoryRemove();
    EXPECT_EQ(Log(), Crlf("\n====[Memory Init]" + Equals(62) + "\n" + c.initLines +
                          Equals(79) + "\n\n====[Memory Remove]" + Equals(60) + "\n" +
                          c.removeLines + Equals(79) + "\n"));
    if (kept) MemoryFree(&kept, c.keptSize, kApp, 133);
  }
}

TEST_F(DiagTest, LeakLineDoesNotNeedVerbose) {
  static const struct {
    std::vector<int> sizes;
    const char *line;
  } kCases[] = {
      {{}, ""},
      {{1}, "Not all memory was free'd (1 / 12b)\n"},
      {{1, 1}, "Not all memory was free'd (2 / 24b)\n"},
      {{1012}, "Not all memory was free'd (1 / 1020b)\n"},
      {{1016}, "Not all memory was free'd (1 / 1k)\n"},
  };
  Start(DEBUG_LOGFILE);
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.line);
    ClearLog();
    MemoryInit(MEMORY_NO_LIMIT, 0);
    std::vector<void *> blocks;
    for (int size : c.sizes) blocks.push_back(MemoryAlloc(size, kApp, 65));
    MemoryRemove();
    EXPECT_EQ(Log(), Crlf(c.line));
    for (size_t i = 0; i < blocks.size(); i++) MemoryFree(&blocks[i], c.sizes[i], kApp, 132);
  }
}

TEST_F(DiagTest, TextOfMaximumLengthIsAccepted) {
  Start(DEBUG_LOGFILE);
  const std::string text(DIAG_REPORT_MAX, 'x');
  EXPECT_EQ(DiagPrint("%s", text.c_str()), 1);
  EXPECT_EQ(Log(), text);
}

class DiagDeathTest : public DiagTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DiagTest::SetUp();
  }
};

TEST_F(DiagDeathTest, OverlongTextAbortsFromUnknownSite) {
  const std::string report =
      Report("ABORT: ", "Last string too large (4097 > 4096)\n", "Unknown/0");
  EXPECT_EXIT((Start(DEBUG_LOGFILE),
               DiagPrint("%s", std::string(DIAG_REPORT_MAX + 1, 'x').c_str())),
              testing::ExitedWithCode(1), LiteralRegex(Box(report)));
  // Whether the overlong text itself is logged, cut, is open; the report is.
  const std::string log = Log(), tail = Crlf("\n\n" + report);
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

// Where one fatal report goes under each switch word.
struct FatalCase {
  const char *name;
  uint32_t flags;
  std::string err;    // standard error: message box, then console
  const char *logged; // the debug log; null: no file at all
};

void PrintTo(const FatalCase &c, std::ostream *os) { *os << c.name; }

class FatalReportDeathTest : public DiagDeathTest,
                             public testing::WithParamInterface<FatalCase> {};

TEST_P(FatalReportDeathTest, GoesWhereTheSwitchesSay) {
  const FatalCase &c = GetParam();
  EXPECT_EXIT((Start(c.flags), MarkCallSite(kStrSource, 42), CheckPointer(nullptr)),
              testing::ExitedWithCode(1), LiteralRegex(c.err));
  if (c.logged)
    EXPECT_EQ(Log(), c.logged);
  else
    EXPECT_FALSE(FileExists(LogPath()));
}

const std::string kNullReport =
    Report("ASSERT:", "Pointer is NULL...\n", std::string(kStrSource) + "/42");
const char kNullReportLogged[] =
    "\r\n\r\nASSERT:Pointer is NULL...\r\n       (..\\..\\TESSEL\\tsl-str/42)\r\n";
const FatalCase kFatalCases[] = {
    {"Off", 0, Box(kNullReport), nullptr},
    {"Logfile", DEBUG_LOGFILE, Box(kNullReport), kNullReportLogged},
    {"NoMsgbox", DEBUG_NO_MSGBOX, "", nullptr},
    {"LogfileNoMsgbox", DEBUG_LOGFILE | DEBUG_NO_MSGBOX, "", kNullReportLogged},
    {"ConsoleAndLogfile", DEBUG_CONSOLE | DEBUG_LOGFILE, Box(kNullReport) + "\n\n" + kNullReport,
     kNullReportLogged},
    {"VerboseConsole", DEBUG_CONSOLE | DEBUG_VERBOSE,
     "Tessel v0.31\n" + Box(kNullReport) + "\n\n" + kNullReport, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Switches, FatalReportDeathTest, testing::ValuesIn(kFatalCases),
                         [](const testing::TestParamInfo<FatalCase> &info) {
                           return std::string(info.param.name);
                         });

// ---- Tracked heap and quick memory -----------------------------------------

using HeapTest = CoreTest;

TEST_F(HeapTest, BlockLayoutAndCounters) {
  static const struct {
    int size, area; // area: the size rounded up to 4
  } kCases[] = {{1, 4}, {3, 4}, {4, 4}, {5, 8}, {4096, 4096}};
  MemoryInit(MEMORY_NO_LIMIT, 0);
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.size);
    char *p = (char *)MemoryAlloc(c.size, kApp, 65);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p - 4, 4), std::string(4, '\xCC'));
    EXPECT_EQ(std::string(p, c.area), std::string(c.area, '\0'));
    EXPECT_EQ(std::string(p + c.area, 4), std::string(4, '\xCC'));
    EXPECT_EQ(memoryState.blockCount, 1);
    EXPECT_EQ(memoryState.bytesInUse, c.area + 8);
    EXPECT_EQ(MemoryFree(&p, c.size, kApp, 132), 1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(memoryState.blockCount, 0);
    EXPECT_EQ(memoryState.bytesInUse, 0);
  }
}

TEST_F(HeapTest, PeaksAndTheLimit) {
  MemoryInit(MEMORY_NO_LIMIT, 0);
  void *a = MemoryAlloc(100, kApp, 1); // 108 bytes
  void *b = MemoryAlloc(20, kApp, 2);  // 28
  MemoryFree(&a, 100, kApp, 3);
  void *c = MemoryAlloc(4, kApp, 4); // 12
  EXPECT_EQ(memoryState.blockCount, 2);
  EXPECT_EQ(memoryState.bytesInUse, 40);
  EXPECT_EQ(memoryState.peakBlockCount, 2);
  EXPECT_EQ(memoryState.peakBytesInUse, 136);
  MemoryFree(&b, 20, kApp, 5);
  MemoryFree(&c, 4, kApp, 6);
  EXPECT_EQ(memoryState.peakBytesInUse, 136);

  MemoryInit(1000, 0); // counters start afresh
  EXPECT_EQ(memoryState.peakBlockCount, 0);
  EXPECT_EQ(memoryState.peakBytesInUse, 0);
  void *full = MemoryAlloc(992, kApp, 65); // reaching the limit exactly is allowed
  EXPECT_EQ(memoryState.bytesInUse, 1000);
  MemoryFree(&full, 992, kApp, 132);
}

TEST_F(HeapTest, WritesIntoTheRoundingGoUnnoticed) {
  MemoryInit(MEMORY_NO_LIMIT, 0);
  char *p = (char *)MemoryAlloc(1, kApp, 65);
  p[1] = p[2] = p[3] = 'x';
  EXPECT_EQ(MemoryFree(&p, 1, kApp, 132), 1);
}

TEST_F(HeapTest, QuickMemoryRegionIsOneTrackedBlock) {
  MemoryInit(MEMORY_NO_LIMIT, 0);
  EXPECT_EQ(quickMemory.quickBase, nullptr);
  EXPECT_EQ(memoryState.blockCount, 0);
  MemoryRemove();

  MemoryInit(MEMORY_NO_LIMIT, 65536);
  ASSERT_NE(quickMemory.quickBase, nullptr);
  EXPECT_EQ(quickMemory.quickTop, quickMemory.quickBase);
  EXPECT_EQ(quickMemory.quickPeak, quickMemory.quickBase);
  EXPECT_EQ(quickMemory.quickEnd, quickMemory.quickBase + 65536);
  EXPECT_EQ(memoryState.blockCount, 1);
  EXPECT_EQ(memoryState.bytesInUse, 65544);
  MemoryRemove();
  EXPECT_EQ(quickMemory.quickBase, nullptr);
  EXPECT_EQ(quickMemory.quickSize, 65536);
  EXPECT_EQ(memoryState.blockCount, 0);
  EXPECT_EQ(memoryState.bytesInUse, 0);
}

using HeapDeathTest = CoreDeathTest;

// Allocates size bytes at winmain line 65, zeroes the bytes at the offsets
// from the caller's area (offset 0 of a fresh area changes nothing) and frees
// the block with freeSize at line 132.
void AllocDamageFree(int size, int freeSize, int damage, int moreDamage = 0) {
  MemoryInit(MEMORY_NO_LIMIT, 0);
  char *p = (char *)MemoryAlloc(size, kApp, 65);
  p[damage] = p[moreDamage] = 0;
  MemoryFree(&p, freeSize, kApp, 132);
}

// A block still held when a report ends the process (kept reachable, so that
// a leak checker does not take it for a lost one).
void *volatile heldBlock;

TEST_F(HeapDeathTest, AbortsNameTheCallersSite) {
  static const std::string kCore = kCoreSource;
  static const struct {
    void (*call)();
    std::string report;
  } kCases[] = {
      {[] { MemoryInit(MEMORY_NO_LIMIT, 0), MemoryAlloc(0, kApp, 65); },
       AbortBox("Invalid Memory Size (0)\n", "winmain/65")},
      {[] { MemoryInit(MEMORY_NO_LIMIT, 0), MemoryAlloc(-5, kApp, 65); },
       AbortBox("Invalid Memory Size (-5)\n", "winmain/65")},
      {[] { AllocDamageFree(4, 0, 0); }, AbortBox("Invalid Memory Size (0)\n", "winmain/132")},
      {[] { void *p = nullptr; MemoryFree(&p, -1, kApp, 132); }, // size before pointer
       AbortBox("Invalid Memory Size (-1)\n", "winmain/132")},
      {[] { MemoryInit(1000, 0), heldBlock = MemoryAlloc(992, kApp, 65), MemoryAlloc(1, kApp, 66); },
       AbortBox("Memory exceeds limit ((1000 + 12) / 1000)\n", "winmain/66")},
      {[] { MemoryInit(MEMORY_NO_LIMIT, 0), MemoryAlloc(INT_MAX - 11, kApp, 65); },
       AbortBox("Memory exceeds limit ((0 + 2147483644) / 268435455)\n", "winmain/65")},
      {[] { void *p = nullptr; MemoryFree(&p, 4, kApp, 132); },
       AbortBox("No Memory address to free (4 / 12)\n", "winmain/132")},
      {[] { // MemoryFree cleared the pointer, so a second free is caught
         MemoryInit(MEMORY_NO_LIMIT, 0);
         void *p = MemoryAlloc(4096, kApp, 65);
         MemoryFree(&p, 4096, kApp, 132), MemoryFree(&p, 4096, kApp, 133);
       },
       AbortBox("No Memory address to free (4096 / 4104)\n", "winmain/133")},
      {[] { AllocDamageFree(8, 8, -1); }, AbortBox("Memory corrupt before (8)\n", "winmain/132")},
      {[] { AllocDamageFree(4, 4, 4); }, AbortBox("Memory corrupt after (4)\n", "winmain/132")},
      {[] { AllocDamageFree(4, 4, 7, -4); }, // the front is checked first
       AbortBox("Memory corrupt before (4)\n", "winmain/132")},
      {[] { MemoryInit(MEMORY_NO_LIMIT, MEMORY_NO_LIMIT); },
       AbortBox("Quickmemory size is invalid!\n", kCore + "/163")},
      {[] { MemoryInit(MEMORY_NO_LIMIT, -1); },
       AbortBox("Invalid Memory Size (-1)\n", kCore + "/168")},
      {[] { MemoryInit(1000, 2000); },
       AbortBox("Memory exceeds limit ((0 + 2008) / 1000)\n", kCore + "/168")},
      {[] { MemoryInit(MEMORY_NO_LIMIT, 65536), quickMemory.quickBase[65536] = 0, MemoryRemove(); },
       AbortBox("Memory corrupt after (65536)\n", kCore + "/195")},
  };
  for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); i++) {
    SCOPED_TRACE(i);
    EXPECT_EXIT(kCases[i].call(), testing::ExitedWithCode(1), LiteralRegex(kCases[i].report));
  }
}

TEST_F(HeapDeathTest, SizeNearIntMaxIsRefusedNotWrapped) {
  // The block total does not fit 32 bits: refused, never a short block.
  for (int size : {INT_MAX, INT_MAX - 3, INT_MAX - 7}) {
    EXPECT_EXIT((MemoryInit(MEMORY_NO_LIMIT, 0), MemoryAlloc(size, kApp, 65)),
                testing::ExitedWithCode(1),
                "^Internal error\\.\\.\\.\nABORT: Memory exceeds limit \\(\\(0 \\+ [0-9]+\\) / "
                "268435455\\)\n       \\(winmain/65\\)\n$");
  }
}

#ifndef _WIN32
// Leaves the process too little address space for a 1 GiB block, so that the
// platform allocator fails.
void AllocateBeyondAddressSpace() {
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = 256u << 20;
  setrlimit(RLIMIT_AS, &limit);
  MemoryInit(INT_MAX, 0);
  MemoryAlloc(1 << 30, kApp, 65);
}

TEST_F(HeapDeathTest, FailingAllocatorIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs the address space this test takes away";
#endif
  EXPECT_EXIT(AllocateBeyondAddressSpace(), testing::ExitedWithCode(1),
              LiteralRegex(
                  AbortBox("No Memory available (1073741824 / 1073741832)\n", "winmain/65")));
}
#endif

} // namespace
