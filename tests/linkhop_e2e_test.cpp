// End-to-end tests of linkhop: the built program is run as a web server runs
// a CGI program, with nothing but the CGI environment and the request body,
// and the exact bytes of its answer are compared.
//
// No hopdata/config.txt is installed, so every key here is a key that the
// redirect table does not hold, and is answered with the empty address.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

using namespace std::string_literals;

namespace {

const std::string kBanner =
    "\r\nNorvale LINKHOP version 1.00 (Release)\r\n"
    "The latest version can always be found at https://norvale.example/linkhop/\r\n";

// An explicit address of exactly length bytes whose only full stop is near
// the end, so that a query cut short turns into a key and shows.
std::string Dotted(size_t length) { return std::string(length - 2, 'a') + ".z"; }

std::string Len(const std::string &bytes) { return std::to_string(bytes.size()); }

struct Case {
  const char *name;
  Env env;           // CGI variables of the request, beyond the common ones
  std::string body;  // standard input
  std::string out;   // standard output, byte for byte
};

const Case kRequestCases[] = {
    // Where the query comes from, and no query at all.
    {"no QUERY_STRING", {}, "", kNoQueryPage},
    {"empty QUERY_STRING", {{"QUERY_STRING", ""}}, "", kNoQueryPage},

    // Explicit addresses: any full stop, used exactly as received.
    {"explicit a.b", {{"QUERY_STRING", "a.b"}}, "", Redirect("a.b")},
    {"explicit full stop alone", {{"QUERY_STRING", "."}}, "", Redirect(".")},
    {"explicit news.old", {{"QUERY_STRING", "news.old"}}, "", Redirect("news.old")},
    {"explicit kept as received",
     {{"QUERY_STRING", " Http://X.example/a%20b?c=1&d=2 "}},
     "",
     Redirect(" Http://X.example/a%20b?c=1&d=2 ")},

    // Keys not in the table.
    {"key not in table", {{"QUERY_STRING", "news"}}, "", kMissPage},
    {"key not in table: %2E is no full stop", {{"QUERY_STRING", "%2E"}}, "", kMissPage},
    {"key not in table: a%2Eb", {{"QUERY_STRING", "a%2Eb"}}, "", kMissPage},

    // Query length limit.
    {"QUERY_STRING of 1023 bytes", {{"QUERY_STRING", Dotted(1023)}}, "", Redirect(Dotted(1023))},
    {"QUERY_STRING of 1024 bytes", {{"QUERY_STRING", Dotted(1024)}}, "", kTooLongPage},
    {"QUERY_STRING of 5000 bytes", {{"QUERY_STRING", Dotted(5000)}}, "", kTooLongPage},

    // Bodies that are queued whole (up to 512 bytes).
    {"body of 1 byte", {{"CONTENT_LENGTH", "1"}}, ".", Redirect(".")},
    {"body of 511 bytes", {{"CONTENT_LENGTH", "511"}}, Dotted(511), Redirect(Dotted(511))},
    {"body of 512 bytes", {{"CONTENT_LENGTH", "512"}}, Dotted(512), Redirect(Dotted(512))},
    {"body key not in table", {{"CONTENT_LENGTH", "4"}}, "news", kMissPage},
    {"body beats QUERY_STRING",
     {{"CONTENT_LENGTH", "12"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("body.example")},
    {"body key beats explicit QUERY_STRING",
     {{"CONTENT_LENGTH", "4"}, {"QUERY_STRING", "q.example"}},
     "news",
     kMissPage},
    {"body beyond CONTENT_LENGTH left unread", {{"CONTENT_LENGTH", "3"}}, "a.bcdef", Redirect("a.b")},

    // Bodies read by the driver (over 512 bytes).
    {"body of 513 bytes", {{"CONTENT_LENGTH", "513"}}, Dotted(513), Redirect(Dotted(513))},
    {"body of 1023 bytes", {{"CONTENT_LENGTH", "1023"}}, Dotted(1023), Redirect(Dotted(1023))},
    {"body of 1024 bytes", {{"CONTENT_LENGTH", "1024"}}, Dotted(1024), kTooLongPage},
    {"long body beyond CONTENT_LENGTH left unread",
     {{"CONTENT_LENGTH", "600"}},
     Dotted(600) + "tail",
     Redirect(Dotted(600))},

    // Bodies shorter than announced end after the bytes that arrived.
    {"short body: 4 of 10 bytes", {{"CONTENT_LENGTH", "10"}}, "a.bc", Redirect("a.bc")},
    {"short body: 20 of 600 bytes", {{"CONTENT_LENGTH", "600"}}, Dotted(20), Redirect(Dotted(20))},
    {"empty body of 5 announced, QUERY_STRING not consulted",
     {{"CONTENT_LENGTH", "5"}, {"QUERY_STRING", "a.b"}},
     "",
     kNoQueryPage},
    {"empty body of 600 announced: empty key", {{"CONTENT_LENGTH", "600"}}, "", kMissPage},

    // Text-mode input: carriage returns dropped, 0x1A ends the body.
    {"CR in a body dropped", {{"CONTENT_LENGTH", "6"}}, "ab\r.cd", Redirect("ab.cd")},
    {"CR in a long body dropped",
     {{"CONTENT_LENGTH", "601"}},
     Dotted(600).insert(300, "\r"),
     Redirect(Dotted(600))},
    {"0x1A ends a body", {{"CONTENT_LENGTH", "6"}}, "a.b\x1A" "cd", Redirect("a.b")},
    {"0x1A ends a long body",
     {{"CONTENT_LENGTH", "600"}},
     Dotted(540) + "\x1A" + std::string(59, 'y'),
     Redirect(Dotted(540))},

    // CONTENT_LENGTH read as atoi reads it, saturating when too large.
    {"CONTENT_LENGTH letters",
     {{"CONTENT_LENGTH", "abc"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("q.example")},
    {"CONTENT_LENGTH empty",
     {{"CONTENT_LENGTH", ""}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("q.example")},
    {"CONTENT_LENGTH 0",
     {{"CONTENT_LENGTH", "0"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("q.example")},
    {"CONTENT_LENGTH negative",
     {{"CONTENT_LENGTH", "-12"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("q.example")},
    {"CONTENT_LENGTH with leading space",
     {{"CONTENT_LENGTH", " 12"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("body.example")},
    {"CONTENT_LENGTH with plus sign",
     {{"CONTENT_LENGTH", "+12"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("body.example")},
    {"CONTENT_LENGTH digits then letters",
     {{"CONTENT_LENGTH", "12abc"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("body.example")},
    {"CONTENT_LENGTH huge saturates",
     {{"CONTENT_LENGTH", "99999999999999999999"}, {"QUERY_STRING", "q.example"}},
     "a.b",
     kTooLongPage},
    {"CONTENT_LENGTH 2^32+1 does not wrap to 1",
     {{"CONTENT_LENGTH", "4294967297"}},
     "a.b",
     kTooLongPage},
    {"CONTENT_LENGTH hugely negative",
     {{"CONTENT_LENGTH", "-99999999999999999999"}, {"QUERY_STRING", "q.example"}},
     "body.example",
     Redirect("q.example")},

    // Header injection: the target ends at its first byte below 32.
    {"body with LF and a header", {{"CONTENT_LENGTH", Len("a.b\nSet-Cookie: x=1")}},
     "a.b\nSet-Cookie: x=1", Redirect("a.b")},
    {"body with CR LF and a header", {{"CONTENT_LENGTH", Len("a.b\r\nX: y")}}, "a.b\r\nX: y",
     Redirect("a.b")},
    {"long body with LF and a header", {{"CONTENT_LENGTH", "600"}},
     "a.b\nSet-Cookie: x=1\n" + std::string(580, 'c'), Redirect("a.b")},
    {"QUERY_STRING with 0x01", {{"QUERY_STRING", "a.b\x01X"}}, "", Redirect("a.b")},
    {"QUERY_STRING with a tab", {{"QUERY_STRING", "a.b\tc"}}, "", Redirect("a.b")},
    {"QUERY_STRING with CR LF and a header",
     {{"QUERY_STRING", "a.b\r\nSet-Cookie: x=1"}},
     "",
     Redirect("a.b")},
    {"zero byte ends a body", {{"CONTENT_LENGTH", "7"}}, "a.b\0c.d"s, Redirect("a.b")},
    {"zero byte before the full stop: a key", {{"CONTENT_LENGTH", "6"}}, "ab\0c.d"s,
     kMissPage},
};

// Every file and folder under root, by its path relative to root.
std::set<std::string> Tree(const std::string &root) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
    names.insert(std::filesystem::relative(entry.path(), root).string());
  return names;
}

class LinkhopE2eTest : public testing::Test {
 protected:
  // Runs every request case from the folder cwd.
  void RunRequestCases(const std::string &cwd) {
    for (const Case &c : kRequestCases) {
      SCOPED_TRACE(c.name);
      ProcessResult r = RunProcess(program_, {}, RequestEnv(c.env), c.body, cwd);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "");
      EXPECT_FALSE(FileExists(bin_ + "/debug.log"));
    }
  }

  TempDir dir_;
  std::string program_ = InstallProgram(dir_);
  std::string bin_ = dir_ / "cgi-bin";
};

TEST_F(LinkhopE2eTest, RequestRuns) { RunRequestCases(bin_); }

TEST_F(LinkhopE2eTest, RequestRunsFromAnotherFolder) {
  std::string elsewhere = dir_ / "elsewhere";
  MakeDir(elsewhere);
  RunRequestCases(elsewhere);
  EXPECT_TRUE(Tree(elsewhere).empty());
}

// Before it ends, the program reads what is left of the announced body, on
// every path, and never more: a web server may hold back the answer until
// the body is taken, or take what is left for the next request.
TEST_F(LinkhopE2eTest, BodyReadToItsAnnouncedEnd) {
  const std::string big(100000, 'b');
  const struct {
    const char *name;
    Env env;
    std::string body;
    std::string out;
    long taken;
  } cases[] = {
      {"too-long page", {{"CONTENT_LENGTH", "1100"}}, Dotted(1100), kTooLongPage, 1100},
      {"too-long page, 100 kB", {{"CONTENT_LENGTH", "100000"}}, big, kTooLongPage, 100000},
      {"explicit address", {{"CONTENT_LENGTH", "3"}}, "a.b", Redirect("a.b"), 3},
      {"key", {{"CONTENT_LENGTH", "4"}}, "news", kMissPage, 4},
      {"no query, empty body", {{"CONTENT_LENGTH", "0"}}, "", kNoQueryPage, 0},
      {"query string, body not announced", {{"QUERY_STRING", "a.b"}}, "abc", Redirect("a.b"),
       0},
      {"0x1A ends the query, not the body", {{"CONTENT_LENGTH", "700"}},
       "a.b\x1A" + std::string(696, 'z'), Redirect("a.b"), 700},
      {"line feed ends the query, not the body", {{"CONTENT_LENGTH", "20"}},
       "a.b\nSet-Cookie: x=1\nyz", Redirect("a.b"), 20},
      {"more than announced", {{"CONTENT_LENGTH", "5"}}, "a.bcdefgh", Redirect("a.bcd"), 5},
      {"less than announced", {{"CONTENT_LENGTH", "900"}}, "a.b", Redirect("a.b"), 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = RunProcess(program_, {}, RequestEnv(c.env), c.body, bin_);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.stdinTaken, c.taken);
  }
}

// A site that lists where explicit addresses may lead: each address of the
// shared table gets its redirect or the 403 page, byte for byte.
TEST_F(LinkhopE2eTest, ExplicitAddressesAgainstTheSitesList) {
  std::string setting;
  const std::vector<ExplicitCase> table = ExplicitTable(&setting);
  ASSERT_GT(table.size(), 30u);
  for (const ExplicitCase &c : table) {
    SCOPED_TRACE(c.address);
    ProcessResult r = RunProcess(
        program_, {}, RequestEnv({{"QUERY_STRING", c.address}, {"LINKHOP_EXPLICIT", setting}}),
        "", bin_);
    EXPECT_EQ(r.out, c.allowed ? Redirect(c.address) : kRefusedPage);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

// What each form of the setting lets through. A key is never checked.
TEST_F(LinkhopE2eTest, ExplicitSettingForms) {
  const struct {
    const char *name;
    const char *setting;  // null: not set
    std::string query;
    bool allowed;
    std::string err = "";  // standard error: the operator told of a mistake
  } cases[] = {
      {"not set", nullptr, "https://phish.test/login", true},
      {"empty", "", "https://phish.test/login", true},
      {"none", "none", "https://example.com/", false},
      {"none refuses a path on this site", "none", "/index.html", false},
      {"none leaves keys alone", "none", "news", true},
      {"an exact host", "example.com", "https://EXAMPLE.com:80", true},
      {"an exact host only", "example.com", "https://www.example.com/", false},
      {"commas and spaces", ",a.test,, b.test ,", "http://b.test/x", true},
      {"tabs", "a.test\tb.test", "http://b.test/x", true},
      {"separators alone: paths only", " , ", "https://example.com/", false},
      {"separators alone: a path", " , ", "/index.html", true},
      {"a dot alone names no host", ".", "https://example.com/", false},
      {"None is a host name", "None", "https://example.com/", false},
      {"an entry with a port names no host", "a.test partner.example:8443",
       "https://partner.example:8443/", false,
       "linkhop: LINKHOP_EXPLICIT: 'partner.example:8443' names no host: a host is allowed on "
       "every port, so leave the port out\n"},
      {"its other entries still allow", "[::1]:80,a.test", "http://a.test:8443/", true,
       "linkhop: LINKHOP_EXPLICIT: '[::1]:80' names no host: a host is allowed on every port, "
       "so leave the port out\n"},
      {"an IPv6 literal's colons are no port", "[2001:db8::1]", "http://[2001:db8::1]:81/", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Env env = {{"QUERY_STRING", c.query}};
    if (c.setting) env["LINKHOP_EXPLICIT"] = c.setting;
    ProcessResult r = RunProcess(program_, {}, RequestEnv(env), "", bin_);
    const bool key = c.query.find('.') == std::string::npos;
    EXPECT_EQ(r.out, !c.allowed ? kRefusedPage : key ? kMissPage : Redirect(c.query));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(LinkhopE2eTest, RedirectBytesOnTheWire) {
  ProcessResult r = RunProcess(program_, {}, RequestEnv({{"QUERY_STRING", "a.b"}}), "", bin_);
  EXPECT_EQ(r.out, "Status: 301 Moved Permanently\r\nURI: a.b\r\nLocation: a.b\r\nMethod: GET\r\n\r\n");
  EXPECT_EQ(r.status, 1);
}

struct ArgumentCase {
  const char *name;
  std::vector<std::string> args;
  bool banner;
};

const ArgumentCase kArgumentCases[] = {
    {"/? alone", {"/?"}, true},
    {"-? alone", {"-?"}, true},
    {"/? with a further argument", {"/?", "x"}, false},
    {"-? twice", {"-?", "-?"}, false},
    {"-?x", {"-?x"}, false},
    {"/h", {"/h"}, false},
    {"/??", {"/??"}, false},
    {"? alone", {"?"}, false},
    {"/? with a trailing space", {"/? "}, false},
    {"empty argument", {""}, false},
};

// The banner run prints the banner and touches nothing: no CGI input is read
// (a request run here would answer with the redirect for a.b), and no file
// appears anywhere. Under a web server (GATEWAY_INTERFACE set) the
// arguments come from the visitor's query and never give the banner.
TEST_F(LinkhopE2eTest, ArgumentTest) {
  for (bool server : {false, true}) {
    Env env = {{"QUERY_STRING", "a.b"}};
    if (server) env = RequestEnv(env);
    for (const ArgumentCase &c : kArgumentCases) {
      SCOPED_TRACE(std::string(c.name) + (server ? ", through a server" : ", at a console"));
      std::set<std::string> before = Tree(dir_.path());
      ProcessResult r = RunProcess(program_, c.args, env, "", bin_);
      EXPECT_EQ(r.err, "");
      if (c.banner && !server) {
        EXPECT_EQ(r.out, kBanner);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Tree(dir_.path()), before);
      } else {
        EXPECT_EQ(r.out, Redirect("a.b"));
        EXPECT_EQ(r.status, 1);
      }
    }
  }
}

TEST_F(LinkhopE2eTest, BannerWithoutHopdata) {
  TempDir bare;
  std::string program = InstallProgram(bare, false);
  std::set<std::string> before = Tree(bare.path());
  ProcessResult r = RunProcess(program, {"-?"}, {}, "", bare / "cgi-bin");
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Tree(bare.path()), before);
}

}  // namespace
