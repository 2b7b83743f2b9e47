// table_check - a redirect table read as linkhop reads it, and the check of
// its every entry: the work of hoptool lookup and hoptool check, apart from
// their command lines, for the tests and the fuzz target too.
#ifndef LINKHOP_TABLE_CHECK_H
#define LINKHOP_TABLE_CHECK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tableindex.h"

namespace hoptool {

// The table's text as the program reads it (carriage returns dropped, ended
// at a byte 0x1A), the part of it every search sees, and where each line
// starts.
struct Table {
  std::string path;
  std::string text;      // all of it, also past a line too long
  std::string searched;  // what every lookup sees, and a zero byte after it
  int longLine = -1;     // the index of the line that ends every search
  std::vector<uint32_t> lineStarts;

  int LineOf(size_t offset) const;  // 0-based
  std::string Line(int index) const;
};

// The table at path; on failure false, with the file and the system's
// reason in *error.
bool ReadTable(const std::string &path, Table *table, std::string *error);

// The table of these bytes, as if read from path.
void TableFromBytes(const std::string &path, std::string bytes, Table *table);

// The key of an entry line: the text before its first '=' (at equals), the
// white space around it removed.
std::string KeyOf(const std::string &text, size_t equals);

struct Finding {
  int line;  // 1-based
  bool error;
  const char *kind;
  std::string key, message;
  int byLine = 0;  // 1-based, for shadowed and after-long-line
};

struct Entry {
  int line;  // 1-based
  std::string key;
};

// Every finding of every entry, in line order, through index (the table's
// own, when it has one that belongs to it; null: one is built); *entries
// receives the entries (a line holding '=' with a key before it).
std::vector<Finding> CheckTable(const Table &table, const TableIndex *index,
                                std::vector<Entry> *entries);

// Why an index is not used, in words (see TableIndexOpen): "" for
// TABLE_INDEX_OK.
std::string IndexProblem(int why, const std::string &indexPath);

// Bytes fit for a message: below 32 and above 126 as \xHH, cut at most.
std::string Shown(const std::string &bytes, size_t most = 60);

// Why an address is no place a redirect should lead: neither an absolute
// http:// or https:// address with a host, nor a path on this site ('/'
// then neither '/' nor '\'), nor a mailto: address. Empty when it is one; *relative set when the
// address has no scheme at all (browsers take it relative to the
// program's own URL).
std::string NotWebAddress(const std::string &address, bool *relative);

}  // namespace hoptool

#endif
