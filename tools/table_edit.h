// table_edit - changes to a redirect table worked out in memory, each held
// to one promise: every key of the table answers afterwards exactly what it
// answered before, except the keys the change names. The work of hoptool
// add, set, rm and import apart from files and command lines.
//
// The table as read (the base) is looked up through its index: the index
// file when it belongs to the table, or one built in memory. A change
// replaces whole lines; the draft is the base's lines with the changes laid
// over them, looked up through the base's index for every line the changes
// cannot reach and through a small index of its own for the rest. So a
// change costs what its own lines cost, whatever the table's size, and many
// changes cost what one costs, plus their own lines.
#ifndef LINKHOP_TABLE_EDIT_H
#define LINKHOP_TABLE_EDIT_H

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "table.h"
#include "table_check.h"
#include "tableindex.h"

namespace hoptool {

// The table as an edit reads it: its bytes, its lines, and the index of the
// text every lookup searches.
struct EditBase {
  std::string path;
  std::string_view bytes;            // the file as read: owned, or the caller's
  std::string owned;
  bool returns = false;              // a carriage return before the data's end
  size_t dataEnd = 0;                // the first byte 0x1A, or the end of the file
  std::vector<uint32_t> rawStarts;   // where each line starts in bytes, and bytes.size()
  std::vector<uint32_t> textStarts;  // the same in the text (carriage returns dropped;
                                     // lines past the data's end are empty), unless
  bool shared = false;               // the bytes are the text: then rawStarts it is
  const std::vector<uint32_t> &TextStarts() const { return shared ? rawStarts : textStarts; }
  uint32_t textLength = 0;           // of the text up to the data's end
  uint32_t searched = 0;             // of the text every lookup sees
  int cutLine = -1;                  // the line too long, which ends every search
  int dataEndLine = -1;              // the line holding the byte 0x1A
  // The index: the file's, mapped, or one built here over text. A mapped
  // file's blocks are checked as they are read: one found damaged makes
  // damaged true, and the edit starts again without it.
  bool mapped = false;
  std::string indexPath;
  mutable bool damaged = false;
  TableIndexFile file{};
  std::string text;                  // the text, when the bytes are not it
  std::vector<uint64_t> room;
  TableIndex index{};

  EditBase() = default;
  EditBase(const EditBase &) = delete;
  EditBase &operator=(const EditBase &) = delete;
  ~EditBase();
  // Closes the mapped index, where a mapped file cannot be replaced
  // (OS_OPEN_FILE_BLOCKS_REPLACE): the last use of it is over.
  void LetGoOfIndex();

  size_t Lines() const { return rawStarts.size() - 1; }
  std::string_view Raw(size_t line) const;
  // The line's text, its line feed included when the text holds it.
  std::string Text(size_t line) const;
  // The line (0-based) whose text holds offset.
  size_t LineAt(uint32_t offset) const;
};

// Reads bytes as the table at path. With indexPath, its index is used when
// it belongs to the table of stamp; otherwise one is built. *why tells which.
void LoadBase(const std::string &path, std::string bytes, const std::string &indexPath,
              const OsFileStamp *stamp, EditBase *base, int *why);
// The same for bytes the caller keeps for as long as the base is used.
void LoadBaseOf(const std::string &path, std::string_view bytes, const std::string &indexPath,
                const OsFileStamp *stamp, EditBase *base, int *why);

// What linkhop answers for a key: the address, and the line (0-based) and
// the column in that line's text where the accepted key begins.
struct Answer {
  bool found = false;
  std::string value;
  int line = -1;
  int column = -1;
};

// A draft line: a line of the base, or one the changes wrote.
struct DraftPiece {
  int32_t from = 0, to = 0;  // base lines [from, to)
  int32_t fresh = -1;        // or one written line
};

struct FreshLine {
  std::string raw;   // as written, with its line end (or none, for a last line)
  std::string text;  // carriage returns dropped
};

// An end (see tableindex.h) in a line the changes reach.
struct DraftEnd {
  int64_t line;     // its line: a base line's number, or -1 - a written line's
  uint32_t column;  // in the line's text
  bool ownKey;
};

class Draft {
 public:
  explicit Draft(const EditBase &base);

  const EditBase &base() const { return base_; }
  size_t Lines() const { return lineCount_; }
  std::string_view Raw(size_t line) const;
  std::string Text(size_t line) const;  // with its line feed, as the text holds it
  bool EndsWithLineEnd() const;
  // The line (0-based) of this draft that was the base's line, or -1.
  int LineOfBase(size_t baseLine) const;
  // Where the search ends: the line too long, or the line holding the byte
  // 0x1A (the data's end); -1 for none.
  int CutLine() const;
  int DataEndLine() const;

  Answer Ask(const std::string &key) const;
  // The line (0-based) whose own key is key, in any letter case, or -1.
  int OwnEntryLine(const std::string &key) const;

  // Replaces lines [from, to) with lines, each with its line end (but a
  // last line). Returns false when the change moves where the search ends
  // (a line too long, or the byte 0x1A gone): the caller starts again from
  // the bytes.
  bool Splice(size_t from, size_t to, const std::vector<std::string> &lines);

  // The runs (see tableindex.h; read forwards, at most TABLE_KEY_MAX bytes)
  // of every end in lines [from, to) if lines [from, to) were replaced with
  // lines, together with the draft's lines [keepFrom, from) before them.
  std::vector<std::string> RunsAround(size_t keepFrom, size_t from, size_t to,
                                      const std::vector<std::string> &lines) const;
  // The first line a change at line at can reach: the line of the last
  // byte above 32 before it (and of the one before that, when that byte is
  // an '=' whose key lies further back).
  size_t ReachFrom(size_t at) const;

  // The draft's bytes, or its text up to where every search ends, piece by
  // piece.
  typedef std::function<void(const char *bytes, size_t count)> Put;
  void EachRawPiece(const Put &put) const;
  void EachTextPiece(const Put &put) const;
  // The draft's index: the base's records for the lines no change reached,
  // and those of the lines the changes reached, in the index's order; and
  // how many there are.
  // false when the base's index turned out damaged.
  bool EachRecord(const std::function<void(const TableIndexRecord &)> &each) const;
  uint32_t RecordCount() const;
  void Records(std::vector<TableIndexRecord> *records) const;
  uint32_t TextLength() const { return searchedEnd_; }
  uint32_t TextEnd() const;
  // For the index's header (see TableIndexHeader): the lines of the text,
  // each's start in the file, where the text's bytes end, the data's end.
  uint32_t TextLines() const;
  uint32_t Flags() const;
  void EachFileLine(const std::function<void(uint32_t)> &each) const;
  uint32_t FileTextEnd() const;
  uint32_t FileDataEnd() const;
  // The draft's text: a stretch of the base's bytes (where they are the
  // text), or text of its own (baseOffset UINT32_MAX).
  void EachTextStretch(const std::function<void(uint32_t baseOffset, const char *bytes,
                                                size_t count)> &each) const;
  // The draft's bytes: a stretch of the base's, or bytes of its own.
  void EachRawStretch(const std::function<void(uint32_t baseOffset, const char *bytes,
                                               size_t count)> &each) const;

  // What Restore needs to undo the changes made after it.
  struct Mark {
    std::vector<DraftPiece> pieces;
    size_t fresh;
  };
  Mark Save() const { return {pieces_, fresh_.size()}; }
  void Restore(const Mark &mark);

  // Every line in order: the base's line it is, or -1 for a written one.
  void EachOrigin(const std::function<void(int64_t baseLine, size_t line)> &each) const;
  bool Changed() const;

 private:
  struct Located {
    size_t piece;
    size_t offset;  // lines into the piece
  };
  Located Locate(size_t line) const;
  int64_t RefOf(size_t line) const;
  size_t LineOfRef(int64_t ref) const;  // the draft line, or SIZE_MAX when gone
  uint64_t PositionOf(size_t line) const;
  size_t LineAtPosition(uint64_t position) const;
  void Reindex();
  void MarkReached(size_t from, size_t to);
  void Evaluate(size_t from, size_t to);
  void ForgetEnds(int64_t ref);  // the ends the draft holds for line ref go
  void Recompute();
  bool DeadBase(uint32_t end) const;
  bool ValueFrom(size_t line, uint32_t column, std::string *value) const;

  const EditBase &base_;
  std::vector<DraftPiece> pieces_;
  std::vector<FreshLine> fresh_;
  // Derived from the pieces.
  std::vector<uint64_t> pieceLine_, piecePosition_;
  std::vector<size_t> basePieces_;   // the pieces of base lines, in order
  std::vector<int32_t> freshPiece_;  // each written line's piece, or -1
  size_t lineCount_ = 0;
  uint32_t searchedEnd_ = 0;
  // The lines whose ends the draft's own index holds: every written line,
  // and every base line a change can reach. Their ends in the base's index
  // are dead to the draft, as are those of base lines no longer there.
  std::set<int64_t> reached_;
  std::set<uint32_t> dead_;
  std::multimap<std::string, DraftEnd> ends_;  // by order key, full
  std::map<int64_t, std::vector<std::string>> endsByLine_;
};

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

// The edit: a draft over the base, and the base again when a change moved
// where the search ends and the draft had to start from new bytes.
struct Edit {
  std::string path;
  std::string lineEnd;  // the table's own: "\r\n" when its first line ends so
  std::vector<std::unique_ptr<EditBase>> bases;  // the table as read, then any new start
  std::unique_ptr<Draft> draft;                  // over the last base
  const EditBase &Original() const { return *bases.front(); }
};
void EditFrom(std::unique_ptr<EditBase> base, Edit *edit);

// The change so far as a unified diff of the table's lines.
std::string UnifiedDiff(const Edit &edit);

// Applies request to the edit when the key and the address are fit and every
// other key keeps its answer; else leaves it as it was and appends every
// reason to *refusals. true when applied, also when nothing had to change.
bool ApplyEdit(Edit *edit, const EditRequest &request, std::vector<Refusal> *refusals);

}  // namespace hoptool

#endif
