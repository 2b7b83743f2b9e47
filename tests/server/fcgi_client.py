#!/usr/bin/env python3
"""A FastCGI client of the plainest kind, for the server tests: it sends
requests to a FastCGI program's socket and writes what the program answered,
exactly, one request after another on one kept connection (FCGI_KEEP_CONN).

  fcgi_client.py SOCKET REQUESTS_FILE OUT_DIR

REQUESTS_FILE holds one request a line, as JSON: {"params": {...}, "body":
"..."}, the body as latin-1 text. For request i, OUT_DIR/i.out receives its
standard output and OUT_DIR/i.err its standard error.
Exit status 0 when every request was answered with FCGI_END_REQUEST.
"""
import json
import socket
import struct
import sys

VERSION, BEGIN, END, PARAMS, STDIN, STDOUT, STDERR = 1, 1, 3, 4, 5, 6, 7
RESPONDER, KEEP_CONN = 1, 1


def record(kind, request_id, content=b""):
    out = b""
    for start in range(0, max(len(content), 1), 65535):
        piece = content[start:start + 65535]
        out += struct.pack(">BBHHBx", VERSION, kind, request_id, len(piece), 0) + piece
    return out


def name_value(name, value):
    def length(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)

    return length(len(name)) + length(len(value)) + name + value


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("the program closed the connection")
        data += chunk
    return data


def ask(sock, request_id, params, body):
    pairs = b"".join(name_value(k.encode("latin-1"), v.encode("latin-1"))
                     for k, v in params.items())
    message = record(BEGIN, request_id, struct.pack(">HB5x", RESPONDER, KEEP_CONN))
    message += record(PARAMS, request_id, pairs) + record(PARAMS, request_id)
    message += record(STDIN, request_id, body) + record(STDIN, request_id)
    sock.sendall(message)
    out, err = b"", b""
    while True:
        version, kind, rid, length, padding = struct.unpack(">BBHHBx", read_exactly(sock, 8))
        content = read_exactly(sock, length + padding)[:length]
        if kind == STDOUT:
            out += content
        elif kind == STDERR:
            err += content
        elif kind == END:
            return out, err


def main():
    path, requests_file, out_dir = sys.argv[1:4]
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    with open(requests_file) as lines:
        for i, line in enumerate(lines):
            request = json.loads(line)
            body = request.get("body", "").encode("latin-1")
            out, err = ask(sock, 1, request["params"], body)
            with open("%s/%d.out" % (out_dir, i), "wb") as f:
                f.write(out)
            with open("%s/%d.err" % (out_dir, i), "wb") as f:
                f.write(err)
    sock.close()


if __name__ == "__main__":
    main()
