// table_check - a redirect table read as linkhop reads it, and the check of
// its every entry (see table_check.h).
#include "table_check.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "table.h"
#include "tableindex.h"
#include "tsl-io.h"

namespace hoptool {

int Table::LineOf(size_t offset) const {
  return (int)(std::upper_bound(lineStarts.begin(), lineStarts.end(), (uint32_t)offset) -
               lineStarts.begin()) - 1;
}

std::string Table::Line(int index) const {
  size_t start = lineStarts[(size_t)index];
  size_t end = index + 1 < (int)lineStarts.size() ? lineStarts[(size_t)index + 1] - 1 : text.size();
  return text.substr(start, end - start);
}

void TableFromBytes(const std::string &path, std::string bytes, Table *table) {
  table->path = path;
  table->text = std::move(bytes);
  // The whole text first (a byte 0x1A ends it, carriage returns go), then
  // the part every search sees, up to a line too long.
  int ended = 0;
  int length = IoTextIn(&table->text[0], (int)table->text.size(), &ended);
  table->text.resize((size_t)length);
  table->searched = table->text;
  int cut;
  table->searched.resize((size_t)TableText(&table->searched[0], length, &cut));
  table->searched.push_back(0);
  table->lineStarts.assign(1, 0);
  for (size_t i = 0; i < table->text.size(); i++)
    if (table->text[i] == '\n') table->lineStarts.push_back((uint32_t)i + 1);
  table->longLine = cut >= 0 ? table->LineOf((size_t)cut) : -1;
}

bool ReadTable(const std::string &path, Table *table, std::string *error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    *error = path + ": " + strerror(EISDIR);
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  // A file of a known size is read at once, into its string; a pipe as it
  // comes.
  const std::streamoff size = in ? (in.seekg(0, std::ios::end), (std::streamoff)in.tellg()) : -1;
  if (size > 0x7FFFFFF0) {
    *error = path + ": too large (over 2 GB)";
    return false;
  }
  if (size >= 0) {
    in.seekg(0);
    bytes.resize((size_t)size);
    if (!in.read(&bytes[0], size)) in.setstate(std::ios::badbit);
  } else if (in) {
    in.clear();
    in.seekg(0);
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
  }
  if (!in || in.bad()) {
    *error = path + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  if (bytes.size() > 0x7FFFFFF0u) {
    *error = path + ": too large (over 2 GB)";
    return false;
  }
  TableFromBytes(path, std::move(bytes), table);
  return true;
}

std::string IndexProblem(int why, const std::string &indexPath) {
  switch (why) {
    case TABLE_INDEX_OK: return "";
    case TABLE_INDEX_MISSING: return "it has no index (" + indexPath + ")";
    case TABLE_INDEX_DAMAGED:
      return "its index " + indexPath + " is damaged, or not an index of this version";
    case TABLE_INDEX_FOREIGN:
      return "its index " + indexPath + " was built from another version of it";
    default:
      return "its index " + indexPath + " was built too soon after the table changed to be trusted";
  }
}

std::string Shown(const std::string &bytes, size_t most) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < most; i++) {
    unsigned char c = (unsigned char)bytes[i];
    if (c < 32 || c > 126) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    } else {
      out += (char)c;
    }
  }
  if (bytes.size() > most) out += "...";
  return out;
}

namespace {


// A byte a browser sends percent-encoded, which the program never decodes.
bool Encoded(unsigned char c) {
  return c <= 32 || c >= 127 || c == '"' || c == '#' || c == '%' || c == '<' || c == '>' ||
         c == '\'';
}

bool HasScheme(const std::string &address) {
  if (address.empty() || !isalpha((unsigned char)address[0])) return false;
  for (size_t i = 1; i < address.size(); i++) {
    unsigned char c = (unsigned char)address[i];
    if (c == ':') return true;
    if (!isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

// Where, on the line that wins, the key was found: as a key of its own, in
// another letter case, inside a longer key, or inside the line's address.
std::string Where(const Table &table, int line, size_t at, const std::string &key) {
  std::string text = table.Line(line);
  size_t offset = at - table.lineStarts[(size_t)line];
  size_t equals = text.find('=');
  if (equals == std::string::npos || offset > equals)
    return equals == std::string::npos ? "in its text" : "inside its address";
  std::string theirs = KeyOf(text, equals);
  if (theirs.size() == key.size())
    return theirs == key ? "as the same key" : "as the same key written '" + Shown(theirs) + "'";
  return "inside the longer key '" + Shown(theirs) + "'";
}

}  // namespace

std::string NotWebAddress(const std::string &address, bool *relative) {
  *relative = false;
  if (address[0] == '/') {
    if (address.size() < 2 || (address[1] != '/' && address[1] != '\\')) return "";
    return "'" + Shown(address) + "' names another host without a scheme: write it as "
           "https://HOST/...";
  }
  if (!HasScheme(address)) {
    *relative = true;
    return "'" + Shown(address) + "' has no scheme (such as https:) and does not start with "
           "'/': browsers take it relative to the program's own URL";
  }
  std::string scheme = address.substr(0, address.find(':'));
  for (char &c : scheme) c = (char)tolower((unsigned char)c);
  // A mail address is a place a link may lead too (the sample table has one).
  if (scheme == "mailto" && address.size() > 7) return "";
  if (scheme != "http" && scheme != "https")
    return "'" + Shown(address) + "' is not an http, https or mailto address: a browser "
           "refuses it, or runs it";
  const size_t host = scheme.size() + 3;
  if (address.compare(scheme.size(), 3, "://") != 0 || host >= address.size() ||
      strchr("/?#\\", address[host]))
    return "'" + Shown(address) + "' names no host: write it as " + scheme + "://HOST/...";
  return "";
}

std::string KeyOf(const std::string &text, size_t equals) {
  size_t first = 0, end = equals;
  while (first < end && TableIsWhite((unsigned char)text[first])) first++;
  while (end > first && TableIsWhite((unsigned char)text[end - 1])) end--;
  return text.substr(first, end - first);
}

std::vector<Finding> CheckTable(const Table &table, const TableIndex *given,
                                std::vector<Entry> *entries) {
  std::vector<Finding> findings;
  const int searched = (int)table.searched.size() - 1;
  TableIndex built;
  std::vector<uint64_t> room;
  if (!given) {
    room.assign((size_t)(TableIndexRoom(table.searched.data(), searched) / 8 + 1), 0);
    TableIndexBuild(&built, table.searched.data(), searched, room.data());
  }
  const TableIndex &index = given ? *given : built;

  entries->clear();
  for (int line = 0; line < (int)table.lineStarts.size(); line++) {
    std::string text = table.Line(line);
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    std::string key = KeyOf(text, equals);
    if (key.empty()) continue;  // "=x" continues the line before; no key
    entries->push_back({line + 1, key});
    auto add = [&](bool error, const char *kind, const std::string &message, int byLine = 0) {
      findings.push_back({line + 1, error, kind, key, message, byLine});
    };

    bool encoded = false;
    for (unsigned char c : key) encoded |= Encoded(c);
    const int flaws = TableKeyFlaws(key.data(), (int)key.size());
    const bool plain = !(flaws & TABLE_KEY_CONTROL);
    const bool explicitKey = flaws & TABLE_KEY_EXPLICIT;
    const bool tooLong = flaws & TABLE_KEY_TOO_LONG;
    bool afterLong = table.longLine >= 0 && line > table.longLine;
    if (explicitKey)
      add(true, "explicit-key", "'" + Shown(key) + "' holds a full stop: such a query is sent on "
          "as an address and never looked up");
    if (tooLong)
      add(true, "key-too-long", "the key has " + std::to_string(key.size()) +
          " bytes; a key of more than " + std::to_string(TABLE_KEY_MAX) + " is never looked up");
    if (flaws) {
      // Never looked up: the errors above, or the warning below, say why.
    } else {
      // The program's own lookup of the key, through the index: found on
      // another line, or (after a line too long) nowhere.
      char value[TABLE_VALUE_MAX + 1];
      int at;
      if (TableIndexLookup(&index, key.c_str(), value, &at) > 0) {
        int by = table.LineOf((size_t)at);
        if (by != line)
          add(true, "shadowed", "'" + Shown(key) + "' is found first on line " +
              std::to_string(by + 1) + ", " + Where(table, by, (size_t)at, key) +
              ", and answers " + (value[0] ? "'" + Shown(value, 80) + "'" : std::string("no address")),
              by + 1);
      } else if (afterLong) {
        add(true, "after-long-line", "stands after line " + std::to_string(table.longLine + 1) +
            ", which has " + std::to_string(table.Line(table.longLine).size()) +
            " bytes: a line of more than " + std::to_string(TABLE_LINE_MAX) + " ends every search",
            table.longLine + 1);
      }
    }

    // The address as this line writes it.
    const char *lineEnd = text.data() + text.size();
    TableAddress address;
    if (!TableAddressRead(text.data() + equals + 1, lineEnd, &address)) {
      std::string next = "no address at the end of the table";
      // The white space after '=' runs on as far as the search sees.
      const size_t bound = afterLong ? table.text.size() : (size_t)searched;
      const size_t from = table.lineStarts[(size_t)line] + text.size();
      if (from < bound &&
          TableAddressRead(table.text.data() + from, table.text.data() + bound, &address)) {
        const size_t at = (size_t)(address.start - table.text.data());
        next = "line " + std::to_string(table.LineOf(at) + 1) + "'s text, '" +
               Shown(std::string(address.start, (size_t)address.length), 80) +
               "', becomes the address";
      }
      add(false, "value-next-line", "nothing follows '=' on this line: " + next);
    } else {
      const size_t stop = (size_t)(address.start - text.data()) + (size_t)address.written;
      if (address.written > address.length)
        add(false, "value-too-long", "the address has " + std::to_string(address.written) +
            " bytes; only the first " + std::to_string(TABLE_VALUE_MAX) + " are sent");
      size_t rest = stop;
      while (rest < text.size() && TableIsWhite((unsigned char)text[rest])) rest++;
      if (stop < text.size() && rest < text.size()) {
        char byte[8];
        snprintf(byte, sizeof(byte), "%d", (unsigned char)text[stop]);
        add(false, "value-cut", std::string("the address ends at a byte ") + byte +
            (text[stop] == '\t' ? " (a tab)" : "") + " in column " + std::to_string(stop + 1) +
            ": '" + Shown(text.substr(rest), 40) + "' is not part of it");
      }
      std::string sent(address.start, (size_t)address.length);
      bool relative;
      const std::string why = NotWebAddress(sent, &relative);
      if (!why.empty()) add(false, relative ? "relative-address" : "not-web-address", why);
    }
    if (encoded && plain)
      add(false, "encoded-key", "'" + Shown(key) + "' holds a byte that browsers send "
          "percent-encoded (a space, \", #, %, ', <, >, or a byte of 127 or more); linkhop does "
          "not decode, so no link typed in a browser reaches it");
    else if (!plain)
      add(false, "encoded-key", "'" + Shown(key) + "' holds a byte below 32: linkhop ends a "
          "query there, so no visitor ever asks for this key");
  }
  return findings;
}

}  // namespace hoptool
