#!/usr/bin/env bash
# Requests per second, and the 99th percentile of latency, of linkhop behind
# lighttpd and nginx, beside what the same servers do with less: nginx's own
# "return 301" (the ceiling), a trivial FastCGI responder on the same libfcgi,
# one that does linkhop's work per request plainly (the stamps of the table
# and of the day's log, the line appended to the log it keeps open, the
# answer), and a static C program as CGI. Every set-up is measured in each round, in
# turn, with wrk; then the resident memory of one persistent linkhop process
# after 100 requests and after 100,000. Called by scripts/bench.sh, which
# prints the rows written here.
#
#   bench/servers.sh BUILD WORK ROWS SECONDS ROUNDS MEMORY_REQUESTS
#   bench/servers.sh BUILD WORK ROWS SECONDS ROUNDS 0 ONE ENTRIES=SITE...
# The second form measures persistent linkhop behind lighttpd on each
# SITE's indexed table of ENTRIES entries against ONE's one-line table.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1 work=$2 rows=$3 seconds=$4 rounds=$5 memory_requests=$6
linkhop=$build/linkhop floor=$build/bench/bench_floor trivial=$build/bench/bench_fcgi_floor
equal=$build/bench/bench_fcgi_equal
row() { (IFS=$'\t'; echo "$*") >>"$rows"; }
pids=()
stop() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap stop EXIT

for program in lighttpd nginx spawn-fcgi fcgiwrap wrk; do
  if ! command -v "$program" >/dev/null; then
    row skipped "web servers, requests/s" "$program is not installed"
    exit 0
  fi
done
if [ ! -x "$trivial" ] || [ ! -x "$equal" ]; then
  row skipped "web servers, requests/s" "built without libfcgi: no persistent mode"
  exit 0
fi

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() {
  local i
  for i in $(seq 100); do
    if python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1)" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# measure: every set-up of setups (name|url) answers the same 301, then
# each is measured in turn, every round, and its rows written.
measure() {
  local setup name url round
  for setup in "${setups[@]}"; do
    url=${setup#*|}
    got=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "$url")
    if [ "$got" != "301 $address" ]; then
      row note "${setup%%|*}: answered '$got', not the 301 to $address"
    fi
  done

  for round in $(seq "$rounds"); do
    for setup in "${setups[@]}"; do
      name=${setup%%|*} url=${setup#*|}
      echo "web servers, round $round of $rounds: $name, wrk -t2 -c16 ${seconds} s..."
      wrk -t2 -c16 -d"${seconds}s" --latency "$url" >"$work/wrk.out" 2>&1 || true
      if grep -qE "Non-2xx|Socket errors" "$work/wrk.out"; then
        # Every answer is a 301, which wrk counts as non-2xx: only errors matter.
        grep -E "Socket errors" "$work/wrk.out" | head -n 1 | xargs -I{} echo "  ({})" || true
      fi
      rps[$name]+="$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.out"),"
      p99[$name]+="$(awk '$1 == "99%" {print $2}' "$work/wrk.out"),"
    done
  done
  for setup in "${setups[@]}"; do
    name=${setup%%|*}
    row web "$name" "${rps[$name]%,}" "${p99[$name]%,}"
  done
}

declare -A rps p99
key=news
address=https://norvale.example/news/index.html

# The indexed mode: persistent linkhop behind lighttpd on each SITE's
# table, answered through its index, against ONE's one-line table.
if [ $# -gt 6 ]; then
  one=$7
  shift 7
  mkdir -p "$work"
  lport=$(free_port)
  entry() { # URL SITE
    printf '  "%s" => (( "bin-path" => "%s", "socket" => "%s", "max-procs" => 1, "check-local" => "disable" )),\n' \
      "$1" "$2/cgi-bin/linkhop" "$work/${1##*/}.socket"
  }
  {
    echo "server.document-root = \"$one/www\""
    echo "server.bind = \"127.0.0.1\""
    echo "server.port = $lport"
    echo 'server.modules = ("mod_fastcgi")'
    echo "server.errorlog = \"$work/lighttpd.log\""
    echo "fastcgi.server = ("
    entry /fcgi/one "$one"
    for site in "$@"; do entry "/fcgi/${site%%=*}" "${site#*=}"; done
    echo ")"
  } >"$work/lighttpd.conf"
  lighttpd -D -f "$work/lighttpd.conf" &
  pids+=("$!")
  if ! wait_port "$lport"; then
    row skipped "web servers, indexed tables" "lighttpd did not start"
    exit 0
  fi
  setups=("linkhop persistent, one line, lighttpd|http://127.0.0.1:$lport/fcgi/one?$key")
  for site in "$@"; do
    setups+=("linkhop persistent, ${site%%=*} entries indexed, lighttpd|http://127.0.0.1:$lport/fcgi/${site%%=*}?$key")
  done
  measure
  for site in "$@"; do
    # 0.95 up to 4,000,000 entries; beyond, no cliff.
    goal=0.95
    [ "${site%%=*}" -gt 4000000 ] && goal=0.90
    row webgoal "persistent, ${site%%=*} entries indexed / one line, lighttpd" \
      "linkhop persistent, ${site%%=*} entries indexed, lighttpd" "linkhop persistent, one line, lighttpd" "$goal"
  done
  stop
  exit 0
fi

# Two sites: a one-line table, and one of 10,000 entries (about 560 KB)
# whose key is on the last line. Written an hour ago, so that a persistent
# process keeps them at once.
for site in one big; do
  mkdir -p "$work/$site/cgi-bin/hopdata/logs" "$work/$site/www" "$work/$site/run"
  cp "$linkhop" "$work/$site/cgi-bin/linkhop"
done
cp "$floor" "$trivial" "$equal" "$work/one/cgi-bin/"
echo "$key = $address" >"$work/one/cgi-bin/hopdata/config.txt"
python3 - "$work/big/cgi-bin/hopdata/config.txt" "$key" "$address" <<'PY'
import random, string, sys
random.seed(10000)
path, key, address = sys.argv[1:4]
letters = string.ascii_lowercase + string.digits
lines, seen = [], set()
while len(lines) < 9999:
    k = "".join(random.choice(letters) for _ in range(random.randint(4, 14)))
    if k in seen or key in k:
        continue
    seen.add(k)
    lines.append("%s = https://norvale.example/%s/%s.html" % (k, "".join(random.choice(string.ascii_lowercase) for _ in range(4)), k))
lines.append("%s = %s" % (key, address))
open(path, "w").write("\n".join(lines) + "\n")
PY
touch -d '1 hour ago' "$work"/*/cgi-bin/hopdata/config.txt
table_bytes=$(stat -c %s "$work/big/cgi-bin/hopdata/config.txt")

# lighttpd: CGI (linkhop, the static floor) and FastCGI started by lighttpd
# itself (bin-path; linkhop on each table, the trivial responder).
lport=$(free_port)
fastcgi() { # URL PROGRAM SOCKET
  printf '  "%s" => (( "bin-path" => "%s", "socket" => "%s", "max-procs" => 1, "check-local" => "disable" )),\n' "$1" "$2" "$3"
}
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/one/www"
server.bind = "127.0.0.1"
server.port = $lport
server.modules = ("mod_alias", "mod_cgi", "mod_fastcgi")
server.errorlog = "$work/lighttpd.log"
alias.url = ("/cgi-bin/" => "$work/one/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
fastcgi.server = (
$(fastcgi /fcgi/linkhop "$work/one/cgi-bin/linkhop" "$work/one/run/l.socket")
$(fastcgi /fcgi/linkhop10k "$work/big/cgi-bin/linkhop" "$work/big/run/l.socket")
$(fastcgi /fcgi/trivial "$work/one/cgi-bin/bench_fcgi_floor" "$work/one/run/t.socket")
$(fastcgi /fcgi/equal "$work/one/cgi-bin/bench_fcgi_equal" "$work/one/run/e.socket")
)
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=("$!")

# nginx: its own 301; FastCGI on spawn-fcgi's sockets, four processes each
# with two connections kept (deploy/nginx-fastcgi.conf); CGI through
# fcgiwrap.
nport=$(free_port)
spawn-fcgi -F 4 -s "$work/one/run/n.socket" -P "$work/one/run/n.pid" -- "$work/one/cgi-bin/linkhop" >/dev/null
spawn-fcgi -F 4 -s "$work/big/run/n.socket" -P "$work/big/run/n.pid" -- "$work/big/cgi-bin/linkhop" >/dev/null
spawn-fcgi -F 4 -s "$work/one/run/t4.socket" -P "$work/one/run/t4.pid" -- "$work/one/cgi-bin/bench_fcgi_floor" >/dev/null
spawn-fcgi -F 4 -s "$work/one/run/e4.socket" -P "$work/one/run/e4.pid" -- "$work/one/cgi-bin/bench_fcgi_equal" >/dev/null
for pidfile in "$work"/*/run/*.pid; do while read -r pid || [ -n "$pid" ]; do pids+=("$pid"); done <"$pidfile"; done
fcgiwrap -s "unix:$work/one/run/w.socket" &
pids+=("$!")
upstream() { printf 'upstream %s { server unix:%s; keepalive 2; }\n' "$1" "$2"; }
location() {
  printf 'location = %s { include /etc/nginx/fastcgi_params; fastcgi_param SCRIPT_FILENAME %s; fastcgi_pass %s; %s }\n' "$@"
}
user=""
[ "$(id -u)" = 0 ] && user="user root root;" # its workers reach root's sockets
cat >"$work/nginx.conf" <<CONF
$user
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx-body;
  fastcgi_temp_path $work/nginx-fastcgi;
  $(upstream linkhop "$work/one/run/n.socket")
  $(upstream linkhop10k "$work/big/run/n.socket")
  $(upstream trivial "$work/one/run/t4.socket")
  $(upstream equal "$work/one/run/e4.socket")
  server {
    listen 127.0.0.1:$nport;
    location = /return301 { return 301 $address; }
    $(location /fcgi/linkhop "$work/one/cgi-bin/linkhop" linkhop "fastcgi_keep_conn on;")
    $(location /fcgi/linkhop10k "$work/big/cgi-bin/linkhop" linkhop10k "fastcgi_keep_conn on;")
    $(location /fcgi/trivial "$work/one/cgi-bin/bench_fcgi_floor" trivial "fastcgi_keep_conn on;")
    $(location /fcgi/equal "$work/one/cgi-bin/bench_fcgi_equal" equal "fastcgi_keep_conn on;")
    $(location /cgi/linkhop "$work/one/cgi-bin/linkhop" "unix:$work/one/run/w.socket" "")
  }
}
CONF
nginx -c "$work/nginx.conf" -g 'daemon off;' &
pids+=("$!")

if ! wait_port "$lport" || ! wait_port "$nport"; then
  row skipped "web servers, requests/s" "a server did not start"
  exit 0
fi

# name|url, in the order of the table.
setups=(
  "nginx return 301, the ceiling|http://127.0.0.1:$nport/return301"
  "trivial libfcgi responder, lighttpd|http://127.0.0.1:$lport/fcgi/trivial?$key"
  "trivial libfcgi responder, nginx + spawn-fcgi|http://127.0.0.1:$nport/fcgi/trivial?$key"
  "equal-work libfcgi responder, lighttpd|http://127.0.0.1:$lport/fcgi/equal?$key"
  "equal-work libfcgi responder, nginx + spawn-fcgi|http://127.0.0.1:$nport/fcgi/equal?$key"
  "linkhop persistent, lighttpd|http://127.0.0.1:$lport/fcgi/linkhop?$key"
  "linkhop persistent, nginx + spawn-fcgi|http://127.0.0.1:$nport/fcgi/linkhop?$key"
  "linkhop persistent, 10,000 entries, lighttpd|http://127.0.0.1:$lport/fcgi/linkhop10k?$key"
  "linkhop persistent, 10,000 entries, nginx + spawn-fcgi|http://127.0.0.1:$nport/fcgi/linkhop10k?$key"
  "static C program as CGI, lighttpd|http://127.0.0.1:$lport/cgi-bin/bench_floor?$key"
  "linkhop CGI, lighttpd|http://127.0.0.1:$lport/cgi-bin/linkhop?$key"
  "linkhop CGI, nginx + fcgiwrap|http://127.0.0.1:$nport/cgi/linkhop?$key"
)

measure
row webgoal "persistent / trivial responder, lighttpd" "linkhop persistent, lighttpd" \
  "trivial libfcgi responder, lighttpd" 0.90
row webgoal "persistent / trivial responder, nginx" "linkhop persistent, nginx + spawn-fcgi" \
  "trivial libfcgi responder, nginx + spawn-fcgi" 0.90
row webgoal "persistent / equal-work responder, lighttpd" "linkhop persistent, lighttpd" \
  "equal-work libfcgi responder, lighttpd" 0.95
row webgoal "persistent / equal-work responder, nginx" "linkhop persistent, nginx + spawn-fcgi" \
  "equal-work libfcgi responder, nginx + spawn-fcgi" 0.95
row webgoal "10,000 entries / one line, lighttpd ($table_bytes bytes)" \
  "linkhop persistent, 10,000 entries, lighttpd" "linkhop persistent, lighttpd" 0.80
row webgoal "10,000 entries / one line, nginx ($table_bytes bytes)" \
  "linkhop persistent, 10,000 entries, nginx + spawn-fcgi" "linkhop persistent, nginx + spawn-fcgi" 0.80
row webgoal "persistent / CGI, lighttpd" "linkhop persistent, lighttpd" "linkhop CGI, lighttpd" 20
row webgoal "persistent / CGI through fcgiwrap, nginx" "linkhop persistent, nginx + spawn-fcgi" \
  "linkhop CGI, nginx + fcgiwrap" 20
row webgoal "linkhop CGI / static C CGI, lighttpd" "linkhop CGI, lighttpd" \
  "static C program as CGI, lighttpd" 0.95

# Resident memory of lighttpd's one persistent linkhop process: after 100
# requests, and after many more.
pid=$(pgrep -f "^$work/one/cgi-bin/linkhop" | head -n 1 || true)
# lighttpd's bin-path process is the one not started by spawn-fcgi.
for candidate in $(pgrep -f "^$work/one/cgi-bin/linkhop"); do
  grep -qx "$candidate" "$work/one/run/n.pid" || pid=$candidate
done
url="http://127.0.0.1:$lport/fcgi/linkhop?$key"
for i in $(seq 100); do curl -s -o /dev/null "$url"; done
before=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
count=100
while [ "$count" -lt "$memory_requests" ]; do
  wrk -t2 -c16 -d2s "$url" >"$work/wrk.out" 2>&1 || true
  count=$((count + $(awk '/requests in/ {print $1}' "$work/wrk.out")))
done
after=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
row rss "$before" "$after" "$count"
stop
