// hoptool index - the compiled form of a table written beside it, for a
// table edited by hand.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hoptool.h"
#include "table_edit.h"
#include "site.h"
#include "table_index.h"

namespace {

struct IndexOptions {
  std::string table, index;
  bool force = false;
  double wait = 10;
};

int RunIndex(const IndexOptions &o) {
  hoptool::CatchInterrupts();
  hoptool::TableFile file;
  std::string_view bytes;
  std::string error;
  if (!hoptool::OpenTable(o.table, o.wait, &file, &bytes, &error)) {
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  const std::string indexPath = hoptool::IndexPathFor(o.table, o.index);
  if (!o.force) {
    TableIndexFile current;
    TableIndex index;
    if (TableIndexOpen(indexPath.c_str(), &file.stamp, &current, &index) == TABLE_INDEX_OK) {
      TableIndexCloseFile(&current);
      hoptool::CloseTable(&file);
      return kHoptoolOk;  // already the index of the table as it is
    }
  }
  hoptool::EditBase base;
  int why;
  hoptool::LoadBaseOf(o.table, bytes, "", nullptr, &base, &why);
  hoptool::Draft draft(base);
  if (!hoptool::WriteIndex(&file, indexPath, draft, true, o.wait, [] {}, &error)) {
    fprintf(stderr, "hoptool: %s: %s; no index written\n", o.table.c_str(), error.c_str());
    hoptool::CloseTable(&file);
    return kHoptoolTrouble;
  }
  hoptool::CloseTable(&file);
  return kHoptoolOk;
}

}  // namespace

void AddIndexCommand(CLI::App &app, int *status) {
  static IndexOptions o;
  CLI::App *c = app.add_subcommand(
      "index", "Write the index that answers a large table's keys at once, after a hand edit");
  c->footer(
      "\nWrites the index of TABLE: its compiled form, from which linkhop answers any key in a\n"
      "few reads instead of scanning the table (used for tables of " +
      std::to_string(TABLE_INDEX_WORTH / 1024) +
      " KiB and more). add, set, rm\n"
      "and import write it with every change; run index after editing TABLE by hand. It lies\n"
      "beside TABLE (config.txt: config.idx), or where the installed program looks for it\n"
      "when TABLE is that program's table, or at --index. linkhop uses it only while it\n"
      "belongs to the table as it is (the file's identity, size and times match): a table\n"
      "changed since is scanned, as without an index, never answered from an old one.\n"
      "Nothing is written when the index already belongs to the table (--force writes it\n"
      "anyway). Exit status: 0 written or current, 2 when the table cannot be read or the\n"
      "index cannot be written.");
  CLI::Option *table = c->add_option("TABLE", o.table, hoptool::kTableHelp);
  c->add_option("--index", o.index, "where the index goes (default: see above)");
  c->add_flag("--force", o.force, "write the index even when it belongs to the table already");
  c->add_option("--wait", o.wait, "seconds to wait for an edit of the table (10)")
      ->check(CLI::NonNegativeNumber);
  c->callback([status, table] {
    std::string path, error;
    if (!hoptool::TakeTable("index", {table}, {&o.table}, &path, &error)) {
      fprintf(stderr, "hoptool: %s\n", error.c_str());
      *status = kHoptoolTrouble;
      return;
    }
    o.table = path;
    *status = RunIndex(o);
  });
}
