#!/usr/bin/env python3
"""Writes request logs for the benchmark of hoptool stats: LINES lines in
the program's own format, one MMDDYYYY.log per day and per server folder
(DIR/server1/, DIR/server2/...), days running across a month's end.

usage: make_logs.py DIR LINES [--servers N] [--days N] [--start YYYY-MM-DD]

The mix is a busy site's: a few hundred keys of the table asked with a
long tail (most requests go to a few links), one request in twenty for a
key the table lacks, one in eight an explicit address, tens of thousands of
client addresses, more traffic by day than by night, and now and then a
torn line. The same arguments always give the same bytes.
"""
import argparse
import datetime
import os
import random


def zipf_weights(n, s=1.1):
    return [1.0 / (i + 1) ** s for i in range(n)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("lines", type=int)
    parser.add_argument("--servers", type=int, default=2)
    parser.add_argument("--days", type=int, default=31)
    parser.add_argument("--start", default="2026-11-20")
    args = parser.parse_args()
    rng = random.Random(20261206)
    letters = "abcdefghijklmnopqrstuvwxyz"

    def word(shortest, longest):
        return "".join(rng.choice(letters) for _ in range(rng.randint(shortest, longest)))

    keys = ["%s%s" % (word(3, 9), rng.choice(["", "", "-" + word(2, 5), str(rng.randint(1, 99))]))
            for _ in range(400)]
    targets = ["https://norvale.example/%s/%s.html" % (word(3, 10), word(4, 12)) for _ in keys]
    missing = [word(4, 12) for _ in range(150)]
    hosts = ["%s.example" % word(4, 12) for _ in range(120)]
    explicit = ["%s%s/%s" % (rng.choice(["https://", "http://", ""]), rng.choice(hosts), word(0, 20))
                for _ in range(2000)]
    clients = ["%d.%d.%d.%d" % (rng.randint(1, 223), rng.randint(0, 255), rng.randint(0, 255),
                                rng.randint(1, 254)) for _ in range(30000)]
    clients += ["2001:db8:%x::%x" % (rng.randint(0, 0xffff), rng.randint(1, 0xffff))
                for _ in range(3000)]
    clients.append("0.0.0.0")

    # A request is a key hit, a miss or an explicit address, in these shares.
    hit_lines = ["[%s] %s\r\n" % (k, t) for k, t in zip(keys, targets)]
    miss_lines = ["[%s] \r\n" % k for k in missing]
    explicit_lines = ["[Explicit] %s\r\n" % e for e in explicit]
    tails = hit_lines + miss_lines + explicit_lines
    tail_weights = ([w * 0.82 / sum(zipf_weights(len(keys))) for w in zipf_weights(len(keys))] +
                    [w * 0.05 / sum(zipf_weights(len(missing))) for w in zipf_weights(len(missing))] +
                    [w * 0.13 / sum(zipf_weights(len(explicit))) for w in zipf_weights(len(explicit))])
    client_weights = zipf_weights(len(clients), 0.8)
    # Requests by hour of the day: few at night, most in the afternoon.
    hour_weights = [1, 1, 1, 1, 1, 2, 3, 5, 7, 8, 9, 9, 10, 10, 9, 9, 9, 8, 8, 7, 6, 4, 3, 2]

    start = datetime.date.fromisoformat(args.start)
    epoch = datetime.date(1969, 12, 31)
    # Busier on weekdays than at weekends.
    day_weights = [0.6 if (start + datetime.timedelta(d)).weekday() >= 5 else 1.0
                   for d in range(args.days)]
    per_day = [round(args.lines * w / sum(day_weights)) for w in day_weights]
    per_day[-1] += args.lines - sum(per_day)

    for d in range(args.days):
        date = start + datetime.timedelta(d)
        day_minutes = (date - epoch).days * 1440
        count = per_day[d]
        shares = [count // args.servers + (1 if s < count % args.servers else 0)
                  for s in range(args.servers)]
        for server, n in enumerate(shares):
            folder = os.path.join(args.dir, "server%d" % (server + 1))
            os.makedirs(folder, exist_ok=True)
            hours = sorted(rng.choices(range(24), hour_weights, k=n))
            minutes = [h * 60 + rng.randrange(60) for h in hours]
            minutes.sort()
            who = rng.choices(clients, client_weights, k=n)
            what = rng.choices(tails, tail_weights, k=n)
            lines = ["%s %08X %s" % (c, day_minutes + m, t) for c, m, t in zip(who, minutes, what)]
            # A torn line now and then: a write cut short by a full disk.
            for i in range(rng.randrange(min(n, 250000)) if n else 0, n, 250000):
                cut = lines[i]
                lines[i] = cut[:rng.randrange(1, len(cut) - 2)] + "\r\n"
            with open(os.path.join(folder, date.strftime("%m%d%Y.log")), "wb") as out:
                out.write("".join(lines).encode("ascii"))


if __name__ == "__main__":
    main()
