#!/usr/bin/env bash
# Runs the built program behind real web servers, lighttpd and Apache httpd,
# set up with the example configurations in deploy/, and checks what a
# browser gets: redirects, error pages, a form body as the query, and the
# request log, also under a burst of concurrent requests.
#
# Usage: run_server_tests.sh [path/to/linkhop]     (or LINKHOP_BINARY=...)
# A server that is not installed is skipped. Exit status: 0 when every check
# passed, 1 when one failed, 77 when every server was skipped.
# Servers listen on 127.0.0.1 only, on a free port, and are stopped by their
# process id when the script ends, however it ends.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
deploy=$(cd "$here/../../deploy" && pwd)
binary=${1:-${LINKHOP_BINARY:-}}

burst_count=240      # distinct requests in the burst
burst_parallel=32    # requests in flight at once
passed=0 failed=0 skipped=0
server_pids=()
work_dirs=()

# stop_server PID: asks the server to stop, then forces it after 5 seconds.
stop_server() {
  local pid=$1 i kept=()
  for i in "${server_pids[@]}"; do [ "$i" = "$pid" ] || kept+=("$i"); done
  server_pids=("${kept[@]}")
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

cleanup() {
  local pid dir
  for pid in "${server_pids[@]}"; do stop_server "$pid"; done
  for dir in "${work_dirs[@]}"; do rm -rf "$dir"; done
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

pass() { passed=$((passed + 1)); echo "  ok    $1"; }
fail() { failed=$((failed + 1)); echo "  FAIL  $1"; shift; local line; for line in "$@"; do echo "        $line"; done; }

# expect NAME EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $(printf %q "$2")" "actual:   $(printf %q "$3")"; fi
}

# expect_same NAME EXPECTED_FILE ACTUAL_FILE: the same lines in the same
# order; a failure shows the first differences.
expect_same() {
  if cmp -s "$2" "$3"; then pass "$1"
  else fail "$1" "expected and actual differ:"; diff "$2" "$3" | head -n 8 | cat -A | sed 's/^/        /'; fi
}

# A port on 127.0.0.1 that nothing answers on. The server may still lose a
# race for it, so starting is retried with a new port.
free_port() {
  local i port
  for i in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# request URL [curl options...]: fetches one answer into $site/answer.head
# and $site/answer.body and sets status, content_type, has_location and
# location (the header's value, without its CR LF).
request() {
  local url=$1
  shift
  status='' content_type='' has_location=no location=''
  if ! curl -sS --max-time 10 -D "$site/answer.head" -o "$site/answer.body" "$@" "$url"; then
    : >"$site/answer.head"
    : >"$site/answer.body"
    return 0
  fi
  status=$(sed -n '1s/^HTTP\/[0-9.]* \([0-9]*\).*/\1/p' "$site/answer.head")
  content_type=$(sed -n 's/^[Cc]ontent-[Tt]ype: *\(.*\)\r$/\1/p' "$site/answer.head")
  if grep -qi '^location:' "$site/answer.head"; then
    has_location=yes
    location=$(sed -n 's/^[Ll]ocation: *\(.*\)\r$/\1/p' "$site/answer.head")
  fi
}

# The request log without its time stamps: one file per day, all of them.
log_lines() {
  cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null |
    sed -E 's/^([^ ]*) [0-9A-F]{8} /\1 STAMP /'
}

# setup_site NAME: a cgi-bin with the program, a small table and an empty
# log folder, a document root and a folder for the server's own files.
setup_site() {
  site=$(mktemp -d "${TMPDIR:-/tmp}/linkhop-$1.XXXXXX")
  work_dirs+=("$site")
  chmod 755 "$site"
  mkdir -p "$site/root" "$site/cgi-bin/hopdata/logs" "$site/logs"
  cp "$binary" "$site/cgi-bin/linkhop"
  chmod 755 "$site/cgi-bin/linkhop"
  printf '%s\n' \
    'news = https://norvale.example/news/index.html' \
    'docs=https://norvale.example/docs/' >"$site/cgi-bin/hopdata/config.txt"
  echo '<p>LINKHOP test site</p>' >"$site/root/index.html"
  # Started as root, a server runs the program as an ordinary account,
  # which must be able to write the request log and the server's own logs.
  if [ "$(id -u)" = 0 ]; then
    if getent passwd www-data >/dev/null; then run_user=www-data run_group=www-data
    else run_user=nobody run_group=nogroup; fi
    chown "$run_user:$run_group" "$site/cgi-bin/hopdata/logs" "$site/logs"
  else
    run_user=$(id -un) run_group=$(id -gn)
  fi
}

# configure TEMPLATE OUTPUT PORT: fills in the placeholders.
configure() {
  sed -e "s|@PORT@|$3|g" -e "s|@ROOT@|$site/root|g" -e "s|@CGIBIN@|$site/cgi-bin|g" \
      -e "s|@LOGDIR@|$site/logs|g" -e "s|@USER@|$run_user|g" -e "s|@GROUP@|$run_group|g" \
      -e "s|@MODULES@|${apache_modules:-}|g" "$1" >"$2"
}

# start_server NAME COMMAND...: COMMAND holds the word CONFIG where the
# configuration file goes; it is written for a free port, the server started
# in the background and awaited until it answers. Sets port and server_pid.
start_server() {
  local name=$1 i
  shift
  for _ in 1 2 3; do
    port=$(free_port) || break
    configure "$deploy/$name.conf" "$site/$name.conf" "$port"
    "${@/CONFIG/$site/$name.conf}" >"$site/logs/console.log" 2>&1 &
    server_pid=$!
    server_pids+=("$server_pid")
    for i in $(seq 100); do
      if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
      if curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/"; then return 0; fi
      sleep 0.1
    done
    stop_server "$server_pid"
  done
  fail "$name starts and answers on 127.0.0.1" "$(cat "$site/logs/console.log" "$site/logs/error.log" 2>/dev/null)"
  return 1
}

# The checks, the same for every server. $1 names the server.
check_server() {
  local name=$1 base="http://127.0.0.1:$port/cgi-bin/linkhop"
  local day_before day_after logs

  day_before=$(date +%m%d%Y)

  request "$base?news"
  expect "$name: a key answers 301" "301" "$status"
  expect "$name: a key's Location is its address" "https://norvale.example/news/index.html" "$location"

  request "$base?example.com/welcome%20page.html"
  expect "$name: an explicit address answers 301" "301" "$status"
  expect "$name: an explicit address is the Location as it arrived" "example.com/welcome%20page.html" "$location"

  request "$base?weather"
  expect "$name: a key not in the table answers 301" "301" "$status"
  if [ "$has_location" = no ] || [ -z "$location" ]; then
    pass "$name: a key not in the table sends no address"
  else
    fail "$name: a key not in the table sends no address" "Location: $location"
  fi
  if [ "$has_location" = yes ]; then
    echo "        (a miss: $status with an empty Location header)"
  else
    echo "        (a miss: $status without a Location header)"
  fi

  request "$base"
  expect "$name: no query answers 200" "200" "$status"
  expect "$name: no query is an HTML page" "text/html" "$content_type"
  expect "$name: no query page text" "$(printf 'Unable to locate any paramters!<BR>\r\nX')" \
    "$(cat "$site/answer.body"; printf X)"

  request "$base?$(printf 'a%.0s' $(seq 1100))"
  expect "$name: a long query answers 200" "200" "$status"
  expect "$name: a long query is an HTML page" "text/html" "$content_type"
  expect "$name: a long query page text" "$(printf 'CGI response too long!<BR>\r\nX')" \
    "$(cat "$site/answer.body"; printf X)"

  # A form body is the query, ahead of the address's own query.
  request "$base?news" --data docs
  expect "$name: a POST answers 301" "301" "$status"
  expect "$name: a POST's body is the query" "https://norvale.example/docs/" "$location"

  # The table and the logs beside the program are never sent as files.
  request "http://127.0.0.1:$port/cgi-bin/hopdata/config.txt"
  if [ -n "$status" ] && [ "$status" != 200 ] && ! grep -q norvale "$site/answer.body"; then
    pass "$name: the redirect table is not served ($status)"
  else
    fail "$name: the redirect table is not served" "status '$status'"
  fi

  day_after=$(date +%m%d%Y)
  logs=$(cd "$site/cgi-bin/hopdata/logs" && ls)
  if [ "$logs" = "$day_before.log" ] || [ "$logs" = "$day_after.log" ] ||
     [ "$logs" = "$(printf '%s.log\n%s.log' "$day_before" "$day_after")" ]; then
    pass "$name: the request log is the day's file"
  else
    fail "$name: the request log is the day's file" "files: $logs" "today: $day_after.log"
  fi
  expect "$name: each redirect logged once, with the client address" \
    "$(printf '%s\r\n' \
      '127.0.0.1 STAMP [news] https://norvale.example/news/index.html' \
      '127.0.0.1 STAMP [Explicit] example.com/welcome%20page.html' \
      '127.0.0.1 STAMP [weather] ' \
      '127.0.0.1 STAMP [docs] https://norvale.example/docs/'; printf X)" \
    "$(log_lines; printf X)"

  check_burst "$name" "$base"
}

# A burst of distinct requests, many in flight at once: each must be
# answered with its own address and logged exactly once, in a whole line.
check_burst() {
  local name=$1 base=$2 i
  local list="$site/burst.curl" answers="$site/burst.answers"
  : >"$list"
  for i in $(seq "$burst_count"); do
    printf 'url = "%s?https://burst.example/%d"\noutput = "/dev/null"\n' "$base" "$i" >>"$list"
  done
  timeout 90 curl -s --no-progress-meter --max-time 30 --parallel --parallel-immediate \
    --parallel-max "$burst_parallel" -K "$list" \
    -w '%{http_code} %{redirect_url}\n' >"$answers" 2>"$site/burst.errors"

  for i in $(seq "$burst_count"); do echo "301 https://burst.example/$i"; done | sort >"$site/burst.expected"
  sort "$answers" >"$site/burst.actual"
  expect_same "$name: burst of $burst_count concurrent requests, each answered with its address" \
    "$site/burst.expected" "$site/burst.actual"
  for i in $(seq "$burst_count"); do
    printf '127.0.0.1 STAMP [Explicit] https://burst.example/%d\r\n' "$i"
  done | sort >"$site/burst.expected"
  log_lines | grep 'burst\.example' | sort >"$site/burst.actual"
  expect_same "$name: burst, each request logged exactly once" \
    "$site/burst.expected" "$site/burst.actual"
  local bad
  bad=$(cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null | grep -cvE $'^127\\.0\\.0\\.1 [0-9A-F]{8} \\[[^]]*\\] [^\r]*\r$')
  expect "$name: burst, no torn or mixed log lines" "0" "$bad"
}

# server_section NAME VERSION START_COMMAND...
server_section() {
  local name=$1 before=$failed
  echo "$name: $2"
  setup_site "$name"
  shift 2
  if start_server "$name" "$@"; then
    check_server "$name"
    stop_server "$server_pid"
  fi
  if [ "$failed" != "$before" ]; then
    echo "  $name error log:"
    sed 's/^/    /' "$site/logs/error.log" 2>/dev/null | tail -n 20
  fi
}

find_program() {
  command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; }
}

if [ -z "$binary" ] || [ ! -x "$binary" ]; then
  echo "linkhop binary not found: give its path as the first argument or in LINKHOP_BINARY" >&2
  echo "0 passed, 1 failed, 0 skipped"
  exit 1
fi

have_curl=yes
command -v curl >/dev/null || have_curl=no

lighttpd_bin=$(find_program lighttpd)
if [ -z "$lighttpd_bin" ]; then
  echo "lighttpd: skipped (not installed)"
  skipped=$((skipped + 1))
elif [ "$have_curl" = no ]; then
  echo "lighttpd: skipped (curl not installed)"
  skipped=$((skipped + 1))
else
  server_section lighttpd "$("$lighttpd_bin" -v 2>&1 | head -n 1)" \
    "$lighttpd_bin" -D -f CONFIG
fi

apache_bin=$(find_program apache2)
apache_modules=/usr/lib/apache2/modules
if [ -z "$apache_bin" ] || [ ! -f "$apache_modules/mod_cgid.so" ]; then
  echo "apache: skipped (not installed)"
  skipped=$((skipped + 1))
elif [ "$have_curl" = no ]; then
  echo "apache: skipped (curl not installed)"
  skipped=$((skipped + 1))
else
  server_section apache "$("$apache_bin" -v 2>&1 | head -n 1)" \
    "$apache_bin" -f CONFIG -DFOREGROUND
fi

echo "$passed passed, $failed failed, $skipped skipped"
if [ "$failed" -gt 0 ]; then exit 1; fi
if [ "$passed" -eq 0 ]; then exit 77; fi
exit 0
