#!/usr/bin/env python3
"""Writes a redirect table of about SIZE bytes for the benchmark: lines
"key = address" that never hold the letter q, then one last line for KEY.

usage: make_table.py PATH SIZE lf|crlf KEY ADDRESS
"""
import random
import sys


def main():
    path, size, ending, key, address = sys.argv[1:6]
    size = int(size)
    eol = "\r\n" if ending == "crlf" else "\n"
    rng = random.Random(20261206)
    letters = "abcdefghijklmnoprstuvwxyz"          # no q: KEY starts with one
    word_bytes = letters + "0123456789-_"

    def word(shortest, longest):
        n = rng.randint(shortest, longest)
        return rng.choice(letters) + "".join(rng.choice(word_bytes) for _ in range(n - 1))

    lines = []
    total = 0
    while total < min(size, 1 << 20):             # a block of distinct lines, reused
        host = "norvale.example" if rng.random() < 0.25 else word(4, 10) + ".example"
        path_part = "".join("/" + word(2, 12) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.3:
            path_part += ".html"
        line = "%s = https://%s%s%s" % (word(3, 14), host, path_part, eol)
        lines.append(line)
        total += len(line)
    block = "".join(lines).encode("ascii")
    last = ("%s = %s%s" % (key, address, eol)).encode("ascii")
    room = size - len(last)
    with open(path, "wb") as out:
        written = 0
        while written + len(block) <= room:
            out.write(block)
            written += len(block)
        for line in lines:
            data = line.encode("ascii")
            if written + len(data) > room:
                break
            out.write(data)
            written += len(data)
        out.write(last)


if __name__ == "__main__":
    main()
