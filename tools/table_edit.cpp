// table_edit - changes to a redirect table, guarded (see table_edit.h).
//
// The guard is exact and costs about one pass over the table. A key whose
// own entry line lies wholly before the first line a change touches keeps
// its answer, provably: the scan finds the key's occurrence on that line
// (its first byte is no white space, so no occurrence that starts earlier
// overlaps it), and the answer it stops at reads no byte past that line's
// address. Only the keys whose own line reaches the change (a line at or
// after it, or one whose address runs on over the following lines) are
// asked of the table before and after, through the program's own lookup.
#include "table_edit.h"

#include <string.h>

#include <algorithm>
#include <functional>
#include <set>

namespace hoptool {

namespace {

bool SameNoCase(const std::string &a, const std::string &b) {
  return a.size() == b.size() &&
         MatchNoCase((const unsigned char *)a.data(), (const unsigned char *)b.data(),
                     (int)a.size());
}

std::string Lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
  return s;
}

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

size_t LineStart(const Draft &d, size_t line) {
  return line < d.starts.size() ? d.starts[line] : d.bytes.size();
}

bool EndsLine(const std::string &bytes) { return !bytes.empty() && bytes.back() == '\n'; }

// The raw offset, within a line's bytes, of the text's column col (carriage
// returns are not part of the text).
size_t RawColumn(const std::string &raw, size_t col) {
  size_t i = 0;
  for (size_t seen = 0; i < raw.size(); i++) {
    if (raw[i] == '\r') continue;
    if (seen == col) break;
    seen++;
  }
  return i;
}

// A change: lines [from, to) of the draft replaced by lines.
struct Splice {
  size_t from, to;
  std::vector<std::string> lines;
};

std::string Spliced(const Draft &d, const Splice &s) {
  std::string out;
  out.reserve(d.bytes.size() + 400);
  out.append(d.bytes, 0, LineStart(d, s.from));
  for (const std::string &line : s.lines) out += line;
  out.append(d.bytes, LineStart(d, s.to), std::string::npos);
  return out;
}

void Commit(Draft *d, const Splice &s, std::string bytes, std::unique_ptr<TableState> state) {
  const int64_t shift = (int64_t)bytes.size() - (int64_t)d->bytes.size();
  std::vector<uint32_t> starts;
  uint32_t at = (uint32_t)LineStart(*d, s.from);
  for (const std::string &line : s.lines) {
    starts.push_back(at);
    at += (uint32_t)line.size();
  }
  for (size_t i = s.to; i < d->starts.size(); i++) d->starts[i] = (uint32_t)(d->starts[i] + shift);
  d->starts.erase(d->starts.begin() + (long)s.from, d->starts.begin() + (long)s.to);
  d->starts.insert(d->starts.begin() + (long)s.from, starts.begin(), starts.end());
  d->origin.erase(d->origin.begin() + (long)s.from, d->origin.begin() + (long)s.to);
  d->origin.insert(d->origin.begin() + (long)s.from, s.lines.size(), -1);
  d->bytes = std::move(bytes);
  d->state = std::move(state);
}

std::string RawLine(const Draft &d, size_t line) {
  return d.bytes.substr(LineStart(d, line), LineStart(d, line + 1) - LineStart(d, line));
}

std::string AnswerText(const Answer &a) {
  if (!a.found) return "nothing (a 404)";
  return (a.value.empty() ? std::string("no address") : "'" + Shown(a.value, 80) + "'") +
         " from line " + std::to_string(a.line + 1);
}

// The keys whose own entry line reaches the text's offset from: the line
// starts there or later, stands after a line too long, or its address
// (empty on the line) runs on to there.
void KeysReaching(const TableState &state, size_t from, std::set<std::string> *keys) {
  const Table &t = state.table;
  const size_t searched = t.searched.size() - 1;
  for (size_t line = 0; line < t.lineStarts.size(); line++) {
    const size_t start = t.lineStarts[line];
    const size_t end = line + 1 < t.lineStarts.size() ? t.lineStarts[line + 1] - 1 : t.text.size();
    const char *equals = (const char *)memchr(t.text.data() + start, '=', end - start);
    if (!equals) continue;
    const size_t eq = (size_t)(equals - t.text.data());
    bool reaches = start >= from || start >= searched;
    TableAddress address;
    if (!reaches && !TableAddressRead(equals + 1, t.text.data() + end, &address)) {
      // Nothing on the line: the address starts on a later one.
      TableAddressRead(t.searched.data() + eq + 1, t.searched.data() + searched, &address);
      reaches = (size_t)(address.start + address.written - t.searched.data()) >= from;
    }
    if (!reaches) continue;
    std::string key = KeyOf(t.text.substr(start, end - start), eq - start);
    if (TableKeyFlaws(key.data(), (int)key.size())) continue;  // never looked up
    keys->insert(Lower(key));
  }
}

// Holds after against before for every key but the named ones (lower case).
// Lines of the two tables before the text offset from are the same.
void Guard(const TableState &before, const TableState &after, size_t from,
           const std::set<std::string> &named, std::vector<Refusal> *refusals) {
  std::set<std::string> keys;
  KeysReaching(before, from, &keys);
  KeysReaching(after, from, &keys);
  for (const std::string &key : keys) {
    if (named.count(key)) continue;
    Answer was = Ask(before, key), will = Ask(after, key);
    if (was.found == will.found && was.value == will.value) continue;
    refusals->push_back({was.found ? was.line + 1 : 0, "changes-other",
                         "'" + Shown(key) + "' answers " + AnswerText(was) +
                             " today; after this change it would answer " + AnswerText(will)});
  }
}

// Tries the splice, committed when it keeps the command's promise for the
// named key (promise adds a refusal when not) and every other key keeps
// its answer.
bool TrySplice(Draft *d, const Splice &s, const std::set<std::string> &named,
               const std::function<void(const TableState &, std::vector<Refusal> *)> &promise,
               std::vector<Refusal> *refusals) {
  std::string bytes = Spliced(*d, s);
  std::unique_ptr<TableState> after = StateOf(d->path, bytes);
  std::vector<Refusal> found;
  promise(*after, &found);
  const Table &t = d->state->table;
  const size_t from = s.from < t.lineStarts.size() ? (size_t)t.lineStarts[s.from] : t.text.size();
  Guard(*d->state, *after, from, named, &found);
  if (!found.empty()) {
    refusals->insert(refusals->end(), found.begin(), found.end());
    return false;
  }
  Commit(d, s, std::move(bytes), std::move(after));
  return true;
}

bool Add(Draft *d, const EditRequest &r, std::vector<Refusal> *refusals) {
  const TableState &state = *d->state;
  int own = OwnEntryLine(state, r.key);
  if (own >= 0) {
    refusals->push_back({own + 1, "has-entry", "'" + Shown(r.key) + "' has an entry of its own "
                         "on this line; change its address with hoptool set"});
    return false;
  }
  // At the end when the key is reached there; else just before the line that
  // catches it first, or before a line too long, which ends every search.
  const Answer caught = Ask(state, r.key);
  size_t lines = d->starts.size();
  const size_t textLines = state.table.lineStarts.size();
  size_t at = lines;
  if (caught.found) {
    at = (size_t)caught.line;
  } else if (state.table.longLine >= 0) {
    at = (size_t)state.table.longLine;
  } else if (d->bytes.find('\x1A') != std::string::npos) {
    at = std::min(lines, textLines - 1);  // the line that holds the byte 0x1A
  }
  const std::string entry = r.key + " = " + r.address;
  Splice s{at, at, {entry + d->lineEnd}};
  if (at == lines && lines > 0 && !EndsLine(d->bytes)) {
    // A table without a final line end stays so.
    s = {lines - 1, lines, {RawLine(*d, lines - 1) + d->lineEnd, entry}};
  }
  auto promise = [&](const TableState &after, std::vector<Refusal> *found) {
    Answer a = Ask(after, r.key);
    if (a.found && a.value == r.address) return;
    found->push_back({caught.found ? caught.line + 1 : 0, "not-reached",
                      "no place answers '" + Shown(r.address) + "' for '" + Shown(r.key) +
                          "': written before line " + std::to_string(at + 1) +
                          ", it would answer " + AnswerText(a)});
  };
  return TrySplice(d, s, {Lower(r.key)}, promise, refusals);
}

bool Set(Draft *d, const EditRequest &r, std::vector<Refusal> *refusals) {
  const TableState &state = *d->state;
  const Answer was = Ask(state, r.key);
  if (!was.found) {
    refusals->push_back({0, "no-entry", "'" + Shown(r.key) + "' has no entry; add one with "
                         "hoptool add"});
    return false;
  }
  // The address as the table writes it: after the '=' that follows the key
  // and its white space (which may run over line ends), up to the first
  // byte below 32.
  const Table &t = state.table;
  const std::string &text = t.text;
  size_t equals = (size_t)was.at + r.key.size();
  while (equals < text.size() && TableIsWhite((unsigned char)text[equals])) equals++;
  const size_t line = (size_t)t.LineOf(equals);
  const size_t lineStart = t.lineStarts[line];
  const size_t lineEnd = lineStart + t.Line((int)line).size();
  TableAddress address;
  const bool onLine = TableAddressRead(text.data() + equals + 1, text.data() + lineEnd, &address);
  std::string raw = RawLine(*d, line);
  if (onLine) {
    const size_t start = (size_t)(address.start - text.data());
    const size_t stop = start + (size_t)address.written;
    if (text.compare(start, stop - start, r.address) == 0) return true;  // nothing to change
    const size_t a = RawColumn(raw, start - lineStart), b = RawColumn(raw, stop - lineStart);
    raw.replace(a, b - a, r.address);
  } else {
    // Nothing after the '=' on its line: the address goes there.
    const size_t a = RawColumn(raw, equals + 1 - lineStart);
    size_t b = raw.size();
    if (EndsLine(raw)) b -= raw.size() >= 2 && raw[raw.size() - 2] == '\r' ? 2 : 1;
    raw.replace(a, b - a, " " + r.address);
  }
  auto promise = [&](const TableState &after, std::vector<Refusal> *found) {
    Answer a = Ask(after, r.key);
    if (a.found && a.value == r.address) return;
    found->push_back({(int)line + 1, "not-reached", "written on this line, '" +
                      Shown(r.address) + "' would not be the answer for '" + Shown(r.key) +
                      "': it would be " + AnswerText(a)});
  };
  return TrySplice(d, {line, line + 1, {raw}}, {Lower(r.key)}, promise, refusals);
}

bool Remove(Draft *d, const EditRequest &r, std::vector<Refusal> *refusals) {
  const Answer was = Ask(*d->state, r.key);
  if (!was.found) {
    refusals->push_back({0, "no-entry", "'" + Shown(r.key) + "' has no entry to remove"});
    return false;
  }
  const size_t line = (size_t)was.line, lines = d->starts.size();
  Splice s{line, line + 1, {}};
  if (line + 1 == lines && line > 0 && !EndsLine(d->bytes)) {
    // The last line goes with the line end before it: still no final one.
    std::string before = RawLine(*d, line - 1);
    before.resize(before.size() - 1);
    if (!before.empty() && before.back() == '\r') before.pop_back();
    s = {line - 1, line + 1, {before}};
  }
  auto promise = [&](const TableState &after, std::vector<Refusal> *found) {
    Answer a = Ask(after, r.key);
    if (!a.found || r.force) return;
    const int then = a.line >= (int)line ? a.line + 1 : a.line;  // as the table is now
    found->push_back({then + 1, "still-answered", "without line " + std::to_string(line + 1) +
                      ", '" + Shown(r.key) + "' would be answered by this line ('" +
                      Shown(d->state->table.Line(then), 80) + "') with " +
                      (a.value.empty() ? std::string("no address") : "'" + Shown(a.value, 80) + "'") +
                      "; remove it anyway with --force"});
  };
  return TrySplice(d, s, {Lower(r.key)}, promise, refusals);
}

}  // namespace

std::unique_ptr<TableState> StateOf(const std::string &path, const std::string &bytes) {
  std::unique_ptr<TableState> state(new TableState);
  TableFromBytes(path, bytes, &state->table);
  const char *text = state->table.searched.data();
  const int length = (int)state->table.searched.size() - 1;
  state->room.resize((size_t)(TableIndexRoom(text, length) / 4 + 1));
  TableIndexBuild(&state->index, text, length, state->room.data());
  return state;
}

Answer Ask(const TableState &state, const std::string &key) {
  Answer answer;
  char value[TABLE_VALUE_MAX + 1];
  int at;
  if (key.find('\0') == std::string::npos &&
      TableIndexLookup(&state.index, key.c_str(), value, &at)) {
    answer.found = true;
    answer.value = value;
    answer.at = at;
    answer.line = state.table.LineOf((size_t)at);
  }
  return answer;
}

void DraftFrom(const std::string &path, std::string bytes, Draft *draft) {
  draft->path = path;
  draft->original = std::move(bytes);
  draft->originalStarts.clear();
  const std::string &b = draft->original;
  for (size_t start = 0; start < b.size();) {
    draft->originalStarts.push_back((uint32_t)start);
    const char *end = (const char *)memchr(b.data() + start, '\n', b.size() - start);
    start = end ? (size_t)(end - b.data()) + 1 : b.size();
  }
  draft->bytes = draft->original;
  draft->starts = draft->originalStarts;
  draft->origin.resize(draft->starts.size());
  for (size_t i = 0; i < draft->origin.size(); i++) draft->origin[i] = (int32_t)i;
  const size_t feed = b.find('\n');
  draft->lineEnd = feed != std::string::npos && feed > 0 && b[feed - 1] == '\r' ? "\r\n" : "\n";
  draft->state = StateOf(path, draft->bytes);
}

bool DraftChanged(const Draft &draft) { return draft.bytes != draft.original; }

int OwnEntryLine(const TableState &state, const std::string &key) {
  const Table &t = state.table;
  for (size_t line = 0; line < t.lineStarts.size(); line++) {
    const size_t start = t.lineStarts[line];
    const size_t end = line + 1 < t.lineStarts.size() ? t.lineStarts[line + 1] - 1 : t.text.size();
    const char *equals = (const char *)memchr(t.text.data() + start, '=', end - start);
    if (!equals || (size_t)(equals - t.text.data()) - start < key.size()) continue;
    if (SameNoCase(KeyOf(t.text.substr(start, end - start), (size_t)(equals - t.text.data()) - start),
                   key))
      return (int)line;
  }
  return -1;
}

bool ApplyEdit(Draft *draft, const EditRequest &request, std::vector<Refusal> *refusals) {
  const size_t before = refusals->size();
  std::string unfit = KeyUnfit(request.key);
  if (!unfit.empty()) refusals->push_back({0, "bad-key", unfit});
  if (request.kind != EditKind::kRm) {
    unfit = AddressUnfit(request.address);
    if (!unfit.empty()) refusals->push_back({0, "bad-address", unfit});
  }
  if (refusals->size() > before) return false;
  switch (request.kind) {
    case EditKind::kAdd: return Add(draft, request, refusals);
    case EditKind::kSet: return Set(draft, request, refusals);
    case EditKind::kRm: return Remove(draft, request, refusals);
    case EditKind::kPut:
      return OwnEntryLine(*draft->state, request.key) >= 0 ? Set(draft, request, refusals)
                                                           : Add(draft, request, refusals);
  }
  return false;
}

std::string UnifiedDiff(const Draft &d) {
  // Every line once, in order: ' ' kept, '-' gone, '+' written.
  struct Op {
    char sign;
    uint32_t line;  // in the original for ' ' and '-', in the draft for '+'
  };
  std::vector<Op> ops;
  // The lines a change removed come before the lines it wrote.
  uint32_t old = 0, written = 0;
  for (uint32_t i = 0; i <= d.origin.size(); i++) {
    if (i < d.origin.size() && d.origin[i] < 0) continue;
    const uint32_t kept = i < d.origin.size() ? (uint32_t)d.origin[i] : (uint32_t)d.originalStarts.size();
    for (; old < kept; old++) ops.push_back({'-', old});
    for (; written < i; written++) ops.push_back({'+', written});
    if (i < d.origin.size()) ops.push_back({' ', old++});
    written = i + 1;
  }

  auto lineOf = [&](const std::string &bytes, const std::vector<uint32_t> &starts, uint32_t i) {
    size_t start = starts[i], end = i + 1 < starts.size() ? starts[i + 1] : bytes.size();
    std::string line = bytes.substr(start, end - start);
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
      body += op.sign == '+' ? lineOf(d.bytes, d.starts, op.line)
                             : lineOf(d.original, d.originalStarts, op.line);
    }
    auto range = [](size_t start, size_t count) {
      return std::to_string(count ? start + 1 : start) + (count == 1 ? "" : "," + std::to_string(count));
    };
    out += "@@ -" + range(oldStart, oldCount) + " +" + range(newStart, newCount) + " @@\n" + body;
    i = end;
  }
  if (out.empty()) return out;
  return "--- " + d.path + "\n+++ " + d.path + "\n" + out;
}

}  // namespace hoptool
