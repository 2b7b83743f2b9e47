// Helpers shared by the test programs: temporary folders, whole-file I/O,
// running the built program as a web server runs a CGI program.
#ifndef LINKHOP_TEST_SUPPORT_H
#define LINKHOP_TEST_SUPPORT_H

#include <map>
#include <string>
#include <vector>

// A fresh folder under the system's temporary directory, removed with all it
// holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path);  // empty when missing
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
void MakeDir(const std::string &path);

// "\n" written as "\r\n", as every text stream of the program stores it.
std::string Crlf(const std::string &text);

// A regular expression that matches text exactly and nothing else, for
// death tests that check a report's full wording.
std::string LiteralRegex(const std::string &text);

#ifndef _WIN32
struct ProcessResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status;       // exit status, or minus the signal that ended it
};

// Runs program with exactly the environment given (nothing inherited) and
// stdinBytes on standard input, from the folder cwd (the caller's when
// empty). argv[0] is the program path as given.
ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env,
                         const std::string &stdinBytes = "", const std::string &cwd = "");

// A cgi-bin folder inside dir holding a copy of the built program; returns
// the program's path. With LINKHOP_TEST_EXE set in the environment, the copy
// is that Windows build, cgi-bin/linkhop.exe, which RunProcess runs under
// Wine (LINKHOP_TEST_WINE, default /usr/lib/wine/wine64). With hopdata set, hopdata/ and hopdata/logs/ are made
// beside it.
std::string InstallProgram(const TempDir &dir, bool hopdata = true);
#endif

#endif
