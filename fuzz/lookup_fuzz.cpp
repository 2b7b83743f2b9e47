// The redirect table lookup on any table and key, against a model that
// applies the matching rules to the whole file at once. Input: the key,
// then one byte below 32 or DEL (where the request driver ends a query), then the
// table's bytes; the table is written to hopdata/config.txt in a program
// folder made once per process. The lookup must leave the tracked heap
// empty and write no more than the 301 bytes its value buffer holds; the
// table's index must answer the same and find the key where the scan did.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "table_model.h"
#include "table.h"
#include "tableindex.h"
#include "winmain.h"

namespace {

const size_t kValueBuffer = 301;

using table_model::Answer;
using table_model::TableModel;

std::string programDir;  // <temporary folder>/cgi-bin
std::string commandLine;

void WriteTable(const uint8_t *bytes, size_t size) {
  int fd = open((programDir + "/hopdata/config.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, bytes, size) != (ssize_t)size || close(fd) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (programDir.empty()) {
    programDir = FuzzProgramFolder();
    commandLine = programDir + "/linkhop";
    FuzzStartup(commandLine.c_str());
  }
  size_t cut = 0;
  while (cut < size && data[cut] >= 32 && data[cut] != 127) cut++;  // as the driver ends a query
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

  // The same table held whole and indexed, as a persistent process keeps
  // it: the same answer, and the key found where the scan found it.
  std::string text((const char *)data + tableStart, size - tableStart);
  int longLine;
  int length = TableText(&text[0], (int)text.size(), &longLine);
  text.resize((size_t)length + 1);
  text[(size_t)length] = 0;
  std::vector<uint64_t> room((size_t)(TableIndexRoom(text.data(), length) / 8 + 1));
  TableIndex index;
  TableIndexBuild(&index, text.data(), length, room.data());
  char indexed[TABLE_VALUE_MAX + 1];
  int indexAt;
  const int indexResult = TableIndexLookup(&index, key.c_str(), indexed, &indexAt);
  FUZZ_CHECK(indexResult == expected.result);
  FUZZ_CHECK(expected.value == indexed);
  char scanned[TABLE_VALUE_MAX + 1];
  long scanAt, scanLine;
  LookupRedirectIn((programDir + "/hopdata/config.txt").c_str(), nullptr, key.c_str(), scanned, &scanAt, &scanLine);
  FUZZ_CHECK(scanAt == indexAt);
  return 0;
}
