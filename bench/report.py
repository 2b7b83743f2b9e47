#!/usr/bin/env python3
"""Prints scripts/bench.sh's table from the rows it collected.

Each row of ROWS is tab-separated:
  request  RAW MEMRAW        linkhop (A) against the floor (B), one request;
                             MEMRAW from traced runs (spawn_timer -m), whose
                             peaks are exact and whose times are not used
  requestequal RAW          linkhop (A) against the equal-work program (B),
                             one request
  scan     LABEL RAW BYTES GOAL   linkhop (A) against grep (B) on one table;
                             GOAL the most linkhop / grep may be, 0 for none
  web      SETUP RPS P99     requests per second and p99 latency per round,
                             comma-separated, of one set-up behind a server
  webgoal  LABEL A B GOAL    the ratio of set-up A's requests/s to B's: at least GOAL
  rss      BEFORE AFTER N    resident kB of a persistent process after 100 and
                             after N requests: AFTER at most BEFORE
  stats    RAW WCRAW BYTES LINES GOAL AWK   hoptool stats --json (A) against
                             awk (B) on the same logs; WCRAW: wc -l (A) against
                             hoptool stats (B); GOAL 1 when the row carries the goal
  check    RAW ENTRIES BYTES GOAL   hoptool check (A) against grep -F -i -c -f on
                             the keys (B), one table
  pair     LABEL RAW GOAL REFERENCE   any command (A) against another (B), at
                             most GOAL times its median (0: no goal), each
                             with its peak memory
  peak     LABEL RAW BYTES GOAL   A's peak resident memory against BYTES (a
                             file's size): at most GOAL times (0: no goal)
  within   LABEL RAW MS      A's median wall time: at most MS milliseconds (0:
                             no goal); B's beside it
  skipped  LABEL REASON      a measure that was not taken
  note     TEXT              printed under the table
"report.py scanner JSON" prints scan_bench's throughput instead.
RAW is spawn_timer's output: "A|B nanoseconds peak-kB status" per run.

Ratios are linkhop's median over the reference's median, from runs taken
alternately in the same minute, never a single absolute time; the range in
brackets is a bootstrap 95% interval of that ratio. The goals are
reported, not enforced: the exit status is 0 whether they are met or not.
"""
import random
import statistics
import sys

REQUEST_TIME_GOAL = 1.10     # linkhop / floor, median wall time: at most
REQUEST_EQUAL_GOAL = 1.05    # linkhop / the equal-work program, median wall time: at most
REQUEST_MEMORY_GOAL = 1.20   # linkhop / floor, peak resident memory: at most
CHECK_GOAL = 0.50            # hoptool check / grep -F -i -f, wall time: at most
STATS_GOAL = 0.33            # hoptool stats --json / awk's count, median wall time: at most
EXPLICIT_GOAL = 1.02         # an explicit address checked against 20 hosts / unset, wall time: at most


def load(path):
    runs = {"A": [], "B": []}
    status = {"A": set(), "B": set()}
    for line in open(path):
        parts = line.split()
        if not parts or parts[0] not in runs:
            continue
        runs[parts[0]].append((int(parts[1]), int(parts[2])))
        status[parts[0]].add(int(parts[3]))
    return runs, status


def medians(runs):
    """The median wall times of A's runs and of B's, and the interval of
    their ratio."""
    a = [t for t, _ in runs["A"]]
    b = [t for t, _ in runs["B"]]
    return statistics.median(a), statistics.median(b), ratio_range(a, b)


def faults(path):
    """The median minor page faults of A's runs and of B's; None without them."""
    counts = {"A": [], "B": []}
    for line in open(path):
        parts = line.split()
        if len(parts) > 4 and parts[0] in counts:
            counts[parts[0]].append(int(parts[4]))
    if not counts["A"] or not counts["B"]:
        return None
    return statistics.median(counts["A"]), statistics.median(counts["B"])


def ratio_range(a, b, rounds=200):
    """The middle 95% of the ratio of medians over pairs drawn again at
    random (bootstrap), as " [low-high]": how far noise moves the ratio."""
    n = min(len(a), len(b))
    if n < 10:
        return ""
    rng = random.Random(1)
    ratios = []
    for _ in range(rounds):
        pick = [rng.randrange(n) for _ in range(n)]
        ratios.append(statistics.median(a[i] for i in pick) / statistics.median(b[i] for i in pick))
    ratios.sort()
    return " [%.2f-%.2f]" % (ratios[int(rounds * 0.025)], ratios[int(rounds * 0.975) - 1])


def duration(ns):
    if ns >= 1e9:
        return "%.2f s" % (ns / 1e9)
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    return "%.1f us" % (ns / 1e3)


def verdict(ratio, goal, at_most):
    met = ratio <= goal if at_most else ratio >= goal
    return ("<= %.2fx" if at_most else ">= %.2fx") % goal, "MET" if met else "MISSED"


def scanner(path):
    """The scanner's throughput from scan_bench's JSON, in MB/s (10^6 bytes)."""
    import json
    speed = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("error_occurred"):
            print("scan_bench %s: %s" % (b["name"], b.get("error_message", "error")))
            continue
        name, a, b_arg = b["name"].split("/")[:3]
        speed[(name, int(a.split(":")[1]), int(b_arg.split(":")[1]))] = b["bytes_per_second"] / 1e6
    print("%-9s %22s %22s %20s %20s" % ("bytes", "FastSearchFind either", "FastSearchFind exact",
                                        "MatchNoCase equal", "MatchNoCase cases"))
    for n in (1, 4, 16, 64, 256):
        cells = [speed.get(("BM_FastSearchFind", n, 0)), speed.get(("BM_FastSearchFind", n, 1)),
                 speed.get(("BM_MatchNoCase", n, 0)), speed.get(("BM_MatchNoCase", n, 1))]
        print("%-9d %s" % (n, " ".join(
            ("%.0f MB/s" % c if c is not None else "-").rjust(w)
            for c, w in zip(cells, (22, 22, 20, 20)))))


def main():
    if sys.argv[1] == "scanner":
        scanner(sys.argv[2])
        return
    rows = []          # measure, linkhop, reference, ratio, goal, verdict
    notes = []
    web = {}           # set-up -> median requests/s
    web_table = []     # set-up, median requests/s, p99 of each round, rounds
    for line in open(sys.argv[1]):
        field = line.rstrip("\n").split("\t")
        kind = field[0]
        if kind == "request":
            runs, status = load(field[1])
            a_ns, b_ns, spread = medians(runs)
            memory, _ = load(field[2])
            a_kb = statistics.median(k for _, k in memory["A"])
            b_kb = statistics.median(k for _, k in memory["B"])
            n = len(runs["A"])
            r = a_ns / b_ns
            rows.append(("request, wall time (%d runs each)" % n, duration(a_ns),
                         duration(b_ns) + " floor", "%.2fx" % r + spread,
                         *verdict(r, REQUEST_TIME_GOAL, True)))
            r = a_kb / b_kb
            rows.append(("request, peak resident memory (%d runs each)" % len(memory["A"]),
                         "%d kB" % a_kb,
                         "%d kB floor" % b_kb, "%.2fx" % r,
                         *verdict(r, REQUEST_MEMORY_GOAL, True)))
            if status["A"] != {1} or status["B"] != {0}:
                notes.append("request: unexpected exit status, linkhop %s floor %s"
                             % (sorted(status["A"]), sorted(status["B"])))
        elif kind == "requestequal":
            runs, status = load(field[1])
            a_ns, b_ns, spread = medians(runs)
            r = a_ns / b_ns
            rows.append(("request, wall time, same work (%d runs each)" % len(runs["A"]),
                         duration(a_ns), duration(b_ns) + " equal work", "%.2fx" % r + spread,
                         *verdict(r, REQUEST_EQUAL_GOAL, True)))
            # Each page a process touches first is a fault, and much of a
            # short process's time: what explains the row above.
            counted = faults(field[1])
            if counted:
                rows.append(("request, minor page faults, same work", "%d" % counted[0],
                             "%d equal work" % counted[1], "%.2fx" % (counted[0] / counted[1]),
                             "-", ""))
            if status["A"] != {1} or status["B"] != {0}:
                notes.append("request: unexpected exit status, linkhop %s equal-work program %s"
                             % (sorted(status["A"]), sorted(status["B"])))
        elif kind == "explicit":
            runs, status = load(field[1])
            a_ns, b_ns, spread = medians(runs)
            r = a_ns / b_ns
            rows.append(("explicit address, LINKHOP_EXPLICIT of 20 hosts (%d runs each)"
                         % len(runs["A"]), duration(a_ns), duration(b_ns) + " unset",
                         "%.2fx" % r + spread, *verdict(r, EXPLICIT_GOAL, True)))
            if status["A"] != {1} or status["B"] != {1}:
                notes.append("explicit: unexpected exit status, with the list %s without %s"
                             % (sorted(status["A"]), sorted(status["B"])))
        elif kind == "scan":
            label, raw, size, goal = field[1], field[2], int(field[3]), float(field[4])
            runs, status = load(raw)
            a_ns, b_ns, spread = medians(runs)
            r = a_ns / b_ns
            goal_text, met = verdict(r, goal, True) if goal else ("-", "")
            rows.append(("scan %s (%d runs each)" % (label, len(runs["A"])),
                         "%s, %.0f MB/s" % (duration(a_ns), size / a_ns * 1e3),
                         "%s, %.0f MB/s grep" % (duration(b_ns), size / b_ns * 1e3),
                         "%.2fx" % r + spread, goal_text, met))
            if status["A"] != {1} or status["B"] != {0}:
                notes.append("scan %s: unexpected exit status, linkhop %s grep %s"
                             % (label, sorted(status["A"]), sorted(status["B"])))
        elif kind == "web":
            name = field[1]
            rates = [float(x) for x in field[2].split(",") if x]
            p99 = [x for x in field[3].split(",") if x]
            web[name] = statistics.median(rates) if rates else 0.0
            web_table.append((name, web[name], p99, rates))
        elif kind == "webgoal":
            label, a, b, goal = field[1], field[2], field[3], float(field[4])
            if web.get(a) and web.get(b):
                r = web[a] / web[b]
                rows.append((label, "%.0f/s" % web[a], "%.0f/s" % web[b], "%.2fx" % r,
                             *verdict(r, goal, False)))
        elif kind == "rss":
            before, after, count = int(field[1]), int(field[2]), int(field[3])
            rows.append(("persistent process, resident memory after %d requests" % count,
                         "%d kB" % after, "%d kB after 100" % before, "%.2fx" % (after / before),
                         *verdict(after / before, 1.0, True)))
        elif kind == "stats":
            runs, status = load(field[1])
            wc, wc_status = load(field[2])
            size, lines, goal, awk = int(field[3]), int(field[4]), field[5] == "1", field[6]
            a_ns, b_ns, spread = medians(runs)
            wc_ns = statistics.median(t for t, _ in wc["A"])
            r = a_ns / b_ns
            goal_text, met = verdict(r, STATS_GOAL, True) if goal else ("-", "")
            rows.append(("hoptool stats --json, %d lines, %.0f MB (%d runs each)"
                         % (lines, size / 1e6, len(runs["A"])),
                         "%s, %.0f MB/s" % (duration(a_ns), size / a_ns * 1e3),
                         "%s, %.0f MB/s %s" % (duration(b_ns), size / b_ns * 1e3, awk),
                         "%.2fx" % r + spread, goal_text, met))
            rows.append(("hoptool stats --json, reading speed", "%.0f MB/s" % (size / a_ns * 1e3),
                         "%.0f MB/s wc -l" % (size / wc_ns * 1e3), "%.2fx" % (wc_ns / a_ns), "-", ""))
            a_kb = max(k for _, k in runs["A"])
            b_kb = max(k for _, k in runs["B"])
            rows.append(("hoptool stats --json, peak resident memory", "%d kB" % a_kb,
                         "%d kB %s" % (b_kb, awk), "%.2fx" % (a_kb / b_kb), "-", ""))
            if status["A"] != {0} or status["B"] != {0} or wc_status["A"] != {0}:
                notes.append("hoptool stats: unexpected exit status, hoptool %s %s %s wc %s"
                             % (sorted(status["A"]), awk, sorted(status["B"]),
                                sorted(wc_status["A"])))
        elif kind == "check":
            runs, status = load(field[1])
            entries, size, goal = int(field[2]), int(field[3]), field[4] == "1"
            a_ns, b_ns, spread = medians(runs)
            r = a_ns / b_ns
            goal_text, met = verdict(r, CHECK_GOAL, True) if goal else ("-", "")
            rows.append(("hoptool check, %d entries, %.0f MB (%d runs each)"
                         % (entries, size / 1e6, len(runs["A"])),
                         "%s, %d kB peak" % (duration(a_ns), max(k for _, k in runs["A"])),
                         "%s, %d kB grep" % (duration(b_ns), max(k for _, k in runs["B"])),
                         "%.2fx" % r + spread, goal_text, met))
            # check: 0 clean, 1 with errors; grep -c: 0 found, 1 none
            if not status["A"] <= {0, 1} or not status["B"] <= {0, 1}:
                notes.append("hoptool check: unexpected exit status, hoptool %s grep %s"
                             % (sorted(status["A"]), sorted(status["B"])))
        elif kind == "pair":
            label, raw, goal, reference = field[1], field[2], float(field[3]), field[4]
            runs, status = load(raw)
            a_ns, b_ns, spread = medians(runs)
            r = a_ns / b_ns
            goal_text, met = verdict(r, goal, True) if goal else ("-", "")
            rows.append(("%s (%d runs each)" % (label, len(runs["A"])),
                         "%s, %d kB peak" % (duration(a_ns), max(k for _, k in runs["A"])),
                         "%s, %d kB %s" % (duration(b_ns), max(k for _, k in runs["B"]), reference),
                         "%.2fx" % r + spread, goal_text, met))
            # One exit status each, and neither a failure (above 1).
            if len(status["A"]) != 1 or len(status["B"]) != 1 or max(status["A"] | status["B"]) > 1:
                notes.append("%s: exit statuses %s and %s" % (label, sorted(status["A"]),
                                                                sorted(status["B"])))
        elif kind == "peak":
            label, raw, size, goal = field[1], field[2], int(field[3]), float(field[4])
            runs, _ = load(raw)
            kb = max(k for _, k in runs["A"])
            r = kb * 1024 / size
            goal_text, met = verdict(r, goal, True) if goal else ("-", "")
            rows.append((label, "%d kB" % kb, "%.0f kB the table" % (size / 1024), "%.2fx" % r,
                         goal_text, met))
        elif kind == "within":
            label, raw, most = field[1], field[2], float(field[3])
            runs, status = load(raw)
            a_ns, b_ns, _ = medians(runs)
            ms = a_ns / 1e6
            met = ("MET" if ms <= most else "MISSED") if most else ""
            rows.append(("%s (%d runs)" % (label, len(runs["A"])), duration(a_ns),
                         "%s one line" % duration(b_ns), "%.2fx" % (a_ns / b_ns),
                         "<= %.0f ms" % most if most else "-", met))
        elif kind == "skipped":
            rows.append((field[1], "skipped: " + field[2], "", "", "", ""))
        elif kind == "note":
            notes.append(field[1])

    if web_table:
        print("Behind web servers (wrk -t2 -c16; median of the rounds; p99 latency of each round)")
        width = max(len(name) for name, _, _, _ in web_table)
        for name, median, p99, rates in web_table:
            print("  %s  %8.0f/s  p99 %s  (rounds: %s)" % (
                name.ljust(width), median, ", ".join(p99) or "-",
                ", ".join("%.0f" % r for r in rates)))
        print()

    header = ("measure", "linkhop", "reference", "ratio", "goal", "verdict")
    measured = [row for row in rows if row[2]]
    widths = [max(len(str(row[i])) for row in measured + [header]) for i in range(6)]
    for row in [header] + rows:
        if row[2] or row is header:
            print("  ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
        else:
            print(row[0].ljust(widths[0]) + "  " + row[1])
    met = sum(1 for row in rows if row[5] == "MET")
    missed = sum(1 for row in rows if row[5] == "MISSED")
    print("ratio: linkhop's median / the reference's median, [95% bootstrap interval]")
    print("goals: %d met, %d missed (reported only; the exit status does not depend on them)"
          % (met, missed))
    for note in notes:
        print("note: " + note)


if __name__ == "__main__":
    main()
