#!/usr/bin/env bash
# Runs the built program behind real web servers, set up with the example
# configurations in deploy/, and checks what real clients get: redirects,
# the 404 of a key the table does not hold, error pages, form bodies of any
# size, the request log (also under a burst of concurrent requests), a log
# the server's account cannot write, and files beside the program that must
# never be served.
#
# Set-ups, the program as a CGI program: lighttpd (mod_cgi), nginx in front
# of fcgiwrap, Apache with the prefork MPM and mod_cgi, Apache with the event
# MPM and mod_cgid; and as a persistent FastCGI program: lighttpd
# (mod_fastcgi, bin-path), nginx in front of spawn-fcgi, Apache with
# mod_fcgid. Every set-up gets the same checks; each persistent one's answers
# must be byte for byte its server's CGI answers, and it gets a burst of
# 10,000 requests, a kept connection and, where the server starts the
# program, a kill in mid-burst.
#
# Then the operator's settings (LINKHOP_EXPLICIT, LINKHOP_LOG_CLIENT),
# switched on where the shipped configurations show them commented out,
# behind each server, and given to the persistent program over FastCGI as
# parameters and from its environment: the table of explicit addresses in
# tests/explicit_addresses.txt, and the log lines with masked addresses.
#
# Usage: run_server_tests.sh [path/to/linkhop]     (or LINKHOP_BINARY=...)
# A set-up whose server is not installed is skipped. Exit status: 0 when
# every check passed, 1 when one failed, 77 when every set-up was skipped.
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

# stop_server PID: asks the process to stop, then forces it after 5 seconds.
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

stop_all() {
  local pid
  for pid in "${server_pids[@]}"; do stop_server "$pid"; done
}

cleanup() {
  local dir
  stop_all
  for dir in "${work_dirs[@]}"; do rm -rf "$dir"; done
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

. "$here/checks.sh"

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
# and $site/answer.body and sets status, content_type, has_location,
# location (the header's value, without its CR LF) and seconds.
request() {
  local url=$1
  shift
  status='' content_type='' has_location=no location='' seconds=''
  if ! seconds=$(curl -sS --max-time 10 -D "$site/answer.head" -o "$site/answer.body" \
                   -w '%{time_total}' "$@" "$url"); then
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
  # The program's answers, kept for the comparison of a server's CGI and
  # persistent set-ups: the status line, the headers the program and the
  # configuration decide (not the server's own, nor how the body was
  # framed), sorted, then the body.
  if [[ $url == */cgi-bin/linkhop* ]]; then
    answer_count=$((answer_count + 1))
    { head -n 1 "$site/answer.head" | sed 's/^HTTP\/[0-9.]* //'
      tail -n +2 "$site/answer.head" | tr -d '\r' | sed '/^$/d' |
        grep -viE '^(date|server|connection|keep-alive|transfer-encoding|content-length|vary):' |
        sed 's/^\([^:]*\):/\L\1:/' | sort
      echo
      cat "$site/answer.body"
    } >"$site/answers/$(printf %03d "$answer_count")"
  fi
}

# The last answer's Cache-Control header, if any.
cache_control() { sed -n 's/^[Cc]ache-[Cc]ontrol: *\(.*\)\r$/\1/p' "$site/answer.head"; }

# The request log without its time stamps: one file per day, all of them.
log_lines() {
  cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null |
    sed -E 's/^([^ ]*) [0-9A-F]{8} /\1 STAMP /'
}

# setup_site NAME: a cgi-bin with the program, a small table and an empty
# log folder, a document root and a folder for the server's own files.
setup_site() {
  site=$(mktemp -d "${TMPDIR:-/tmp}/linkhop-${1//[^a-z0-9]/-}.XXXXXX")
  work_dirs+=("$site")
  chmod 755 "$site"
  mkdir -p "$site/root" "$site/cgi-bin/hopdata/logs" "$site/logs" "$site/answers"
  answer_count=0
  cp "$binary" "$site/cgi-bin/linkhop"
  chmod 755 "$site/cgi-bin/linkhop"
  printf '%s\n' \
    'news = https://norvale.example/news/index.html' \
    'docs=https://norvale.example/docs/' >"$site/cgi-bin/hopdata/config.txt"
  echo '<p>LINKHOP test site</p>' >"$site/root/index.html"
  # A second site on the same server: a folder of its own holding a link to
  # the same program and that program's hopdata/, its own table and logs.
  mkdir -p "$site/second/hopdata/logs"
  ln -s "$site/cgi-bin/linkhop" "$site/second/linkhop"
  echo 'news = https://second.example/news/' >"$site/second/hopdata/config.txt"
  # Started as root, a server runs the program as an ordinary account,
  # which must be able to write the request log and the server's own logs.
  if [ "$(id -u)" = 0 ]; then
    if getent passwd www-data >/dev/null; then run_user=www-data run_group=www-data
    else run_user=nobody run_group=nogroup; fi
    chown "$run_user:$run_group" "$site/cgi-bin/hopdata/logs" "$site/second/hopdata/logs" "$site/logs"
  else
    run_user=$(id -un) run_group=$(id -gn)
  fi
}

# What runs a command as the account the servers run programs as (when this
# script is root), as Debian's services do.
as_run_user() {
  if [ "$(id -u)" = 0 ]; then
    echo setpriv --reuid="$run_user" --regid="$run_group" --clear-groups --
  fi
}

# The table of explicit addresses a site allows or refuses, shared with the
# unit tests: the LINKHOP_EXPLICIT list it holds, and its cases.
explicit_table=$here/../explicit_addresses.txt
explicit_setting=$(sed -n 's/^setting\t//p' "$explicit_table")

# configure TEMPLATE OUTPUT PORT: fills in the placeholders. With
# settings_on set, the operator's settings that the configuration shows
# commented out are switched on: LINKHOP_EXPLICIT with the table's list,
# LINKHOP_LOG_CLIENT masked (and Apache's mod_env, which passes them).
configure() {
  local enable=()
  if [ -n "${settings_on:-}" ]; then
    enable=(-e "s|^\([[:space:]]*\)#\([^[:space:]#].*LINKHOP_EXPLICIT.*\)\"[^\"]*\"|\1\2\"$explicit_setting\"|"
            -e "s|^\([[:space:]]*\)#\([^[:space:]#].*LINKHOP_LOG_CLIENT.*\)\"[^\"]*\"|\1\2\"masked\"|"
            -e "s|^#\(LoadModule env_module\)|\1|")
  fi
  sed "${enable[@]}" -e "s|@PORT@|$3|g" -e "s|@ROOT@|$site/root|g" -e "s|@CGIBIN@|$site/cgi-bin|g" \
      -e "s|@LOGDIR@|$site/logs|g" -e "s|@USER@|$run_user|g" -e "s|@GROUP@|$run_group|g" \
      -e "s|@MODULES@|${apache_modules:-}|g" -e "s|@SOCKET@|$site/logs/fcgi.socket|g" \
      -e "s|@SECOND@|$site/second|g" -e "s|@SECOND_SOCKET@|$site/logs/second.socket|g" \
      "$1" >"$2"
}

# start_server NAME CONFIG COMMAND...: COMMAND holds the word CONFIG where
# the configuration file goes; the configuration is written for a free port,
# the server started in the background and awaited until it answers. Sets
# port and server_pid.
start_server() {
  local name=$1 template=$2 i
  shift 2
  for _ in 1 2 3; do
    port=$(free_port) || break
    configure "$deploy/$template" "$site/$template" "$port"
    # A session of its own: Apache's prefork MPM stops by signalling its
    # whole process group, which would otherwise be this script's.
    setsid "${@/CONFIG/$site/$template}" >>"$site/logs/console.log" 2>&1 &
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

# ---- The set-ups ----------------------------------------------------------
# Each starts its server(s) for $site and sets failure_log: the file where
# the program's standard error lands.

start_lighttpd() {
  failure_log=$site/logs/console.log # lighttpd hands its own standard error on
  start_server lighttpd lighttpd.conf "$lighttpd_bin" -D -f CONFIG
}

start_nginx_fcgiwrap() {
  # fcgiwrap as Debian's service runs it: as the web server's account, its
  # standard error (the service's journal) kept in a file here.
  failure_log=$site/logs/fcgiwrap.log
  # shellcheck disable=SC2046
  setsid $(as_run_user) "$fcgiwrap_bin" -s "unix:$site/logs/fcgi.socket" >"$failure_log" 2>&1 &
  server_pids+=("$!")
  local i
  for i in $(seq 50); do [ -S "$site/logs/fcgi.socket" ] && break; sleep 0.1; done
  start_server nginx nginx.conf "$nginx_bin" -c CONFIG -g 'daemon off;'
}

start_apache_prefork() {
  failure_log=$site/logs/error.log
  start_server apache apache.conf "$apache_bin" -f CONFIG -DFOREGROUND -DPREFORK
}

start_apache_event() {
  failure_log=$site/logs/error.log
  start_server apache apache.conf "$apache_bin" -f CONFIG -DFOREGROUND
}

# The persistent set-ups. program_pid is the program's process, which the
# server started (or spawn-fcgi did), once it has answered a request.

start_lighttpd_fastcgi() {
  failure_log=$site/logs/error.log
  start_server lighttpd lighttpd-fastcgi.conf "$lighttpd_bin" -D -f CONFIG
}

start_nginx_spawn_fcgi() {
  failure_log=$site/logs/error.log
  local as=() pid file
  [ "$(id -u)" = 0 ] && as=(-u "$run_user" -U "$run_user")
  # Four processes on one socket, as the configuration asks: each serves
  # one connection at a time, and nginx keeps two of them.
  setsid "$spawn_fcgi_bin" -F 4 -s "$site/logs/fcgi.socket" -P "$site/logs/spawn-fcgi.pid" \
    "${as[@]}" -- "$site/cgi-bin/linkhop" >"$site/logs/spawn-fcgi.log" 2>&1
  # The second site's own process, started by its own path.
  setsid "$spawn_fcgi_bin" -F 1 -s "$site/logs/second.socket" -P "$site/logs/spawn-second.pid" \
    "${as[@]}" -- "$site/second/linkhop" >>"$site/logs/spawn-fcgi.log" 2>&1
  # (spawn-fcgi ends its pid file without a line end: read each file apart.)
  for file in spawn-fcgi spawn-second; do
    while read -r pid || [ -n "$pid" ]; do server_pids+=("$pid"); done <"$site/logs/$file.pid"
  done
  start_server nginx nginx-fastcgi.conf "$nginx_bin" -c CONFIG -g 'daemon off;'
}

start_apache_fcgid() {
  failure_log=$site/logs/error.log
  mkdir -p "$site/logs/fcgid"
  [ "$(id -u)" = 0 ] && chown "$run_user:$run_group" "$site/logs/fcgid"
  start_server apache apache-fcgid.conf "$apache_bin" -f CONFIG -DFOREGROUND
}

# The process ids of the program running from this site.
program_pids() { pgrep -f "^$site/cgi-bin/linkhop" | sort; }

# ---- The checks, the same for every set-up ---------------------------------

# The second site, a name-based virtual host beside the first: its own
# table, its own log folder, and nothing a request carries reaches it from
# the first.
check_second_site() {
  local name=$1 base="http://127.0.0.1:$port/cgi-bin/linkhop"
  local before first
  before=$(cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null | grep -ac ' \[news\] ')
  expect "$name: the second site answers from its own table" "https://second.example/news/" \
    "$(curl -s -o /dev/null -w '%{redirect_url}' -H 'Host: second.example' "$base?news")"
  expect "$name: and logs to its own folder" "1 $before" \
    "$(cat "$site"/second/hopdata/logs/*.log 2>/dev/null | grep -ac ' \[news\] https://second.example/news/') $(cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null | grep -ac ' \[news\] ')"
  first=$(curl -s -o /dev/null -w '%{redirect_url}' -H 'Host: other.example' -H 'X-Forwarded-Host: second.example' \
    -H 'LINKHOP_SITE: second' "$base?news")
  expect "$name: another host, whatever its headers, is the first site's" \
    "https://norvale.example/news/index.html" "$first"
}

check_server() {
  local name=$1 base="http://127.0.0.1:$port/cgi-bin/linkhop"
  local day_before day_after logs i codes slow

  day_before=$(date +%m%d%Y)

  request "$base?news"
  expect "$name: a key answers 301" "301" "$status"
  expect "$name: a key's Location is its address" "https://norvale.example/news/index.html" "$location"
  expect "$name: a redirect may be kept an hour" "max-age=3600" "$(cache_control)"

  request "$base?https://example.com/welcome%20page.html"
  expect "$name: an explicit address answers 301" "301" "$status"
  expect "$name: an explicit address is the Location as it arrived" \
    "https://example.com/welcome%20page.html" "$location"

  request "$base?weather"
  expect "$name: a key not in the table answers 404" "404" "$status"
  expect "$name: a key not in the table sends no Location" "no" "$has_location"
  expect "$name: a key not in the table is an HTML page" "text/html" "$content_type"
  expect "$name: the 404 page text" "$(printf 'No address for that key!<BR>\r\nX')" \
    "$(cat "$site/answer.body"; printf X)"
  # A client that follows redirects makes one request and leaves one line.
  if command -v wget >/dev/null; then
    wget -S -O /dev/null --max-redirect=20 "$base?wgetmiss" >"$site/wget.out" 2>&1
    expect "$name: wget asks once for a key not in the table" "1" \
      "$(grep -c '^  HTTP/' "$site/wget.out")"
  fi

  request "$base"
  expect "$name: no query answers 200" "200" "$status"
  expect "$name: no query is an HTML page" "text/html" "$content_type"
  expect "$name: no query page text" "$(printf 'Unable to locate any paramters!<BR>\r\nX')" \
    "$(cat "$site/answer.body"; printf X)"

  request "$base?$(printf 'a%.0s' $(seq 1024))"
  expect "$name: a 1024-byte query answers 200" "200" "$status"
  expect "$name: a long query is an HTML page" "text/html" "$content_type"
  expect "$name: a long query page text" "$(printf 'CGI response too long!<BR>\r\nX')" \
    "$(cat "$site/answer.body"; printf X)"

  # A query without '=' may reach the program as arguments: never the banner.
  request "$base?-?"
  expect "$name: ?-? is a key like any other (404)" "404" "$status"
  if grep -q Norvale "$site/answer.body" "$site/answer.head"; then
    fail "$name: ?-? never shows the banner" "$(cat "$site/answer.head" "$site/answer.body")"
  else
    pass "$name: ?-? never shows the banner"
  fi

  # A form body is the query, ahead of the address's own query.
  request "$base?news" --data docs
  expect "$name: a POST answers 301" "301" "$status"
  expect "$name: a POST's body is the query" "https://norvale.example/docs/" "$location"

  # Bodies too long for a query: each is read to its end, and each answer
  # arrives.
  head -c 1100 /dev/zero | tr '\0' a >"$site/body.1100"
  head -c 100000 /dev/zero | tr '\0' b >"$site/body.100k"
  codes=''
  for i in $(seq 20); do
    codes+="$(curl -s -o /dev/null --max-time 10 -w '%{http_code} ' --data-binary @"$site/body.1100" "$base")"
  done
  expect "$name: 20 POSTs of 1100 bytes, every answer arrives" "$(printf '200 %.0s' $(seq 20))" "$codes"
  codes=''
  for i in $(seq 5); do
    codes+="$(curl -s -o /dev/null --max-time 10 -w '%{http_code} ' --data-binary @"$site/body.100k" "$base")"
  done
  expect "$name: 5 POSTs of 100 kB, every answer arrives" "$(printf '200 %.0s' $(seq 5))" "$codes"
  # Chunked bodies: a server may pass one on without CONTENT_LENGTH (Apache
  # with mod_cgid), and drops the answer of a program that exits while it
  # still writes the body; others read it first and announce its length.
  codes=''
  for i in $(seq 30); do
    for body in "$site/body.1100" "$site/body.100k"; do
      codes+="$(printf news | cat - "$body" | curl -s -o /dev/null --max-time 10 -w '%{http_code} ' \
        -H 'Transfer-Encoding: chunked' --data-binary @- "$base")"
    done
  done
  expect "$name: 60 chunked POSTs, every answer arrives" "" "$(tr ' ' '\n' <<<"$codes" | grep -vxE '200|301|')"

  # The table and the logs beside the program are never sent as files.
  request "http://127.0.0.1:$port/cgi-bin/hopdata/config.txt"
  if [ -n "$status" ] && [ "$status" != 200 ] && ! grep -q norvale "$site/answer.body"; then
    pass "$name: the redirect table is not served ($status)"
  else
    fail "$name: the redirect table is not served" "status '$status'"
  fi
  request "http://127.0.0.1:$port/cgi-bin/hopdata/logs/$(date +%m%d%Y).log"
  if [ -n "$status" ] && [ "$status" != 200 ] && ! grep -q STAMP\\\|news "$site/answer.body"; then
    pass "$name: the day's request log is not served ($status)"
  else
    fail "$name: the day's request log is not served" "status '$status'"
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
      '127.0.0.1 STAMP [Explicit] https://example.com/welcome%20page.html' \
      '127.0.0.1 STAMP [weather] ' \
      '127.0.0.1 STAMP [wgetmiss] ' \
      '127.0.0.1 STAMP [-?] ' \
      '127.0.0.1 STAMP [docs] https://norvale.example/docs/'; printf X)" \
    "$(log_lines; printf X)"

  check_unwritable_log "$name" "$base"
  check_burst "$name" "$base" burst.example
}

# A log folder the server's account cannot write: each answer still comes
# at once (a refusal that cannot pass is not tried again for a second), and
# each lost line leaves a line in the server's error log.
check_unwritable_log() {
  local name=$1 base=$2 logs=$site/cgi-bin/hopdata/logs i slow=0 lines
  # The day's file moved aside, so that a new one is needed, and the folder
  # such that it cannot be made. (A persistent program keeps the file it
  # has open; it writes on as long as that is the day's file.)
  mkdir -p "$site/logs-aside"
  mv "$logs"/*.log "$site/logs-aside/" 2>/dev/null
  if [ "$(id -u)" = 0 ]; then chown root:root "$logs"; chmod 755 "$logs"
  else chmod 555 "$logs"; fi
  for i in $(seq 5); do
    request "$base?https://unlogged.example/$i"
    if [ "$status" != 301 ] || awk -v s="$seconds" 'BEGIN { exit !(s >= 0.1) }'; then
      slow=$((slow + 1))
      echo "        (answer $i: status '$status' after $seconds s)"
    fi
  done
  sleep 0.5 # a server may write its error log a moment later
  lines=$(grep -c "linkhop: request log .*/hopdata/logs/.*\.log: Permission denied; line lost" "$failure_log" 2>/dev/null)
  if [ "$(id -u)" = 0 ]; then chown "$run_user:$run_group" "$logs"; else chmod 755 "$logs"; fi
  mv "$site/logs-aside"/*.log "$logs/" 2>/dev/null
  expect "$name: unwritable log, 5 answers each in well under 100 ms" "0" "$slow"
  expect "$name: unwritable log, each lost line in the server's error log" "5" "$lines"
}

# A burst of distinct requests to explicit addresses on HOST, many in
# flight at once: each must be answered with its own address and logged
# exactly once, in a whole line.
check_burst() {
  local name=$1 base=$2 host=$3 i
  local list="$site/burst.curl" answers="$site/burst.answers"
  for i in $(seq "$burst_count"); do
    printf 'url = "%s?https://%s/%d"\noutput = "/dev/null"\n' "$base" "$host" "$i"
  done >"$list"
  timeout 90 curl -s --no-progress-meter --max-time 30 --parallel --parallel-immediate \
    --parallel-max "$burst_parallel" -K "$list" \
    -w '%{http_code} %{redirect_url}\n' >"$answers" 2>"$site/burst.errors"

  for i in $(seq "$burst_count"); do echo "301 https://$host/$i"; done | sort >"$site/burst.expected"
  sort "$answers" >"$site/burst.actual"
  expect_same "$name: burst of $burst_count concurrent requests, each answered with its address" \
    "$site/burst.expected" "$site/burst.actual"
  for i in $(seq "$burst_count"); do
    printf '127.0.0.1 STAMP [Explicit] https://%s/%d\r\n' "$host" "$i"
  done | sort >"$site/burst.expected"
  log_lines | grep -F "https://$host/" | sort >"$site/burst.actual"
  expect_same "$name: burst, each request logged exactly once" \
    "$site/burst.expected" "$site/burst.actual"
  local bad
  bad=$(cat "$site"/cgi-bin/hopdata/logs/*.log 2>/dev/null | grep -cvE $'^127\\.0\\.0\\.1 [0-9A-F]{8} \\[[^]]*\\] [^\r]*\r$')
  expect "$name: burst, no torn or mixed log lines" "0" "$bad"
}

# The persistent program's own checks. $1 names the set-up, $2 the CGI
# set-up of the same server, whose answers it must give byte for byte; with
# $3 = restart, the server starts the program again after a kill.
check_persistent() {
  local name=$1 cgi_site=${sites[$2]:-} base="http://127.0.0.1:$port/cgi-bin/linkhop" i pids

  if [ -n "$cgi_site" ]; then
    if diff -r "$cgi_site/answers" "$site/answers" >"$site/answers.diff"; then
      pass "$name: every answer byte for byte as $2's ($answer_count answers)"
    else
      fail "$name: every answer byte for byte as $2's" "$(head -n 12 "$site/answers.diff")"
    fi
  fi

  # 10,000 requests from 16 clients. No request ends a process with a
  # fatal report (a request that left a heap block would): every program
  # process there before is there after.
  pids=$(program_pids)
  burst_count=10000 burst_parallel=16 check_burst "$name" "$base" persistent.example
  expect "$name: every program process lives through the burst" "" \
    "$(comm -23 <(echo "$pids") <(program_pids))"
  if grep -q 'Internal error' "$site"/logs/*.log 2>/dev/null; then
    fail "$name: no fatal report" "$(grep -h -A2 'Internal error' "$site"/logs/*.log | head -n 6)"
  else
    pass "$name: no fatal report"
  fi

  if [ "${3:-}" = restart ]; then
    check_killed "$name" "$base"
  fi
}

# A program process killed (kill -9) in mid-burst: the server starts another,
# and no answer is ever wrong: each is its address, or a server's error.
check_killed() {
  local name=$1 base=$2 i victim list="$site/kill.curl"
  : >"$list"
  for i in $(seq 3000); do
    printf 'url = "%s?https://kill.example/%d"\noutput = "/dev/null"\n' "$base" "$i" >>"$list"
  done
  victim=$(program_pids | head -n 1)
  timeout 120 curl -s --no-progress-meter --max-time 30 --parallel --parallel-immediate \
    --parallel-max 16 -K "$list" -w '%{http_code} %{redirect_url}\n' >"$site/kill.answers" \
    2>/dev/null &
  local burst=$!
  sleep 0.5
  kill -KILL "$victim" 2>/dev/null
  wait "$burst"
  local wrong
  wrong=$(awk '$1 == 301 && $2 !~ /^https:\/\/kill\.example\/[0-9]+$/ || $1 != 301 && $1 !~ /^(5..|000)$/' \
    "$site/kill.answers" | head -n 3)
  expect "$name: killed in mid-burst, no answer wrong" "" "$wrong"
  # The server starts another process when it sees the old one gone (lighttpd
  # waits out its disable-time first): given up to 10 s on a loaded machine.
  for i in $(seq 50); do
    request "$base?https://after.example/0"
    [ "$location" = "https://after.example/0" ] && break
    sleep 0.2
  done
  local codes='' after
  for i in $(seq 20); do
    request "$base?https://after.example/$i"
    [ "$location" = "https://after.example/$i" ] && codes+=ok
  done
  expect "$name: killed, the server starts the program again and every answer is right" \
    "$(printf 'ok%.0s' $(seq 20))" "$codes"
  after=$(program_pids)
  if [ -n "$after" ] && ! grep -qx "$victim" <<<"$after"; then pass "$name: the killed process is gone, another answers"
  else fail "$name: the killed process is gone, another answers" "killed: $victim, now: $after"; fi
}

# Several requests on one kept FastCGI connection, straight to the
# program's socket, among them one whose 100 kB body the program does not
# need: each answer is byte for byte the CGI program's for that request.
check_kept_connection() {
  local name=$1 socket=$2 i
  python3 - "$site/kept.jsonl" <<'PY'
import json, sys
common = {"GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "192.0.2.7"}
requests = [
    ({"QUERY_STRING": "news"}, ""),
    ({"CONTENT_LENGTH": "100000"}, "b" * 100000),
    ({"QUERY_STRING": "docs"}, ""),
    ({"CONTENT_LENGTH": "700"}, "https://kept.example/\x1a" + "z" * 678),
    ({"QUERY_STRING": "weather"}, ""),
    ({}, ""),
    ({"CONTENT_LENGTH": "4"}, "news"),
]
with open(sys.argv[1], "w") as out:
    for params, body in requests:
        out.write(json.dumps({"params": dict(common, **params), "body": body}) + "\n")
PY
  mkdir -p "$site/kept"
  if ! timeout 30 python3 "$here/fcgi_client.py" "$socket" "$site/kept.jsonl" "$site/kept"; then
    fail "$name: several requests on one kept connection" "the client gave up"
    return
  fi
  local same=0 total=0
  while IFS= read -r line; do
    # The same request run as a CGI program, beside the same table.
    python3 - "$line" "$site/kept/cgi.env" "$site/kept/cgi.body" <<'PY'
import json, sys
request = json.loads(sys.argv[1])
with open(sys.argv[2], "w") as env:
    for k, v in request["params"].items():
        env.write("%s=%s\n" % (k, v))
with open(sys.argv[3], "wb") as body:
    body.write(request["body"].encode("latin-1"))
PY
    (cd "$site/cgi-bin" && env -i $(cat "$site/kept/cgi.env") ./linkhop <"$site/kept/cgi.body" \
      >"$site/kept/cgi.out" 2>/dev/null)
    cmp -s "$site/kept/cgi.out" "$site/kept/$total.out" && same=$((same + 1))
    total=$((total + 1))
  done <"$site/kept.jsonl"
  expect "$name: $total requests on one kept connection, each as the CGI program answers" \
    "$total" "$same"
}

# The operator's settings switched on in the server's configuration: every
# address of the table is answered with its redirect or the 403 page, and
# logged as [Explicit] or [Refused] with the client's address masked. Left
# out are the addresses that do not reach every program as they were sent:
# a fragment (#) never leaves the client, and a server may rewrite a
# query's % escapes, \, [ and ] (lighttpd does: %70 arrives as p, \ as
# %5C); the FastCGI and CGI runs check those.
sent_as_it_stands() {
  case $1 in *'#'* | ' '* | *'%'* | *'\'* | *'['* | *']'*) return 1 ;; esac
}

check_settings() {
  local name=$1 base="http://127.0.0.1:$port/cgi-bin/linkhop" kind address word i=0
  local list=$site/settings.curl expected=$site/settings.expected actual=$site/settings.actual
  local code location type
  : >"$list"
  : >"$expected"
  : >"$site/settings.log"
  printf 'Address not allowed!<BR>\r\n' >"$site/settings.page"
  while IFS=$'\t' read -r kind address; do
    case $kind in allowed) word=Explicit ;; refused) word=Refused ;; *) continue ;; esac
    sent_as_it_stands "$address" || continue
    i=$((i + 1))
    printf 'url = "%s?%s"\noutput = "%s/settings.%d"\n' "$base" "$address" "$site" "$i" >>"$list"
    if [ "$word" = Explicit ]; then echo "301 $address"; else echo "403 text/html page"; fi >>"$expected"
    printf '127.0.0.0 STAMP [%s] %s\r\n' "$word" "$address" >>"$site/settings.log"
  done <"$explicit_table"
  # One client, one request after another.
  timeout 60 curl -s -g --max-time 10 -K "$list" \
    -w '%{http_code}|%header{location}|%header{content-type}\n' >"$site/settings.answers"
  i=0
  while IFS='|' read -r code location type; do
    i=$((i + 1))
    if [ "$code" = 301 ]; then echo "301 $location"
    elif cmp -s "$site/settings.page" "$site/settings.$i"; then echo "$code $type page"
    else echo "$code $type $(head -c 60 "$site/settings.$i" | tr -d '\r\n')"; fi
  done <"$site/settings.answers" >"$actual"
  expect_same "$name: $(wc -l <"$expected") explicit addresses answered as the configured list says" \
    "$expected" "$actual"
  log_lines >"$site/settings.logged"
  expect_same "$name: each logged as [Explicit] or [Refused], the client address masked" \
    "$site/settings.log" "$site/settings.logged"
}

# settings_section NAME START_FUNCTION: a fresh site whose server has the
# settings switched on.
settings_section() {
  local name="$1, settings on" before=$failed
  echo "$name"
  setup_site "$name"
  settings_on=1
  "$2" && check_settings "$name"
  settings_on=
  stop_all
  if [ "$failed" != "$before" ]; then
    echo "  $name logs:"
    tail -n 20 "$site"/logs/*.log 2>/dev/null | sed 's/^/    /'
  fi
}

# The persistent program straight over FastCGI, with the settings as the
# request's parameters and, in a second run, in the process's environment
# (as spawn-fcgi, lighttpd's bin-environment or systemd's Environment= give
# them). The whole table, byte for byte, and each log line whole. The
# environment's own QUERY_STRING never stands in for a request's.
check_fcgi_settings() {
  local run as=() pid
  for run in parameters environment; do
    local name="FastCGI, settings as $run"
    echo "$name"
    setup_site "fastcgi-$run"
    [ "$(id -u)" = 0 ] && as=(-u "$run_user" -U "$run_user")
    local process_env=()
    [ "$run" = environment ] && process_env=("LINKHOP_EXPLICIT=$explicit_setting"
      LINKHOP_LOG_CLIENT=masked QUERY_STRING=https://process.example/)
    setsid env "${process_env[@]}" "$spawn_fcgi_bin" -F 1 -s "$site/logs/fcgi.socket" \
      -P "$site/logs/spawn-fcgi.pid" "${as[@]}" -- "$site/cgi-bin/linkhop" \
      >"$site/logs/spawn-fcgi.log" 2>&1
    while read -r pid || [ -n "$pid" ]; do server_pids+=("$pid"); done <"$site/logs/spawn-fcgi.pid"
    mkdir -p "$site/settings/expected" "$site/settings/got"
    python3 - "$explicit_table" "$run" "$site/settings" <<'PY'
import json, sys
table, run, out = sys.argv[1:4]
params = {"GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "2001:db8:85a3:8d3:1319:8a2e:370:7348"}
refused = b"Status: 403 Forbidden\r\nContent-Type: text/html\r\n\r\nAddress not allowed!<BR>\r\n"
cases, log = [], b""
for line in open(table, encoding="latin-1"):
    kind, _, address = line.rstrip("\n").partition("\t")
    if kind == "setting" and run == "parameters":
        params.update(LINKHOP_EXPLICIT=address, LINKHOP_LOG_CLIENT="masked")
    if kind not in ("allowed", "refused"):
        continue
    a = address.encode("latin-1")
    answer = (b"Status: 301 Moved Permanently\r\nURI: " + a + b"\r\nLocation: " + a +
              b"\r\nMethod: GET\r\n\r\n") if kind == "allowed" else refused
    cases.append(({"QUERY_STRING": address}, answer))
    log += b"2001:db8:85a3:: STAMP [" + (b"Explicit" if kind == "allowed" else b"Refused") + \
        b"] " + a + b"\r\n"
cases.append(({}, b"Content-Type: text/html\r\n\r\nUnable to locate any paramters!<BR>\r\n"))
with open(out + "/requests.jsonl", "w") as requests:
    for i, (extra, answer) in enumerate(cases):
        requests.write(json.dumps({"params": dict(params, **extra)}) + "\n")
        open("%s/expected/%d.out" % (out, i), "wb").write(answer)
open(out + "/expected.log", "wb").write(log)
PY
    if timeout 60 python3 "$here/fcgi_client.py" "$site/logs/fcgi.socket" \
         "$site/settings/requests.jsonl" "$site/settings/got"; then
      local total same=0 i
      total=$(wc -l <"$site/settings/requests.jsonl")
      for i in $(seq 0 $((total - 1))); do
        cmp -s "$site/settings/expected/$i.out" "$site/settings/got/$i.out" && same=$((same + 1))
      done
      expect "$name: $total requests, each answered byte for byte" "$total" "$same"
      log_lines >"$site/settings/got.log"
      expect_same "$name: each line of the log whole" "$site/settings/expected.log" \
        "$site/settings/got.log"
    else
      fail "$name: the table's requests on one connection" "the client gave up"
    fi
    stop_all
  done
}

# server_section NAME VERSION START_FUNCTION [PERSISTENT_CHECK ARGUMENTS...]
declare -A sites
server_section() {
  local name=$1 before=$failed
  echo "$name: $2"
  setup_site "$name"
  sites[$name]=$site
  if "$3"; then
    check_server "$name"
    check_second_site "$name"
    if [ $# -gt 3 ]; then
      shift 3
      "$@"
    fi
  fi
  stop_all
  if [ "$failed" != "$before" ]; then
    echo "  $name logs:"
    tail -n 20 "$site"/logs/*.log 2>/dev/null | sed 's/^/    /'
  fi
}

# skip_unless NAME PROGRAM...: 0 when every program is there, else says why.
skip_unless() {
  local name=$1 program
  shift
  for program in "$@" curl; do
    if [ -z "$(find_program "$program")" ]; then
      echo "$name: skipped ($program not installed)"
      skipped=$((skipped + 1))
      return 1
    fi
  done
}

if [ -z "$binary" ] || [ ! -x "$binary" ]; then
  echo "linkhop binary not found: give its path as the first argument or in LINKHOP_BINARY" >&2
  echo "0 passed, 1 failed, 0 skipped"
  exit 1
fi

lighttpd_bin=$(find_program lighttpd)
spawn_fcgi_bin=$(find_program spawn-fcgi)
nginx_bin=$(find_program nginx)
fcgiwrap_bin=$(find_program fcgiwrap)
apache_bin=$(find_program apache2)
apache_modules=/usr/lib/apache2/modules

if skip_unless lighttpd lighttpd; then
  server_section lighttpd "$("$lighttpd_bin" -v 2>&1 | head -n 1)" start_lighttpd
fi
if skip_unless "nginx + fcgiwrap" nginx fcgiwrap; then
  server_section "nginx + fcgiwrap" "$("$nginx_bin" -v 2>&1 | head -n 1), fcgiwrap" \
    start_nginx_fcgiwrap
fi
if skip_unless "apache prefork + mod_cgi" apache2 && [ -f "$apache_modules/mod_cgi.so" ]; then
  server_section "apache prefork + mod_cgi" "$("$apache_bin" -v 2>&1 | head -n 1)" \
    start_apache_prefork
fi
if skip_unless "apache event + mod_cgid" apache2 && [ -f "$apache_modules/mod_cgid.so" ]; then
  server_section "apache event + mod_cgid" "$("$apache_bin" -v 2>&1 | head -n 1)" \
    start_apache_event
fi

# The operator's settings in the shipped configurations.
if skip_unless "lighttpd" lighttpd; then settings_section lighttpd start_lighttpd; fi
if skip_unless "nginx + fcgiwrap" nginx fcgiwrap; then
  settings_section "nginx + fcgiwrap" start_nginx_fcgiwrap
fi
if skip_unless "apache event + mod_cgid" apache2 && [ -f "$apache_modules/mod_cgid.so" ] &&
   [ -f "$apache_modules/mod_env.so" ]; then
  settings_section "apache event + mod_cgid" start_apache_event
fi

# Persistent: only a program built with its FastCGI side answers there.
if ! grep -q FCGX_Accept_r "$binary" 2>/dev/null; then
  echo "persistent set-ups: skipped (the program was built without libfcgi)"
  skipped=$((skipped + 3))
else
  if skip_unless "FastCGI settings" spawn-fcgi python3; then check_fcgi_settings; fi
  if skip_unless "lighttpd fastcgi" lighttpd; then
    settings_section "lighttpd fastcgi" start_lighttpd_fastcgi
    server_section "lighttpd fastcgi" "$("$lighttpd_bin" -v 2>&1 | head -n 1), mod_fastcgi" \
      start_lighttpd_fastcgi check_persistent "lighttpd fastcgi" lighttpd restart
  fi
  if skip_unless "nginx + spawn-fcgi" nginx spawn-fcgi python3; then
    server_section "nginx + spawn-fcgi" "$("$nginx_bin" -v 2>&1 | head -n 1), spawn-fcgi" \
      start_nginx_spawn_fcgi check_persistent "nginx + spawn-fcgi" "nginx + fcgiwrap"
    settings_section "nginx + spawn-fcgi" start_nginx_spawn_fcgi
    # The kept connection straight to the program, on a fresh site.
    setup_site "kept-connection"
    start_nginx_spawn_fcgi && check_kept_connection "nginx + spawn-fcgi" "$site/logs/fcgi.socket"
    stop_all
  fi
  # SIGTERM three times under a burst of GETs and POSTs whose bodies arrive
  # in pieces, the socket held open meanwhile as systemd holds it: every
  # answer the CGI run's, every log line there once. Then, on TCP, only the
  # web servers FCGI_WEB_SERVER_ADDRS lists are answered.
  if skip_unless "restarts under load" python3; then
    setup_site "restarts"
    if restarts=$(timeout 120 python3 "$here/fcgi_client.py" --restarts "$site/cgi-bin/linkhop" 2>&1); then
      pass "restarts under load: $(tail -n 1 <<<"$restarts")"
    else
      fail "restarts under load" "$restarts"
    fi
    if answers=$(timeout 60 python3 "$here/fcgi_client.py" --web-servers "$site/cgi-bin/linkhop" 2>&1); then
      pass "on TCP, only the web servers FCGI_WEB_SERVER_ADDRS lists are answered"
    else
      fail "on TCP, only the web servers FCGI_WEB_SERVER_ADDRS lists are answered" "$answers"
    fi
  fi
  if skip_unless "apache mod_fcgid" apache2 && [ -f "$apache_modules/mod_fcgid.so" ]; then
    server_section "apache mod_fcgid" "$("$apache_bin" -v 2>&1 | head -n 1), mod_fcgid" \
      start_apache_fcgid check_persistent "apache mod_fcgid" "apache event + mod_cgid" restart
  fi
fi

echo "$passed passed, $failed failed, $skipped skipped"
if [ "$failed" -gt 0 ]; then exit 1; fi
if [ "$passed" -eq 0 ]; then exit 77; fi
exit 0
