// hoptool lookup and hoptool check - what linkhop answers for a key, and
// every entry of a table that a visitor can never reach. Both go through
// the program's own lookup code: lookup through the scan that linkhop runs
// over the file, check through the index that a persistent linkhop keeps,
// built in one pass over the table.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hoptool.h"
#include "site.h"
#include "table.h"
#include "table_check.h"
#include "tableindex.h"
#include "tsl-core.h"
#include "winmain.h"

using hoptool::Finding;
using hoptool::Shown;
using hoptool::Table;

namespace {

// ---- hoptool lookup ----------------------------------------------------------

// Whether the table at path can be read, without reading it.
bool Readable(const std::string &path, std::string *error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    *error = path + ": " + strerror(EISDIR);
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

int Lookup(const std::string &tablePath, const std::string &indexOption, const std::string &key) {
  std::string error;
  if (!Readable(tablePath, &error)) {
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  if (key.empty() || key.size() >= QUERY_BUFFER) {
    fprintf(stderr, "hoptool: linkhop answers %s with an error page, not an address\n",
            key.empty() ? "an empty query"
                        : ("a query of " + std::to_string(QUERY_BUFFER) + " bytes or more").c_str());
    return kHoptoolFindings;
  }
  // The query as the program takes it.
  char query[QUERY_BUFFER];
  memcpy(query, key.c_str(), key.size() + 1);
  if (TakeQuery(query)) {
    // An explicit address: sent as it stands, the table never asked.
    printf("%s\n", query);
    fprintf(stderr, "hoptool: %s holds a full stop: an explicit address, not looked up\n",
            Shown(query).c_str());
    return kHoptoolOk;
  }
  // Through the index when the program would use it, else the scan: the
  // table is read once at most.
  const std::string indexPath = hoptool::IndexPathFor(tablePath, indexOption);
  char value[TABLE_VALUE_MAX + 1];
  long at, line;
  int found = LookupRedirectIn(tablePath.c_str(), indexPath.c_str(), query, value, &at, &line);
  if (!found || at < 0) {
    fprintf(stderr, "hoptool: no address for %s in %s\n", Shown(query).c_str(),
            tablePath.c_str());
    return kHoptoolFindings;
  }
  printf("%s\n%s:%ld\n", value, tablePath.c_str(), line + 1);
  if (!value[0]) {
    fprintf(stderr, "hoptool: the entry for %s has no address\n", Shown(query).c_str());
    return kHoptoolFindings;
  }
  return kHoptoolOk;
}

// The table's index, when it belongs to the table as read and is whole:
// the program answers through it, and check asks it too. Else why not.
int OpenIndex(const Table &table, const std::string &indexPath, TableIndexFile *file,
              TableIndex *index) {
  OsFileStamp stamp;
  if (!OsFileStampOf(table.path.c_str(), &stamp)) return TABLE_INDEX_MISSING;
  int why = TableIndexOpen(indexPath.c_str(), &stamp, file, index);
  if (why != TABLE_INDEX_OK) return why;
  const size_t searched = table.searched.size() - 1;
  if (index->textLength != searched || !TableIndexWhole(index, 0)) {
    TableIndexCloseFile(file);
    return TABLE_INDEX_DAMAGED;
  }
  // Whole: read as memory is, over the table's own text, read already.
  index->file = nullptr;
  index->text = table.searched.data();
  return TABLE_INDEX_OK;
}

int RunCheck(const std::string &path, const std::string &indexOption, bool json) {
  Table table;
  std::string error;
  if (!hoptool::ReadTable(path, &table, &error)) {
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  const std::string indexPath = hoptool::IndexPathFor(path, indexOption);
  TableIndexFile file{};
  TableIndex index{};
  const int why = OpenIndex(table, indexPath, &file, &index);
  std::vector<hoptool::Entry> all;
  std::vector<Finding> findings =
      hoptool::CheckTable(table, why == TABLE_INDEX_OK ? &index : nullptr, &all);
  if (why == TABLE_INDEX_OK) TableIndexCloseFile(&file);
  // A table large enough to be looked up through an index, without one that
  // belongs to it, is scanned on every request.
  OsFileStamp stamp;
  if (why != TABLE_INDEX_OK && OsFileStampOf(path.c_str(), &stamp) &&
      stamp.size >= TABLE_INDEX_WORTH)
    findings.insert(findings.begin(),
                    {0, false, why == TABLE_INDEX_MISSING ? "index-missing" : "index-stale", "",
                     hoptool::IndexProblem(why, indexPath) +
                         ": linkhop scans this table on every request; 'hoptool index " + path +
                         "' writes one"});
  const int entries = (int)all.size();
  int errors = 0, warnings = 0;
  for (const Finding &f : findings) (f.error ? errors : warnings)++;
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Finding &f : findings) {
      nlohmann::ordered_json item = {{"line", f.line},
                             {"severity", f.error ? "error" : "warning"},
                             {"kind", f.kind},
                             {"key", f.key},
                             {"message", f.message}};
      if (f.byLine) item["by_line"] = f.byLine;
      list.push_back(item);
    }
    std::string out = list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    printf("%s\n", out.c_str());
  } else {
    for (const Finding &f : findings) {
      const std::string where = f.line ? path + ":" + std::to_string(f.line) : path;
      printf("%s: %s: %s: %s\n", where.c_str(), f.error ? "error" : "warning", f.kind,
             f.message.c_str());
    }
    printf("%s: %d entr%s, %d error%s, %d warning%s\n", path.c_str(), entries,
           entries == 1 ? "y" : "ies", errors, errors == 1 ? "" : "s", warnings,
           warnings == 1 ? "" : "s");
  }
  return errors ? kHoptoolFindings : kHoptoolOk;
}

// The core runtime and the tracked heap, as the program starts them: the
// lookup reads the table through them.
void StartCore() {
  static bool started = false;
  if (started) return;
  started = true;
  CoreStartup("debug.log", 0);
  MemoryInit(MEMORY_NO_LIMIT, 0);
}

}  // namespace

void AddLookupCommand(CLI::App &app, int *status) {
  static std::string table, key, index;
  CLI::App *lookup = app.add_subcommand(
      "lookup", "Show the address linkhop answers for a key, and the table line that gives it");
  lookup->footer(
      std::string() +
      "\nPrints the address that linkhop answers for KEY with TABLE, alone on the first line of\n"
      "standard output, and TABLE:LINE of the entry that gives it on the second; through the\n"
      "program's own lookup, with the program's rules for a query: ended at its first byte\n"
      "below 32 or DEL (127); a key holding a full stop is an explicit address, printed as it stands.\n"
      "A table with an index that belongs to it (see hoptool index --help) is looked up\n"
      "through the index, as linkhop does.\n"
      "Exit status: 0 when the key has an address, 1 when it has none (not in the table, an\n"
      "entry without an address, a key of more than " + std::to_string(TABLE_KEY_MAX) +
      " bytes, an empty or overlong query),\n"
      "2 when the table cannot be read.");
  const std::vector<CLI::Option *> words = {
      lookup->add_option("TABLE", table, hoptool::kTableHelp),
      lookup->add_option("KEY", key, "the key, as a visitor's query holds it")};
  lookup->add_option("--index", index, "the table's index (default: see hoptool index --help)");
  lookup->callback([status, words] {
    std::string path, error;
    if (!hoptool::TakeTable("lookup", words, {&table, &key}, &path, &error)) {
      fprintf(stderr, "hoptool: %s\n", error.c_str());
      *status = kHoptoolTrouble;
      return;
    }
    StartCore();
    *status = Lookup(path, index, key);
  });
}

void AddCheckCommand(CLI::App &app, int *status) {
  static std::string table, index;
  static bool json = false;
  CLI::App *check = app.add_subcommand(
      "check", "Find every entry of a redirect table that a visitor can never reach");
  check->footer(
      std::string() +
      "\nReads TABLE once, as linkhop reads it, and reports for every entry (a line holding\n"
      "'='; its key is the text before the first '=', white space around it removed)\n"
      "everything that keeps linkhop from answering that key with that line's address:\n"
      "  error   shadowed          the key is found first elsewhere: inside a longer key or an\n"
      "                            address on an earlier line, or as the same key (in any\n"
      "                            letter case) on an earlier line\n"
      "  error   explicit-key      the key holds a full stop: such a query is an address\n"
      "  error   key-too-long      the key has more than " + std::to_string(TABLE_KEY_MAX) +
      " bytes\n"
      "  error   after-long-line   a line of more than " + std::to_string(TABLE_LINE_MAX) +
      " bytes before it ends every search\n"
      "  warning value-too-long    the address has more than " + std::to_string(TABLE_VALUE_MAX) +
      " bytes and is cut\n"
      "  warning value-cut         the address ends at a tab or another byte below 32\n"
      "  warning value-next-line   nothing follows '=', so the next line becomes the address\n"
      "  warning relative-address  no scheme (https:, mailto:...) and no leading '/'\n"
      "  warning not-web-address   a scheme other than http:, https: or mailto: (javascript:),\n"
      "                            no host after http://, or // with no scheme\n"
      "  warning encoded-key       a byte browsers send percent-encoded, or one below 32\n"
      "  warning index-missing     a table of " + std::to_string(TABLE_INDEX_WORTH / 1024) +
      " KiB or more without an index (see hoptool\n"
      "                            index --help): linkhop scans it on every request\n"
      "  warning index-stale       its index belongs to another version of the table, or is\n"
      "                            damaged: linkhop scans the table until it is written anew\n"
      "Output: one line per finding, TABLE:LINE: error|warning: KIND: message, in line\n"
      "order (TABLE: for the table as a whole), then a summary; with --json one array of\n"
      "objects (line, 0 for the table as a whole, severity, kind, key,\n"
      "message, and by_line for shadowed and after-long-line). Lines after a byte 0x1A are\n"
      "not part of the table. Exit status: 0 without errors (warnings alone too), 1 with\n"
      "errors, 2 when the table cannot be read.");
  CLI::Option *word = check->add_option("TABLE", table, hoptool::kTableHelp);
  check->add_flag("--json", json, "write the findings as a JSON array");
  check->add_option("--index", index, "the table's index (default: see hoptool index --help)");
  check->callback([status, word] {
    std::string path, error;
    if (!hoptool::TakeTable("check", {word}, {&table}, &path, &error)) {
      fprintf(stderr, "hoptool: %s\n", error.c_str());
      *status = kHoptoolTrouble;
      return;
    }
    StartCore();
    *status = RunCheck(path, index, json);
  });
}
