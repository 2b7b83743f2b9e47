// hoptool stats - the report as a web page: one self-contained file that
// fetches nothing (no script, font or image from anywhere), with its charts
// drawn in inline SVG, so that it reads the same offline, in a mail, or with
// scripts switched off. Titles on the bars give exact figures on hover.
#include <math.h>

#include <algorithm>

#include "stats.h"

namespace hopstats {

namespace {

// Text for the page: printable (see Printable), with HTML's special
// characters escaped. Keys and addresses come from visitors.
std::string Html(const std::string &bytes) {
  std::string out;
  for (char c : Printable(bytes)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Format(const char *format, double a, double b = 0, double c = 0, double d = 0) {
  char text[128];
  snprintf(text, sizeof(text), format, a, b, c, d);
  return text;
}

// An axis label: 950, 1.2k, 15k, 1.5M.
std::string Short(double n) {
  if (n >= 1e6) return Format(n >= 1e7 ? "%.0fM" : "%.1fM", n / 1e6);
  if (n >= 1e3) return Format(n >= 1e4 ? "%.0fk" : "%.1fk", n / 1e3);
  return Format("%.0f", n);
}

// A step of 1, 2 or 5 times a power of ten that divides [0, top] into at
// most five parts.
double AxisStep(double top) {
  if (top <= 0) return 1;
  const double raw = top / 5;
  const double power = pow(10, floor(log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * power >= raw) return std::max(1.0, m * power);
  return 10 * power;
}

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string DayLabel(int day) {  // "20 Nov"
  const std::string text = DayText(day);
  const int month = std::stoi(text.substr(5, 2));
  return std::to_string(std::stoi(text.substr(8, 2))) + " " + kMonths[month - 1];
}

// The frame of a bar chart: horizontal grid lines with their values, the
// bars drawn by the caller inside [left, left + width] x [top, top + height].
struct Frame {
  double left = 52, top = 12, width, height;
  double max;  // the value at the top
  double Y(double value) const { return top + height - value / max * height; }
};

void Grid(std::string &svg, const Frame &f, double highest) {
  const double step = AxisStep(highest);
  for (double v = 0; v <= f.max + step / 2; v += step) {
    const double y = f.Y(v);
    svg += Format("<line class=\"grid\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\"/>", f.left,
                  f.left + f.width, y, y);
    svg += Format("<text class=\"y\" x=\"%.1f\" y=\"%.1f\">", f.left - 8, y + 4) + Short(v) +
           "</text>";
  }
}

double NiceTop(double highest) {
  const double step = AxisStep(highest);
  return std::max(step, ceil(highest / step) * step);
}

// Requests per day, stacked: hits, misses, explicit addresses. Every day
// from the first to the last has its place, days without a log included.
std::string DayChart(const Report &report) {
  const int first = report.days.front().day, last = report.days.back().day;
  const int count = last - first + 1;
  uint64_t highest = 0;
  for (const DayRow &d : report.days) highest = std::max(highest, d.requests());
  Frame f;
  f.width = 960 - f.left - 8;
  f.height = 230;
  f.max = NiceTop((double)highest);
  std::string svg = Format(
      "<svg viewBox=\"0 0 960 %.0f\" role=\"img\" aria-label=\"Requests per day\">", f.top + f.height + 34);
  Grid(svg, f, (double)highest);
  const double slot = f.width / count;
  const double bar = std::max(1.0, std::min(slot * 0.72, 48.0));
  for (const DayRow &d : report.days) {
    const double x = f.left + (d.day - first) * slot + (slot - bar) / 2;
    svg += "<g><title>" + DayText(d.day) + ": " + Count(d.requests()) + " requests: " +
           Count(d.hits) + " hits, " + Count(d.misses) + " misses, " + Count(d.explicit_) +
           " explicit; " + Count(d.clients) + " clients</title>";
    double base = 0;
    const std::pair<const char *, uint64_t> parts[] = {
        {"hit", d.hits}, {"miss", d.misses}, {"explicit", d.explicit_}};
    for (const auto &part : parts) {
      if (part.second == 0) continue;
      const double y0 = f.Y(base), y1 = f.Y(base + (double)part.second);
      svg += std::string("<rect class=\"") + part.first + "\"" +
             Format(" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"/>", x, y1, bar, y0 - y1);
      base += (double)part.second;
    }
    svg += "</g>";
  }
  // Day labels: as many as fit, always the first day and each month's first.
  const int every = std::max(1, (int)ceil(count / 12.0));
  for (int i = 0; i < count; i += every) {
    const double x = f.left + i * slot + slot / 2;
    svg += Format("<text class=\"x\" x=\"%.1f\" y=\"%.1f\">", x, f.top + f.height + 18) +
           DayLabel(first + i) + "</text>";
  }
  svg += Format("<line class=\"axis\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\"/>", f.left,
                f.left + f.width, f.top + f.height, f.top + f.height);
  return svg + "</svg>";
}

// Requests per hour of the day, over every day read.
std::string HourChart(const Report &report) {
  const uint64_t highest = *std::max_element(report.hours.begin(), report.hours.end());
  Frame f;
  f.width = 960 - f.left - 8;
  f.height = 170;
  f.max = NiceTop((double)highest);
  std::string svg = Format(
      "<svg viewBox=\"0 0 960 %.0f\" role=\"img\" aria-label=\"Requests per hour of the day\">",
      f.top + f.height + 30);
  Grid(svg, f, (double)highest);
  const double slot = f.width / 24, bar = slot * 0.7;
  for (int h = 0; h < 24; h++) {
    const double x = f.left + h * slot + (slot - bar) / 2;
    const double y = f.Y((double)report.hours[h]);
    svg += "<g><title>" + Format("%02.0f:00-%02.0f:59: ", h, h) + Count(report.hours[h]) +
           " requests</title>" +
           Format("<rect class=\"hour\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"/>", x,
                  y, bar, f.top + f.height - y) +
           "</g>";
    svg += Format("<text class=\"x\" x=\"%.1f\" y=\"%.1f\">%02.0f</text>", x + bar / 2,
                  f.top + f.height + 18, h);
  }
  svg += Format("<line class=\"axis\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\"/>", f.left,
                f.left + f.width, f.top + f.height, f.top + f.height);
  return svg + "</svg>";
}

// A whole list in words: "All 3 keys", or "The only key"; many empty:
// "All 3".
std::string Whole(uint64_t n, const char *one, const char *many) {
  if (n == 1) return std::string("The only ") + one;
  return "All " + Count(n) + (*many ? std::string(" ") + many : std::string());
}

std::string Percent(uint64_t part, uint64_t whole) {
  return whole ? Format("%.1f%%", 100.0 * (double)part / (double)whole) : "-";
}

// A bar in a table cell, as long as value is to most.
std::string CellBar(const char *kind, uint64_t value, uint64_t most) {
  const double share = most ? 100.0 * (double)value / (double)most : 0;
  return std::string("<div class=\"track\"><div class=\"bar ") + kind + "\" style=\"width:" +
         Format("%.1f", std::max(share, 0.5)) + "%\"></div></div>";
}

const char kStyle[] = R"(
:root{--ink:#1c2430;--muted:#5d6878;--line:#e2e6ed;--bg:#f4f6fa}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--ink);font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif}
main{max-width:1060px;margin:0 auto;padding:28px 20px 40px}
h1{font-size:26px;margin:0 0 2px;letter-spacing:-.01em}
.sub{color:var(--muted);margin:0 0 20px}
.cards{display:grid;grid-template-columns:repeat(auto-fit,minmax(112px,1fr));gap:10px;margin:0 0 18px}
.card{background:#fff;border:1px solid var(--line);border-radius:10px;padding:12px 14px;border-top:4px solid #c9d1dd}
.card .n{display:block;font-size:20px;font-weight:650;font-variant-numeric:tabular-nums;white-space:nowrap}
.card .l{display:block;color:var(--muted);font-size:13px}
.card.hit{border-top-color:#2f6fdb}.card.miss{border-top-color:#e0533d}.card.explicit{border-top-color:#8b62d6}.card.refused{border-top-color:#5b6472}.card.bad{border-top-color:#e0a526}
section{background:#fff;border:1px solid var(--line);border-radius:10px;padding:16px 18px 14px;margin:0 0 18px}
h2{font-size:17px;margin:0 0 4px}
.note{color:var(--muted);font-size:13px;margin:0 0 10px}
.legend{display:flex;gap:18px;font-size:13px;color:var(--muted);margin:0 0 6px}
.legend i{display:inline-block;width:11px;height:11px;border-radius:2px;margin-right:6px;vertical-align:-1px}
.two{display:grid;grid-template-columns:1fr 1fr;gap:18px}
.two section{margin:0}
.two{margin:0 0 18px}
@media (max-width:820px){.two{grid-template-columns:1fr}}
svg{display:block;width:100%;height:auto}
svg text{font-size:11px;fill:#5d6878;font-family:system-ui,-apple-system,"Segoe UI",Roboto,Arial,sans-serif}
svg text.y{text-anchor:end}svg text.x{text-anchor:middle}
svg .grid{stroke:#e8ebf0;stroke-width:1}svg .axis{stroke:#9aa4b2;stroke-width:1}
svg .hit{fill:#2f6fdb}svg .miss{fill:#e0533d}svg .explicit{fill:#8b62d6}svg .hour{fill:#1f9e89}
i.hit,.bar.hit{background:#2f6fdb}i.miss,.bar.miss{background:#e0533d}i.explicit,.bar.explicit{background:#8b62d6}
table{width:100%;border-collapse:collapse;font-variant-numeric:tabular-nums;font-size:14px}
th,td{padding:5px 8px;border-bottom:1px solid var(--line);text-align:left;vertical-align:middle}
th{font-size:12px;color:var(--muted);font-weight:600}
tr:last-child td{border-bottom:0}
.num{text-align:right;white-space:nowrap}
.name{font-family:ui-monospace,SFMono-Regular,Menlo,Consolas,monospace;font-size:13px;word-break:break-all}
.day{white-space:nowrap}
td.graph{width:26%}
.track{height:8px;background:#eef1f5;border-radius:4px;overflow:hidden}
.bar{height:8px;border-radius:4px}
details summary{cursor:pointer;font-weight:600}
footer{color:var(--muted);font-size:12px;text-align:center}
)";

}  // namespace

void WriteHtml(FILE *out, const Report &report, size_t top) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Request logs";
  if (report.files > 0) page += ", " + DayText(report.first) + " to " + DayText(report.last);
  page += "</title>\n<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n<main>\n";
  page += "<h1>Request logs</h1>\n";
  if (report.files == 0) {
    page += "<p class=\"sub\">No request logs to read.</p>\n</main>\n</body>\n</html>\n";
    fwrite(page.data(), 1, page.size(), out);
    return;
  }
  page += "<p class=\"sub\">" + Count(report.files) + (report.files == 1 ? " file" : " files") +
          ", " + DayText(report.first) + " to " + DayText(report.last) + " (" +
          Count(report.days.size()) + (report.days.size() == 1 ? " day" : " days") +
          " with a log)</p>\n";

  size_t missing = 0;
  for (const KeyRow &key : report.keys) missing += key.misses > 0;
  struct Card {
    const char *kind;
    std::string value, label;
  };
  const Card cards[] = {
      {"", Count(report.lines), "lines read"},
      {"hit", Count(report.hits), "key hits, " + Percent(report.hits, report.lines)},
      {"miss", Count(report.misses), "key misses, " + Percent(report.misses, report.lines)},
      {"explicit", Count(report.explicit_),
       "explicit, " + Percent(report.explicit_, report.lines)},
      {"refused", Count(report.refused), "refused, " + Percent(report.refused, report.lines)},
      {"bad", Count(report.unreadable), "unreadable lines"},
      {"", Count(report.keys.size()), "distinct keys, " + Count(missing) + " missed"},
      {"", Count(report.clients), "client addresses"}};
  page += "<div class=\"cards\">\n";
  for (const Card &card : cards)
    page += std::string("<div class=\"card ") + card.kind + "\"><span class=\"n\">" +
            card.value + "</span><span class=\"l\">" + Html(card.label) + "</span></div>\n";
  page += "</div>\n";

  page += "<section>\n<h2>Requests per day</h2>\n"
          "<div class=\"legend\"><span><i class=\"hit\"></i>key hits</span>"
          "<span><i class=\"miss\"></i>key misses</span>"
          "<span><i class=\"explicit\"></i>explicit addresses</span></div>\n" +
          DayChart(report) + "\n</section>\n";

  const auto keys = TopKeys(report, top);
  const auto misses = TopMisses(report, top);
  page += "<div class=\"two\">\n<section>\n<h2>Top keys</h2>\n<p class=\"note\">" +
          (keys.size() == report.keys.size()
               ? Whole(keys.size(), "key", "keys")
               : Count(keys.size()) + " of " + Count(report.keys.size()) + " keys") +
          ", most requested first.</p>\n"
          "<table><tr><th>key</th><th class=\"num\">requests</th><th class=\"num\">misses</th>"
          "<th></th></tr>\n";
  const uint64_t mostKey = keys.empty() ? 0 : keys.front()->requests();
  for (const KeyRow *k : keys)
    page += "<tr><td class=\"name\">" + Html(k->key) + "</td><td class=\"num\">" +
            Count(k->requests()) + "</td><td class=\"num\">" + Count(k->misses) +
            "</td><td class=\"graph\">" + CellBar("hit", k->requests(), mostKey) + "</td></tr>\n";
  page += "</table>\n</section>\n";

  page += "<section>\n<h2>Top misses</h2>\n<p class=\"note\">Keys the table lacks, most asked "
          "first: the broken links. " +
          (misses.size() == missing ? Whole(missing, "one", "")
                                    : Count(misses.size()) + " of " + Count(missing)) +
          ".</p>\n<table><tr><th>key</th><th class=\"num\">misses</th><th>last day</th>"
          "<th></th></tr>\n";
  const uint64_t mostMiss = misses.empty() ? 0 : misses.front()->misses;
  for (const KeyRow *k : misses)
    page += "<tr><td class=\"name\">" + Html(k->key) + "</td><td class=\"num\">" +
            Count(k->misses) + "</td><td class=\"day\">" + DayText(k->last) +
            "</td><td class=\"graph\">" + CellBar("miss", k->misses, mostMiss) + "</td></tr>\n";
  if (misses.empty()) page += "<tr><td colspan=\"4\">No misses.</td></tr>\n";
  page += "</table>\n</section>\n</div>\n";

  page += "<section>\n<h2>Hours of the day</h2>\n<p class=\"note\">Requests by the hour of "
          "their stamp (the server's local time), over every day read.</p>\n" +
          HourChart(report) + "\n</section>\n";

  const auto hosts = TopHosts(report, top);
  page += "<section>\n<h2>Explicit addresses by host</h2>\n<p class=\"note\">Where visitors "
          "were sent by an address given in full. " +
          (hosts.size() == report.hosts.size()
               ? Whole(hosts.size(), "host", "hosts") + "."
               : Count(hosts.size()) + " of " + Count(report.hosts.size()) + " hosts.") +
          "</p>\n<table><tr><th>host</th><th class=\"num\">requests</th><th>first day</th>"
          "<th>last day</th><th></th></tr>\n";
  const uint64_t mostHost = hosts.empty() ? 0 : hosts.front()->requests;
  for (const HostRow *h : hosts)
    page += "<tr><td class=\"name\">" + (h->host.empty() ? "(none)" : Html(h->host)) +
            "</td><td class=\"num\">" + Count(h->requests) + "</td><td class=\"day\">" +
            DayText(h->first) + "</td><td class=\"day\">" + DayText(h->last) +
            "</td><td class=\"graph\">" + CellBar("explicit", h->requests, mostHost) +
            "</td></tr>\n";
  if (hosts.empty()) page += "<tr><td colspan=\"5\">No explicit addresses.</td></tr>\n";
  page += "</table>\n</section>\n";

  // Only on a site whose list refused something: who tried it as a relay.
  if (report.refused > 0) {
    const auto refused = TopRefusedHosts(report, top);
    page += "<section>\n<h2>Refused addresses by host</h2>\n<p class=\"note\">" +
            Count(report.refused) +
            " explicit addresses the site's list refused: someone trying the site as a relay. " +
            (refused.size() == report.refusedHosts.size()
                 ? Whole(refused.size(), "host", "hosts") + "."
                 : Count(refused.size()) + " of " + Count(report.refusedHosts.size()) +
                       " hosts.") +
            "</p>\n<table><tr><th>host</th><th class=\"num\">refused</th><th>first day</th>"
            "<th>last day</th><th></th></tr>\n";
    const uint64_t most = refused.front()->requests;
    for (const HostRow *h : refused)
      page += "<tr><td class=\"name\">" + (h->host.empty() ? "(none)" : Html(h->host)) +
              "</td><td class=\"num\">" + Count(h->requests) + "</td><td class=\"day\">" +
              DayText(h->first) + "</td><td class=\"day\">" + DayText(h->last) +
              "</td><td class=\"graph\">" + CellBar("miss", h->requests, most) + "</td></tr>\n";
    page += "</table>\n</section>\n";
  }

  page += "<section>\n<details>\n<summary>Every day (" + Count(report.days.size()) +
          ")</summary>\n<table><tr><th>day</th><th class=\"num\">requests</th>"
          "<th class=\"num\">hits</th><th class=\"num\">misses</th><th class=\"num\">explicit</th>"
          "<th class=\"num\">clients</th><th class=\"num\">unreadable</th></tr>\n";
  for (const DayRow &d : report.days)
    page += "<tr><td class=\"day\">" + DayText(d.day) + "</td><td class=\"num\">" +
            Count(d.requests()) + "</td><td class=\"num\">" + Count(d.hits) +
            "</td><td class=\"num\">" + Count(d.misses) + "</td><td class=\"num\">" +
            Count(d.explicit_) + "</td><td class=\"num\">" + Count(d.clients) +
            "</td><td class=\"num\">" + Count(d.unreadable) + "</td></tr>\n";
  page += "</table>\n</details>\n</section>\n";

  if (!report.bad.empty()) {
    page += "<section>\n<h2>Unreadable lines</h2>\n<p class=\"note\">Lines that are not in the "
            "program's format: torn, empty or binary. <code>hoptool stats --verbose</code> "
            "lists them.</p>\n<table><tr><th>file</th><th class=\"num\">lines</th>"
            "<th>first line numbers</th></tr>\n";
    for (const BadFile &b : report.bad) {
      std::string numbers;
      for (size_t i = 0; i < b.lines.size() && i < 10; i++)
        numbers += (i ? ", " : "") + std::to_string(b.lines[i].line);
      if (b.count > std::min<size_t>(b.lines.size(), 10)) numbers += ", ...";
      page += "<tr><td class=\"name\">" + Html(b.path) + "</td><td class=\"num\">" +
              Count(b.count) + "</td><td>" + numbers + "</td></tr>\n";
    }
    page += "</table>\n</section>\n";
  }
  page += "<footer>Made by hoptool stats from linkhop's request logs.</footer>\n"
          "</main>\n</body>\n</html>\n";
  fwrite(page.data(), 1, page.size(), out);
}

}  // namespace hopstats
