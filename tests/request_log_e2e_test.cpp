// End-to-end tests of the request log: the built program is installed beside
// hopdata/config.txt and hopdata/logs/ and run as a web server runs a CGI
// program; the day's log file is then read byte for byte. The last test runs
// many copies at once against one cgi-bin, as a busy web server does.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {


// What the log may be named and stamped for a run between two moments, from
// the local calendar: minutes since 31 Dec 1969 counted as if the local date
// and time were UTC.
struct LogClock {
  std::set<std::string> names, stamps;
  void Cover(time_t from, time_t to) {
    for (time_t t = from;; t += 60) {
      if (t > to) t = to;
      struct tm local;
      localtime_r(&t, &local);
      char text[32];
      snprintf(text, sizeof(text), "%.2d%.2d%.4d.log", local.tm_mon + 1, local.tm_mday,
               local.tm_year + 1900);
      names.insert(text);
      local.tm_sec = 0;
      long long minutes = (long long)timegm(&local) / 60 + 1440;
      snprintf(text, sizeof(text), "%.8llX", minutes);
      stamps.insert(text);
      if (t == to) break;
    }
  }
};

const std::string kTable = Crlf("news = /news/index.html\n");

class RequestLogE2eTest : public testing::Test {
 protected:
  void SetUp() override { WriteFile(bin_ + "/hopdata/config.txt", kTable); }

  ProcessResult Ask(const Env &extra, const std::string &body = "") {
    time_t before = time(nullptr);
    ProcessResult result = RunProcess(program_, {}, RequestEnv(extra), body, bin_);
    clock_.Cover(before, time(nullptr) + 1);
    return result;
  }

  // The single file in hopdata/logs/, named for the day of the run, holds
  // exactly the line "address stamp message".
  void ExpectOneLine(const std::string &address, const std::string &message) {
    std::vector<std::string> files = Listing(logs_);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(clock_.names.count(files[0]), 1u) << files[0];
    std::string line = ReadFile(logs_ + "/" + files[0]);
    std::string stamp = line.substr(std::min(line.size(), address.size() + 1), 8);
    EXPECT_EQ(clock_.stamps.count(stamp), 1u) << stamp;
    EXPECT_EQ(line, address + " " + stamp + " " + message);
  }

  TempDir dir_;
  std::string program_ = InstallProgram(dir_);
  std::string bin_ = dir_ / "cgi-bin";
  std::string logs_ = bin_ + "/hopdata/logs";
  LogClock clock_;
};

TEST_F(RequestLogE2eTest, OneLinePerRedirect) {
  const std::string explicit1023 = std::string(1021, 'e') + ".z";
  const std::string key1023(1023, 'k');
  const struct {
    const char *name;
    Env env;
    std::string body;
    std::string target, address, message;
  } cases[] = {
      {"key found", {{"QUERY_STRING", "news"}, {"REMOTE_ADDR", "192.0.2.7"}}, "",
       "/news/index.html", "192.0.2.7", "[news] /news/index.html\r\n"},
      {"key missed", {{"QUERY_STRING", "news2"}, {"REMOTE_ADDR", "192.0.2.7"}}, "", "",
       "192.0.2.7", "[news2] \r\n"},
      {"explicit address", {{"QUERY_STRING", "a.b"}, {"REMOTE_ADDR", "2001:db8::7"}}, "", "a.b",
       "2001:db8::7", "[Explicit] a.b\r\n"},
      {"no REMOTE_ADDR", {{"QUERY_STRING", "a.b"}}, "", "a.b", "0.0.0.0",
       "[Explicit] a.b\r\n"},
      {"explicit address in a body", {{"CONTENT_LENGTH", "12"}, {"REMOTE_ADDR", "192.0.2.8"}},
       "body.example", "body.example", "192.0.2.8", "[Explicit] body.example\r\n"},
      {"1023-byte explicit address",
       {{"QUERY_STRING", explicit1023}, {"REMOTE_ADDR", "192.0.2.7"}}, "", explicit1023,
       "192.0.2.7", "[Explicit] " + explicit1023 + "\r\n"},
      {"1023-byte key in a body", {{"CONTENT_LENGTH", "1023"}, {"REMOTE_ADDR", "192.0.2.7"}},
       key1023, "", "192.0.2.7", "[" + key1023 + "] \r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto &name : Listing(logs_)) std::filesystem::remove(logs_ + "/" + name);
    ProcessResult result = Ask(c.env, c.body);
    EXPECT_EQ(result.out, Answered(c.target));
    EXPECT_EQ(result.status, 1);
    ExpectOneLine(c.address, c.message);
  }
}

// How much of the client address a line keeps (LINKHOP_LOG_CLIENT), and
// what a refused explicit address leaves: each line checked whole.
TEST_F(RequestLogE2eTest, ClientAddressAsTheSiteKeepsIt) {
  const char *kUnset = nullptr;
  const std::string kBadValue = "linkhop: LINKHOP_LOG_CLIENT=\"%s\" is not full, masked or none: "
                                "the request log keeps no client address\n";
  const struct {
    const char *remote;   // REMOTE_ADDR; null: not set
    const char *setting;  // LINKHOP_LOG_CLIENT; null: not set
    std::string logged;
  } cases[] = {
      {"192.0.2.7", kUnset, "192.0.2.7"},
      {"junk", kUnset, "junk"},
      {"2001:db8::7", "full", "2001:db8::7"},
      {kUnset, "full", "0.0.0.0"},
      {"192.0.2.7", "masked", "192.0.2.0"},
      {"10.0.0.255", "masked", "10.0.0.0"},
      {"255.255.255.255", "masked", "255.255.255.0"},
      {"2001:db8:85a3:8d3:1319:8a2e:370:7348", "masked", "2001:db8:85a3::"},
      {"2001:0DB8:00AB:0000:0000:0000:0000:0001", "masked", "2001:db8:ab::"},
      {"2001:db8::1", "masked", "2001:db8::"},
      {"2001:db8:0:1::", "masked", "2001:db8::"},
      {"0:0:1::5", "masked", "0:0:1::"},
      {"1:0:2::", "masked", "1:0:2::"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", "masked", "ffff:ffff:ffff::"},
      {"::1", "masked", "::"},
      {"::", "masked", "::"},
      {"::ffff:192.0.2.7", "masked", "::ffff:192.0.2.0"},
      {"::FFFF:c000:0207", "masked", "::ffff:192.0.2.0"},
      {"0:0:0:0:0:ffff:192.0.2.7", "masked", "::ffff:192.0.2.0"},
      {"64:ff9b::192.0.2.7", "masked", "64:ff9b::"},
      {"fe80::1%eth0", "masked", "0.0.0.0"},
      {"1:2:3:4:5:6:7:8:9", "masked", "0.0.0.0"},
      {"1::2::3", "masked", "0.0.0.0"},
      {":1::", "masked", "0.0.0.0"},
      {"1:2:3:4:5:6:7", "masked", "0.0.0.0"},
      {"12345::", "masked", "0.0.0.0"},
      {"::1.2.3.4.5", "masked", "0.0.0.0"},
      {"192.0.2.07", "masked", "0.0.0.0"},
      {"256.0.2.7", "masked", "0.0.0.0"},
      {"192.0.2", "masked", "0.0.0.0"},
      {"192.0.2.7 ", "masked", "0.0.0.0"},
      {"junk", "masked", "0.0.0.0"},
      {"", "masked", "0.0.0.0"},
      {kUnset, "masked", "0.0.0.0"},
      {"192.0.2.7", "none", "0.0.0.0"},
      {"2001:db8::7", "none", "0.0.0.0"},
      {"192.0.2.7", "Masked", "0.0.0.0"},
      {"192.0.2.7", "", "0.0.0.0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.remote ? c.remote : "(no address)") + " " +
                 (c.setting ? c.setting : "(not set)"));
    for (const auto &name : Listing(logs_)) std::filesystem::remove(logs_ + "/" + name);
    Env env = {{"QUERY_STRING", "news"}};
    if (c.remote) env["REMOTE_ADDR"] = c.remote;
    if (c.setting) env["LINKHOP_LOG_CLIENT"] = c.setting;
    ProcessResult result = Ask(env);
    EXPECT_EQ(result.out, Redirect("/news/index.html"));
    const std::string setting = c.setting ? c.setting : "full";
    const bool known = setting == "full" || setting == "masked" || setting == "none";
    char expectedErr[256];
    snprintf(expectedErr, sizeof(expectedErr), kBadValue.c_str(), setting.c_str());
    EXPECT_EQ(result.err, known ? "" : expectedErr);
    ExpectOneLine(c.logged, "[news] /news/index.html\r\n");
  }

  // An address the site's list refuses: its line where [Explicit] would be;
  // keys and the table's addresses are never checked.
  const struct {
    std::string query, out, message;
  } explicitCases[] = {
      {"https://relay.test/x.html", kRefusedPage, "[Refused] https://relay.test/x.html\r\n"},
      {"https://www.example.com/", Redirect("https://www.example.com/"),
       "[Explicit] https://www.example.com/\r\n"},
      {"news", Redirect("/news/index.html"), "[news] /news/index.html\r\n"},
  };
  for (const auto &c : explicitCases) {
    SCOPED_TRACE(c.query);
    for (const auto &name : Listing(logs_)) std::filesystem::remove(logs_ + "/" + name);
    ProcessResult result = Ask({{"QUERY_STRING", c.query},
                                {"REMOTE_ADDR", "2001:db8:85a3:8d3:1319:8a2e:370:7348"},
                                {"LINKHOP_EXPLICIT", "www.example.com"},
                                {"LINKHOP_LOG_CLIENT", "masked"}});
    EXPECT_EQ(result.out, c.out);
    ExpectOneLine("2001:db8:85a3::", c.message);
  }
}

TEST_F(RequestLogE2eTest, ErrorPagesLogNothing) {
  const struct {
    const char *name;
    Env env;
    std::string body, out;
  } cases[] = {
      {"no query", {{"REMOTE_ADDR", "192.0.2.7"}}, "", kNoQueryPage},
      {"empty QUERY_STRING", {{"QUERY_STRING", ""}}, "", kNoQueryPage},
      {"1024-byte query", {{"QUERY_STRING", std::string(1022, 'a') + ".z"}}, "", kTooLongPage},
      {"5000-byte body", {{"CONTENT_LENGTH", "5000"}}, std::string(4998, 'a') + ".z",
       kTooLongPage},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult result = Ask(c.env, c.body);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Listing(logs_), std::vector<std::string>{});
  }
}

// Without its log directory the program still answers, byte for byte, and
// creates nothing: no logs/, no file. The lost line leaves one line on
// standard error (the web server's error log) naming the file and why.
TEST_F(RequestLogE2eTest, MissingLogDirectoryStillAnswered) {
  ASSERT_EQ(rmdir(logs_.c_str()), 0);
  const Env requests[] = {
      {{"QUERY_STRING", "news"}, {"REMOTE_ADDR", "192.0.2.7"}},
      {{"QUERY_STRING", "a.b"}},
  };
  const std::string targets[] = {"/news/index.html", "a.b"};
  for (int i = 0; i < 2; i++) {
    ProcessResult result = Ask(requests[i]);
    EXPECT_EQ(result.out, Answered(targets[i]));
    const std::string head = "linkhop: request log ", tail = "; line lost\n";
    EXPECT_EQ(result.err.compare(0, head.size(), head), 0) << result.err;
    ASSERT_GT(result.err.size(), tail.size());
    EXPECT_EQ(result.err.substr(result.err.size() - tail.size()), tail);
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line";
    bool named = false;
    for (const auto &name : clock_.names) named |= result.err.find(name) != std::string::npos;
    EXPECT_TRUE(named) << result.err;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Listing(bin_ + "/hopdata"), std::vector<std::string>{"config.txt"});
  }
}

// A program whose directory fits in 512 bytes but whose log path does not:
// the redirect is answered and no line is written, under any name.
TEST_F(RequestLogE2eTest, LogPathTooLongStillAnswered) {
  std::string deep = dir_.path();
  while (deep.size() < 490) {
    deep += "/" + std::string(std::min<size_t>(120, 495 - deep.size()), 'd');
    MakeDir(deep);
  }
  ASSERT_GT(deep.size() + 1 + 25, 511u);
  MakeDir(deep + "/hopdata");
  MakeDir(deep + "/hopdata/logs");
  std::string program = deep + "/linkhop";
  WriteFile(program, ReadFile(LINKHOP_BINARY));
  chmod(program.c_str(), 0755);
  ProcessResult result = RunProcess(program, {}, RequestEnv({{"QUERY_STRING", "a.b"}}), "", deep);
  EXPECT_EQ(result.out, Redirect("a.b"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(Listing(deep + "/hopdata/logs"), std::vector<std::string>{});
}

// Eight copies at a time, 2400 requests in all, each with a query of its own
// (keys found and missed, short and near-1024-byte explicit addresses, with
// and without REMOTE_ADDR). Every line must be in the log exactly once and
// intact, and nothing else may be there.
TEST_F(RequestLogE2eTest, ConcurrentCopiesNeverTearOrLoseALine) {
  const int kWorkers = 8, kRequests = 300;
  struct Request {
    Env env;
    std::string out;
    std::string line;  // address, then the message; the stamp goes between
  };
  std::string table;
  std::vector<std::vector<Request>> work(kWorkers);
  for (int w = 0; w < kWorkers; w++) {
    for (int i = 0; i < kRequests; i++) {
      std::string id = std::to_string(w) + "-" + std::to_string(i);
      std::string address =
          i % 7 == 3 ? "" : "10." + std::to_string(w) + ".0." + std::to_string(i % 256);
      Request r;
      if (i % 3 == 0) {
        std::string key = "k" + id, target = i % 2 ? "" : "/to/" + id;
        if (!target.empty()) table += key + " = " + target + "\n";
        r.env = {{"QUERY_STRING", key}};
        r.out = Answered(target);
        r.line = "[" + key + "] " + target + "\r\n";
      } else {
        size_t length = i % 3 == 1 ? 1023 - i % 40 : 10 + i % 50;
        std::string query = "w" + id + ".";
        query += std::string(length - query.size(), 'x');
        r.env = {{"QUERY_STRING", query}};
        r.out = Redirect(query);
        r.line = "[Explicit] " + query + "\r\n";
      }
      if (!address.empty()) r.env["REMOTE_ADDR"] = address;
      r.line = (address.empty() ? "0.0.0.0" : address) + "\n" + r.line;
      work[w].push_back(r);
    }
  }
  WriteFile(bin_ + "/hopdata/config.txt", Crlf(table));

  std::vector<int> wrongAnswers(kWorkers, 0);
  std::vector<std::string> firstWrong(kWorkers);
  time_t before = time(nullptr);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; w++) {
    threads.emplace_back([&, w] {
      for (const Request &r : work[w]) {
        ProcessResult result = RunProcess(program_, {}, RequestEnv(r.env), "", bin_);
        if (result.out != r.out || result.status != 1) {
          if (wrongAnswers[w]++ == 0)
            firstWrong[w] = "status " + std::to_string(result.status) + ", out [" + result.out +
                            "], err [" + result.err + "]";
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  clock_.Cover(before, time(nullptr) + 1);
  for (int w = 0; w < kWorkers; w++)
    EXPECT_EQ(wrongAnswers[w], 0) << "worker " << w << ", first: " << firstWrong[w];

  // Each line: address, one space, 8-digit stamp, one space, message, CR LF.
  std::map<std::string, int> seen;
  int malformed = 0;
  for (const auto &name : Listing(logs_)) {
    EXPECT_EQ(clock_.names.count(name), 1u) << name;
    std::string log = ReadFile(logs_ + "/" + name);
    for (size_t start = 0; start < log.size();) {
      size_t end = log.find("\r\n", start);
      end = end == std::string::npos ? log.size() : end + 2;
      std::string line = log.substr(start, end - start);
      start = end;
      size_t space = line.find(' ');
      std::string stamp = space == std::string::npos ? "" : line.substr(space + 1, 8);
      if (space == std::string::npos || line.size() < space + 10 || line[space + 9] != ' ' ||
          clock_.stamps.count(stamp) == 0) {
        if (++malformed <= 5) ADD_FAILURE() << "malformed line: " << line.substr(0, 80);
        continue;
      }
      seen[line.substr(0, space) + "\n" + line.substr(space + 10)]++;
    }
  }
  EXPECT_EQ(malformed, 0);
  int missing = 0, repeated = 0;
  for (const auto &requests : work) {
    for (const Request &r : requests) {
      auto found = seen.find(r.line);
      if (found == seen.end()) {
        if (++missing <= 5) ADD_FAILURE() << "missing: " << r.line.substr(0, 80);
        continue;
      }
      if (found->second != 1) repeated++;
      seen.erase(found);
    }
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(repeated, 0);
  EXPECT_TRUE(seen.empty()) << seen.size() << " unexpected lines, e.g. "
                            << (seen.empty() ? "" : seen.begin()->first.substr(0, 80));
}

}  // namespace
