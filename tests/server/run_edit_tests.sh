#!/usr/bin/env bash
# Edits of a live table, large enough to be answered through its index, as
# readers see them:
#   - while 200 edits run (hoptool set, and every tenth by hand, a copy
#     renamed over the table, its index then rewritten by hoptool index),
#     16 CGI readers (the program run as a web server runs it) and a
#     persistent one over FastCGI see each answer old or new, never a table
#     cut short or an index that is not the table's;
#   - many servers: two persistent backends behind nginx as a load
#     balancer, 16 clients for 10 s, each backend's table replaced 50 times
#     with rsync --delay-updates from a master copy that alternates between
#     two versions, shipped with the master's index (another file's, so
#     never used) and every other time indexed again where it arrives:
#     every answer is the old version's or the new one's, and every line of
#     both request logs is whole.
#
# Usage: run_edit_tests.sh path/to/linkhop path/to/hoptool
# Exit status: 0 when every check passed, 1 when one failed, 77 when a
# program it needs is missing. Servers listen on 127.0.0.1 only and are
# stopped by their process id when the script ends, however it ends.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-} hoptool=${2:-}
passed=0 failed=0
pids=()
work=$(mktemp -d "${TMPDIR:-/tmp}/linkhop-edit.XXXXXX")
chmod 755 "$work"

cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

. "$here/checks.sh"
for program in spawn-fcgi nginx rsync curl python3; do
  if [ -z "$(find_program "$program")" ]; then echo "skipped: $program not installed"; exit 77; fi
done
if [ ! -x "$binary" ] || [ ! -x "$hoptool" ]; then
  echo "usage: run_edit_tests.sh path/to/linkhop path/to/hoptool" >&2
  exit 1
fi
if ! grep -q FCGX_Accept_r "$binary"; then echo "skipped: the program was built without libfcgi"; exit 77; fi

# The account the program runs as when this script is root, as a service's.
if [ "$(id -u)" = 0 ]; then
  run_user=nobody run_group=nogroup
  getent passwd www-data >/dev/null && run_user=www-data run_group=www-data
  as=(-u "$run_user" -U "$run_user")
else
  run_user=$(id -un) run_group=$(id -gn) as=()
fi

# site NAME: a cgi-bin folder with the program and an empty log folder.
site() {
  mkdir -p "$work/$1/cgi-bin/hopdata/logs" "$work/$1/logs"
  cp "$binary" "$work/$1/cgi-bin/linkhop"
  chown "$run_user:$run_group" "$work/$1/cgi-bin/hopdata/logs" 2>/dev/null
}

# spawn NAME: the site's program as a persistent process on its socket.
spawn() {
  setsid "$(find_program spawn-fcgi)" -F 1 -s "$work/$1/fcgi.socket" -P "$work/$1/spawn.pid" \
    "${as[@]}" -- "$work/$1/cgi-bin/linkhop" >/dev/null 2>&1
  local pid
  while read -r pid || [ -n "$pid" ]; do pids+=("$pid"); done <"$work/$1/spawn.pid"
}

# table VERSION: a table of 4,000 entries (about 130 KB).
table() {
  awk -v v="$1" 'BEGIN { for (i = 0; i < 4000; i++) printf "k%d = https://%s.example/k%d\n", i, v, i }'
}

# ---- 200 edits under 17 readers ------------------------------------------------

echo "edits under load, by hoptool set and by hand: 16 CGI readers and a persistent one"
site edits
t=$work/edits/cgi-bin/hopdata/config.txt
{ table v1; echo "target = /t/0"; echo "tail = /tail"; } >"$t"
chmod 644 "$t"
spawn edits
# The persistent reader: requests on one kept connection, in rounds.
for i in $(seq 20); do
  printf '{"params": {"GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "192.0.2.1", "QUERY_STRING": "%s"}, "body": ""}\n' \
    target tail
done >"$work/edits/requests.jsonl"
(
  round=0
  while [ ! -e "$work/edits/stop" ]; do
    mkdir -p "$work/edits/fcgi/$round"
    python3 "$here/fcgi_client.py" "$work/edits/fcgi.socket" "$work/edits/requests.jsonl" \
      "$work/edits/fcgi/$round" || echo "client failed" >>"$work/edits/fcgi.errors"
    round=$((round + 1))
  done
) &
persistent=$!
for r in $(seq 16); do
  (
    cd "$work/edits/cgi-bin" || exit
    while [ ! -e "$work/edits/stop" ]; do
      for key in target tail; do
        env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET REMOTE_ADDR=192.0.2.2 \
          QUERY_STRING=$key ./linkhop
      done
      sleep 0.1  # 16 readers, yet room on a small machine for the edits
    done >"$work/edits/cgi.$r"
  ) &
  readers+=("$!")
done
sleep 0.5
edit_errors=0
for i in $(seq 200); do
  if [ $((i % 10)) = 0 ]; then
    sed "s|^target = .*|target = /t/$i|" "$t" >"$t.new" && mv "$t.new" "$t" &&
      "$hoptool" index "$t" 2>>"$work/edits/hoptool.err" || edit_errors=$((edit_errors + 1))
  else
    "$hoptool" set "$t" target "/t/$i" 2>>"$work/edits/hoptool.err" || edit_errors=$((edit_errors + 1))
  fi
done
sleep 0.3
touch "$work/edits/stop"
wait "${readers[@]}" "$persistent"
expect "200 edits, each applied" "0 /t/200" "$edit_errors $("$hoptool" lookup "$t" target | head -n 1)"
expect "the table's index is its own after the last edit" "" "$("$hoptool" check "$t" 2>&1 | grep index-)"
# Each answer whole: its status line, then the address or the 404 page.
cgi_answers() { cat "$work/edits"/cgi.* | tr -d '\r' | grep -E '^(Status|Location|No address)'; }
answers=$(cgi_answers | grep -c '^Status: ')
wrong=$(cgi_answers | paste - - | grep -cvxE $'Status: 301 Moved Permanently\tLocation: (/t/[0-9]+|/tail)')
expect "CGI readers: every one of $answers answers old or new, none lost" "0" "$wrong"
fcgi_answers=$(cat "$work/edits"/fcgi/*/*.out | tr -d '\r' | grep -c '^Location: ')
fcgi_wrong=$(cat "$work/edits"/fcgi/*/*.out | tr -d '\r' | grep -E '^(Location|Status): ' |
  grep -cvxE 'Location: (/t/[0-9]+|/tail)|Status: 301 Moved Permanently')
expect "persistent reader: every one of $fcgi_answers answers old or new" "0 " \
  "$fcgi_wrong $(cat "$work/edits/fcgi.errors" 2>/dev/null)"
# Both readers saw edits happen, or the test proved nothing.
seen=$(cat "$work/edits"/cgi.* "$work/edits"/fcgi/*/*.out | tr -d '\r' | sed -n 's/^Location: //p' |
  grep -xE '/t/[0-9]+' | sort -u | wc -l)
if [ "$seen" -ge 10 ]; then pass "the readers saw $seen versions of the entry"
else fail "the readers saw $seen versions of the entry, fewer than 10"; fi

# ---- Many servers ----------------------------------------------------------------

echo "many servers: two persistent backends behind nginx, tables shipped with rsync"
mkdir -p "$work/master/v1" "$work/master/v2" "$work/master/ship"
table v1 >"$work/master/v1/config.txt"
table v2 >"$work/master/v2/config.txt"
"$hoptool" index "$work/master/v1/config.txt" && "$hoptool" index "$work/master/v2/config.txt"
for web in web1 web2; do
  site "$web"
  cp "$work/master/v1/config.txt" "$work/$web/cgi-bin/hopdata/config.txt"
  spawn "$web"
done
port=''
for attempt in 1 2 3; do
  port=$((20000 + RANDOM % 40000))
  cat >"$work/nginx.conf" <<EOF
user $run_user $run_group;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $work/client_body;
    fastcgi_temp_path $work/fastcgi;
    proxy_temp_path $work/proxy;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    upstream linkhop {
        server unix:$work/web1/fcgi.socket;
        server unix:$work/web2/fcgi.socket;
    }
    server {
        listen 127.0.0.1:$port;
        location = /cgi-bin/linkhop {
            include /etc/nginx/fastcgi_params;
            fastcgi_pass linkhop;
        }
    }
}
EOF
  [ "$(id -u)" = 0 ] || sed -i '1d' "$work/nginx.conf"
  setsid "$(find_program nginx)" -c "$work/nginx.conf" -g 'daemon off;' >>"$work/nginx-console.log" 2>&1 &
  nginx_pid=$!
  pids+=("$nginx_pid")
  for i in $(seq 50); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/cgi-bin/linkhop?k1" && break 2
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  port=''
done
if [ -z "$port" ]; then
  fail "nginx starts" "$(cat "$work/nginx-error.log" "$work/nginx-console.log" 2>/dev/null)"
else
  for c in $(seq 16); do
    for i in $(seq 40); do
      printf 'url = "http://127.0.0.1:%s/cgi-bin/linkhop?k%d"\noutput = "/dev/null"\n' "$port" $(((c * 97 + i * 31) % 4000))
    done >"$work/client.$c.curl"
  done
  end=$((SECONDS + 10))
  for c in $(seq 16); do
    (
      while [ "$SECONDS" -lt "$end" ]; do
        curl -s --max-time 10 -K "$work/client.$c.curl" -w '%{http_code} %{url} %{redirect_url}\n'
      done >"$work/answers.$c"
    ) &
    clients+=("$!")
  done
  # Fifty times, each backend gets the master copy, the versions in turn.
  ship_errors=0
  for i in $(seq 50); do
    cp "$work/master/v$((i % 2 + 1))"/config.* "$work/master/ship/"
    for web in web1 web2; do
      rsync --ignore-times --delay-updates "$work/master/ship/config.txt" "$work/master/ship/config.idx" \
        "$work/$web/cgi-bin/hopdata/" || ship_errors=$((ship_errors + 1))
      if [ $((i % 2)) = 0 ]; then
        "$hoptool" index "$work/$web/cgi-bin/hopdata/config.txt" || ship_errors=$((ship_errors + 1))
      fi
    done
    sleep 0.15
  done
  wait "${clients[@]}"
  expect "50 shipments to each backend" "0" "$ship_errors"
  total=$(cat "$work"/answers.* | wc -l)
  wrong=$(cat "$work"/answers.* |
    awk '!($1 == 301 && match($2, /\?k[0-9]+$/) && $3 ~ /^https:\/\/v[12]\.example\// &&
           substr($2, RSTART + 1) == substr($3, 20)) { print }' | head -n 3)
  expect "16 clients for 10 s: every one of $total answers is the old or the new version's" "" "$wrong"
  versions=$(cat "$work"/answers.* | awk '{ print substr($3, 9, 2) }' | sort -u | tr '\n' ' ')
  expect "both versions were answered" "v1 v2 " "$versions"
  logged=$(cat "$work"/web1/cgi-bin/hopdata/logs/*.log "$work"/web2/cgi-bin/hopdata/logs/*.log | wc -l)
  torn=$(cat "$work"/web1/cgi-bin/hopdata/logs/*.log "$work"/web2/cgi-bin/hopdata/logs/*.log |
    grep -cvE $'^127\\.0\\.0\\.1 [0-9A-F]{8} \\[k[0-9]+\\] https://v[12]\\.example/k[0-9]+\r$')
  expect "both request logs: every line whole ($logged lines, each backend's own)" "0" "$torn"
  for web in web1 web2; do
    [ -n "$(ls "$work/$web/cgi-bin/hopdata/logs")" ] || fail "$web answered none of the requests"
  done
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
