#!/usr/bin/env python3
"""Writes a redirect table of N entries, random keys of 4 to 14 letters and
digits (about 56 bytes a line), and the list of its keys, one a line: what
scripts/bench.sh runs hoptool check on, against grep -F -i -f on the keys.
With KEY and ADDRESS, the table's last line is KEY = ADDRESS, and no other
key holds KEY (so that the last line answers it).

  make_check_table.py TABLE KEYS N [KEY ADDRESS]
"""
import random
import string
import sys

table, keys_path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
last = sys.argv[4:6]
rng = random.Random(count)
alphabet = string.ascii_lowercase + string.digits
seen = set()
with open(table, "w") as out, open(keys_path, "w") as keys:
    while len(seen) < count:
        key = "".join(rng.choice(alphabet) for _ in range(rng.randint(4, 14)))
        if key in seen or (last and last[0] in key):
            continue
        seen.add(key)
        folder = "".join(rng.choice(string.ascii_lowercase) for _ in range(4))
        out.write("%s = https://norvale.example/%s/%s.html\n" % (key, folder, key))
        keys.write(key + "\n")
    if last:
        out.write("%s = %s\n" % (last[0], last[1]))
        keys.write(last[0] + "\n")
