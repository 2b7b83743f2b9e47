// table_edit - changes to a redirect table, guarded (see table_edit.h).
//
// Why a change reaches so little. Let a change replace whole lines B of
// the text A B C with lines N. A key holds no line end, so the scan meets
// the same occurrences in A and in C whatever B or N hold, and decides
// about each one by the bytes that follow it up to the next byte above 32
// (and, once it accepts, up to the end of the address). Only the ends at
// the tail of A whose decision or address runs on into B, and the ends in B
// and N, are decided differently: the tail starts at the line of A's last
// byte above 32 (or of the one before it, when that byte is an '=' with its
// key further back). A key's answer can change only if it is a key of the
// table that ends at one of those ends, before or after the change: the
// guard asks the table for those keys alone, before and after.
//
// So the draft keeps, besides the base's index, a small index of the ends
// in every line a change reached (written lines, and base lines in a tail
// before a change), and counts the base's ends in those lines, and in the
// lines removed, as dead.
#include "table_edit.h"

#include "table_write.h"
#include "tsl-io.h"

#include <string.h>

#include <algorithm>

namespace hoptool {

namespace {

unsigned char Folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

std::string Lower(std::string s) {
  for (char &c : s) c = (char)Folded((unsigned char)c);
  return s;
}

bool SameNoCase(const std::string &a, const std::string &b) {
  return a.size() == b.size() &&
         MatchNoCase((const unsigned char *)a.data(), (const unsigned char *)b.data(),
                     (int)a.size());
}

// A key read backwards and folded: how the order keys of its ends start.
std::string Reversed(const std::string &key) {
  std::string out(key.rbegin(), key.rend());
  for (char &c : out) c = (char)Folded((unsigned char)c);
  return out;
}

// The order key of the end `end` of text: the run before it read backwards
// and folded, at most TABLE_KEY_MAX bytes.
std::string OrderKeyAt(const char *text, uint32_t end) {
  std::string key;
  for (uint32_t j = 0; j < TABLE_KEY_MAX && j < end; j++) {
    unsigned char c = (unsigned char)text[end - 1 - j];
    if (TableIsControl(c)) break;
    key += (char)Folded(c);
  }
  return key;
}

void PackKey(const std::string &order, uint64_t *key0, uint32_t *key1) {
  uint64_t a = 0;
  uint32_t b = 0;
  for (size_t j = 0; j < 8; j++) a = a << 8 | (j < order.size() ? (unsigned char)order[j] : 0);
  for (size_t j = 8; j < 12; j++) b = b << 8 | (j < order.size() ? (unsigned char)order[j] : 0);
  *key0 = a;
  *key1 = b;
}

// Whether the scan reaches the occurrence of key at column at of a line's
// text (see tableindex.cpp: occurrences that overlap one another form a
// cluster, walked by the key's length). A key holds no line end, so the
// line is all it needs.
bool ReachedInLine(const std::string &line, const std::string &key, int64_t at) {
  const int64_t length = (int64_t)key.size();
  auto holds = [&](int64_t i) {
    return i >= 0 && i + length <= (int64_t)line.size() &&
           MatchNoCase((const unsigned char *)key.data(),
                       (const unsigned char *)line.data() + i, (int)length);
  };
  int64_t first = at;
  for (bool found = true; found;) {
    found = false;
    for (int64_t i = std::max<int64_t>(0, first - length + 1); i < first; i++)
      if (holds(i)) {
        first = i;
        found = true;
        break;
      }
  }
  for (int64_t position = first; position < at;) {
    int64_t next = position + length;
    while (next < at && !holds(next)) next++;
    if (next > at) return false;
    position = next;
  }
  return true;
}

// The last byte above 32 of text before stop, or -1.
int64_t LastSolid(const std::string &text, int64_t stop) {
  for (int64_t i = std::min<int64_t>(stop, (int64_t)text.size()) - 1; i >= 0; i--)
    if (!TableIsWhite((unsigned char)text[i])) return i;
  return -1;
}

}  // namespace

// ---- The base -------------------------------------------------------------------

EditBase::~EditBase() {
  if (mapped) TableIndexCloseFile(&file);
}

void EditBase::LetGoOfIndex() {
  if (!OS_OPEN_FILE_BLOCKS_REPLACE || !mapped) return;
  TableIndexCloseFile(&file);
  mapped = false;
}

std::string_view EditBase::Raw(size_t line) const {
  return std::string_view(bytes).substr(rawStarts[line], rawStarts[line + 1] - rawStarts[line]);
}

std::string EditBase::Text(size_t line) const {
  const size_t start = rawStarts[line], end = std::min<size_t>(rawStarts[line + 1], dataEnd);
  if (start >= end) return std::string();
  std::string out(bytes.substr(start, end - start));
  if (returns) out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  return out;
}

size_t EditBase::LineAt(uint32_t offset) const {
  const size_t last = dataEndLine >= 0 ? (size_t)dataEndLine + 1 : Lines();
  return (size_t)(std::upper_bound(TextStarts().begin(), TextStarts().begin() + last, offset) -
                  TextStarts().begin()) -
         1;
}

void LoadBase(const std::string &path, std::string bytes, const std::string &indexPath,
              const OsFileStamp *stamp, EditBase *base, int *why) {
  base->owned = std::move(bytes);
  LoadBaseOf(path, base->owned, indexPath, stamp, base, why);
}

// Appends the starts of the lines from the line that starts at raw offset
// at, text offset text, to the end of the bytes, and the final ends.
static void ScanLines(EditBase *base, size_t at, uint32_t text) {
  const std::string_view b = base->bytes;
  const bool plain = base->shared;
  while (at < b.size()) {
    base->rawStarts.push_back((uint32_t)at);
    const char *feed = (const char *)memchr(b.data() + at, '\n', b.size() - at);
    const size_t next = feed ? (size_t)(feed - b.data()) + 1 : b.size();
    if (!plain) {
      base->textStarts.push_back(text);
      const size_t dataStop = std::min(next, base->dataEnd);
      if (at < dataStop) {
        size_t returns = 0;
        if (base->returns)
          for (size_t i = at; i < dataStop; i++) returns += b[i] == '\r';
        text += (uint32_t)(dataStop - at - returns);
      }
      if (at <= base->dataEnd && base->dataEnd < next)
        base->dataEndLine = (int)base->rawStarts.size() - 1;
    }
    at = next;
  }
  base->rawStarts.push_back((uint32_t)b.size());
  if (plain) text = (uint32_t)b.size();
  else base->textStarts.push_back(text);
  base->textLength = text;
}

// The lines, the data's end and where the search ends, from the index's
// header and lines, and the bytes only after the text: the table's lines
// are not read one by one. false when they do not fit the bytes.
static bool LinesFromIndex(EditBase *base) {
  const TableIndexHeader *h = base->file.header;
  const TableIndex &index = base->index;
  const std::string_view b = base->bytes;
  if (h->fileDataEnd > b.size() || h->fileTextEnd > h->fileDataEnd) return false;
  base->dataEnd = h->fileDataEnd;
  base->returns = (h->flags & TABLE_INDEX_RETURNS) != 0;
  base->shared = !base->returns && base->dataEnd == b.size();
  base->searched = index.textLength;
  // The index's lines but its last, which is read again with those after it.
  const uint32_t n = index.lineCount;
  base->rawStarts.assign(index.fileLines, index.fileLines + (n ? n - 1 : 0));
  if (!base->shared) base->textStarts.assign(index.lines, index.lines + (n ? n - 1 : 0));
  for (size_t i = 1; i < base->rawStarts.size(); i++)
    if (base->rawStarts[i] <= base->rawStarts[i - 1]) return false;
  const uint32_t lastRaw = n ? index.fileLines[n - 1] : 0, lastText = n ? index.lines[n - 1] : 0;
  if (lastRaw >= b.size() && b.size() > 0) return false;
  ScanLines(base, lastRaw, lastText);
  if (h->textEnd == TABLE_INDEX_ENDS_AT_LONG_LINE) {
    auto cut = std::lower_bound(base->rawStarts.begin(), base->rawStarts.end(), h->fileTextEnd);
    if (cut == base->rawStarts.end() || *cut != h->fileTextEnd) return false;
    base->cutLine = (int)(cut - base->rawStarts.begin());
  }
  return base->TextStarts()[base->cutLine >= 0 ? (size_t)base->cutLine : base->Lines()] >=
         base->searched;
}

void LoadBaseOf(const std::string &path, std::string_view bytes, const std::string &indexPath,
                const OsFileStamp *stamp, EditBase *base, int *why) {
  base->path = path;
  base->bytes = bytes;
  const std::string_view b = base->bytes;
  *why = TABLE_INDEX_MISSING;
  if (!indexPath.empty() && stamp) {
    *why = TableIndexOpen(indexPath.c_str(), stamp, &base->file, &base->index);
    if (*why == TABLE_INDEX_OK) {
      base->mapped = true;
      // Checked whole once, for an edit leans on every part of it; then it is
      // read as memory is. Its text is the table's own: where the bytes are
      // the text, they are read in its place.
      // Its lines, and its text where the bytes are not it, are read here
      // whole: checked first. Its records are checked as they are read.
      const TableIndex &index = base->index;
      const bool returns = (base->file.header->flags & TABLE_INDEX_RETURNS) != 0;
      const bool whole =
          TableIndexPartWhole(&index, index.lines, (uint64_t)index.lineCount * 4) &&
          TableIndexPartWhole(&index, index.fileLines, (uint64_t)index.lineCount * 4) &&
          (!returns || TableIndexPartWhole(&index, index.text, index.textLength));
      if (whole && LinesFromIndex(base)) {
        base->indexPath = indexPath;
        if (!base->returns) {
          base->index.text = b.data();  // the same bytes
          base->index.ownText = 1;
        }
        return;
      }
      TableIndexCloseFile(&base->file);
      base->mapped = false;
      base->rawStarts.clear();
      base->textStarts.clear();
      base->cutLine = base->dataEndLine = -1;
      *why = TABLE_INDEX_DAMAGED;
    }
  }
  const char *stop = (const char *)memchr(b.data(), 0x1A, b.size());
  base->dataEnd = stop ? (size_t)(stop - b.data()) : b.size();
  base->returns = memchr(b.data(), '\r', base->dataEnd) != nullptr;
  // Every line's start, in the bytes and, where carriage returns or a byte
  // 0x1A make it differ, in the text.
  base->rawStarts.reserve((size_t)std::count(b.begin(), b.end(), '\n') + 2);
  base->shared = !base->returns && base->dataEnd == b.size();
  if (!base->shared) base->textStarts.reserve(base->rawStarts.capacity());
  ScanLines(base, 0, 0);
  // The search ends before the first line too long.
  base->searched = base->textLength;
  const size_t lines = base->Lines();
  for (size_t line = 0; line < lines; line++) {
    if ((int)line > base->dataEndLine && base->dataEndLine >= 0) break;
    uint32_t length = base->TextStarts()[line + 1] - base->TextStarts()[line];
    if (length > 0 && (line + 1 < lines || b.back() == '\n') &&
        (base->dataEndLine < 0 || (int)line < base->dataEndLine))
      length--;  // its line feed
    if (length > TABLE_LINE_MAX) {
      base->cutLine = (int)line;
      base->searched = base->TextStarts()[line];
      break;
    }
  }
  // The text, where the bytes are not it already.
  const char *searchedText = b.data();
  if (base->returns) {
    base->text.assign(b.data(), base->dataEnd);
    base->text.erase(std::remove(base->text.begin(), base->text.end(), '\r'), base->text.end());
    searchedText = base->text.data();
  }
  base->room.assign((size_t)(TableIndexRoom(searchedText, (int)base->searched) / 8 + 1), 0);
  TableIndexBuild(&base->index, searchedText, (int)base->searched, base->room.data());
}

// ---- The draft ------------------------------------------------------------------

Draft::Draft(const EditBase &base) : base_(base) {
  if (base.Lines() > 0) pieces_.push_back({0, (int32_t)base.Lines(), -1});
  Reindex();
}

void Draft::Reindex() {
  pieceLine_.assign(pieces_.size() + 1, 0);
  piecePosition_.assign(pieces_.size() + 1, 0);
  for (size_t p = 0; p < pieces_.size(); p++) {
    const DraftPiece &piece = pieces_[p];
    uint64_t lines = 1, text = 0;
    if (piece.fresh < 0) {
      lines = (uint64_t)(piece.to - piece.from);
      text = std::min(base_.TextStarts()[(size_t)piece.to], base_.searched) -
             std::min(base_.TextStarts()[(size_t)piece.from], base_.searched);
    } else {
      text = fresh_[(size_t)piece.fresh].text.size();
    }
    pieceLine_[p + 1] = pieceLine_[p] + lines;
    piecePosition_[p + 1] = piecePosition_[p] + text;
  }
  lineCount_ = (size_t)pieceLine_.back();
  searchedEnd_ = (uint32_t)piecePosition_.back();
  basePieces_.clear();
  freshPiece_.assign(fresh_.size(), -1);
  for (size_t p = 0; p < pieces_.size(); p++) {
    if (pieces_[p].fresh < 0) basePieces_.push_back(p);
    else freshPiece_[(size_t)pieces_[p].fresh] = (int32_t)p;
  }
}

Draft::Located Draft::Locate(size_t line) const {
  const size_t p =
      (size_t)(std::upper_bound(pieceLine_.begin(), pieceLine_.end(), (uint64_t)line) -
               pieceLine_.begin()) -
      1;
  return {p, line - (size_t)pieceLine_[p]};
}

int64_t Draft::RefOf(size_t line) const {
  const Located at = Locate(line);
  const DraftPiece &piece = pieces_[at.piece];
  return piece.fresh < 0 ? piece.from + (int64_t)at.offset : -1 - piece.fresh;
}

size_t Draft::LineOfRef(int64_t ref) const {
  if (ref >= 0) {
    const int line = LineOfBase((size_t)ref);
    return line < 0 ? SIZE_MAX : (size_t)line;
  }
  const size_t fresh = (size_t)(-1 - ref);
  if (fresh >= freshPiece_.size() || freshPiece_[fresh] < 0) return SIZE_MAX;
  return (size_t)pieceLine_[(size_t)freshPiece_[fresh]];
}

int Draft::LineOfBase(size_t baseLine) const {
  // The base's pieces come in the base's order.
  auto it = std::upper_bound(basePieces_.begin(), basePieces_.end(), baseLine,
                             [this](size_t line, size_t p) { return (int64_t)line < pieces_[p].from; });
  if (it == basePieces_.begin()) return -1;
  const size_t p = *--it;
  if ((int64_t)baseLine >= pieces_[p].to) return -1;
  return (int)(pieceLine_[p] + baseLine - (size_t)pieces_[p].from);
}

std::string_view Draft::Raw(size_t line) const {
  const int64_t ref = RefOf(line);
  return ref >= 0 ? base_.Raw((size_t)ref) : std::string_view(fresh_[(size_t)(-1 - ref)].raw);
}

std::string Draft::Text(size_t line) const {
  const int64_t ref = RefOf(line);
  return ref >= 0 ? base_.Text((size_t)ref) : fresh_[(size_t)(-1 - ref)].text;
}

bool Draft::EndsWithLineEnd() const {
  if (lineCount_ == 0) return false;
  std::string_view last = Raw(lineCount_ - 1);
  return !last.empty() && last.back() == '\n';
}

uint64_t Draft::PositionOf(size_t line) const {
  const Located at = Locate(line);
  const DraftPiece &piece = pieces_[at.piece];
  if (piece.fresh >= 0) return piecePosition_[at.piece];
  const uint32_t start = std::min(base_.TextStarts()[(size_t)piece.from], base_.searched);
  const uint32_t here = std::min(base_.TextStarts()[(size_t)piece.from + at.offset], base_.searched);
  return piecePosition_[at.piece] + (here - start);
}

int Draft::CutLine() const { return base_.cutLine >= 0 ? LineOfBase((size_t)base_.cutLine) : -1; }

int Draft::DataEndLine() const {
  return base_.dataEndLine >= 0 ? LineOfBase((size_t)base_.dataEndLine) : -1;
}

uint32_t Draft::TextEnd() const {
  return base_.cutLine >= 0 ? TABLE_INDEX_ENDS_AT_LONG_LINE
         : base_.dataEnd < base_.bytes.size() ? TABLE_INDEX_ENDS_AT_1A
                                             : TABLE_INDEX_ENDS_AT_END;
}

bool Draft::DeadBase(uint32_t end) const { return dead_.count(end) != 0; }

uint32_t Draft::TextLines() const {
  if (searchedEnd_ == 0) return 0;
  // The lines that start inside the text.
  const size_t line = LineAtPosition(searchedEnd_ - 1);
  return (uint32_t)line + 1;
}

uint32_t Draft::Flags() const {
  bool returns = base_.returns;
  for (const FreshLine &f : fresh_) returns = returns || f.raw.find('\r') != std::string::npos;
  return returns ? TABLE_INDEX_RETURNS : 0;
}

void Draft::EachFileLine(const std::function<void(uint32_t)> &each) const {
  uint64_t at = 0;
  const uint32_t lines = TextLines();
  size_t line = 0;
  for (const DraftPiece &piece : pieces_) {
    if (line >= lines) return;
    if (piece.fresh >= 0) {
      each((uint32_t)at);
      at += fresh_[(size_t)piece.fresh].raw.size();
      line++;
      continue;
    }
    for (int32_t l = piece.from; l < piece.to && line < lines; l++, line++) {
      each((uint32_t)at);
      at += base_.rawStarts[(size_t)l + 1] - base_.rawStarts[(size_t)l];
    }
  }
}

// The draft's byte offset of a base byte offset, in a base line still there.
static uint64_t DraftRawOf(const std::vector<DraftPiece> &pieces, const std::vector<FreshLine> &fresh,
                           const EditBase &base, int baseLine, uint64_t baseOffset) {
  uint64_t at = 0;
  for (const DraftPiece &piece : pieces) {
    if (piece.fresh >= 0) {
      at += fresh[(size_t)piece.fresh].raw.size();
      continue;
    }
    if (baseLine >= piece.from && baseLine < piece.to)
      return at + baseOffset - base.rawStarts[(size_t)piece.from];
    at += base.rawStarts[(size_t)piece.to] - base.rawStarts[(size_t)piece.from];
  }
  return at;
}

size_t Draft::LineAtPosition(uint64_t position) const {
  const size_t p =
      (size_t)(std::upper_bound(piecePosition_.begin(), piecePosition_.end(), position) -
               piecePosition_.begin()) -
      1;
  const DraftPiece &piece = pieces_[p];
  if (piece.fresh >= 0) return (size_t)pieceLine_[p];
  const std::vector<uint32_t> &starts = base_.TextStarts();
  const uint32_t basePosition =
      std::min(starts[(size_t)piece.from], base_.searched) + (uint32_t)(position - piecePosition_[p]);
  const size_t line = (size_t)(std::upper_bound(starts.begin() + piece.from, starts.begin() + piece.to,
                                                basePosition) -
                               starts.begin()) -
                      1;
  return (size_t)pieceLine_[p] + (line - (size_t)piece.from);
}

uint32_t Draft::FileTextEnd() const {
  if (base_.cutLine >= 0)
    return (uint32_t)DraftRawOf(pieces_, fresh_, base_, base_.cutLine,
                                base_.rawStarts[(size_t)base_.cutLine]);
  return FileDataEnd();
}

uint32_t Draft::FileDataEnd() const {
  if (base_.dataEndLine >= 0)
    return (uint32_t)DraftRawOf(pieces_, fresh_, base_, base_.dataEndLine, base_.dataEnd);
  uint64_t size = 0;
  EachRawPiece([&](const char *, size_t count) { size += count; });
  return (uint32_t)size;
}

void Draft::EachTextStretch(
    const std::function<void(uint32_t, const char *, size_t)> &each) const {
  const bool bytesAreText = base_.index.text == base_.bytes.data();
  for (const DraftPiece &piece : pieces_) {
    if (piece.fresh >= 0) {
      const std::string &text = fresh_[(size_t)piece.fresh].text;
      each(UINT32_MAX, text.data(), text.size());
    } else {
      const uint32_t start = std::min(base_.TextStarts()[(size_t)piece.from], base_.searched);
      const uint32_t end = std::min(base_.TextStarts()[(size_t)piece.to], base_.searched);
      if (end > start)
        each(bytesAreText ? start : UINT32_MAX, base_.index.text + start, end - start);
    }
  }
}

void Draft::EachRawStretch(
    const std::function<void(uint32_t, const char *, size_t)> &each) const {
  for (const DraftPiece &piece : pieces_) {
    if (piece.fresh >= 0) {
      const std::string &raw = fresh_[(size_t)piece.fresh].raw;
      each(UINT32_MAX, raw.data(), raw.size());
    } else {
      const uint32_t start = base_.rawStarts[(size_t)piece.from];
      each(start, base_.bytes.data() + start, base_.rawStarts[(size_t)piece.to] - start);
    }
  }
}

// The text of a line as every search sees it: nothing past the search's end.
static std::string Searched(const EditBase &base, int64_t ref, const std::vector<FreshLine> &fresh) {
  if (ref < 0) return fresh[(size_t)(-1 - ref)].text;
  const uint32_t start = base.TextStarts()[(size_t)ref];
  const uint32_t end = std::min(base.TextStarts()[(size_t)ref + 1], base.searched);
  if (start >= end) return std::string();
  return std::string(base.index.text + start, end - start);
}

size_t Draft::ReachFrom(size_t at) const {
  bool passEquals = false;  // looking for the byte before an '=' found last
  for (size_t line = at; line-- > 0;) {
    const std::string text = Searched(base_, RefOf(line), fresh_);
    for (int64_t stop = (int64_t)text.size();;) {
      const int64_t solid = LastSolid(text, stop);
      if (solid < 0) break;
      if (!passEquals && text[(size_t)solid] == '=') {
        // Its ends start after the byte above 32 before it.
        passEquals = true;
        stop = solid;
        continue;
      }
      return line;
    }
  }
  return 0;
}

// Calls each(line, column, endAndFlag, run) for the ends in lines [keepFrom,
// keepTo) of the text of texts (one a line, each with its line feed as the
// text holds it), read on up to the line of the first byte above 32 after
// keepTo, which texts must hold.
template <typename Each>
static void EndsOf(const std::vector<std::string> &texts, size_t keepFrom, size_t keepTo,
                   Each each) {
  std::string window;
  std::vector<uint32_t> starts;
  for (const std::string &t : texts) {
    starts.push_back((uint32_t)window.size());
    window += t;
  }
  starts.push_back((uint32_t)window.size());
  const uint32_t from = starts[keepFrom], to = starts[keepTo];
  struct Context {
    const std::string *window;
    const std::vector<uint32_t> *starts;
    uint32_t from, to;
    Each *each;
  } context = {&window, &starts, from, to, &each};
  TableIndexEachEnd(
      window.data(), (uint32_t)window.size(), 0, (uint32_t)window.size(),
      [](void *c, uint32_t endAndFlag) {
        Context *x = (Context *)c;
        const uint32_t end = endAndFlag & TABLE_INDEX_END_MASK;
        if (end <= x->from || end > x->to) return;
        const size_t line =
            (size_t)(std::upper_bound(x->starts->begin(), x->starts->end(), end - 1) -
                     x->starts->begin()) -
            1;
        (*x->each)(line, end - (*x->starts)[line], endAndFlag, OrderKeyAt(x->window->data(), end));
      },
      &context);
}

// The lines after `to` that the ends before it may read on into: up to the
// line of the first byte above 32, that line included.
static size_t ReadOnTo(const Draft &draft, size_t to, const std::function<std::string(size_t)> &text) {
  size_t line = to;
  while (line < draft.Lines()) {
    const std::string t = text(line);
    line++;
    if (LastSolid(t, (int64_t)t.size()) >= 0) break;
  }
  return line;
}

void Draft::ForgetEnds(int64_t ref) {
  auto known = endsByLine_.find(ref);
  if (known == endsByLine_.end()) return;
  for (const std::string &key : known->second) {
    auto range = ends_.equal_range(key);
    for (auto it = range.first; it != range.second;) {
      if (it->second.line == ref) it = ends_.erase(it);
      else ++it;
    }
  }
  endsByLine_.erase(known);
}

void Draft::Evaluate(size_t from, size_t to) {
  auto text = [&](size_t line) { return Searched(base_, RefOf(line), fresh_); };
  const size_t readTo = ReadOnTo(*this, to, text);
  std::vector<std::string> texts;
  for (size_t line = from; line < readTo; line++) texts.push_back(text(line));
  std::vector<int64_t> refs;
  for (size_t line = from; line < to; line++) refs.push_back(RefOf(line));
  // The draft's index loses these lines' ends and gets them anew.
  for (int64_t ref : refs) ForgetEnds(ref);
  EndsOf(texts, 0, to - from, [&](size_t line, uint32_t column, uint32_t endAndFlag, const std::string &key) {
    const int64_t ref = refs[line];
    ends_.insert({key, DraftEnd{ref, column, (endAndFlag & TABLE_INDEX_OWN_KEY) != 0}});
    endsByLine_[ref].push_back(key);
  });
}

void Draft::MarkReached(size_t from, size_t to) {
  // Runs of base lines new to the set: their ends in the base die.
  for (size_t line = from; line < to; line++) {
    const int64_t ref = RefOf(line);
    if (!reached_.insert(ref).second || ref < 0) continue;
    const uint32_t start = base_.TextStarts()[(size_t)ref];
    const uint32_t end = std::min(base_.TextStarts()[(size_t)ref + 1], base_.searched);
    if (start >= end) continue;
    // Ends in this base line, whatever line their '=' is on.
    size_t readTo = (size_t)ref + 1;
    while (readTo < base_.Lines() && base_.TextStarts()[readTo] < base_.searched) {
      const std::string t = Searched(base_, (int64_t)readTo, fresh_);
      readTo++;
      if (LastSolid(t, (int64_t)t.size()) >= 0) break;
    }
    const uint32_t eqTo = std::min(base_.TextStarts()[readTo], base_.searched);
    struct Context {
      std::set<uint32_t> *dead;
      uint32_t start, end;
    } context = {&dead_, start, end};
    TableIndexEachEnd(
        base_.index.text, base_.searched, start, eqTo,
        [](void *c, uint32_t endAndFlag) {
          Context *x = (Context *)c;
          const uint32_t e = endAndFlag & TABLE_INDEX_END_MASK;
          if (e > x->start && e <= x->end) x->dead->insert(e);
        },
        &context);
  }
}

// A base line gone from the draft: its ends die.
static void BuryBaseLine(const EditBase &base, size_t line, std::set<uint32_t> *dead) {
  const uint32_t start = base.TextStarts()[line];
  const uint32_t end = std::min(base.TextStarts()[line + 1], base.searched);
  if (start >= end) return;
  size_t readTo = line + 1;
  while (readTo < base.Lines() && base.TextStarts()[readTo] < base.searched) {
    const uint32_t s = base.TextStarts()[readTo], e = std::min(base.TextStarts()[readTo + 1], base.searched);
    readTo++;
    bool solid = false;
    for (uint32_t i = s; i < e && !solid; i++) solid = !TableIsWhite((unsigned char)base.index.text[i]);
    if (solid) break;
  }
  struct Context {
    std::set<uint32_t> *dead;
    uint32_t start, end;
  } context = {dead, start, end};
  TableIndexEachEnd(
      base.index.text, base.searched, start, std::min(base.TextStarts()[readTo], base.searched),
      [](void *c, uint32_t endAndFlag) {
        Context *x = (Context *)c;
        const uint32_t e = endAndFlag & TABLE_INDEX_END_MASK;
        if (e > x->start && e <= x->end) x->dead->insert(e);
      },
      &context);
}

void Draft::Recompute() {
  reached_.clear();
  dead_.clear();
  ends_.clear();
  endsByLine_.clear();
  Reindex();
  // Base lines gone.
  std::vector<bool> present(base_.Lines(), false);
  for (const DraftPiece &piece : pieces_)
    if (piece.fresh < 0)
      for (int32_t l = piece.from; l < piece.to; l++) present[(size_t)l] = true;
  for (size_t l = 0; l < present.size(); l++)
    if (!present[l]) BuryBaseLine(base_, l, &dead_);
  // Every seam: where a piece ends, and at the end where the base went on.
  std::vector<std::pair<size_t, size_t>> zones;
  for (size_t p = 0; p < pieces_.size(); p++) {
    const DraftPiece &piece = pieces_[p];
    const bool seamAfter = p + 1 < pieces_.size() ||
                           (piece.fresh < 0 ? piece.to != (int32_t)base_.Lines() : true);
    if (piece.fresh >= 0)
      zones.push_back({(size_t)pieceLine_[p], (size_t)pieceLine_[p + 1]});
    if (seamAfter) {
      const size_t seam = (size_t)pieceLine_[p + 1];
      zones.push_back({ReachFrom(seam), seam});
    }
  }
  for (const auto &zone : zones) MarkReached(zone.first, zone.second);
  // The draft's index of every run of reached lines.
  for (size_t line = 0; line < lineCount_;) {
    if (!reached_.count(RefOf(line))) {
      line++;
      continue;
    }
    size_t end = line;
    while (end < lineCount_ && reached_.count(RefOf(end))) end++;
    Evaluate(line, end);
    line = end;
  }
}

bool Draft::Splice(size_t from, size_t to, const std::vector<std::string> &lines) {
  // Where every search ends may not move: no line too long written, none
  // holding a byte 0x1A, and neither of those lines removed.
  std::vector<FreshLine> written;
  for (const std::string &raw : lines) {
    FreshLine f;
    f.raw = raw;
    f.text = raw;
    f.text.erase(std::remove(f.text.begin(), f.text.end(), '\r'), f.text.end());
    const size_t length = f.text.size() - (!f.text.empty() && f.text.back() == '\n');
    if (f.text.find('\x1A') != std::string::npos || length > TABLE_LINE_MAX) return false;
    written.push_back(std::move(f));
  }
  const int cut = CutLine(), dataEnd = DataEndLine();
  for (int special : {cut, dataEnd})
    if (special >= 0 && (size_t)special < to && (size_t)special >= from) return false;
  if (cut >= 0 && from > (size_t)cut) return false;
  if (dataEnd >= 0 && from > (size_t)dataEnd) return false;

  // The pieces: those before from, the written lines, those from to on.
  std::vector<DraftPiece> before, after;
  std::vector<int64_t> removed;
  for (size_t p = 0; p < pieces_.size(); p++) {
    const DraftPiece &piece = pieces_[p];
    const size_t first = (size_t)pieceLine_[p], last = (size_t)pieceLine_[p + 1];
    if (piece.fresh >= 0) {
      if (first < from) before.push_back(piece);
      else if (first >= to) after.push_back(piece);
      else removed.push_back(-1 - piece.fresh);
      continue;
    }
    if (first < from) before.push_back({piece.from, piece.from + (int32_t)(std::min(last, from) - first), -1});
    for (size_t l = std::max(first, from); l < std::min(last, to); l++)
      removed.push_back(piece.from + (int64_t)(l - first));
    if (last > to) after.push_back({piece.from + (int32_t)(std::max(first, to) - first), piece.to, -1});
  }
  std::vector<DraftPiece> pieces = before;
  for (FreshLine &f : written) {
    pieces.push_back({0, 0, (int32_t)fresh_.size()});
    fresh_.push_back(std::move(f));
  }
  pieces.insert(pieces.end(), after.begin(), after.end());
  // Neighbouring base pieces that meet again are one.
  pieces_.clear();
  for (const DraftPiece &piece : pieces) {
    if (piece.fresh < 0 && piece.from == piece.to) continue;
    if (!pieces_.empty() && piece.fresh < 0 && pieces_.back().fresh < 0 &&
        pieces_.back().to == piece.from)
      pieces_.back().to = piece.to;
    else
      pieces_.push_back(piece);
  }
  // Removed lines: their ends go from both indexes.
  for (int64_t ref : removed) {
    if (ref >= 0) BuryBaseLine(base_, (size_t)ref, &dead_);
    ForgetEnds(ref);
    reached_.erase(ref);
  }
  Reindex();
  const size_t end = from + written.size();
  const size_t reach = std::min(ReachFrom(from), ReachFrom(end));
  MarkReached(reach, end);
  Evaluate(reach, end);
  return true;
}

std::vector<std::string> Draft::RunsAround(size_t keepFrom, size_t from, size_t to,
                                           const std::vector<std::string> &lines) const {
  std::vector<std::string> texts;
  for (size_t line = keepFrom; line < from; line++) texts.push_back(Searched(base_, RefOf(line), fresh_));
  for (const std::string &raw : lines) {
    std::string t = raw;
    t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
    texts.push_back(t);
  }
  const size_t keepTo = texts.size();
  auto text = [&](size_t line) { return Searched(base_, RefOf(line), fresh_); };
  const size_t readTo = ReadOnTo(*this, to, text);
  for (size_t line = to; line < readTo; line++) texts.push_back(text(line));
  std::vector<std::string> runs;
  EndsOf(texts, 0, keepTo, [&](size_t, uint32_t, uint32_t, const std::string &order) {
    runs.emplace_back(order.rbegin(), order.rend());
  });
  return runs;
}

// ---- Answers ----------------------------------------------------------------------

bool Draft::ValueFrom(size_t line, uint32_t column, std::string *value) const {
  // White space, perhaps over line ends, then the '=', then white space again.
  bool equals = false;
  for (; line < lineCount_; line++, column = 0) {
    const std::string text = Searched(base_, RefOf(line), fresh_);
    while (column < text.size()) {
      const unsigned char c = (unsigned char)text[column];
      if (TableIsWhite(c)) {
        column++;
        continue;
      }
      if (!equals) {
        if (c != '=') return false;
        equals = true;
        column++;
        continue;
      }
      TableAddress address;
      TableAddressRead(text.data() + column, text.data() + text.size(), &address);
      value->assign(address.start, (size_t)address.length);
      return true;
    }
  }
  value->clear();
  return equals;
}

Answer Draft::Ask(const std::string &key) const {
  Answer answer;
  const int flaws = TableKeyFlaws(key.data(), (int)key.size());
  if (flaws & TABLE_KEY_UNSEARCHABLE) return answer;
  const uint32_t length = (uint32_t)key.size();
  // The written lines' ends, in the draft's order.
  struct Candidate {
    uint64_t position;
    size_t line;
    uint32_t column;
  };
  std::vector<Candidate> own;
  const std::string reversed = Reversed(key);
  for (auto it = ends_.lower_bound(reversed);
       it != ends_.end() && it->first.compare(0, length, reversed) == 0; ++it) {
    const size_t line = LineOfRef(it->second.line);
    if (line == SIZE_MAX) continue;
    own.push_back({PositionOf(line) + it->second.column, line, it->second.column});
  }
  std::sort(own.begin(), own.end(),
            [](const Candidate &a, const Candidate &b) { return a.position < b.position; });
  // The base's ends, least first, the dead passed over.
  uint32_t first = 0, last = 0;
  if (TableIndexStretch(&base_.index, key.data(), (int)length, &first, &last) < 0)
    base_.damaged = true;
  int64_t floor = -1;
  auto nextBase = [&](Candidate *c) {
    int ok = 1;
    for (;;) {
      const uint32_t e = TableIndexLeastEnd(&base_.index, first, last, floor, &ok);
      if (!ok) base_.damaged = true;
      if (e == 0xFFFFFFFFu || !ok) return false;
      floor = e;
      if (DeadBase(e)) continue;
      const size_t baseLine = base_.LineAt(e);
      const int line = LineOfBase(baseLine);
      if (line < 0) continue;
      c->line = (size_t)line;
      c->column = e - base_.TextStarts()[baseLine];
      c->position = PositionOf((size_t)line) + c->column;
      return true;
    }
  };
  Candidate fromBase{};
  bool haveBase = nextBase(&fromBase);
  size_t next = 0;
  while (haveBase || next < own.size()) {
    const bool takeBase = haveBase && (next >= own.size() || fromBase.position < own[next].position);
    const Candidate c = takeBase ? fromBase : own[next];
    if (takeBase) haveBase = nextBase(&fromBase);
    else next++;
    const std::string text = Searched(base_, RefOf(c.line), fresh_);
    const int64_t start = (int64_t)c.column - (int64_t)length;
    if (!ReachedInLine(text, key, start)) continue;
    if (!ValueFrom(c.line, c.column, &answer.value)) continue;  // no '=' after it now
    answer.found = true;
    answer.line = (int)c.line;
    answer.column = (int)start;
    return answer;
  }
  return answer;
}

int Draft::OwnEntryLine(const std::string &key) const {
  // A line's own key has no white space at either end.
  if (key.empty() || TableIsWhite((unsigned char)key.front()) ||
      TableIsWhite((unsigned char)key.back()))
    return -1;
  int best = -1;
  auto consider = [&](size_t line) {
    if (best < 0 || (int)line < best) best = (int)line;
  };
  const std::string reversed = Reversed(key);
  auto spacesAfter = [&](const std::string &order) {
    for (size_t j = key.size(); j < order.size(); j++)
      if (order[j] != ' ') return false;
    return true;
  };
  // The base: ends whose order key is the key backwards and spaces.
  uint32_t first = 0, last = 0;
  if (TableIndexStretch(&base_.index, key.data(), (int)key.size(), &first, &last) < 0)
    base_.damaged = true;
  for (uint32_t i = first; i < last; i++) {
    const TableIndexRecord *r = TableIndexRecordAt(&base_.index, i);
    if (!r) {
      base_.damaged = true;
      break;
    }
    const uint32_t e = r->end & TABLE_INDEX_END_MASK;
    if (!spacesAfter(OrderKeyAt(base_.index.text, e))) break;
    if (!(r->end & TABLE_INDEX_OWN_KEY) || DeadBase(e)) continue;
    const int line = LineOfBase(base_.LineAt(e));
    if (line >= 0) consider((size_t)line);
  }
  for (auto it = ends_.lower_bound(reversed);
       it != ends_.end() && it->first.compare(0, key.size(), reversed) == 0; ++it) {
    if (!it->second.ownKey || !spacesAfter(it->first)) continue;
    const size_t line = LineOfRef(it->second.line);
    if (line != SIZE_MAX) consider(line);
  }
  // Lines past a line too long, which no index holds.
  const int cut = CutLine();
  if (cut >= 0) {
    const int stop = DataEndLine() >= 0 ? DataEndLine() + 1 : (int)lineCount_;
    for (int line = cut; line < stop && (best < 0 || line < best); line++) {
      std::string text = Text((size_t)line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      const size_t equals = text.find('=');
      if (equals != std::string::npos && SameNoCase(KeyOf(text, equals), key)) consider((size_t)line);
    }
  }
  return best;
}

// ---- The bytes and the index written -------------------------------------------

void Draft::EachRawPiece(const Put &put) const {
  for (const DraftPiece &piece : pieces_) {
    if (piece.fresh >= 0) {
      const std::string &raw = fresh_[(size_t)piece.fresh].raw;
      put(raw.data(), raw.size());
    } else {
      const uint32_t start = base_.rawStarts[(size_t)piece.from];
      put(base_.bytes.data() + start, base_.rawStarts[(size_t)piece.to] - start);
    }
  }
}

void Draft::EachTextPiece(const Put &put) const {
  for (const DraftPiece &piece : pieces_) {
    if (piece.fresh >= 0) {
      const std::string &text = fresh_[(size_t)piece.fresh].text;
      put(text.data(), text.size());
    } else {
      const uint32_t start = std::min(base_.TextStarts()[(size_t)piece.from], base_.searched);
      const uint32_t end = std::min(base_.TextStarts()[(size_t)piece.to], base_.searched);
      if (end > start) put(base_.index.text + start, end - start);
    }
  }
}

uint32_t Draft::RecordCount() const {
  uint32_t written = 0;
  for (auto it = ends_.begin(); it != ends_.end(); ++it) written += LineOfRef(it->second.line) != SIZE_MAX;
  return base_.index.recordCount - (uint32_t)dead_.size() + written;
}

void Draft::Records(std::vector<TableIndexRecord> *records) const {
  records->clear();
  records->reserve(RecordCount());
  EachRecord([records](const TableIndexRecord &r) { records->push_back(r); });
}

// Calls each for every record of the base's index in turn: read from the
// file (each block checked) for a mapped one, which spares the pages of its
// mapping. false when a block is damaged.
static bool EachBaseRecord(const EditBase &base,
                           const std::function<void(const TableIndexRecord &)> &each) {
  const TableIndex &index = base.index;
  if (!base.mapped) {
    for (uint32_t i = 0; i < index.recordCount; i++) each(index.records[i]);
    return true;
  }
  TableIndexFile *file = (TableIndexFile *)&base.file;
  OsFile opened;
  OsFileStamp now;
  const bool open = OsFileOpen(&opened, base.indexPath.c_str(), OS_OPEN_READ, nullptr) != 0;
  bool ok = open && OsFileStampOpen(opened, &now) && IoSameStamp(&now, &file->own);
  const TableIndexLayout &layout = file->layout;
  const uint64_t bytes = (uint64_t)index.recordCount * sizeof(TableIndexRecord);
  std::vector<TableIndexRecord> chunk(16384);  // 64 blocks
  const uint64_t chunkBytes = chunk.size() * sizeof(TableIndexRecord);
  for (uint64_t done = 0; ok && done < bytes; done += chunkBytes) {
    const uint64_t take = std::min(chunkBytes, bytes - done);
    // Whole blocks, also past the records where the last one goes on.
    const uint64_t blockBytes = std::min<uint64_t>((take + TABLE_INDEX_BLOCK - 1) / TABLE_INDEX_BLOCK *
                                                       TABLE_INDEX_BLOCK,
                                                   layout.fileSize - layout.recordsOffset - done);
    std::vector<char> block((size_t)blockBytes);
    ok = ReadAt(opened, layout.recordsOffset + done, block.data(), block.size()) &&
         TableIndexBlocksWhole(file, done / TABLE_INDEX_BLOCK, block.data(), block.size());
    if (!ok) break;
    memcpy(chunk.data(), block.data(), (size_t)take);
    for (uint64_t i = 0; i < take / sizeof(TableIndexRecord); i++) each(chunk[(size_t)i]);
  }
  if (open) OsFileClose(opened);
  if (!ok) base.damaged = true;
  return ok;
}

bool Draft::EachRecord(const std::function<void(const TableIndexRecord &)> &each) const {
  // The base's ends still standing, where they stand now: each base piece
  // moves its text by one distance.
  struct Shift {
    uint32_t start, end;
    int64_t by;
  };
  std::vector<Shift> shifts;
  for (size_t p = 0; p < pieces_.size(); p++) {
    const DraftPiece &piece = pieces_[p];
    if (piece.fresh >= 0) continue;
    const uint32_t start = std::min(base_.TextStarts()[(size_t)piece.from], base_.searched);
    const uint32_t end = std::min(base_.TextStarts()[(size_t)piece.to], base_.searched);
    shifts.push_back({start, end, (int64_t)piecePosition_[p] - (int64_t)start});
  }
  struct Written {
    TableIndexRecord record;
    const std::string *order;
  };
  std::vector<Written> written;
  for (auto it = ends_.begin(); it != ends_.end(); ++it) {
    const size_t line = LineOfRef(it->second.line);
    if (line == SIZE_MAX) continue;
    TableIndexRecord r;
    PackKey(it->first, &r.key0, &r.key1);
    r.end = (uint32_t)(PositionOf(line) + it->second.column) |
            (it->second.ownKey ? TABLE_INDEX_OWN_KEY : 0u);
    written.push_back({r, &it->first});
  }
  // In each order key's group, by end.
  std::stable_sort(written.begin(), written.end(), [](const Written &a, const Written &b) {
    if (*a.order != *b.order) return *a.order < *b.order;
    return (a.record.end & TABLE_INDEX_END_MASK) < (b.record.end & TABLE_INDEX_END_MASK);
  });
  size_t w = 0;
  // Orders a base record against a written one by their order keys, then ends.
  auto before = [&](const TableIndexRecord &base, uint32_t baseEnd, const Written &x) {
    if (base.key0 != x.record.key0) return base.key0 < x.record.key0;
    if (base.key1 != x.record.key1) return base.key1 < x.record.key1;
    if ((base.key1 & 0xFF) != 0) {
      const std::string a = OrderKeyAt(base_.index.text, base.end & TABLE_INDEX_END_MASK);
      if (a != *x.order) return a < *x.order;
    }
    return baseEnd < (x.record.end & TABLE_INDEX_END_MASK);
  };
  const bool read = EachBaseRecord(base_, [&](const TableIndexRecord &record) {
    TableIndexRecord r = record;
    const uint32_t e = r.end & TABLE_INDEX_END_MASK;
    if (DeadBase(e)) return;
    auto shift = std::upper_bound(shifts.begin(), shifts.end(), e,
                                  [](uint32_t v, const Shift &s) { return v < s.start; });
    if (shift == shifts.begin()) return;
    --shift;
    if (e <= shift->start || e > shift->end) return;  // its line is gone
    const uint32_t moved = (uint32_t)((int64_t)e + shift->by);
    while (w < written.size() && !before(r, moved, written[w])) each(written[w++].record);
    r.end = moved | (r.end & TABLE_INDEX_OWN_KEY);
    each(r);
  });
  while (w < written.size()) each(written[w++].record);
  return read;
}

void Draft::EachOrigin(const std::function<void(int64_t, size_t)> &each) const {
  size_t line = 0;
  for (const DraftPiece &piece : pieces_) {
    if (piece.fresh >= 0) {
      each(-1, line++);
      continue;
    }
    for (int32_t l = piece.from; l < piece.to; l++) each(l, line++);
  }
}

bool Draft::Changed() const {
  return !(pieces_.empty() ? base_.Lines() == 0
                           : pieces_.size() == 1 && pieces_[0].fresh < 0 && pieces_[0].from == 0 &&
                                 pieces_[0].to == (int32_t)base_.Lines());
}

void Draft::Restore(const Mark &mark) {
  pieces_ = mark.pieces;
  fresh_.resize(mark.fresh);
  Recompute();
}

// ---- The changes --------------------------------------------------------------

namespace {

// Why key can never be written as an entry that answers it; empty when it
// can. Beyond the keys the program never looks up: a space would be cut off
// around the key or sent percent-encoded, and '=' would end the line's key
// before the key does.
std::string KeyUnfit(const std::string &key) {
  const int flaws = TableKeyFlaws(key.data(), (int)key.size());
  if (flaws & TABLE_KEY_EMPTY) return "the key is empty";
  if (flaws & TABLE_KEY_TOO_LONG)
    return "the key has " + std::to_string(key.size()) + " bytes; a key of more than " +
           std::to_string(TABLE_KEY_MAX) + " is never looked up";
  if (flaws & TABLE_KEY_EXPLICIT)
    return "'" + Shown(key) + "' holds a full stop: such a query is sent on as an address and "
           "never looked up";
  for (unsigned char c : key)
    if (TableIsWhite(c))
      return "'" + Shown(key) + "' holds a space or a byte below 32: no visitor's query asks "
             "for it";
  if (key.find('=') != std::string::npos)
    return "'" + Shown(key) + "' holds '=': its line's key would end there";
  return "";
}

std::string AddressUnfit(const std::string &address) {
  if (address.empty()) return "the address is empty";
  if (address.size() > TABLE_VALUE_MAX)
    return "the address has " + std::to_string(address.size()) + " bytes; only " +
           std::to_string(TABLE_VALUE_MAX) + " are sent";
  for (unsigned char c : address)
    if (TableIsControl(c))
      return "'" + Shown(address) + "' holds a byte below 32, where an address ends";
  if (TableIsWhite((unsigned char)address[0]))
    return "the address starts with a space, which the lookup skips";
  return "";
}

bool EndsLine(std::string_view bytes) { return !bytes.empty() && bytes.back() == '\n'; }

// Where a line's text column col lies in its bytes: the col-th byte that is
// not a carriage return (a carriage return is not part of the text).
size_t RawColumn(std::string_view raw, size_t col) {
  size_t i = 0;
  for (size_t seen = 0; i < raw.size(); i++) {
    if (raw[i] == '\r') continue;
    if (seen == col) break;
    seen++;
  }
  return i;
}

// Just past the text's column col - 1 in the line's bytes: carriage returns
// after it stay outside.
size_t RawAfter(std::string_view raw, size_t col) {
  if (col == 0) return RawColumn(raw, 0);
  return RawColumn(raw, col - 1) + 1;
}

std::string AnswerText(const Answer &a) {
  if (!a.found) return "nothing (a 404)";
  return (a.value.empty() ? std::string("no address") : "'" + Shown(a.value, 80) + "'") +
         " from line " + std::to_string(a.line + 1);
}

// A change: lines [from, to) of the draft replaced by lines.
struct Splice {
  size_t from, to;
  std::vector<std::string> lines;
};

// The text of a line without its line feed.
std::string Bare(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The key of a line's text, lower case; empty when none or never asked for.
std::string OwnKeyOf(const std::string &text) {
  const std::string bare = Bare(text);
  const size_t equals = bare.find('=');
  if (equals == std::string::npos) return "";
  std::string key = KeyOf(bare, equals);
  if (key.empty() || TableKeyFlaws(key.data(), (int)key.size())) return "";
  return Lower(key);
}

typedef std::function<void(const Draft &, std::vector<Refusal> *)> Promise;

// The splice's bytes, for a draft that must start again from them.
std::string SplicedBytes(const Draft &d, const Splice &s) {
  std::string out;
  for (size_t line = 0; line < s.from; line++) out += d.Raw(line);
  for (const std::string &line : s.lines) out += line;
  for (size_t line = s.to; line < d.Lines(); line++) out += d.Raw(line);
  return out;
}

void Compare(const std::string &key, const Answer &was, const Answer &will,
             std::vector<Refusal> *found) {
  if (was.found == will.found && was.value == will.value) return;
  found->push_back({was.found ? was.line + 1 : 0, "changes-other",
                    "'" + Shown(key) + "' answers " + AnswerText(was) +
                        " today; after this change it would answer " + AnswerText(will)});
}

// Tries the splice: applied when it keeps the command's promise for the
// named key (promise adds a refusal when not) and every other key of the
// table keeps its answer (force: whatever another key then answers); else
// the draft is as it was.
bool TrySplice(Edit *edit, const Splice &s, const std::set<std::string> &named,
               const Promise &promise, std::vector<Refusal> *refusals, bool force = false) {
  Draft &d = *edit->draft;
  const size_t reach = d.ReachFrom(s.from);
  // The keys whose answer the change can touch: keys of the table that end
  // at an end it reaches, before or after.
  std::vector<std::string> current;
  for (size_t line = s.from; line < s.to; line++) current.emplace_back(d.Raw(line));
  std::vector<std::string> runs = d.RunsAround(reach, s.from, s.to, current);
  const std::vector<std::string> after = d.RunsAround(reach, s.from, s.to, s.lines);
  runs.insert(runs.end(), after.begin(), after.end());
  std::set<std::string> written;
  for (const std::string &line : s.lines) {
    std::string t = line;
    t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
    const std::string key = OwnKeyOf(t);
    if (!key.empty()) written.insert(key);
  }
  std::set<std::string> suffixes;
  for (const std::string &run : runs)
    for (size_t length = 1; length <= run.size(); length++) {
      std::string key = Lower(run.substr(run.size() - length));
      if (!TableKeyFlaws(key.data(), (int)key.size())) suffixes.insert(std::move(key));
    }
  std::map<std::string, Answer> was;
  for (const std::string &key : suffixes)
    if (!named.count(key) && (written.count(key) || d.OwnEntryLine(key) >= 0)) was[key] = d.Ask(key);

  const Draft::Mark mark = d.Save();
  std::vector<Refusal> found;
  if (!d.Splice(s.from, s.to, s.lines)) {
    // Where every search ends moves: the table starts again from the
    // changed bytes, and every key from the change on is asked.
    std::unique_ptr<EditBase> base(new EditBase);
    int why;
    LoadBase(edit->path, SplicedBytes(d, s), "", nullptr, base.get(), &why);
    std::unique_ptr<Draft> next(new Draft(*base));
    promise(*next, &found);
    std::set<std::string> keys;
    for (const Draft *each : {&d, next.get()})
      for (size_t line = reach; line < each->Lines(); line++) {
        const std::string key = OwnKeyOf(each->Text(line));
        if (!key.empty() && !named.count(key)) keys.insert(key);
      }
    if (!force)
      for (const std::string &key : keys) Compare(key, d.Ask(key), next->Ask(key), &found);
    if (!found.empty()) {
      refusals->insert(refusals->end(), found.begin(), found.end());
      return false;
    }
    edit->bases.push_back(std::move(base));
    edit->draft = std::move(next);
    return true;
  }
  promise(d, &found);
  if (!force)
    for (const auto &known : was) Compare(known.first, known.second, d.Ask(known.first), &found);
  if (found.empty()) return true;
  refusals->insert(refusals->end(), found.begin(), found.end());
  d.Restore(mark);
  return false;
}

bool Add(Edit *edit, const EditRequest &r, std::vector<Refusal> *refusals) {
  const Draft &d = *edit->draft;
  const int own = d.OwnEntryLine(r.key);
  if (own >= 0) {
    refusals->push_back({own + 1, "has-entry", "'" + Shown(r.key) + "' has an entry of its own "
                         "on this line; change its address with hoptool set"});
    return false;
  }
  // At the end when the key is reached there; else just before the line that
  // catches it first, or before a line too long, which ends every search, or
  // before the line that ends the data.
  const Answer caught = d.Ask(r.key);
  const size_t lines = d.Lines();
  size_t at = lines;
  if (caught.found) at = (size_t)caught.line;
  else if (d.CutLine() >= 0) at = (size_t)d.CutLine();
  else if (d.DataEndLine() >= 0) at = std::min(lines, (size_t)d.DataEndLine());
  const std::string entry = r.key + " = " + r.address;
  Splice s{at, at, {entry + edit->lineEnd}};
  if (at == lines && lines > 0 && !d.EndsWithLineEnd()) {
    // A table without a final line end stays so.
    s = {lines - 1, lines, {std::string(d.Raw(lines - 1)) + edit->lineEnd, entry}};
  }
  auto promise = [&](const Draft &after, std::vector<Refusal> *found) {
    Answer a = after.Ask(r.key);
    if (a.found && a.value == r.address) return;
    found->push_back({caught.found ? caught.line + 1 : 0, "not-reached",
                      "no place answers '" + Shown(r.address) + "' for '" + Shown(r.key) +
                          "': written before line " + std::to_string(at + 1) +
                          ", it would answer " + AnswerText(a)});
  };
  return TrySplice(edit, s, {Lower(r.key)}, promise, refusals);
}

bool Set(Edit *edit, const EditRequest &r, std::vector<Refusal> *refusals) {
  const Draft &d = *edit->draft;
  const Answer was = d.Ask(r.key);
  if (!was.found) {
    refusals->push_back({0, "no-entry", "'" + Shown(r.key) + "' has no entry; add one with "
                         "hoptool add"});
    return false;
  }
  // A line above the key's own entry catches it: its address is another
  // key's, and the entry is never reached.
  const int own = d.OwnEntryLine(r.key);
  if (own >= 0 && own != was.line) {
    refusals->push_back({was.line + 1, "changes-other",
                         "'" + Shown(r.key) + "' is caught first by this line ('" +
                             Shown(Bare(d.Text((size_t)was.line)), 80) +
                             "'), so its own entry on line " + std::to_string(own + 1) +
                             " is never reached: move line " + std::to_string(own + 1) +
                             " above this one, or remove this line, then set '" + Shown(r.key) +
                             "' again"});
    return false;
  }
  // The address as the table writes it: after the '=' that follows the key
  // and its white space (which may run over line ends), up to the first
  // byte below 32.
  size_t line = (size_t)was.line, column = (size_t)was.column + r.key.size();
  std::string text = Bare(d.Text(line));
  for (;;) {
    while (column < text.size() && TableIsWhite((unsigned char)text[column])) column++;
    if (column < text.size()) break;
    line++;
    column = 0;
    text = Bare(d.Text(line));
  }
  // text[column] is the '='.
  TableAddress address;
  const bool onLine =
      TableAddressRead(text.data() + column + 1, text.data() + text.size(), &address);
  std::string raw(d.Raw(line));
  if (onLine) {
    const size_t start = (size_t)(address.start - text.data());
    const size_t stop = start + (size_t)address.written;
    if (text.compare(start, stop - start, r.address) == 0) return true;  // nothing to change
    const size_t a = RawColumn(raw, start), b = RawAfter(raw, stop);
    raw.replace(a, b - a, r.address);
  } else {
    // Nothing after the '=' on its line: the address goes there.
    const size_t a = RawColumn(raw, column + 1);
    size_t b = raw.size();
    if (EndsLine(raw)) b -= raw.size() >= 2 && raw[raw.size() - 2] == '\r' ? 2 : 1;
    raw.replace(a, b - a, " " + r.address);
  }
  auto promise = [&](const Draft &after, std::vector<Refusal> *found) {
    Answer a = after.Ask(r.key);
    if (a.found && a.value == r.address) return;
    found->push_back({(int)line + 1, "not-reached", "written on this line, '" +
                      Shown(r.address) + "' would not be the answer for '" + Shown(r.key) +
                      "': it would be " + AnswerText(a)});
  };
  return TrySplice(edit, {line, line + 1, {raw}}, {Lower(r.key)}, promise, refusals);
}

bool Remove(Edit *edit, const EditRequest &r, std::vector<Refusal> *refusals) {
  const Draft &d = *edit->draft;
  const Answer was = d.Ask(r.key);
  if (!was.found) {
    refusals->push_back({0, "no-entry", "'" + Shown(r.key) + "' has no entry to remove"});
    return false;
  }
  const size_t line = (size_t)was.line, lines = d.Lines();
  Splice s{line, line + 1, {}};
  if (line + 1 == lines && line > 0 && !d.EndsWithLineEnd()) {
    // The last line goes with the line end before it: still no final one.
    std::string before(d.Raw(line - 1));
    before.resize(before.size() - 1);
    if (!before.empty() && before.back() == '\r') before.pop_back();
    s = {line - 1, line + 1, {before}};
  }
  auto promise = [&](const Draft &after, std::vector<Refusal> *found) {
    Answer a = after.Ask(r.key);
    if (!a.found || r.force) return;
    const int then = a.line >= (int)line ? a.line + 1 : a.line;  // as the table is now
    found->push_back({then + 1, "still-answered", "without line " + std::to_string(line + 1) +
                      ", '" + Shown(r.key) + "' would be answered by this line ('" +
                      Shown(Bare(after.Text((size_t)a.line)), 80) + "') with " +
                      (a.value.empty() ? std::string("no address") : "'" + Shown(a.value, 80) + "'") +
                      "; remove it anyway with --force"});
  };
  return TrySplice(edit, s, {Lower(r.key)}, promise, refusals, r.force);
}

}  // namespace

void EditFrom(std::unique_ptr<EditBase> base, Edit *edit) {
  edit->path = base->path;
  const std::string_view b = base->bytes;
  const size_t feed = b.find('\n');
  edit->lineEnd = feed != std::string::npos && feed > 0 && b[feed - 1] == '\r' ? "\r\n" : "\n";
  edit->bases.clear();
  edit->bases.push_back(std::move(base));
  edit->draft.reset(new Draft(*edit->bases.back()));
}

bool ApplyEdit(Edit *edit, const EditRequest &request, std::vector<Refusal> *refusals) {
  const size_t before = refusals->size();
  std::string unfit = KeyUnfit(request.key);
  if (!unfit.empty()) refusals->push_back({0, "bad-key", unfit});
  if (request.kind != EditKind::kRm) {
    unfit = AddressUnfit(request.address);
    if (!unfit.empty()) refusals->push_back({0, "bad-address", unfit});
    bool relative;
    if (unfit.empty() && !request.force) unfit = NotWebAddress(request.address, &relative);
    if (!unfit.empty() && refusals->size() == before)
      refusals->push_back({0, "not-web-address", unfit + "; --force writes it anyway"});
  }
  if (refusals->size() > before) return false;
  switch (request.kind) {
    case EditKind::kAdd: return Add(edit, request, refusals);
    case EditKind::kSet: return Set(edit, request, refusals);
    case EditKind::kRm: return Remove(edit, request, refusals);
    case EditKind::kPut:
      return edit->draft->OwnEntryLine(request.key) >= 0 ? Set(edit, request, refusals)
                                                         : Add(edit, request, refusals);
  }
  return false;
}

std::string UnifiedDiff(const Edit &edit) {
  const EditBase &original = edit.Original();
  const Draft &d = *edit.draft;
  // Each line of the draft: the original line it is, or -1.
  std::vector<int64_t> origin(d.Lines(), -1);
  if (edit.bases.size() == 1) {
    d.EachOrigin([&](int64_t baseLine, size_t line) { origin[line] = baseLine; });
  } else {
    // Started again from new bytes: the lines alike at either end are kept.
    size_t head = 0;
    while (head < d.Lines() && head < original.Lines() && d.Raw(head) == original.Raw(head)) {
      origin[head] = (int64_t)head;
      head++;
    }
    for (size_t tail = 1; tail + head <= d.Lines() && tail + head <= original.Lines() &&
                          d.Raw(d.Lines() - tail) == original.Raw(original.Lines() - tail);
         tail++)
      origin[d.Lines() - tail] = (int64_t)(original.Lines() - tail);
  }
  // Every line once, in order: ' ' kept, '-' gone, '+' written; the lines a
  // change removed come before the lines it wrote.
  struct Op {
    char sign;
    size_t line;  // in the original for ' ' and '-', in the draft for '+'
  };
  std::vector<Op> ops;
  size_t old = 0, written = 0;
  for (size_t i = 0; i <= origin.size(); i++) {
    if (i < origin.size() && origin[i] < 0) continue;
    const size_t kept = i < origin.size() ? (size_t)origin[i] : original.Lines();
    for (; old < kept; old++) ops.push_back({'-', old});
    for (; written < i; written++) ops.push_back({'+', written});
    if (i < origin.size()) ops.push_back({' ', old++});
    written = i + 1;
  }
  auto lineOf = [&](const Op &op) {
    std::string line(op.sign == '+' ? d.Raw(op.line) : original.Raw(op.line));
    if (!EndsLine(line)) line += "\n\\ No newline at end of file\n";
    return line;
  };
  std::string out;
  const size_t kContext = 3;
  size_t counted = 0, oldBefore = 0, newBefore = 0;
  for (size_t i = 0; i < ops.size();) {
    if (ops[i].sign == ' ') {
      i++;
      continue;
    }
    // A hunk: from kContext lines before this change to kContext after the
    // last change that lies within 2 * kContext of the one before.
    size_t first = i >= kContext ? i - kContext : 0, last = i;
    for (size_t j = i; j < ops.size() && j <= last + 2 * kContext; j++)
      if (ops[j].sign != ' ') last = j;
    size_t end = std::min(ops.size(), last + 1 + kContext);
    // The hunk's first line numbers: lines of each side before it, plus one.
    for (; counted < first; counted++) {
      oldBefore += ops[counted].sign != '+';
      newBefore += ops[counted].sign != '-';
    }
    const size_t oldStart = oldBefore, newStart = newBefore;
    size_t oldCount = 0, newCount = 0;
    std::string body;
    for (size_t j = first; j < end; j++) {
      const Op &op = ops[j];
      oldCount += op.sign != '+';
      newCount += op.sign != '-';
      body += op.sign;
      body += lineOf(op);
    }
    auto range = [](size_t start, size_t count) {
      return std::to_string(count ? start + 1 : start) + (count == 1 ? "" : "," + std::to_string(count));
    };
    out += "@@ -" + range(oldStart, oldCount) + " +" + range(newStart, newCount) + " @@\n" + body;
    i = end;
  }
  if (out.empty()) return out;
  return "--- " + edit.path + "\n+++ " + edit.path + "\n" + out;
}

}  // namespace hoptool

