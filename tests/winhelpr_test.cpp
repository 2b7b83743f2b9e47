// Tests for TESSEL/winhelpr.cpp: the program's own directory, taken from
// argument 0 of the command line, where the data files are looked for.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tsl-core.h"
#include "tsl-io.h"
#include "winhelpr.h"

namespace {

const char kCanary = '\x7E';

class ProgramDirectoryTest : public CoreStartedTest {};

struct DirectoryCase {
  const char *commandLine;
  const char *directory;
};

const DirectoryCase kDirectoryCases[] = {
    {"C:\\www\\cgi-bin\\prog.exe", "C:\\www\\cgi-bin\\"},
    {"\"C:\\Program Files\\web\\prog.exe\"", "C:\\Program Files\\web\\"},
    {"\"C:\\Program Files\\web\\prog.exe\" news", "C:\\Program Files\\web\\"},
    {"C:/www/prog.exe", "C:\\www\\"},
    {"C:/www\\cgi-bin/prog.exe", "C:\\www\\cgi-bin\\"},
    {"/srv/www/cgi-bin/linkhop", "\\srv\\www\\cgi-bin\\"},
    {"\\prog.exe", "\\"},
    {"prog.exe", ""},
    {"", ""},
    {"D:prog.exe", "D:\\"},
    {"D:", "D:\\"},
    {"C:\\www\\cgi-bin\\", "C:\\www\\cgi-bin\\"},
    // Only the first token counts.
    {"C:\\www\\cgi-bin\\prog.exe C:\\other\\x.exe /?", "C:\\www\\cgi-bin\\"},
    {"prog.exe C:\\other\\dir\\", ""},
    {"D:prog.exe E:\\x\\", "D:\\"},
    {"\\prog.exe \"C:\\Program Files\\\"", "\\"},
};

// Every call reads the command line afresh, so each case only sets it.
TEST_F(ProgramDirectoryTest, DirectoryOfArgumentZero) {
  for (const DirectoryCase &c : kDirectoryCases) {
    SCOPED_TRACE(c.commandLine);
    IoSetCommandLineForTest(c.commandLine);
    char buffer[320];
    memset(buffer, kCanary, sizeof(buffer));
    EXPECT_EQ(GetProgramDirectory(buffer, (int)sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, c.directory);
  }
}

// For every capacity from 0 to a little beyond what the whole argument needs:
// the directory is written when it fits with its zero byte (result 1), else
// the buffer is left empty (result 0); nothing at or after the capacity is
// ever written. What matters is the directory, not the program's file name.
TEST_F(ProgramDirectoryTest, NeverWritesPastTheCapacity) {
  const std::string deepDirectory = "C:\\" + std::string(400, 'd') + "\\";
  const std::string longName = "C:\\www\\" + std::string(300, 'n') + ".exe";
  struct Case {
    std::string commandLine;
    std::string directory;
  };
  std::vector<Case> cases;
  for (const DirectoryCase &c : kDirectoryCases) cases.push_back({c.commandLine, c.directory});
  cases.push_back({deepDirectory + "prog.exe", deepDirectory});
  cases.push_back({longName, "C:\\www\\"});
  cases.push_back({"D:" + std::string(300, 'n'), "D:\\"});

  // Worked out afresh each time, and kept once for a persistent process:
  // the same results either way.
  for (int kept : {0, 1}) {
    for (const Case &c : cases) {
      IoSetCommandLineForTest(c.commandLine.c_str());
      KeepProgramDirectory(kept);
      const int fit = (int)c.directory.size() + 1;
      const int most = (int)c.commandLine.size() + 4;
      for (int capacity = 0; capacity <= most; capacity++) {
        SCOPED_TRACE(c.commandLine.substr(0, 60) + " capacity " + std::to_string(capacity) +
                     (kept ? ", kept" : ""));
        std::vector<char> buffer((size_t)most + 16, kCanary);
        int result = GetProgramDirectory(buffer.data(), capacity);
        for (size_t i = (size_t)capacity; i < buffer.size(); i++)
          ASSERT_EQ(buffer[i], kCanary) << "written at " << i;
        std::string written = capacity > 0 ? std::string(buffer.data()) : "";
        int expected = capacity >= fit ? 1 : 0;
        std::string expectedText = expected ? c.directory : "";
        if (result != expected || written != expectedText) {
          // One report per command line: the first capacity that goes wrong.
          ADD_FAILURE() << "result " << result << " and '" << written << "', expected " << expected
                        << " and '" << expectedText << "' (directory fits from capacity " << fit
                        << ")";
          break;
        }
      }
    }
  }
  KeepProgramDirectory(0);
}

// A kept directory answers until it is let go, whatever the command line
// says meanwhile.
TEST_F(ProgramDirectoryTest, KeptDirectoryAnswersUntilLetGo) {
  char buffer[320];
  IoSetCommandLineForTest("C:\\kept\\prog.exe");
  KeepProgramDirectory(1);
  IoSetCommandLineForTest("C:\\other\\prog.exe");
  EXPECT_EQ(GetProgramDirectory(buffer, (int)sizeof(buffer)), 1);
  EXPECT_STREQ(buffer, "C:\\kept\\");
  KeepProgramDirectory(0);
  EXPECT_EQ(GetProgramDirectory(buffer, (int)sizeof(buffer)), 1);
  EXPECT_STREQ(buffer, "C:\\other\\");
}

TEST(ConvertSlashesTest, TurnsForwardSlashesIntoBackslashes) {
  static const struct {
    const char *text;
    const char *converted;
  } kCases[] = {
      {"", ""},
      {"prog.exe", "prog.exe"},
      {"C:/www/cgi-bin/prog.exe", "C:\\www\\cgi-bin\\prog.exe"},
      {"/", "\\"},
      {"//a//", "\\\\a\\\\"},
      {"C:\\www/x\\y", "C:\\www\\x\\y"},
      {"a b/c d", "a b\\c d"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.text);
    char buffer[64];
    memset(buffer, kCanary, sizeof(buffer));
    strcpy(buffer, c.text);
    EXPECT_EQ(ConvertSlashes(buffer), 1);
    EXPECT_STREQ(buffer, c.converted);
    EXPECT_EQ(buffer[strlen(c.text) + 1], kCanary);
  }
  // The zero byte ends the text: a slash after it stays.
  char split[] = "a/b\0c/d";
  ConvertSlashes(split);
  EXPECT_EQ(std::string(split, sizeof(split) - 1), std::string("a\\b\0c/d", 7));
}

class ProgramDirectoryDeathTest : public ProgramDirectoryTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ProgramDirectoryTest::SetUp();
  }
};

// The tokeniser's check of its output buffer catches a null buffer.
TEST_F(ProgramDirectoryDeathTest, NullBufferIsReported) {
  EXPECT_EXIT(GetProgramDirectory(nullptr, 320), testing::ExitedWithCode(1),
              LiteralRegex("Internal error...\nASSERT:Pointer is NULL...\n"
                           "       (..\\..\\TESSEL\\tsl-core/925)\n"));
}

}  // namespace
