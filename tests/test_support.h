// Helpers shared by the test programs: temporary folders, whole-file I/O,
// running the built program as a web server runs a CGI program.
#ifndef LINKHOP_TEST_SUPPORT_H
#define LINKHOP_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>
#endif

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

// The program's answers, byte for byte.
std::string Redirect(const std::string &target);  // the 301 block
inline const std::string kMissPage =
    "Status: 404 Not Found\r\nContent-Type: text/html\r\n\r\nNo address for that key!<BR>\r\n";
// The answer for a target the program worked out: the 301 block, or the
// 404 page when there is none.
inline std::string Answered(const std::string &target) {
  return target.empty() ? kMissPage : Redirect(target);
}
inline const std::string kNoQueryPage =
    "Content-Type: text/html\r\n\r\nUnable to locate any paramters!<BR>\r\n";
inline const std::string kTooLongPage =
    "Content-Type: text/html\r\n\r\nCGI response too long!<BR>\r\n";
// An explicit address that LINKHOP_EXPLICIT does not allow.
inline const std::string kRefusedPage =
    "Status: 403 Forbidden\r\nContent-Type: text/html\r\n\r\nAddress not allowed!<BR>\r\n";

// The table of explicit addresses a site allows or refuses, shared with the
// web-server tests (tests/explicit_addresses.txt): the LINKHOP_EXPLICIT
// value it holds, and each address with its answer.
struct ExplicitCase {
  bool allowed;
  std::string address;
};
std::vector<ExplicitCase> ExplicitTable(std::string *setting);

// A request's CGI environment: what every web server sets, plus extra. The
// program reads the local time in this process's zone, so TZ goes along.
typedef std::map<std::string, std::string> Env;
Env RequestEnv(const Env &extra);

// A random redirect table of the hard kinds: short keys that contain one
// another, keys inside addresses, letters in both cases, CR LF line ends, a
// byte 0x1A now and then, and lines about as long as the lookup can hold.
std::string RandomTable(std::mt19937 &random);

// The entry keys of a table's bytes as linkhop reads them (up to a byte
// 0x1A, carriage returns dropped): per line, the text before its first '=',
// spaces and tabs around it removed; with their 1-based lines.
std::vector<std::pair<int, std::string>> TableKeys(const std::string &bytes);

// The names in a folder, sorted.
std::vector<std::string> Listing(const std::string &dir);

// The core started as the program starts it: a program path on the command
// line, switch word 0; shut down again after each test.
class CoreStartedTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

#ifndef _WIN32
// Runs body in a child process and hands back the record it filled in, so
// that what the body does to the standard streams, or to the platform
// layer's memory of them, stays in the child.
template <typename T>
T InChild(void (*body)(T &, const void *), const void *arg) {
  void *shared =
      mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(shared, MAP_FAILED);
  T *record = new (shared) T();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    body(*record, arg);
    _exit(0);
  }
  int status = -1;
  while (waitpid(pid, &status, 0) < 0) {
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  T copy = *record;
  munmap(shared, sizeof(T));
  return copy;
}

// The bytes body writes to standard output (descriptor 1) while it runs.
std::string CaptureStdout(const std::function<void()> &body);

// Puts bytes on standard input: an unlinked temporary file, read from its
// start. For a child process only (it ends the process when it cannot).
void StdinFrom(const std::string &bytes);

struct ProcessResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
  int status;       // exit status, or minus the signal that ended it
  long stdinTaken;  // bytes of standard input the run read
};

// How a run's standard streams and argument 0 are set up, beyond the usual:
// stdinBytes on standard input, standard output and error captured, the
// program path as argument 0.
enum class Stdin { kBytes, kClosed, kDevNull };
enum class Stdout { kCapture, kClosed, kBrokenPipe };  // kBrokenPipe: its reader has gone
struct Launch {
  Stdin in = Stdin::kBytes;
  Stdout out = Stdout::kCapture;
  bool argvGiven = false;  // args is the whole argument vector, argument 0 included
  // Called with the child's process id once it is started, before it is
  // waited for: to watch it or signal it.
  std::function<void(pid_t)> whileRunning;
};

// Runs program with exactly the environment given (nothing inherited) and
// stdinBytes on standard input, from the folder cwd (the caller's when
// empty), with SIGPIPE at its default: only the program itself can make a
// gone reader harmless.
ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env,
                         const std::string &stdinBytes = "", const std::string &cwd = "",
                         const Launch &launch = Launch());

// The Windows build of a program runs under Wine: the launcher's path for a
// .exe (and the variables Wine itself needs added to env), else "".
std::string WineFor(const std::string &program, std::map<std::string, std::string> *env);

// A cgi-bin folder inside dir holding a copy of the built program; returns
// the program's path. With LINKHOP_TEST_EXE set in the environment, the copy
// is that Windows build, cgi-bin/linkhop.exe, which RunProcess runs under
// Wine (LINKHOP_TEST_WINE, default /usr/lib/wine/wine64). With hopdata set, hopdata/ and hopdata/logs/ are made
// beside it.
std::string InstallProgram(const TempDir &dir, bool hopdata = true);
#endif

#endif
