// hoptool stats - the report as aligned text tables, as CSV and as JSON.
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "stats.h"

namespace hopstats {

// ---- Choosing and showing rows ------------------------------------------

template <typename Row, typename Before, typename Keep>
static std::vector<const Row *> Top(const std::vector<Row> &rows, size_t top, Before before,
                                    Keep keep) {
  std::vector<const Row *> out;
  for (const Row &row : rows)
    if (keep(row)) out.push_back(&row);
  std::sort(out.begin(), out.end(), [&](const Row *a, const Row *b) { return before(*a, *b); });
  if (top > 0 && out.size() > top) out.resize(top);
  return out;
}

std::vector<const KeyRow *> TopKeys(const Report &report, size_t top) {
  return Top(report.keys, top,
             [](const KeyRow &a, const KeyRow &b) {
               return a.requests() != b.requests() ? a.requests() > b.requests() : a.key < b.key;
             },
             [](const KeyRow &) { return true; });
}

std::vector<const KeyRow *> TopMisses(const Report &report, size_t top) {
  return Top(report.keys, top,
             [](const KeyRow &a, const KeyRow &b) {
               return a.misses != b.misses ? a.misses > b.misses : a.key < b.key;
             },
             [](const KeyRow &row) { return row.misses > 0; });
}

static std::vector<const HostRow *> TopOf(const std::vector<HostRow> &rows, size_t top) {
  return Top(rows, top,
             [](const HostRow &a, const HostRow &b) {
               return a.requests != b.requests ? a.requests > b.requests : a.host < b.host;
             },
             [](const HostRow &) { return true; });
}

std::vector<const HostRow *> TopHosts(const Report &report, size_t top) {
  return TopOf(report.hosts, top);
}

std::vector<const HostRow *> TopRefusedHosts(const Report &report, size_t top) {
  return TopOf(report.refusedHosts, top);
}

// The length of the UTF-8 sequence at p (of at most n bytes) and its code
// point; 0 when it is not valid UTF-8 (overlong forms and surrogates
// included).
static size_t Utf8At(const unsigned char *p, size_t n, uint32_t *code) {
  const unsigned char c = p[0];
  if (c < 0x80) {
    *code = c;
    return 1;
  }
  size_t length;
  uint32_t least;
  if (c >= 0xC2 && c <= 0xDF) length = 2, least = 0x80, *code = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) length = 3, least = 0x800, *code = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) length = 4, least = 0x10000, *code = c & 0x07;
  else return 0;
  if (n < length) return 0;
  for (size_t i = 1; i < length; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    *code = *code << 6 | (p[i] & 0x3F);
  }
  if (*code < least || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
  return length;
}

std::string Printable(const std::string &bytes, bool controls) {
  std::string out;
  const unsigned char *p = (const unsigned char *)bytes.data();
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    uint32_t code;
    size_t length = Utf8At(p + i, n - i, &code);
    if (length > 0 && controls && (code < 0x20 || (code >= 0x7F && code <= 0x9F))) length = 0;
    if (length == 0) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02X", p[i]);
      out += hex;
      i++;
    } else {
      out.append(bytes, i, length);
      i += length;
    }
  }
  return out;
}

// Columns a terminal gives the printable text (one per character).
static size_t Width(const std::string &text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

// At most `most` columns of printable text, ending in "..." when cut.
static std::string Clip(const std::string &bytes, size_t most) {
  std::string text = Printable(bytes);
  if (Width(text) <= most) return text;
  size_t width = 0, i = 0;
  for (; i < text.size(); i++) {
    if (((unsigned char)text[i] & 0xC0) == 0x80) continue;
    if (width == most - 3) break;
    width++;
  }
  return text.substr(0, i) + "...";
}

std::string Count(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

static std::string Counted(uint64_t n, const std::string &thing) {  // "1 key", "2 keys"
  return Count(n) + " " + thing + (n == 1 ? "" : thing.back() == 's' ? "es" : "s");
}

static std::string Share(uint64_t part, uint64_t whole) {
  char text[16];
  snprintf(text, sizeof(text), "%.1f%%", whole ? 100.0 * (double)part / (double)whole : 0.0);
  return text;
}

// ---- Text ---------------------------------------------------------------

constexpr size_t kNameColumns = 40;

// Rows of cells printed in aligned columns; a column whose header starts
// with '>' is aligned to the right (numbers).
class Table {
 public:
  explicit Table(std::vector<std::string> header) {
    for (std::string &cell : header) {
      right_.push_back(!cell.empty() && cell[0] == '>');
      if (right_.back()) cell.erase(0, 1);
    }
    rows_.push_back(std::move(header));
  }
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void Print(FILE *out) const {
    std::vector<size_t> widths(right_.size(), 0);
    for (const auto &row : rows_)
      for (size_t i = 0; i < row.size(); i++) widths[i] = std::max(widths[i], Width(row[i]));
    bool header = true;
    for (const auto &row : rows_) {
      const bool skip = header && std::all_of(row.begin(), row.end(),
                                              [](const std::string &c) { return c.empty(); });
      header = false;
      if (skip) continue;  // a table without column names
      std::string line = "  ";
      for (size_t i = 0; i < row.size(); i++) {
        const std::string pad(widths[i] - Width(row[i]), ' ');
        line += right_[i] ? pad + row[i] : row[i] + pad;
        if (i + 1 < row.size()) line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      fprintf(out, "%s\n", line.c_str());
    }
  }

 private:
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

static std::string OfHowMany(size_t shown, size_t all) {
  return Count(shown) + " of " + Count(all);
}

void WriteText(FILE *out, const Report &report, size_t top) {
  if (report.files == 0) {
    fprintf(out, "No request logs to read.\n");
    return;
  }
  fprintf(out, "Request logs: %s, %s to %s (%s with a log)\n\n",
          Counted(report.files, "file").c_str(), DayText(report.first).c_str(),
          DayText(report.last).c_str(), Counted(report.days.size(), "day").c_str());

  Table totals({"", ">", ">"});
  totals.Add({"lines read", Count(report.lines), ""});
  totals.Add({"  key hits", Count(report.hits), Share(report.hits, report.lines)});
  totals.Add({"  key misses", Count(report.misses), Share(report.misses, report.lines)});
  totals.Add({"  explicit addresses", Count(report.explicit_),
              Share(report.explicit_, report.lines)});
  if (report.refused > 0)
    totals.Add({"  refused addresses", Count(report.refused), Share(report.refused, report.lines)});
  totals.Add({"  unreadable", Count(report.unreadable), Share(report.unreadable, report.lines)});
  totals.Print(out);
  size_t missing = 0;
  for (const KeyRow &key : report.keys) missing += key.misses > 0;
  fprintf(out, "  %s (%s missed), %s of explicit addresses,\n  %s\n",
          Counted(report.keys.size(), "distinct key").c_str(), Count(missing).c_str(),
          Counted(report.hosts.size(), "host").c_str(),
          Counted(report.clients, "client address").c_str());

  const auto keys = TopKeys(report, top);
  fprintf(out, "\nKeys, most requested first (%s)\n", OfHowMany(keys.size(), report.keys.size()).c_str());
  Table keyTable({"key", ">requests", ">hits", ">misses", "first day", "last day"});
  for (const KeyRow *k : keys)
    keyTable.Add({Clip(k->key, kNameColumns), Count(k->requests()), Count(k->hits),
                  Count(k->misses), DayText(k->first), DayText(k->last)});
  keyTable.Print(out);

  const auto misses = TopMisses(report, top);
  fprintf(out, "\nMisses: keys the table lacks, most asked first (%s)\n",
          OfHowMany(misses.size(), missing).c_str());
  Table missTable({"key", ">misses", ">hits", "first day", "last day"});
  for (const KeyRow *k : misses)
    missTable.Add({Clip(k->key, kNameColumns), Count(k->misses), Count(k->hits),
                   DayText(k->first), DayText(k->last)});
  missTable.Print(out);

  auto printHosts = [&](const char *title, const char *count,
                        const std::vector<const HostRow *> &hosts, size_t all) {
    fprintf(out, "\n%s (%s)\n", title, OfHowMany(hosts.size(), all).c_str());
    Table hostTable({"host", count, "first day", "last day"});
    for (const HostRow *h : hosts)
      hostTable.Add({h->host.empty() ? "(none)" : Clip(h->host, kNameColumns), Count(h->requests),
                     DayText(h->first), DayText(h->last)});
    hostTable.Print(out);
  };
  printHosts("Explicit addresses by host", ">requests", TopHosts(report, top),
             report.hosts.size());
  // Someone trying the site as a relay to hosts the site's list refuses.
  if (report.refused > 0)
    printHosts("Refused addresses by host", ">refused", TopRefusedHosts(report, top),
               report.refusedHosts.size());

  fprintf(out, "\nDays\n");
  Table dayTable({"day", ">requests", ">hits", ">misses", ">explicit", ">clients", ">unreadable"});
  for (const DayRow &d : report.days)
    dayTable.Add({DayText(d.day), Count(d.requests()), Count(d.hits), Count(d.misses),
                  Count(d.explicit_), Count(d.clients), Count(d.unreadable)});
  dayTable.Print(out);

  fprintf(out, "\nHours of the day (the stamps' local time)\n");
  const uint64_t busiest = *std::max_element(report.hours.begin(), report.hours.end());
  Table hourTable({"hour", ">requests", ""});
  for (int h = 0; h < 24; h++) {
    char hour[8];
    snprintf(hour, sizeof(hour), "%02d", h);
    const size_t bar = busiest ? (size_t)((report.hours[h] * 40 + busiest - 1) / busiest) : 0;
    hourTable.Add({hour, Count(report.hours[h]), std::string(bar, '#')});
  }
  hourTable.Print(out);

  if (!report.bad.empty()) {
    fprintf(out, "\nUnreadable lines by file (--verbose lists them)\n");
    Table badTable({"file", ">lines"});
    for (const BadFile &b : report.bad) badTable.Add({Printable(b.path), Count(b.count)});
    badTable.Print(out);
  }
}

// ---- CSV ----------------------------------------------------------------

// A field as a spreadsheet reads it back: quoted when it holds a comma, a
// quote, a line end or spaces at an end; and a text that starts like a
// formula (= + - @) gets a ' in front so that it is never run as one: keys
// and addresses come from visitors.
static std::string Field(const std::string &text) {
  std::string value = text;
  if (!value.empty() && strchr("=+-@\t\r", value[0])) value.insert(0, 1, '\'');
  const bool quote = value.find_first_of(",\"\r\n") != std::string::npos ||
                     (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  if (!quote) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

static void CsvRow(FILE *out, const std::vector<std::string> &cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); i++) line += (i ? "," : "") + cells[i];
  line += "\r\n";
  fwrite(line.data(), 1, line.size(), out);
}

void WriteCsv(FILE *out, const Report &report, size_t top) {
  using std::to_string;
  const std::string none;
  auto day = [](int d) { return d ? DayText(d) : std::string(); };
  CsvRow(out, {"section", "name", "value"});
  const std::pair<const char *, uint64_t> totals[] = {
      {"files", report.files},     {"lines", report.lines},         {"hits", report.hits},
      {"misses", report.misses},   {"explicit", report.explicit_},  {"unreadable", report.unreadable},
      {"keys", report.keys.size()}, {"explicit_hosts", report.hosts.size()},
      {"clients", report.clients}, {"refused", report.refused},
      {"refused_hosts", report.refusedHosts.size()}};
  for (const auto &t : totals) CsvRow(out, {"totals", t.first, to_string(t.second)});
  CsvRow(out, {"totals", "first_day", day(report.first)});
  CsvRow(out, {"totals", "last_day", day(report.last)});

  CsvRow(out, {});
  CsvRow(out, {"section", "key", "requests", "hits", "misses", "first_day", "last_day"});
  for (const KeyRow *k : TopKeys(report, top))
    CsvRow(out, {"keys", Field(k->key), to_string(k->requests()), to_string(k->hits),
                 to_string(k->misses), DayText(k->first), DayText(k->last)});

  CsvRow(out, {});
  CsvRow(out, {"section", "key", "misses", "hits", "first_day", "last_day"});
  for (const KeyRow *k : TopMisses(report, top))
    CsvRow(out, {"misses", Field(k->key), to_string(k->misses), to_string(k->hits),
                 DayText(k->first), DayText(k->last)});

  CsvRow(out, {});
  CsvRow(out, {"section", "host", "requests", "first_day", "last_day"});
  for (const HostRow *h : TopHosts(report, top))
    CsvRow(out, {"explicit_hosts", Field(h->host), to_string(h->requests), DayText(h->first),
                 DayText(h->last)});

  CsvRow(out, {});
  CsvRow(out, {"section", "host", "refused", "first_day", "last_day"});
  for (const HostRow *h : TopRefusedHosts(report, top))
    CsvRow(out, {"refused_hosts", Field(h->host), to_string(h->requests), DayText(h->first),
                 DayText(h->last)});

  CsvRow(out, {});
  CsvRow(out, {"section", "day", "requests", "hits", "misses", "explicit", "clients", "unreadable"});
  for (const DayRow &d : report.days)
    CsvRow(out, {"days", DayText(d.day), to_string(d.requests()), to_string(d.hits),
                 to_string(d.misses), to_string(d.explicit_), to_string(d.clients),
                 to_string(d.unreadable)});

  CsvRow(out, {});
  CsvRow(out, {"section", "hour", "requests"});
  for (int h = 0; h < 24; h++) CsvRow(out, {"hours", to_string(h), to_string(report.hours[h])});

  CsvRow(out, {});
  CsvRow(out, {"section", "file", "count", "lines"});
  for (const BadFile &b : report.bad) {
    std::string lines;
    for (const BadLine &l : b.lines) lines += (lines.empty() ? "" : " ") + to_string(l.line);
    CsvRow(out, {"unreadable", Field(b.path), to_string(b.count), lines});
  }
}

// ---- JSON ---------------------------------------------------------------

void WriteJson(FILE *out, const Report &report, size_t top) {
  using Json = nlohmann::ordered_json;
  auto text = [](const std::string &bytes) { return Printable(bytes, false); };
  auto day = [](int d) { return d ? Json(DayText(d)) : Json(nullptr); };
  size_t missing = 0;
  for (const KeyRow &key : report.keys) missing += key.misses > 0;

  Json doc;
  doc["totals"] = {{"files", report.files},
                   {"first_day", day(report.first)},
                   {"last_day", day(report.last)},
                   {"lines", report.lines},
                   {"requests", report.requests()},
                   {"hits", report.hits},
                   {"misses", report.misses},
                   {"explicit", report.explicit_},
                   {"unreadable", report.unreadable},
                   {"keys", report.keys.size()},
                   {"missed_keys", missing},
                   {"explicit_hosts", report.hosts.size()},
                   {"clients", report.clients},
                   {"refused", report.refused},
                   {"refused_hosts", report.refusedHosts.size()},
                   {"top", top}};
  auto keyRows = [&](const std::vector<const KeyRow *> &rows) {
    Json list = Json::array();
    for (const KeyRow *k : rows)
      list.push_back({{"key", text(k->key)},
                      {"requests", k->requests()},
                      {"hits", k->hits},
                      {"misses", k->misses},
                      {"first_day", DayText(k->first)},
                      {"last_day", DayText(k->last)}});
    return list;
  };
  doc["keys"] = keyRows(TopKeys(report, top));
  doc["misses"] = keyRows(TopMisses(report, top));
  auto hostRows = [&](const std::vector<const HostRow *> &rows, const char *count) {
    Json list = Json::array();
    for (const HostRow *h : rows)
      list.push_back({{"host", text(h->host)},
                      {count, h->requests},
                      {"first_day", DayText(h->first)},
                      {"last_day", DayText(h->last)}});
    return list;
  };
  doc["explicit_hosts"] = hostRows(TopHosts(report, top), "requests");
  doc["refused_hosts"] = hostRows(TopRefusedHosts(report, top), "refused");
  doc["days"] = Json::array();
  for (const DayRow &d : report.days)
    doc["days"].push_back({{"day", DayText(d.day)},
                           {"requests", d.requests()},
                           {"hits", d.hits},
                           {"misses", d.misses},
                           {"explicit", d.explicit_},
                           {"clients", d.clients},
                           {"unreadable", d.unreadable}});
  doc["hours"] = Json::array();
  for (int h = 0; h < 24; h++) doc["hours"].push_back({{"hour", h}, {"requests", report.hours[h]}});
  doc["unreadable"] = Json::array();
  for (const BadFile &b : report.bad) {
    Json lines = Json::array();
    for (const BadLine &l : b.lines) lines.push_back(l.line);
    doc["unreadable"].push_back(
        {{"file", text(b.path)}, {"count", b.count}, {"lines", std::move(lines)}});
  }
  const std::string dumped = doc.dump(2) + "\n";
  fwrite(dumped.data(), 1, dumped.size(), out);
}

}  // namespace hopstats
