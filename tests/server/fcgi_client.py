#!/usr/bin/env python3
"""A FastCGI client of the plainest kind, for the server tests: it sends
requests to a FastCGI program's socket and writes what the program answered,
exactly, one request after another on one kept connection (FCGI_KEEP_CONN).

  fcgi_client.py SOCKET REQUESTS_FILE OUT_DIR

REQUESTS_FILE holds one request a line, as JSON: {"params": {...}, "body":
"..."}, the body as latin-1 text. For request i, OUT_DIR/i.out receives its
standard output and OUT_DIR/i.err its standard error.
Exit status 0 when every request was answered with FCGI_END_REQUEST.

  fcgi_client.py --restarts PROGRAM

holds a listening socket as a supervisor does (systemd, spawn-fcgi), starts
PROGRAM (a persistent linkhop beside its hopdata/) on it, as standard input
and by systemd's convention in turn, and under a burst
of GET requests and POST requests whose bodies arrive in pieces sends it
SIGTERM three times, starting it again each time it ends. Every answer must
be byte for byte what PROGRAM answers as a CGI run, and the day's log must
hold each request's line once. Exit status 0 when all of that holds.

  fcgi_client.py --web-servers PROGRAM

checks that PROGRAM, on a TCP socket, answers only the web servers that
FCGI_WEB_SERVER_ADDRS lists (when it is set and not empty).
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

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
    return read_answer(sock)


def read_answer(sock):
    """The standard output and standard error of the request in hand, up to
    its end record."""
    out, err = b"", b""
    while True:
        _, kind, _, length, padding = struct.unpack(">BBHHBx", read_exactly(sock, 8))
        content = read_exactly(sock, length + padding)[:length]
        if kind == STDOUT:
            out += content
        elif kind == STDERR:
            err += content
        elif kind == END:
            return out, err


def slow_ask(path, params, body, pieces):
    """One request on a connection of its own, the body sent in pieces with
    pauses between them."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    pairs = b"".join(name_value(k.encode(), v.encode()) for k, v in params.items())
    sock.sendall(record(BEGIN, 1, struct.pack(">HB5x", RESPONDER, 0)) +
                 record(PARAMS, 1, pairs) + record(PARAMS, 1))
    step = max(1, len(body) // pieces)
    for start in range(0, len(body), step):
        sock.sendall(record(STDIN, 1, body[start:start + step]))
        time.sleep(0.02)
    sock.sendall(record(STDIN, 1))
    out, _ = read_answer(sock)
    sock.close()
    return out


def restarts(program):
    folder = os.path.dirname(os.path.abspath(program))
    path = os.path.join(folder, "restart.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(128)
    common = {"GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "192.0.2.9"}
    work = []
    for i in range(120):
        address = "https://restart.example/%d" % i
        if i % 3 == 0:
            work.append(({"QUERY_STRING": "news"}, b"", 1))
        elif i % 3 == 1:
            work.append(({"QUERY_STRING": address}, b"", 1))
        else:
            body = address.encode() + b"?" + b"p" * 300
            work.append(({"CONTENT_LENGTH": str(len(body))}, body, 6))
    expected = {}
    for params, body, _ in work:
        key = json.dumps(params) + body.decode()
        if key not in expected:
            env = dict(common, **params)
            # A CGI run of its own, whose log line is not counted: its own
            # client address.
            env["REMOTE_ADDR"] = "192.0.2.10"
            run = subprocess.run([program], input=body, env=env, stdout=subprocess.PIPE)
            expected[key] = run.stdout
    answers = [None] * len(work)

    def client(indexes):
        for i in indexes:
            params, body, pieces = work[i]
            try:
                answers[i] = slow_ask(path, dict(common, **params), body, pieces)
            except (OSError, EOFError) as e:
                answers[i] = ("failed: %s" % e).encode()

    # The socket as standard input (spawn-fcgi, lighttpd) and, every other
    # start, as descriptor 3 by systemd's convention: LISTEN_PID is the
    # program's own, the shell's that becomes it.
    starts = [0]

    def passed(count, fd, **kw):
        # fd becomes descriptor 3 of the program, as a service manager passes it.
        script = 'fd=$1; shift; LISTEN_PID=$$ LISTEN_FDS=%s exec "$0" 3<&"$fd"' % count
        return subprocess.Popen(["sh", "-c", script, program, str(fd)],
                                stdin=subprocess.DEVNULL, pass_fds=(fd,), **kw)

    def start():
        starts[0] += 1
        if starts[0] % 2:
            return subprocess.Popen([program], stdin=listener.fileno())
        return passed(1, listener.fileno())

    faults = 0
    # Sockets passed by the convention that are not one listening socket:
    # refused, never answered as a CGI run.
    for count, fd in (("2", listener.fileno()), ("1", sys.stderr.fileno())):
        run = passed(count, fd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = run.communicate(timeout=10)
        if run.returncode != 1 or b"LISTEN_FDS" not in err or out:
            faults += 1
            print("LISTEN_FDS=%s: status %d, %r %r" % (count, run.returncode, out, err))

    process = start()
    threads = [threading.Thread(target=client, args=(range(k, len(work), 8),))
               for k in range(8)]
    for t in threads:
        t.start()
    for _ in range(3):
        time.sleep(0.3)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=20)
        process = start()
    for t in threads:
        t.join(timeout=60)
    process.send_signal(signal.SIGTERM)
    process.wait(timeout=20)
    listener.close()
    os.unlink(path)
    for i, (params, body, _) in enumerate(work):
        want = expected[json.dumps(params) + body.decode()]
        if answers[i] != want:
            faults += 1
            print("request %d %r: answered %r, a CGI run %r" % (i, params, answers[i], want))
    logs = os.path.join(folder, "hopdata", "logs")
    lines = b"".join(open(os.path.join(logs, f), "rb").read() for f in os.listdir(logs))
    lines = [l for l in lines.split(b"\r\n") if l.startswith(b"192.0.2.9 ")]
    news = sum(1 for l in lines if b" [news] " in l)
    if news != sum(1 for p, _, _ in work if p.get("QUERY_STRING") == "news"):
        faults += 1
        print("%d [news] lines in the log for %d requests" % (news, len(work) // 3))
    for i in range(len(work)):
        if i % 3 == 0:
            continue
        tail = b" [Explicit] https://restart.example/%d" % i
        count = sum(1 for l in lines if l.endswith(tail) or (tail + b"?") in l)
        if count != 1:
            faults += 1
            print("request %d: %d log lines" % (i, count))
    print("%d requests, 3 restarts (the socket on standard input and as descriptor 3): %d faults"
          % (len(work), faults))
    return 1 if faults else 0


def web_servers(program):
    """FCGI_WEB_SERVER_ADDRS: a TCP connection from an address the list
    lacks is closed unanswered; one from a listed address is answered."""
    faults = 0
    for allowed, answered in (("192.0.2.1", False), ("192.0.2.1,127.0.0.1", True),
                              ("", True)):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        env = dict(os.environ, FCGI_WEB_SERVER_ADDRS=allowed)
        process = subprocess.Popen([program], stdin=listener.fileno(), env=env)
        sock = socket.create_connection(listener.getsockname())
        sock.settimeout(10)
        try:
            out, _ = ask(sock, 1, {"GATEWAY_INTERFACE": "CGI/1.1", "QUERY_STRING": "news"}, b"")
            got = out.startswith(b"Status: 301 ")
        except (OSError, EOFError):
            got = False
        sock.close()
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=10)
        listener.close()
        if got != answered:
            faults += 1
            print("FCGI_WEB_SERVER_ADDRS=%r: answered %s, wanted %s" % (allowed, got, answered))
    print("FCGI_WEB_SERVER_ADDRS: %d faults" % faults)
    return 1 if faults else 0


def main():
    if sys.argv[1] == "--restarts":
        sys.exit(restarts(sys.argv[2]))
    if sys.argv[1] == "--web-servers":
        sys.exit(web_servers(sys.argv[2]))
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
