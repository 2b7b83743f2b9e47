// hoptool check on any table, against the program's own lookup of every
// entry's key: check says shadowed exactly when the lookup stops on another
// line, and after-long-line exactly when it stops nowhere, the entry
// standing after a line too long for the lookup. Input: the table's bytes,
// written to a file that the lookup reads.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>

#include "fuzz_support.h"
#include "table.h"
#include "table_check.h"
#include "winmain.h"

namespace {

std::string tablePath;

void RemoveTable() { unlink(tablePath.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (tablePath.empty()) {
    const char *base = getenv("TMPDIR");
    tablePath = std::string(base && *base ? base : "/tmp") + "/linkhop-check-fuzz-XXXXXX";
    int fd = mkstemp(&tablePath[0]);
    if (fd < 0) abort();
    close(fd);
    atexit(RemoveTable);
    FuzzStartup("/nowhere/linkhop");
  }
  int fd = open(tablePath.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0 || write(fd, data, size) != (ssize_t)size || close(fd) != 0) abort();

  hoptool::Table table;
  hoptool::TableFromBytes(tablePath, std::string((const char *)data, size), &table);
  std::vector<hoptool::Entry> entries;
  std::vector<hoptool::Finding> findings = hoptool::CheckTable(table, nullptr, &entries);
  std::map<int, std::map<std::string, int>> found;  // line -> kind -> by_line
  for (const auto &f : findings) found[f.line][f.kind] = f.byLine;

  for (const auto &entry : entries) {
    if (TableKeyFlaws(entry.key.data(), (int)entry.key.size())) continue;  // never asked
    char value[TABLE_VALUE_MAX + 1];
    long at, atLine;
    int result = LookupRedirectIn(tablePath.c_str(), nullptr, entry.key.c_str(), value, &at, &atLine);
    int stopsAt = result && at >= 0 ? table.LineOf((size_t)at) + 1 : 0;
    auto &kinds = found[entry.line];
    FUZZ_CHECK((kinds.count("shadowed") > 0) == (stopsAt != 0 && stopsAt != entry.line));
    if (kinds.count("shadowed")) FUZZ_CHECK(kinds["shadowed"] == stopsAt);
    const bool afterLong = table.longLine >= 0 && entry.line > table.longLine + 1;
    FUZZ_CHECK((kinds.count("after-long-line") > 0) == (stopsAt == 0 && afterLong));
    FUZZ_CHECK(memoryState.blockCount == 0);
  }
  return 0;
}
