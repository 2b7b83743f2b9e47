// The redirect table lookup on any table and key, against a model that
// applies the matching rules to the whole file at once. Input: the key,
// then one byte below 32 (where the request driver ends a query), then the
// table's bytes; the table is written to hopdata/config.txt in a program
// folder made once per process. The lookup must leave the tracked heap
// empty and write no more than the 301 bytes its value buffer holds.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "winmain.h"

namespace {

const size_t kChunk = 4095;  // table bytes one read holds
const size_t kValueBuffer = 301;

struct Answer {
  int result;
  std::string value;
};

bool AsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// What the lookup answers for a table that opens.
Answer TableModel(const std::string &file, const std::string &key) {
  std::string t;
  for (char c : file) {
    if (c == '\x1A') break;
    if (c != '\r') t += c;
  }
  // A line too long for the read buffer ends the table.
  for (size_t s = 0; s < t.size();) {
    size_t e = t.find('\n', s);
    if (e == std::string::npos) e = t.size();
    if (e - s >= kChunk) {
      t.resize(s);
      break;
    }
    s = e + 1;
  }
  if (key.empty() || key.size() > 256) return {0, ""};

  auto white = [&](size_t p) { return (unsigned char)t[p] <= 32; };
  auto sameAt = [&](size_t i) {
    for (size_t j = 0; j < key.size(); j++) {
      unsigned char a = (unsigned char)key[j], b = (unsigned char)t[i + j];
      if (a != b && !(AsciiLetter(a) && AsciiLetter(b) && (a | 0x20) == (b | 0x20))) return false;
    }
    return true;
  };
  for (size_t pos = 0;;) {
    size_t i = pos;
    while (i + key.size() <= t.size() && !sameAt(i)) i++;
    if (i + key.size() > t.size()) return {0, ""};
    size_t p = i + key.size();
    while (p < t.size() && white(p)) p++;
    if (p == t.size() || t[p] != '=') {
      pos = i + key.size();
      continue;
    }
    p++;
    while (p < t.size() && white(p)) p++;
    std::string value;
    while (p < t.size() && value.size() < 300 && (unsigned char)t[p] >= 32) value += t[p++];
    return {1, value};
  }
}

std::string programDir;  // <temporary folder>/cgi-bin
std::string commandLine;

void RemoveProgramFolder() {
  unlink((programDir + "/hopdata/config.txt").c_str());
  rmdir((programDir + "/hopdata").c_str());
  rmdir(programDir.c_str());
  rmdir(programDir.substr(0, programDir.size() - 8).c_str());
}

void MakeProgramFolder() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/linkhop-fuzz-XXXXXX";
  if (!mkdtemp(&pattern[0])) abort();
  programDir = pattern + "/cgi-bin";
  if (mkdir(programDir.c_str(), 0700) != 0 || mkdir((programDir + "/hopdata").c_str(), 0700) != 0)
    abort();
  commandLine = programDir + "/linkhop";
  atexit(RemoveProgramFolder);
}

void WriteTable(const uint8_t *bytes, size_t size) {
  int fd = open((programDir + "/hopdata/config.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, bytes, size) != (ssize_t)size || close(fd) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (programDir.empty()) {
    MakeProgramFolder();
    FuzzStartup(commandLine.c_str());
  }
  size_t cut = 0;
  while (cut < size && data[cut] >= 32) cut++;
  const std::string key((const char *)data, cut);
  const size_t tableStart = cut < size ? cut + 1 : size;
  WriteTable(data + tableStart, size - tableStart);

  const Answer expected =
      TableModel(std::string((const char *)data + tableStart, size - tableStart), key);
  // Exactly the documented room on the heap: a write past it is a finding.
  char *value = (char *)malloc(kValueBuffer);
  memset(value, 'v', kValueBuffer);
  const int result = LookupRedirect(key.c_str(), value);
  FUZZ_CHECK(result == expected.result);
  FUZZ_CHECK(strnlen(value, kValueBuffer) < kValueBuffer);
  FUZZ_CHECK(expected.value == value);
  FUZZ_CHECK(memoryState.blockCount == 0 && memoryState.bytesInUse == 0);
  free(value);
  return 0;
}
