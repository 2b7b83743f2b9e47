// End-to-end tests of linkhop with a redirect table: the built program is
// installed in a temporary cgi-bin folder beside hopdata/config.txt and run
// as a web server runs a CGI program; its answers are compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "test_support.h"

namespace {

// Keys longer than the 256 bytes the scanner holds; the table has entries
// for both, which are never answered.
const std::string kKey257(257, 'k');
const std::string kKey300(300, 'l');

// Stored as a text stream stores it: each line ends in CR LF.
const std::string kTable = Crlf(
    "news = https://example.org/news/today.html\n"
    "Shop=\thttps://shop.example.net/?a=1&b=%20x  \n"
    "search = /find/caf\xC3\xA9\n" +
    std::string(256, 'm') + "=/two-five-six\n" +
    kKey257 + "=/too-long\n" + kKey300 + "=/too-long\n");

class TableE2eTest : public testing::Test {
 protected:
  void SetUp() override { WriteFile(bin_ + "/hopdata/config.txt", kTable); }

  ProcessResult Ask(const Env &extra, const std::string &body = "", const std::string &cwd = "") {
    return RunProcess(program_, {}, RequestEnv(extra), body, cwd.empty() ? bin_ : cwd);
  }

  TempDir dir_;
  std::string program_ = InstallProgram(dir_);
  std::string bin_ = dir_ / "cgi-bin";
};

TEST_F(TableE2eTest, KeysAnsweredWithTheirAddresses) {
  static const struct {
    const char *name;
    Env env;
    std::string body;
    std::string target;
  } kCases[] = {
      {"key", {{"QUERY_STRING", "news"}}, "", "https://example.org/news/today.html"},
      {"key in other case", {{"QUERY_STRING", "NeWs"}}, "", "https://example.org/news/today.html"},
      {"address after a tab, trailing spaces kept", {{"QUERY_STRING", "shop"}}, "",
       "https://shop.example.net/?a=1&b=%20x  "},
      {"address with bytes above 127", {{"QUERY_STRING", "search"}}, "", "/find/caf\xC3\xA9"},
      {"key not in the table", {{"QUERY_STRING", "weather"}}, "", ""},
      {"key from a request body", {{"CONTENT_LENGTH", "4"}}, "NEWS",
       "https://example.org/news/today.html"},
      {"key from a body, cut at its line end", {{"CONTENT_LENGTH", "8"}}, "search\r\n",
       "/find/caf\xC3\xA9"},
      {"256-byte key", {{"QUERY_STRING", std::string(256, 'M')}}, "", "/two-five-six"},
      {"257-byte key", {{"QUERY_STRING", kKey257}}, "", ""},
      {"300-byte key", {{"QUERY_STRING", kKey300}}, "", ""},
      {"300-byte key from a body", {{"CONTENT_LENGTH", "300"}}, kKey300, ""},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = Ask(c.env, c.body);
    EXPECT_EQ(r.out, Answered(c.target));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

// The table is found beside the program from any current folder, and a
// table beside the current folder is never read instead.
TEST_F(TableE2eTest, TableBesideTheProgramOnly) {
  TempDir other;
  MakeDir(other / "hopdata");
  WriteFile(other / "hopdata/config.txt", "news=/wrong-table\nlocal=/wrong-table\n");

  ProcessResult r = Ask({{"QUERY_STRING", "news"}}, "", other.path());
  EXPECT_EQ(r.out, Redirect("https://example.org/news/today.html"));
  r = Ask({{"QUERY_STRING", "local"}}, "", other.path());
  EXPECT_EQ(r.out, kMissPage);

  TempDir bare;
  std::string program = InstallProgram(bare);  // hopdata/ without a table
  r = RunProcess(program, {}, RequestEnv({{"QUERY_STRING", "news"}}), "", other.path());
  EXPECT_EQ(r.out, kMissPage);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

}  // namespace
