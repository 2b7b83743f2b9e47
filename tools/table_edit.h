// table_edit - changes to a redirect table worked out in memory, each held
// to one promise: every key of the table answers afterwards exactly what it
// answered before, except the keys the change names. The work of hoptool
// add, set, rm and import apart from files and command lines.
#ifndef LINKHOP_TABLE_EDIT_H
#define LINKHOP_TABLE_EDIT_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "table.h"
#include "table_check.h"

namespace hoptool {

// A table read as linkhop reads it, and its index, built in one pass.
struct TableState {
  Table table;
  std::vector<uint32_t> room;
  TableIndex index;
};
std::unique_ptr<TableState> StateOf(const std::string &path, const std::string &bytes);

// What linkhop answers for key with this table: the address and the line
// (0-based) where the accepted key begins; line -1 for a miss.
struct Answer {
  bool found = false;
  std::string value;
  int line = -1;
  int at = -1;  // offset in the table's text
};
Answer Ask(const TableState &state, const std::string &key);

// The table being changed: its bytes as read, its bytes now, and for every
// line now the line it was (or -1 for a line the change wrote). A line is
// its bytes up to and including its line feed; the last one may have none.
struct Draft {
  std::string path;
  std::string original;
  std::vector<uint32_t> originalStarts;
  std::string bytes;
  std::vector<uint32_t> starts;
  std::vector<int32_t> origin;
  std::string lineEnd;  // the table's own: "\r\n" when its first line ends so
  std::unique_ptr<TableState> state;  // of bytes
};
void DraftFrom(const std::string &path, std::string bytes, Draft *draft);
bool DraftChanged(const Draft &draft);

// kPut: a set when the key has an entry of its own, else an add.
enum class EditKind { kAdd, kSet, kRm, kPut };
struct EditRequest {
  EditKind kind;
  std::string key, address;
  bool force = false;  // rm: even when another line then answers the key
};

// Why a change is refused: the table line it concerns (1-based; 0 for
// none), a kind of one word and a message of one line.
struct Refusal {
  int line;
  std::string kind, message;
};

// Applies request to draft when the key and the address are fit and every
// other key keeps its answer; else leaves draft as it was and appends every
// reason to *refusals. true when applied, also when nothing had to change.
bool ApplyEdit(Draft *draft, const EditRequest &request, std::vector<Refusal> *refusals);

// Whether the table has a line whose own key is key, in any letter case:
// its 0-based index, or -1.
int OwnEntryLine(const TableState &state, const std::string &key);

// The change so far as a unified diff of the table's lines, 3 lines of
// context; empty when nothing changed.
std::string UnifiedDiff(const Draft &draft);

}  // namespace hoptool

#endif
