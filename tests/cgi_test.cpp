// Tests of the CGI gateway: where the request's query comes from, how it is
// read, and the exact bytes the response side puts on standard output.
#include "cgi.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-io.h"

namespace {

long StdinTaken() { return (long)lseek(STDIN_FILENO, 0, SEEK_CUR); }

void SetOrUnset(const char *name, const char *value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

// A body with neither carriage returns nor 0x1A: every byte arrives.
std::string Letters(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; i++) text += (char)('a' + i % 26);
  return text;
}

class CgiTest : public testing::Test {
 protected:
  void SetUp() override { Start(0, "C:\\web\\cgi-bin\\prog.exe"); }
  void TearDown() override {
    CoreShutdown();
    IoSetCommandLineForTest(nullptr);
    for (const char *name : {"QUERY_STRING", "CONTENT_LENGTH", "REMOTE_ADDR"}) unsetenv(name);
  }
  void Start(uint32_t flags, const std::string &program) {
    for (const char *name : {"QUERY_STRING", "CONTENT_LENGTH", "REMOTE_ADDR"}) unsetenv(name);
    commandLine_ = program;
    IoSetCommandLineForTest(commandLine_.c_str());
    CoreStartup("debug.log", flags);
    MemoryInit(MEMORY_NO_LIMIT, 0);
  }

 private:
  std::string commandLine_;
};

// ---- Where the query comes from --------------------------------------------

enum Source { FROM_NOWHERE, FROM_QUERY_STRING, FROM_BODY };

struct InitCase {
  const char *contentLength;  // null: not set
  std::string body;
  int expectedResult;
  int expectedLength;
  Source expectedSource;
  std::string expectedBytes;
  long expectedTaken;  // -1: anything up to the announced length
};

struct InitOutcome {
  int result, length, source, terminated;
  long taken;
  char bytes[CGI_BODY_QUEUE + 1];
};

void RunInit(InitOutcome &out, const void *arg) {
  const InitCase &c = *static_cast<const InitCase *>(arg);
  StdinFrom(c.body);
  setenv("QUERY_STRING", "q=env", 1);
  SetOrUnset("CONTENT_LENGTH", c.contentLength);
  CgiInit();
  const char *data = reinterpret_cast<const char *>(1);
  out.result = CgiGetQuery(&data, &out.length);
  out.taken = StdinTaken();
  out.source = data == nullptr                   ? FROM_NOWHERE
               : data == getenv("QUERY_STRING")  ? FROM_QUERY_STRING
               : data == cgiState.bodyBuffer     ? FROM_BODY
                                                 : -1;
  if (data && out.length >= 0 && out.length <= CGI_BODY_QUEUE) {
    memcpy(out.bytes, data, (size_t)out.length);
    out.terminated = data[out.length] == 0;
  }
}

TEST_F(CgiTest, ContentLengthChoosesTheSource) {
  const std::string body = Letters(600);
  const InitCase cases[] = {
      {nullptr, body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      {"12", body, 1, 12, FROM_BODY, body.substr(0, 12), 12},
      {" 12", body, 1, 12, FROM_BODY, body.substr(0, 12), 12},
      {"+12", body, 1, 12, FROM_BODY, body.substr(0, 12), 12},
      {"12abc", body, 1, 12, FROM_BODY, body.substr(0, 12), 12},
      {"-3", body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      {"abc", body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      {"0", body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      {"", body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      {"512", body, 1, 512, FROM_BODY, body.substr(0, 512), 512},
      {"513", body, 1, 513, FROM_NOWHERE, "", 0},
      {"99999999999999999999", body, 1, 2147483647, FROM_NOWHERE, "", 0},
      {"18446744073709551617", body, 1, 2147483647, FROM_NOWHERE, "", 0},
      {"-99999999999999999999", body, 1, 5, FROM_QUERY_STRING, "q=env", 0},
      // Bodies as they arrive in text mode.
      {"8", "ab\r\ncdef", 1, 7, FROM_BODY, "ab\ncdef", 8},
      {"8", "abc\x1A" "defg", 1, 3, FROM_BODY, "abc", -1},
      {"10", "wxyz", 1, 4, FROM_BODY, "wxyz", 4},
      {"5", "", 0, 0, FROM_BODY, "", 0},
      {"3", "\r\r\r", 0, 0, FROM_BODY, "", 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("CONTENT_LENGTH ") + (c.contentLength ? c.contentLength : "(unset)") +
                 ", body of " + std::to_string(c.body.size()));
    InitOutcome out = InChild<InitOutcome>(RunInit, &c);
    EXPECT_EQ(out.result, c.expectedResult);
    EXPECT_EQ(out.length, c.expectedLength);
    EXPECT_EQ(out.source, c.expectedSource);
    if (c.expectedSource != FROM_NOWHERE && out.length >= 0 && out.length <= CGI_BODY_QUEUE) {
      EXPECT_EQ(std::string(out.bytes, (size_t)out.length), c.expectedBytes);
      EXPECT_TRUE(out.terminated);
    }
    if (c.expectedTaken >= 0) {
      EXPECT_EQ(out.taken, c.expectedTaken);
    } else {
      EXPECT_LE(out.taken, atol(c.contentLength));
    }
  }
}

TEST_F(CgiTest, QueryStringAndClientAddress) {
  setenv("QUERY_STRING", "", 1);
  setenv("REMOTE_ADDR", "10.1.2.3", 1);
  EXPECT_EQ(CgiInit(), 1);
  const char *data = nullptr;
  int length = -1;
  EXPECT_EQ(CgiGetQuery(&data, &length), 0);
  ASSERT_NE(data, nullptr);
  EXPECT_STREQ(data, "");
  EXPECT_EQ(length, 0);
  ASSERT_NE(cgiState.remoteAddress, nullptr);
  EXPECT_STREQ(cgiState.remoteAddress, "10.1.2.3");

  unsetenv("QUERY_STRING");
  unsetenv("REMOTE_ADDR");
  CgiInit();
  data = "stale";
  EXPECT_EQ(CgiGetQuery(&data, &length), 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(cgiState.remoteAddress, nullptr);
}

// ---- Reading the query ------------------------------------------------------

TEST_F(CgiTest, ReadQueryDeliversInOrderAndRefusesMoreThanRemains) {
  setenv("QUERY_STRING", "abcdefg", 1);
  CgiInit();
  char buffer[16];
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(CgiReadQuery(buffer, 0), 1);
  EXPECT_EQ(CgiReadQuery(buffer, -4), 1);
  EXPECT_EQ(cgiState.readPosition, 0);
  EXPECT_EQ(buffer[0], '#');

  EXPECT_EQ(CgiReadQuery(buffer, 3), 1);
  EXPECT_EQ(std::string(buffer, 4), "abc#");
  EXPECT_EQ(CgiReadQuery(buffer + 3, 4), 1);
  EXPECT_EQ(std::string(buffer, 8), "abcdefg#");
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(CgiReadQuery(buffer, 1), 0);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(cgiState.readPosition, 7);
}

struct BodyReadCase {
  const char *name;
  const char *contentLength;
  std::string body;
  int counts[2];  // the second is 0 for a single read
  int expectedResults[2];
  std::string expectedBytes;  // both reads, one after the other
  int expectedPosition;
  long expectedTaken;
};

struct BodyReadOutcome {
  int results[2];
  int position;
  long taken;
  char bytes[1024];
};

void RunBodyRead(BodyReadOutcome &out, const void *arg) {
  const BodyReadCase &c = *static_cast<const BodyReadCase *>(arg);
  StdinFrom(c.body);
  setenv("CONTENT_LENGTH", c.contentLength, 1);
  setenv("QUERY_STRING", "q=env", 1);
  CgiInit();
  memset(out.bytes, '#', sizeof(out.bytes));
  out.results[0] = CgiReadQuery(out.bytes, c.counts[0]);
  out.results[1] = CgiReadQuery(out.bytes + cgiState.readPosition, c.counts[1]);
  out.position = cgiState.readPosition;
  out.taken = StdinTaken();
}

TEST_F(CgiTest, LargeBodyIsReadFromStandardInputOnDemand) {
  const std::string letters = Letters(700);
  const std::string withCrlf = letters.substr(0, 300) + "\r\n" + letters.substr(0, 218);
  const std::string withEnd = letters.substr(0, 300) + "\x1A" + letters.substr(0, 299);
  const BodyReadCase cases[] = {
      {"whole body", "513", letters.substr(0, 513), {513, 0}, {1, 1}, letters.substr(0, 513), 513,
       513},
      {"never past CONTENT_LENGTH", "513", letters, {513, 0}, {1, 1}, letters.substr(0, 513), 513,
       513},
      {"two reads", "600", letters, {100, 500}, {1, 1}, letters.substr(0, 600), 600, 600},
      {"body shorter than announced", "600", letters.substr(0, 100), {600, 0}, {0, 1},
       letters.substr(0, 100), 100, 100},
      {"carriage return dropped", "520", withCrlf, {520, 0}, {0, 1},
       letters.substr(0, 300) + "\n" + letters.substr(0, 218), 519, 520},
      {"0x1A ends the body", "600", withEnd, {600, 0}, {0, 1}, letters.substr(0, 300), 300, -1},
      {"more than announced", "513", letters, {514, 0}, {0, 1}, "", 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    BodyReadOutcome out = InChild<BodyReadOutcome>(RunBodyRead, &c);
    EXPECT_EQ(out.results[0], c.expectedResults[0]);
    EXPECT_EQ(out.results[1], c.expectedResults[1]);
    EXPECT_EQ(out.position, c.expectedPosition);
    EXPECT_EQ(std::string(out.bytes, c.expectedBytes.size()), c.expectedBytes);
    if (c.expectedBytes.empty()) {
      EXPECT_EQ(out.bytes[0], '#') << "copied although refused";
    }
    EXPECT_EQ(out.bytes[c.counts[0] + c.counts[1]], '#') << "written past the count";
    if (c.expectedTaken >= 0) {
      EXPECT_EQ(out.taken, c.expectedTaken);
    } else {
      EXPECT_LE(out.taken, atol(c.contentLength));
    }
  }
}

// ---- A source of the request's own ------------------------------------------

// A request held in memory: what a persistent server or a test hands the
// gateway instead of the process's environment and standard streams.
struct MemoryRequest {
  std::map<std::string, std::string> variables;
  std::string body;
  size_t taken = 0;  // body bytes handed out
  std::string answer, errors;
  CgiSource source = {this, Variable, ReadBody, Write, ReportError};

  static const char *Variable(void *context, const char *name) {
    auto &variables = static_cast<MemoryRequest *>(context)->variables;
    auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  }
  static int ReadBody(void *context, char *buffer, int count) {
    MemoryRequest *request = static_cast<MemoryRequest *>(context);
    size_t n = std::min(request->body.size() - request->taken, (size_t)count);
    memcpy(buffer, request->body.data() + request->taken, n);
    request->taken += n;
    return (int)n;
  }
  static int Write(void *context, const char *bytes, int count) {
    static_cast<MemoryRequest *>(context)->answer.append(bytes, (size_t)count);
    return 1;
  }
  static void ReportError(void *context, const char *line, int count) {
    static_cast<MemoryRequest *>(context)->errors.append(line, (size_t)count);
  }
};

TEST_F(CgiTest, RequestFromASourceOfItsOwn) {
  setenv("QUERY_STRING", "from.environment", 1);
  MemoryRequest request;
  request.variables = {{"QUERY_STRING", "a.b"}, {"REMOTE_ADDR", "192.0.2.9"}};
  ASSERT_EQ(CgiUseSource(&request.source), 1);
  std::string out = CaptureStdout([] {
    CgiInit();
    CgiPrint("Location: %s\n", cgiState.queryData);
  });
  EXPECT_EQ(out, "") << "nothing reaches standard output";
  EXPECT_EQ(request.answer, "Location: a.b\r\n");
  EXPECT_STREQ(cgiState.remoteAddress, "192.0.2.9");
  EXPECT_EQ(CgiVariable("GATEWAY_INTERFACE"), nullptr);

  // Back to the process: the next request comes from the environment.
  CgiUseSource(&cgiProcessSource);
  CgiInit();
  EXPECT_STREQ(cgiState.queryData, "from.environment");
  EXPECT_EQ(cgiState.remoteAddress, nullptr);
}

// The body in text mode, never taking more than CONTENT_LENGTH announces,
// read whole by CgiInit (up to 512 bytes) or piece by piece by
// CgiReadQuery; the end of the request takes what is left of it, and one
// failure line at most goes to the source's error stream.
TEST_F(CgiTest, BodyReadInTextModeWithinTheAnnouncedLengthAndDrainedAtTheEnd) {
  const std::string letters = Letters(700);
  static const struct {
    const char *name;
    std::string body;
    int contentLength;
    std::vector<int> counts;  // CgiReadQuery calls
    std::string expected;     // everything delivered
    size_t taken;             // body bytes taken from the source by then
    size_t drained;           // and after CgiShutdown
  } cases[] = {
      {"CRLF body", "a\r\nb\r\n", 6, {4}, "a\nb\n", 6, 6},
      {"dropped carriage returns never shorten", "\r\r\rabc", 6, {3}, "abc", 6, 6},
      {"never past the announced length", "abcdefgh", 5, {5}, "abcde", 5, 5},
      {"body shorter than announced", "xyz", 100, {3}, "xyz", 3, 3},
      {"0x1A ends the body", "ab\x1A" "cd", 5, {2}, "ab", 5, 5},
      {"long body in pieces", letters, 600, {100, 500}, letters.substr(0, 600), 600, 600},
      {"long body, dropped carriage returns never shorten a piece",
       "\r\r\r" + letters.substr(0, 597), 600, {2, 595}, letters.substr(0, 597), 600, 600},
      {"long body, 0x1A met by a later piece", letters.substr(0, 300) + "\x1A" + letters, 700,
       {300, 1}, letters.substr(0, 300), 301, 700},
      {"too long a query, its body unread", std::string(1100, 'a'), 1100, {4}, "aaaa", 4, 1100},
      {"a body of 100 kB", std::string(100000, 'b'), 100000, {4}, "bbbb", 4, 100000},
      {"drained past a 0x1A", std::string(300, 'c') + "\x1A" + std::string(300, 'd'), 601, {4},
       "cccc", 4, 601},
      {"drained up to the announced length", std::string(700, 'e'), 600, {4}, "eeee", 4, 600},
      {"drained up to the end of input", "f.g", 50000, {4}, "f.g", 3, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRequest request;
    request.variables = {{"CONTENT_LENGTH", std::to_string(c.contentLength)}};
    request.body = c.body;
    CgiUseSource(&request.source);
    CgiInit();
    std::string delivered;
    if (c.contentLength <= CGI_BODY_QUEUE) {
      delivered.assign(cgiState.queryData, (size_t)cgiState.queryLength);
    } else {
      for (int count : c.counts) {
        std::vector<char> piece((size_t)count);
        CgiReadQuery(piece.data(), count);
        delivered.append(piece.data(), strnlen(piece.data(), (size_t)count));
      }
    }
    EXPECT_EQ(delivered, c.expected);
    EXPECT_EQ(request.taken, c.taken);
    EXPECT_EQ(CgiReportFailure("first %d", 1), 1);
    CgiReportFailure("second");
    EXPECT_EQ(CgiShutdown(), 1);
    EXPECT_EQ(request.taken, c.drained);
    EXPECT_LE(request.taken, (size_t)c.contentLength);
    EXPECT_EQ(request.errors, "linkhop: first 1\n");
    CgiInit();
    CgiReportFailure("next request");
    EXPECT_EQ(request.errors, "linkhop: first 1\nlinkhop: next request\n");
  }
  CgiUseSource(&cgiProcessSource);
}

// ---- Notices on the diagnostic channel --------------------------------------

struct NoticeCase {
  const char *contentLength;
  std::string program;  // argument 0: the debug log goes beside it
};

struct NoticeOutcome {
  int done;
};

void RunNoticeInit(NoticeOutcome &out, const void *arg) {
  const NoticeCase &c = *static_cast<const NoticeCase *>(arg);
  StdinFrom(Letters(600));
  IoSetCommandLineForTest(c.program.c_str());
  CoreStartup("debug.log", DEBUG_LOGFILE);
  setenv("QUERY_STRING", "q=env", 1);
  setenv("CONTENT_LENGTH", c.contentLength, 1);
  CgiInit();
  out.done = 1;
}

TEST_F(CgiTest, OversizedBodyIsNoticedInTheDebugLog) {
  static const struct {
    const char *contentLength;
    const char *expectedLog;
  } cases[] = {
      {"513", "Query too large, will no be qued (513 > 512)\n"},
      {"99999999999999999999", "Query too large, will no be qued (2147483647 > 512)\n"},
      {"512", ""},
      {"-3", ""},
      {"abc", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.contentLength);
    TempDir dir;
    NoticeCase run = {c.contentLength, dir / "prog"};
    EXPECT_EQ(InChild<NoticeOutcome>(RunNoticeInit, &run).done, 1);
    EXPECT_EQ(ReadFile(dir / "debug.log"), Crlf(c.expectedLog));
  }
}

TEST_F(CgiTest, RefusedReadIsNoticedInTheDebugLog) {
  TempDir dir;
  CoreShutdown();
  Start(DEBUG_LOGFILE, dir / "prog");
  setenv("QUERY_STRING", "abcdefg", 1);
  CgiInit();
  char buffer[8];
  CgiReadQuery(buffer, 3);
  CgiReadQuery(buffer, 4);
  EXPECT_EQ(ReadFile(dir / "debug.log"), "");
  EXPECT_EQ(CgiReadQuery(buffer, 1), 0);
  EXPECT_EQ(ReadFile(dir / "debug.log"), Crlf("Request too large (1 / 7 / 7)\n"));
}

// ---- The response on standard output ----------------------------------------

TEST_F(CgiTest, ResponseBytesOnStandardOutput) {
  static const std::string big(20000, 'x');
  static const char kHeader[] = "Content-Type: text/html\n\n";
  static const struct {
    const char *name;
    bool htmlFirst;        // CgiSendHtmlHeader is called (and checked) before write
    int (*write)(void);    // 1 when every call gave 1
    std::string expected;  // after the header, before the line ends become CRLF
  } cases[] = {
      {"header twice", true, [] { return CgiSendHtmlHeader(); }, kHeader},
      {"comment before the header", false, [] { return CgiComment("lost %s\n", "remark"); }, ""},
      {"comment after a new CgiInit", true,
       [] {
         int ok = CgiInit();
         return ok * CgiComment("lost\n");
       },
       ""},
      {"format ending in two line feeds", true,
       [] { return CgiComment("Unable to update log\n\n"); },
       "<!-- Unable to update log\n -->\n\n"},
      {"format ending in one line feed", true, [] { return CgiComment("count %d\n", 42); },
       "<!-- count 42 -->\n\n"},
      {"format without a final line feed", true, [] { return CgiComment("as %s is", "it"); },
       "<!-- as it is -->\n\n"},
      {"line feed ending an argument", true, [] { return CgiComment("%s", "value\n"); },
       "<!-- value\n -->\n\n"},
      {"line feeds ending the argument and the format", true,
       [] { return CgiComment("%s\n", "value\n"); }, "<!-- value\n -->\n\n"},
      {"empty comment", true, [] { return CgiComment(""); }, "<!--  -->\n\n"},
      {"redirect block", false,
       [] {
         const char *target = "http://example.com/a?b";
         int ok = CgiPrint("Status: 301 Moved Permanently\n");
         ok *= CgiPrint("URI: %s\n", target);
         ok *= CgiPrint("Location: %s\n", target);
         return ok * CgiPrint("Method: GET\n\n");
       },
       "Status: 301 Moved Permanently\nURI: http://example.com/a?b\n"
       "Location: http://example.com/a?b\nMethod: GET\n\n"},
      {"no-query page", true, [] { return CgiPrint("Unable to locate any paramters!<BR>\n"); },
       "Unable to locate any paramters!<BR>\n"},
      {"text far longer than any buffer", false, [] { return CgiPrint("<%s>\n", big.c_str()); },
       "<" + big + ">\n"},
      {"long comment", true, [] { return CgiComment("%s\n", big.c_str()); },
       "<!-- " + big + " -->\n\n"},
      {"shutdown writes nothing", false, [] { return CgiShutdown(); }, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    CgiInit();
    int header = 1, result = 0;
    std::string headerBytes;
    if (c.htmlFirst) headerBytes = CaptureStdout([&] { header = CgiSendHtmlHeader(); });
    EXPECT_EQ(headerBytes, c.htmlFirst ? Crlf(kHeader) : "");
    EXPECT_EQ(header, 1);
    EXPECT_EQ(CaptureStdout([&] { result = c.write(); }), Crlf(c.expected));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(memoryState.blockCount, 0) << "a long text's block is freed";
  }

  // Texts about the size of the formatting room and of one whole write,
  // dense with line feeds: whether a text is translated where it was
  // formatted, copied to be translated, or formatted on the heap, the
  // bytes are the same.
  for (int length : {1, 1023, 2047, 2048, 3000, 3071, 3072, 3073, 4095, 4096, 4097, 6200}) {
    for (int every : {1, 7, 100000}) {
      SCOPED_TRACE(std::to_string(length) + " bytes, a line feed every " + std::to_string(every));
      std::string text;
      for (int i = 0; i < length; i++) text += (i + 1) % every == 0 ? '\n' : 'a' + i % 26;
      CgiInit();
      EXPECT_EQ(CaptureStdout([&] { CgiPrint("%s", text.c_str()); }), Crlf(text));
      EXPECT_EQ(memoryState.blockCount, 0);
    }
  }
}

}  // namespace
