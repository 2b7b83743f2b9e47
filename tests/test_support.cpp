#include "test_support.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tsl-core.h"
#include "tsl-io.h"

namespace fs = std::filesystem;

// Fatal reports are read from standard error by the death tests; on Windows
// they would otherwise wait in a message box. Every test program, and every
// death-test child it starts, runs this first.
static const bool kReportsOnStandardError = (IoSetMessageBoxToStandardErrorForTest(1), true);

// The folders of TempDirs still alive, with the process that made each: a
// death test's child that runs a test afresh (death_test_style
// "threadsafe") ends in exit() without its destructors, so what it made is
// removed as it exits; a forked child leaves its parent's folders alone.
static std::vector<std::pair<std::string, long>> &LiveFolders() {
  static auto *live = new std::vector<std::pair<std::string, long>>;
  return *live;
}

static long ThisProcess() {
#ifdef _WIN32
  return (long)_getpid();
#else
  return (long)getpid();
#endif
}

static void RemoveLiveFolders() {
  for (const auto &folder : LiveFolders()) {
    std::error_code error;
    if (folder.second == ThisProcess()) fs::remove_all(folder.first, error);
  }
}

TempDir::TempDir() {
  static const bool registered = (atexit(RemoveLiveFolders), true);
  (void)registered;
  std::random_device random;
  for (int attempt = 0; attempt < 100; attempt++) {
    char name[32];
    snprintf(name, sizeof(name), "linkhop-test-%08x", (unsigned)random());
    fs::path candidate = fs::temp_directory_path() / name;
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.generic_string();
      LiveFolders().push_back({path_, ThisProcess()});
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  auto &live = LiveFolders();
  live.erase(std::remove_if(live.begin(), live.end(),
                            [this](const std::pair<std::string, long> &f) { return f.first == path_; }),
             live.end());
  std::error_code error;
  fs::remove_all(path_, error);
  if (error) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string Redirect(const std::string &target) {
  return "Status: 301 Moved Permanently\r\nURI: " + target + "\r\nLocation: " + target +
         "\r\nMethod: GET\r\n\r\n";
}

std::vector<ExplicitCase> ExplicitTable(std::string *setting) {
  std::ifstream file(LINKHOP_SOURCE_DIR "/tests/explicit_addresses.txt", std::ios::binary);
  std::vector<ExplicitCase> cases;
  for (std::string line; std::getline(file, line);) {
    const size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    const std::string kind = line.substr(0, tab), rest = line.substr(tab + 1);
    if (kind == "setting") *setting = rest;
    else cases.push_back({kind == "allowed", rest});
  }
  return cases;
}

Env RequestEnv(const Env &extra) {
  Env env = {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"SERVER_PROTOCOL", "HTTP/1.1"}};
  env["REQUEST_METHOD"] = extra.count("CONTENT_LENGTH") ? "POST" : "GET";
  if (const char *tz = getenv("TZ")) env["TZ"] = tz;
  for (const auto &kv : extra) env[kv.first] = kv.second;
  return env;
}

std::string RandomTable(std::mt19937 &random) {
  auto pick = [&](size_t n) { return (size_t)(random() % n); };
  static const char *const kFragments[] = {"news", "new", "ews", "ne", "a", "aa", "ab", "b", "n"};
  auto fragment = [&] {
    std::string s = kFragments[pick(9)];
    for (char &c : s)
      if (pick(3) == 0) c = (char)toupper((unsigned char)c);
    return s;
  };
  std::string text;
  for (size_t i = 0, n = 3 + pick(12); i < n; i++) {
    std::string key = fragment() + (pick(3) ? fragment() : "");
    std::string line;
    switch (pick(12)) {
      case 0: line = std::string(4090 + pick(10), 'q'); break;  // about the longest line
      case 1: line = "x = https://x.example/?" + fragment() + "=1"; break;
      case 2: line = key + " ="; break;
      case 3: line = "  " + key + "\t=  /" + fragment(); break;
      case 4: line = pick(4) ? "" : "\x1A"; break;
      default: line = key + " = https://" + fragment() + ".example/"; break;
    }
    text += line + (pick(4) ? "\n" : "\r\n");
  }
  return text;
}

std::vector<std::pair<int, std::string>> TableKeys(const std::string &bytes) {
  std::string read;
  for (char c : bytes.substr(0, bytes.find('\x1A')))
    if (c != '\r') read += c;
  std::vector<std::pair<int, std::string>> keys;
  int line = 0;
  for (size_t start = 0; start <= read.size();) {
    size_t end = read.find('\n', start);
    if (end == std::string::npos) end = read.size();
    std::string text = read.substr(start, end - start);
    start = end + 1;
    line++;
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t", equals - 1);
    if (a >= equals || b == std::string::npos || b < a) continue;
    keys.push_back({line, text.substr(a, b - a + 1)});
  }
  return keys;
}

std::vector<std::string> Listing(const std::string &dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(dir, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void CoreStartedTest::SetUp() {
  IoSetCommandLineForTest("C:\\web\\cgi-bin\\prog.exe");
  CoreStartup("debug.log", 0);
}

void CoreStartedTest::TearDown() {
  CoreShutdown();
  IoSetCommandLineForTest(nullptr);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool FileExists(const std::string &path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDir(const std::string &path) {
  std::error_code error;
  fs::create_directory(path, error);
}

std::string Crlf(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string LiteralRegex(const std::string &text) {
  std::string out = "^";
  for (char c : text) {
    if (strchr("\\^$.|?*+()[]{}", c)) out += '\\';
    out += c;
  }
  return out + "$";
}

#ifndef _WIN32
std::string CaptureStdout(const std::function<void()> &body) {
  fflush(stdout);
  FILE *capture = tmpfile();
  if (!capture) return "(no capture)";
  int saved = dup(STDOUT_FILENO);
  dup2(fileno(capture), STDOUT_FILENO);
  body();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string bytes;
  lseek(fileno(capture), 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(fileno(capture), chunk, sizeof(chunk))) > 0) bytes.append(chunk, (size_t)n);
  fclose(capture);
  return bytes;
}

void StdinFrom(const std::string &bytes) {
  FILE *file = tmpfile();
  if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) _exit(10);
  fflush(file);
  lseek(fileno(file), 0, SEEK_SET);
  dup2(fileno(file), STDIN_FILENO);
}

static std::string SlurpFd(int fd) {
  std::string all;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof(chunk))) > 0) all.append(chunk, (size_t)n);
  return all;
}

static int TempFd() {
  char name[] = "/tmp/linkhop-io-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

// The Windows build of the program runs under Wine: the launcher's path for
// a .exe (and the variables Wine itself needs added to env), else "".
std::string WineFor(const std::string &program, std::map<std::string, std::string> *env) {
  if (program.size() < 4 || program.compare(program.size() - 4, 4, ".exe") != 0) return "";
  const char *wine = getenv("LINKHOP_TEST_WINE");
  std::string launcher = wine && *wine ? wine : "/usr/lib/wine/wine64";
  const char *prefix = getenv("WINEPREFIX");
  const char *tmp = getenv("TMPDIR");
  (*env)["WINEPREFIX"] = prefix && *prefix ? prefix
                                           : std::string(tmp && *tmp ? tmp : "/tmp") +
                                                 "/linkhop-wineprefix";
  // Quiet, but for the loader's own error channel: see RunProcess.
  const char *debug = getenv("WINEDEBUG");
  (*env)["WINEDEBUG"] = debug && *debug ? debug : "-all,err+virtual";
  return launcher;
}

static ProcessResult RunOnce(const std::string &program, const std::vector<std::string> &args,
                             const std::map<std::string, std::string> &env,
                             const std::string &stdinBytes, const std::string &cwd,
                             const Launch &launch);

ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env,
                         const std::string &stdinBytes, const std::string &cwd,
                         const Launch &launch) {
  // Wine now and then fails to start a process at all: when address space
  // randomisation has taken the place it needs for its shared data (it
  // says so), or, about once in a few thousand starts with several at
  // once, silently, ending with status 1 and nothing on either stream. The
  // program never ran (it writes an answer on every path, and no log line
  // appears), so it is started again. Native runs are never repeated.
  const bool wine = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
  ProcessResult result;
  for (int attempt = 0; attempt < 5; attempt++) {
    result = RunOnce(program, args, env, stdinBytes, cwd, launch);
    bool neverRan = result.err.find("failed to map the shared user data") != std::string::npos ||
                    (wine && launch.out == Stdout::kCapture && result.out.empty() &&
                     result.err.empty() && result.status != 0);
    if (!neverRan) break;
  }
  return result;
}

static ProcessResult RunOnce(const std::string &program, const std::vector<std::string> &args,
                             const std::map<std::string, std::string> &env,
                             const std::string &stdinBytes, const std::string &cwd,
                             const Launch &launch) {
  // Files rather than pipes: the child may leave its input unread, and
  // nothing can block on a full pipe.
  int in = TempFd(), out = TempFd(), err = TempFd();
  if (write(in, stdinBytes.data(), stdinBytes.size()) != (ssize_t)stdinBytes.size())
    throw std::runtime_error("cannot stage standard input");
  lseek(in, 0, SEEK_SET);
  int pipeEnds[2] = {-1, -1};
  if (launch.out == Stdout::kBrokenPipe) {
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    close(pipeEnds[0]);  // the reader has gone before the program starts
  }

  std::map<std::string, std::string> fullEnv = env;
  std::string wine = WineFor(program, &fullEnv);
  std::vector<std::string> envText;
  for (const auto &kv : fullEnv) envText.push_back(kv.first + "=" + kv.second);
  std::vector<char *> argv, envp;
  if (!wine.empty()) argv.push_back(const_cast<char *>(wine.c_str()));
  if (!launch.argvGiven) argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (auto &e : envText) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  const std::string &file = wine.empty() ? program : wine;

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    if (launch.in == Stdin::kBytes) dup2(in, 0);
    if (launch.in == Stdin::kClosed) close(0);
    if (launch.in == Stdin::kDevNull) {
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      close(null);
    }
    if (launch.out == Stdout::kCapture) dup2(out, 1);
    if (launch.out == Stdout::kClosed) close(1);
    if (launch.out == Stdout::kBrokenPipe) dup2(pipeEnds[1], 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(file.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (pipeEnds[1] >= 0) close(pipeEnds[1]);
  if (launch.whileRunning) launch.whileRunning(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ProcessResult result;
  result.stdinTaken = (long)lseek(in, 0, SEEK_CUR);  // the child shared this offset
  result.out = SlurpFd(out);
  result.err = SlurpFd(err);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  close(in);
  close(out);
  close(err);
  return result;
}

std::string InstallProgram(const TempDir &dir, bool hopdata) {
  std::string bin = dir / "cgi-bin";
  MakeDir(bin);
  // LINKHOP_TEST_EXE names a Windows build to test instead (under Wine).
  const char *exe = getenv("LINKHOP_TEST_EXE");
  std::string program = bin + (exe && *exe ? "/linkhop.exe" : "/linkhop");
  WriteFile(program, ReadFile(exe && *exe ? exe : LINKHOP_BINARY));
  chmod(program.c_str(), 0755);
  if (hopdata) {
    MakeDir(bin + "/hopdata");
    MakeDir(bin + "/hopdata/logs");
  }
  return program;
}
#endif /* !_WIN32 */
