#include "test_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/linkhop-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
}

TempDir::~TempDir() {
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool FileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDir(const std::string &path) { mkdir(path.c_str(), 0777); }

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

ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env,
                         const std::string &stdinBytes, const std::string &cwd) {
  // Files rather than pipes: the child may leave its input unread, and
  // nothing can block on a full pipe.
  int in = TempFd(), out = TempFd(), err = TempFd();
  if (write(in, stdinBytes.data(), stdinBytes.size()) != (ssize_t)stdinBytes.size())
    throw std::runtime_error("cannot stage standard input");
  lseek(in, 0, SEEK_SET);

  std::vector<std::string> envText;
  for (const auto &kv : env) envText.push_back(kv.first + "=" + kv.second);
  std::vector<char *> argv, envp;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (auto &e : envText) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ProcessResult result;
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
  std::string program = bin + "/linkhop";
  WriteFile(program, ReadFile(LINKHOP_BINARY));
  chmod(program.c_str(), 0755);
  if (hopdata) {
    MakeDir(bin + "/hopdata");
    MakeDir(bin + "/hopdata/logs");
  }
  return program;
}
