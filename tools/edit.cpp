// hoptool add, set, rm and import - a live table changed safely: every
// key the command does not name keeps its answer (see table_edit.h), and
// every reader sees the old table or the new one (see table_write.h).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "csv.h"
#include "hoptool.h"
#include "site.h"
#include "table_edit.h"
#include "table_index.h"
#include "table_write.h"

using hoptool::EditKind;
using hoptool::EditRequest;
using hoptool::Refusal;

namespace {

struct EditOptions {
  std::string table, key, address, input, index;
  bool dryRun = false, force = false;
  double wait = 10;
  // The positionals as given, TABLE first, and where each goes.
  std::vector<CLI::Option *> words;
  std::vector<std::string *> slots;
};

// TABLE, which may be left out or be a site's name, resolved: false (the
// reason printed, *status 2) when the words do not say which table.
bool TakeWords(const std::string &command, EditOptions &o, int *status) {
  std::string table, error;
  if (!hoptool::TakeTable(command, o.words, o.slots, &table, &error)) {
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    *status = kHoptoolTrouble;
    return false;
  }
  o.table = table;
  return true;
}

// A pair of an import, and the line of the input where its record ends.
struct Pair {
  int line;
  std::string key, address;
};

struct CsvRead {
  std::vector<Pair> pairs;
  std::vector<std::string> errors;
  std::string name;
};

// Reads the pairs of an import in RFC 4180 CSV from path ("-": standard
// input). false, with the reason, when the input cannot be read or is not
// CSV; a record of other than two fields is a refusal of its own.
bool ReadPairs(const std::string &path, CsvRead *read, std::string *error) {
  read->name = path == "-" ? "(standard input)" : path;
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) {
      *error = path + ": " + strerror(errno);
      return false;
    }
  }
  std::vector<hoptool::CsvRecord> records;
  if (!hoptool::ReadCsv(path == "-" ? std::cin : file, read->name, &records, error)) return false;
  for (hoptool::CsvRecord &record : records) {
    if (record.fields.size() == 2) {
      // The header line, when there is one, names the two columns.
      if (!(read->pairs.empty() && read->errors.empty() && record.fields[0] == "key" &&
            record.fields[1] == "address"))
        read->pairs.push_back({record.line, record.fields[0], record.fields[1]});
    } else {
      read->errors.push_back(read->name + ":" + std::to_string(record.line) +
                             ": error: bad-record: " + std::to_string(record.fields.size()) +
                             (record.fields.size() == 1 ? " field" : " fields") +
                             "; a line holds key,address");
    }
  }
  return true;
}

// Prints each refusal in the layout hoptool check uses; key, when given (a
// pair of an import), is named where the message does not name it.
void Report(const std::string &where, const std::vector<Refusal> &refusals,
            const std::string &table, bool tableLines, const std::string &key = "") {
  for (const Refusal &r : refusals) {
    std::string place = where;
    std::string message = r.message;
    const std::string named = "'" + hoptool::Shown(key) + "'";
    if (!key.empty() && message.compare(0, named.size(), named) != 0)
      message = "key " + named + ": " + message;
    if (r.line && tableLines) place += ":" + std::to_string(r.line);
    else if (r.line) message += " (" + table + ":" + std::to_string(r.line) + ")";
    fprintf(stderr, "%s: error: %s: %s\n", place.c_str(), r.kind.c_str(), message.c_str());
  }
}

// Writes the draft's bytes to out: the stretches it keeps of the table
// copied from the table's file, in the system where it can.
bool WritePieces(OsFile out, const hoptool::TableFile &file, const hoptool::Draft &draft) {
  uint64_t at = 0;
  bool ok = true;
  draft.EachRawStretch([&](uint32_t baseOffset, const char *bytes, size_t count) {
    if (!ok) return;
    ok = baseOffset != UINT32_MAX ? hoptool::CopyAt(file, baseOffset, out, at, bytes, count)
                                  : hoptool::WriteAt(out, at, bytes, count);
    at += count;
  });
  return ok;
}

// The file beside path by which an editor says it has path open, and whose
// save would write its own copy over an edit: vim's and nano's swap file
// (.NAME.swp, and vim's .swo, .swn... for a second session), Emacs's lock
// (.#NAME) and auto-save (#NAME#). Looked for beside the path given and
// beside the file a link leads to. Empty when there is none.
std::string EditorHolding(const std::string &path) {
  namespace fs = std::filesystem;
  std::vector<fs::path> places = {fs::path(path)};
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  if (!error && real != fs::absolute(path, error)) places.push_back(real);
  for (const fs::path &place : places) {
    const std::string name = place.filename().string();
    const fs::path folder = place.parent_path().empty() ? fs::path(".") : place.parent_path();
    for (const std::string &other : {"." + name + ".swp", "." + name + ".swo", "." + name + ".swn",
                                     ".#" + name, "#" + name + "#"}) {
      const fs::path beside = folder / other;
      if (fs::is_symlink(beside, error) || fs::exists(beside, error)) return beside.string();
    }
  }
  return "";
}

// The edit: the table read under the lock, the requests applied to it, and
// then the new table and its index written (or the diff printed).
int RunEdit(const EditOptions &o, const std::vector<EditRequest> &requests,
            const std::vector<int> &inputLines) {
  hoptool::CatchInterrupts();
  hoptool::TableFile file;
  std::string_view bytes;
  std::string error;
  if (!hoptool::OpenTable(o.table, o.wait, &file, &bytes, &error)) {
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  const std::string holding = o.dryRun || o.force ? "" : EditorHolding(o.table);
  if (!holding.empty()) {
    fprintf(stderr,
            "%s: error: editor-open: %s says an editor has the table open, and its save would "
            "undo this edit: close the editor first (or edit with --force)\n"
            "hoptool: %s: nothing changed\n",
            o.table.c_str(), holding.c_str(), o.table.c_str());
    hoptool::CloseTable(&file);
    return kHoptoolFindings;
  }
  const std::string indexPath = hoptool::IndexPathFor(o.table, o.index);
  hoptool::Edit edit;
  bool refused = false;
  // Through the table's index, when it belongs to the table; again without
  // it, should the index turn out damaged on the way.
  for (bool useIndex : {true, false}) {
    std::unique_ptr<hoptool::EditBase> base(new hoptool::EditBase);
    int why;
    hoptool::LoadBaseOf(o.table, bytes, useIndex ? indexPath : "", &file.stamp, base.get(), &why);
    const hoptool::EditBase *loaded = base.get();
    hoptool::EditFrom(std::move(base), &edit);
    std::vector<std::vector<Refusal>> all(requests.size());
    refused = false;
    for (size_t i = 0; i < requests.size(); i++) {
      hoptool::StopIfInterrupted();
      if (!hoptool::ApplyEdit(&edit, requests[i], &all[i])) refused = true;
    }
    if (useIndex && loaded->damaged) continue;
    for (size_t i = 0; i < requests.size(); i++) {
      if (all[i].empty()) continue;
      if (inputLines.empty())
        Report(o.table, all[i], o.table, true);
      else
        Report((o.input == "-" ? "(standard input)" : o.input) + ":" +
                   std::to_string(inputLines[i]),
               all[i], o.table, false, requests[i].key);
    }
    break;
  }
  hoptool::StopIfInterrupted();
  if (refused || !edit.draft->Changed() || o.dryRun) {
    hoptool::CloseTable(&file);
    if (o.dryRun) fputs(hoptool::UnifiedDiff(edit).c_str(), stdout);
    if (refused) fprintf(stderr, "hoptool: %s: nothing changed\n", o.table.c_str());
    return refused ? kHoptoolFindings : kHoptoolOk;
  }
  const hoptool::Draft &draft = *edit.draft;
  if (!hoptool::ReplaceTable(&file,
                             [&](OsFile out, std::string *) { return WritePieces(out, file, draft); },
                             o.wait, &error)) {
    hoptool::CloseTable(&file);
    fprintf(stderr, "hoptool: %s\n", error.c_str());
    return kHoptoolTrouble;
  }
  // The table is changed; an index that cannot follow only costs speed:
  // linkhop scans a table whose index does not belong to it.
  auto letGo = [&edit] {
    for (auto &base : edit.bases) base->LetGoOfIndex();
  };
  if (!hoptool::WriteIndex(&file, indexPath, draft, false, o.wait, letGo, &error))
    fprintf(stderr,
            "hoptool: warning: %s is changed, but its index %s could not be written (%s); "
            "linkhop scans the table until 'hoptool index %s' succeeds\n",
            o.table.c_str(), indexPath.c_str(), error.c_str(), o.table.c_str());
  hoptool::CloseTable(&file);
  return kHoptoolOk;
}

const char kStatusHelp[] =
    "The guard is exact: the program's own lookup is asked, before and after, about every\n"
    "key whose entry line the change can reach (a key whose line lies wholly before the\n"
    "first changed line keeps its answer), and KEY must then answer what was asked.\n"
    "An editor's swap or lock file beside TABLE (vim's or nano's .TABLE.swp, .swo, .swn,\n"
    "Emacs's .#TABLE or #TABLE#) refuses the edit (editor-open: the editor's save would\n"
    "undo it) unless --force.\n"
    "--dry-run prints the change as a unified diff and writes nothing. Exit status: 0 changed\n"
    "(or nothing to change), 1 refused (the table untouched, every reason on standard error\n"
    "as TABLE:LINE: error: KIND: message), 2 when the table or the input cannot be read or\n"
    "written, or another edit held the table's lock longer than --wait.\n"
    "\n"
    "How TABLE is written:\n"
    "  - Only the change: every other byte stays, a CR LF table's line ends (a new line\n"
    "    gets the table's own), a last line without a line end, the lines after a 0x1A.\n"
    "  - Beside, flushed, renamed: the new table is written beside the old one\n"
    "    (.TABLE.hoptool-XXXXXX) with its owner and mode (Windows: its attributes),\n"
    "    flushed to the disk, renamed over it, and the folder flushed; then its index\n"
    "    the same way (see hoptool index --help). Every reader sees the old table or the\n"
    "    new one, never a part of either.\n"
    "    An index that cannot be written is a warning: the table is changed, and linkhop\n"
    "    scans it until its index is written.\n"
    "  - One edit at a time: an edit holds an exclusive lock on the table's folder\n"
    "    (Windows: on .TABLE.lock beside it, gone with its last holder) from its read to\n"
    "    its rename; another waits up to --wait seconds. On Windows, a program holding\n"
    "    the table open may refuse the rename for a moment: it is tried again, as long.\n"
    "  - A symbolic link is edited where it points; the link stays.\n"
    "  - A failure (a full disk, a folder it cannot write, Ctrl-C, SIGTERM or a closed\n"
    "    console window while writing) leaves the old table and no temporary file. A\n"
    "    table that another program changed between the read and the rename is not\n"
    "    overwritten, and one the system marks read-only (no write permission for\n"
    "    anyone; Windows: the read-only attribute) is not edited (status 2).";

CLI::App *Command(CLI::App &app, const char *name, const char *summary, const std::string &footer,
                  EditOptions &o, bool address) {
  CLI::App *c = app.add_subcommand(name, summary);
  c->footer("\n" + footer + "\n\n" + kStatusHelp);
  o.words = {c->add_option("TABLE", o.table, hoptool::kTableHelp)};
  o.slots = {&o.table};
  if (std::string(name) != "import") {
    o.words.push_back(c->add_option("KEY", o.key, "the key"));
    o.slots.push_back(&o.key);
  }
  if (address) {
    o.words.push_back(c->add_option("ADDRESS", o.address, "the address to answer"));
    o.slots.push_back(&o.address);
  }
  c->add_flag("--dry-run", o.dryRun, "print the change as a unified diff; write nothing");
  if (std::string(name) != "rm")
    c->add_flag("--force", o.force,
                "edit even when an editor's swap or lock file stands beside TABLE, or ADDRESS "
                "is no web address");
  c->add_option("--index", o.index, "the table's index (default: see hoptool index --help)");
  c->add_option("--wait", o.wait, "seconds to wait for another edit of the table (10)")
      ->check(CLI::NonNegativeNumber);
  return c;
}

}  // namespace

void AddEditCommands(CLI::App &app, int *status) {
  static EditOptions add, set, rm, import;
  Command(app, "add", "Add an entry for a key, where it answers and changes no other answer",
          "Writes 'KEY = ADDRESS' at the end of TABLE, or just before the first line that\n"
          "would catch KEY there (KEY inside a longer key or an address). Refused when KEY\n"
          "has an entry of its own (in any letter case; use set), can never be asked for\n"
          "(empty, over " + std::to_string(TABLE_KEY_MAX) +
              " bytes, a full stop, a space, a byte below 32 or DEL), the address\n"
              "is empty, over " + std::to_string(TABLE_VALUE_MAX) +
              " bytes or holds a byte below 32, or no place answers ADDRESS\n"
              "for KEY without changing another key's answer.\n"
              "Refusals (TABLE:LINE: error: KIND: ...): has-entry, bad-key, bad-address,\n"
              "not-web-address (unless --force), editor-open (unless --force),\n"
              "not-reached, changes-other.",
          add, true)
      ->callback([status] {
        if (!TakeWords("add", add, status)) return;
        *status = RunEdit(add, {{EditKind::kAdd, add.key, add.address, add.force}}, {});
      });
  Command(app, "set", "Change the address of the entry that answers a key",
          "Changes, in its line, the address of the entry that answers KEY, keeping the\n"
          "rest of the line as it is (the white space, a note after a tab). Refused when KEY\n"
          "has no entry, or when another key's answer would change (the line is another\n"
          "key's entry, or ADDRESS holds 'other='), and for an ADDRESS that add refuses. When\n"
          "a line above KEY's own entry catches KEY first, the refusal names that line: move\n"
          "KEY's entry above it, or remove it, and set again.\n"
          "Refusals: bad-key, bad-address, not-web-address (unless --force), editor-open\n"
          "(unless --force), no-entry, not-reached, changes-other.",
          set, true)
      ->callback([status] {
        if (!TakeWords("set", set, status)) return;
        *status = RunEdit(set, {{EditKind::kSet, set.key, set.address, set.force}}, {});
      });
  CLI::App *remove = Command(
      app, "rm", "Remove the line of the entry that answers a key",
      "Removes the line of the entry that answers KEY. Refused when another key's answer\n"
      "would change, and when another line would then answer KEY (a longer key holding\n"
      "it, or KEY in a later address): that line is named; --force removes it anyway.\n"
      "Refusals: bad-key, no-entry, editor-open, changes-other, still-answered (each\n"
      "but bad-key and no-entry unless --force).",
      rm, false);
  remove->add_flag("--force", rm.force,
                   "remove even when another key's answer changes or another line then answers "
                   "KEY, or an editor's swap or lock file stands beside TABLE");
  remove->callback([status] {
    if (!TakeWords("rm", rm, status)) return;
    *status = RunEdit(rm, {{EditKind::kRm, rm.key, "", rm.force}}, {});
  });
  CLI::App *many = Command(
      app, "import", "Add or change many entries in one edit, from CSV",
      "Reads FILE (CSV, RFC 4180: key,address on each line, a first line key,address\n"
      "optional; - for standard input) and applies each pair in order: a key the table\n"
      "has no entry of its own for is an add, any other a set, each refused as those are.\n"
      "The CSV is read strictly: a quote inside an unquoted field, a byte after a closing\n"
      "quote or a quoted field never closed is not CSV (status 2); a row of other than\n"
      "two fields is refused (bad-record). When any pair is refused, nothing is written\n"
      "and every reason is listed, as FILE:LINE and the pair's key; all pairs are checked\n"
      "against one draft of the result.",
      import, false);
  import.words.push_back(
      many->add_option("FILE", import.input, "the pairs, as CSV; - for standard input"));
  import.slots.push_back(&import.input);
  many->callback([status] {
    if (!TakeWords("import", import, status)) return;
    CsvRead read;
    std::string error;
    if (!ReadPairs(import.input, &read, &error)) {
      fprintf(stderr, "hoptool: %s\n", error.c_str());
      *status = kHoptoolTrouble;
      return;
    }
    if (!read.errors.empty()) {
      for (const std::string &e : read.errors) fprintf(stderr, "%s\n", e.c_str());
      fprintf(stderr, "hoptool: %s: nothing changed\n", import.table.c_str());
      *status = kHoptoolFindings;
      return;
    }
    // add or set is decided as the pairs are applied, against the table
    // as the pairs before have left it.
    std::vector<EditRequest> requests;
    std::vector<int> lines;
    for (const Pair &p : read.pairs) {
      requests.push_back({EditKind::kPut, p.key, p.address, import.force});
      lines.push_back(p.line);
    }
    *status = RunEdit(import, requests, lines);
  });
}
