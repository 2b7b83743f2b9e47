#!/usr/bin/env bash
# The Debian package as an administrator uses it, on this machine, as root:
# built and checked by lintian, installed with apt-get, put behind the
# system's own Apache, lighttpd and nginx (the last through the socket unit's
# way of starting the program), then removed and purged. The servers run on
# port 80 of 127.0.0.1, one at a time and briefly; everything enabled or
# started here is turned off again. Exit status 77: skipped.
#   run_package_tests.sh SOURCE_DIR
set -uo pipefail
src=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "package tests: skipped (they install the package: run as root)"
  exit 77
fi
for tool in dpkg-buildpackage apt-get curl apache2ctl lighttpd lighty-enable-mod nginx \
            systemd-socket-activate setpriv; do
  if ! command -v "$tool" >/dev/null; then
    echo "package tests: skipped ($tool is not installed)"
    exit 77
  fi
done
if dpkg-query -W -f='${Status}' linkhop 2>/dev/null | grep -q installed; then
  echo "package tests: skipped (a linkhop package is installed already)"
  exit 77
fi
if curl -s -o /dev/null --max-time 2 http://127.0.0.1/; then
  echo "package tests: skipped (a server already answers on port 80)"
  exit 77
fi

passed=0 failed=0
. "$src/tests/server/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/linkhop-package.XXXXXX")
mods_before=$(ls /etc/apache2/mods-enabled 2>/dev/null)
lighty_before=$(ls /etc/lighttpd/conf-enabled 2>/dev/null)
# Apache's record of what its administrator and packages turned on or off.
mkdir -p "$work/apache2-state"
cp -a /var/lib/apache2/conf /var/lib/apache2/module /var/lib/apache2/site "$work/apache2-state/" 2>/dev/null
socket_pid= site_pid=
cleanup() {
  apache2ctl stop >/dev/null 2>&1
  [ -f /run/lighttpd.pid ] && kill "$(cat /run/lighttpd.pid)" 2>/dev/null
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  [ -n "$socket_pid" ] && kill "$socket_pid" 2>/dev/null
  [ -n "$site_pid" ] && kill "$site_pid" 2>/dev/null
  rm -rf /run/linkhop.socket /run/linkhop
  # lighttpd's modules enabled here are turned off again.
  for conf in /etc/lighttpd/conf-enabled/*; do
    grep -qxF "$(basename "$conf")" <<<"$lighty_before" || rm -f "$conf"
  done
  a2dissite -q linkhop-test >/dev/null 2>&1
  rm -f /etc/apache2/sites-available/linkhop-test.conf
  dpkg-query -W -f='${Status}' linkhop 2>/dev/null | grep -q installed &&
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq linkhop >/dev/null 2>&1
  local state
  for state in "$work"/apache2-state/*; do
    rm -rf "/var/lib/apache2/$(basename "$state")" && cp -a "$state" /var/lib/apache2/
  done
  rm -rf "$work"
}
trap cleanup EXIT

day=$(date +%m%d%Y)
news_location="https://norvale.example/news/index.html"

# check_server NAME: the sample key, the log line, an edit of the table seen
# at the next request, a miss's page, and hopdata/ never served.
check_server() {
  local name=$1 base=http://127.0.0.1/cgi-bin
  local answer log=/var/log/linkhop/$day.log logged
  logged=$(grep -ac " \[news\] $news_location" "$log" 2>/dev/null)
  answer=$(curl -s -D - -o "$work/body" "$base/linkhop?news" | tr -d '\r')
  expect "$name: ?news is a 301" "HTTP/1.1 301 Moved Permanently" "$(head -n 1 <<<"$answer")"
  expect "$name: ?news's address" "Location: $news_location" "$(grep -i '^Location:' <<<"$answer")"
  expect "$name: Cache-Control" "Cache-Control: max-age=3600" "$(grep -i '^Cache-Control:' <<<"$answer")"
  expect "$name: the miss's page" "$(printf 'No address for that key!<BR>\r\n')" \
    "$(curl -s "$base/linkhop?nokey")"
  local line
  line=$(grep -a " \[news\] $news_location" "$log" 2>/dev/null | tail -n 1 | tr -d '\r')
  expect "$name: one more log line in /var/log/linkhop" \
    "$((logged + 1)) 127.0.0.1 [news] $news_location" \
    "$(grep -ac " \[news\] $news_location" "$log") $(cut -d' ' -f1,3- <<<"$line")"
  expect "$name: the log is www-data's" "www-data" "$(stat -c %U "$log" 2>/dev/null)"
  cp /etc/linkhop/config.txt "$work/config.txt"
  echo "fresh$name = https://fresh.example/$name" >> /etc/linkhop/config.txt
  expect "$name: an edit of the table, at the next request" "https://fresh.example/$name" \
    "$(curl -s -o /dev/null -w '%{redirect_url}' "$base/linkhop?fresh$name")"
  cp "$work/config.txt" /etc/linkhop/config.txt
  local path code
  for path in hopdata/config.txt hopdata/config.idx hopdata/logs/$day.log hopdata/ hopdata/logs/; do
    code=$(curl -s -o "$work/leak" -w '%{http_code}' "$base/$path")
    if [ "$code" != 200 ] && ! grep -q norvale "$work/leak"; then
      pass "$name: /cgi-bin/$path is not served ($code)"
    else
      fail "$name: /cgi-bin/$path is served" "$(head -c 200 "$work/leak")"
    fi
  done
}

# check_site NAME: the second site, go.example.de, beside the packaged one
# on the same server: each answers from its own table and logs to its own
# folder, and nothing a request carries picks the other.
site=go.example.de
check_site() {
  local name=$1 base=http://127.0.0.1/cgi-bin/linkhop
  local own=/var/log/linkhop/sites/$site/$day.log
  local before_own before_default
  before_own=$(grep -ac " \[news\] https://go.example.de/news" "$own" 2>/dev/null)
  before_default=$(grep -ac " \[news\] " "/var/log/linkhop/$day.log" 2>/dev/null)
  expect "$name: the site's own table" "https://go.example.de/news" \
    "$(curl -s -o /dev/null -w '%{redirect_url}' -H "Host: $site" "$base?news")"
  expect "$name: the packaged site's table beside it" "$news_location" \
    "$(curl -s -o /dev/null -w '%{redirect_url}' "$base?news")"
  expect "$name: the site logs to its own folder" "$((before_own + 1)) $((before_default + 1))" \
    "$(grep -ac " \[news\] https://go.example.de/news" "$own" 2>/dev/null) $(grep -ac " \[news\] " "/var/log/linkhop/$day.log")"
  local attempt
  for attempt in "-H LINKHOP_SITE:go.example.de" "-H Linkhop-Site:go.example.de" \
                 "-H Host:../sites/go.example.de" "-H Host:go.example.de/../x"; do
    # The packaged site's answer, or the server's refusal of a bad Host.
    # shellcheck disable=SC2086
    expect "$name: a request cannot pick the site ($attempt)" "not the site's" \
      "$([ "$(curl -s -o /dev/null -w '%{redirect_url}' $attempt "$base?news")" = \
           https://go.example.de/news ] && echo "the site's" || echo "not the site's")"
  done
  expect "$name: nor can a query" "404" \
    "$(curl -s -o /dev/null -w '%{http_code}' "$base?news&LINKHOP_SITE=go-example-de")"
  expect "$name: the site's only key is its own" "404" \
    "$(curl -s -o /dev/null -w '%{http_code}' -H "Host: $site" "$base?oldsite")"
  local path code
  for path in hopdata/config.txt hopdata/config.idx hopdata/logs/$day.log; do
    code=$(curl -s -o "$work/leak" -w '%{http_code}' -H "Host: $site" "http://127.0.0.1/cgi-bin/$path")
    if [ "$code" != 200 ] && ! grep -q "https://go.example.de/news" "$work/leak"; then
      pass "$name: the site's /cgi-bin/$path is not served ($code)"
    else
      fail "$name: the site's /cgi-bin/$path is served" "$(head -c 200 "$work/leak")"
    fi
  done
}

wait_port() { # wait_port up|down
  local i
  for i in $(seq 50); do
    if curl -s -o /dev/null --max-time 1 http://127.0.0.1/; then [ "$1" = up ] && return 0
    else [ "$1" = down ] && return 0; fi
    sleep 0.1
  done
  return 1
}

echo "== building the package"
if (cd "$src" && scripts/package.sh) >"$work/package.log" 2>&1; then
  pass "the package builds, lintian finds no error or warning"
else
  fail "the package builds, lintian clean" "$(tail -n 20 "$work/package.log")"
  exit 1
fi
deb=$(ls "$src"/dist/linkhop_*.deb)

echo "== installing"
if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1; then
  pass "apt-get install $(basename "$deb")"
else
  fail "apt-get install" "$(tail -n 20 "$work/install.log")"
  exit 1
fi
expect "the table is a conffile" "/etc/linkhop/config.txt" \
  "$(dpkg-query -W -f='${Conffiles}\n' linkhop | awk '$1 == "/etc/linkhop/config.txt" {print $1}')"
expect "/var/log/linkhop: www-data's, not readable by others" "www-data adm 750" \
  "$(stat -c '%U %G %a' /var/log/linkhop)"
expect "the program finds hopdata/ beside itself" "/etc/linkhop/config.txt /var/log/linkhop" \
  "$(readlink -f /usr/lib/cgi-bin/hopdata/config.txt) $(readlink -f /usr/lib/cgi-bin/hopdata/logs)"
expect "hoptool --version is the package's" "hoptool $(dpkg-query -W -f='${Version}' linkhop | sed 's/-[^-]*$//')" \
  "$(hoptool --version)"
expect "man hoptool: every command" "lookup check stats add set rm import index" \
  "$(for c in $(hoptool --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z]*\)  .*/\1/p'); do
       zcat /usr/share/man/man1/hoptool.1.gz | grep -qx ".SH \"COMMAND ${c^^}\"" && echo -n "$c "
     done | sed 's/ $//')"
expect "hoptool check on the installed table" "0" "$(hoptool check /etc/linkhop/config.txt >/dev/null; echo $?)"
expect "the manual pages" "3" "$(ls /usr/share/man/man8/linkhop.8.gz /usr/share/man/man8/linkhop-site.8.gz /usr/share/man/man1/hoptool.1.gz | wc -l)"
expect "nothing written under /usr" "" "$(dpkg -L linkhop | grep '^/usr/lib/cgi-bin/hopdata/' | while read -r f; do [ -L "$f" ] || echo "$f"; done)"
expect "Apache: cgid, headers and the conf are on" "cgid headers linkhop" \
  "$(a2query -m cgid >/dev/null && echo -n 'cgid '; a2query -m headers >/dev/null && echo -n 'headers '; a2query -c linkhop >/dev/null && echo linkhop)"

echo "== a large table and its index"
# The index of the packaged table lives in /var/lib/linkhop, written by
# hoptool's edits, by hoptool index after a hand edit, and by the path unit
# (or, without systemd, the daily job) that runs it.
answer_as_cgi() {
  setpriv --reuid=www-data --regid=www-data --init-groups env -i GATEWAY_INTERFACE=CGI/1.1 \
    REQUEST_METHOD=GET REMOTE_ADDR=192.0.2.9 QUERY_STRING="$1" /usr/lib/cgi-bin/linkhop |
    tr -d '\r' | sed -n 's/^Location: //p'
}
index_findings() { hoptool check /etc/linkhop/config.txt 2>&1 | grep -o 'index-[a-z]*'; }
cp /etc/linkhop/config.txt "$work/config.orig"
awk 'BEGIN { for (i = 0; i < 4000; i++) printf "big%d = https://big.example/%d\n", i, i }' \
  >>/etc/linkhop/config.txt
expect "a hand edit of a large table: check says the index is behind" "index-stale" "$(index_findings)"
hoptool index /etc/linkhop/config.txt
expect "hoptool index writes /var/lib/linkhop/config.idx, root's, readable by all" "root 644" \
  "$(stat -c '%U %a' /var/lib/linkhop/config.idx 2>&1)"
expect "the index is the table's" "" "$(index_findings)"
expect "the program answers through it" "https://big.example/3999" "$(answer_as_cgi big3999)"
hoptool add /etc/linkhop/config.txt big4000 https://big.example/4000 2>&1
expect "hoptool add writes the index with the table" " https://big.example/4000" \
  "$(index_findings) $(answer_as_cgi big4000)"
echo "handmade = https://hand.example/" >>/etc/linkhop/config.txt
if [ -d /run/systemd/system ]; then
  for i in $(seq 50); do [ -z "$(index_findings)" ] && break; sleep 0.1; done
  expect "linkhop-index.path writes the index after a hand edit" "" "$(index_findings)"
else
  # What the path unit starts, run as systemd would run it.
  sh -c "$(sed -n 's/^ExecStart=//p' /lib/systemd/system/linkhop-index.service | head -n 1)"
  expect "linkhop-index.service writes the index after a hand edit" "" "$(index_findings)"
fi
expect "the hand edit is answered" "https://hand.example/" "$(answer_as_cgi handmade)"
cp "$work/config.orig" /etc/linkhop/config.txt
hoptool index /etc/linkhop/config.txt

echo "== a second site"
# As the README gives it: linkhop-site add, then hoptool on the site's name.
for bad in ../etc Go.Example go/x "" -x; do
  expect "linkhop-site add '$bad' is refused, nothing made" "1 " \
    "$(linkhop-site add "$bad" >/dev/null 2>&1; echo $? "$(ls /var/lib/linkhop/sites 2>/dev/null)")"
done
linkhop-site add "$site" >"$work/site.log" 2>&1
expect "linkhop-site add $site" "0" "$?"
expect "hoptool add on the site's name" "0" \
  "$(hoptool add "$site" news https://go.example.de/news 2>&1; echo $?)"
expect "the site's table and log folder" "root 644 www-data adm 750" \
  "$(stat -c '%U %a' /etc/linkhop/sites/$site/config.txt) $(stat -c '%U %G %a' /var/log/linkhop/sites/$site)"
expect "hoptool lookup on the site's name" "https://go.example.de/news" "$(hoptool lookup "$site" news | head -n 1)"
expect "hoptool lookup without TABLE: the packaged table" "$news_location" "$(hoptool lookup news | head -n 1)"
expect "linkhop-site list" "$site" "$(linkhop-site list)"
rm -f "/var/lib/linkhop/sites/$site/hopdata/config.idx"
expect "the site's table named by its path: its index goes where the program reads it" "yes no" \
  "$(hoptool index "/etc/linkhop/sites/$site/config.txt" >/dev/null 2>&1
     [ -f "/var/lib/linkhop/sites/$site/hopdata/config.idx" ] && echo -n yes || echo -n no
     [ -e "/etc/linkhop/sites/$site/config.idx" ] && echo " yes" || echo " no")"
expect "a site name hoptool does not know" "2" "$(hoptool lookup no.such.site news >/dev/null 2>&1; echo $?)"

echo "== Apache"
cat > /etc/apache2/sites-available/linkhop-test.conf <<APACHE
<VirtualHost *:80>
    ServerName $site
    Define LINKHOP_SITE $site
    IncludeOptional /etc/linkhop/apache2-site.conf
</VirtualHost>
APACHE
a2ensite -q linkhop-test >/dev/null
apache2ctl start 2>>"$work/apache.log" && wait_port up
check_server apache
check_site apache
apache2ctl stop 2>>"$work/apache.log"; wait_port down

echo "== lighttpd"
lighty-enable-mod linkhop >/dev/null
cat > /etc/lighttpd/conf-enabled/90-linkhop-test.conf <<LIGHTTPD
\$HTTP["host"] == "$site" {
    var.linkhop_site = "$site"
    include "/etc/linkhop/lighttpd-site.con[f]"
}
LIGHTTPD
lighttpd -f /etc/lighttpd/lighttpd.conf && wait_port up
check_server lighttpd
check_site lighttpd
kill "$(cat /run/lighttpd.pid)"; wait_port down

echo "== nginx and the socket unit"
cat > "$work/nginx.conf" <<NGINX
user www-data;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/body-temp;
    fastcgi_temp_path $work/fastcgi-temp;
    server {
        listen 127.0.0.1:80;
        root $work;
        include /etc/nginx/snippets/linkhop[.]conf;
    }
    server {
        listen 127.0.0.1:80;
        server_name $site;
        root $work;
        set \$linkhop_site $site;
        include /etc/nginx/snippets/linkhop-site[.]conf;
    }
}
NGINX
ln -s /etc/nginx/fastcgi_params "$work/fastcgi_params" # as in /etc/nginx
# As linkhop.socket and linkhop.service do it: the socket held by the
# starter, the program started at the first connection as www-data with
# the service's own command line, the socket passed as descriptor 3.
systemd-socket-activate -l /run/linkhop.socket -- \
  setpriv --reuid=www-data --regid=www-data --init-groups \
  $(sed -n 's/^ExecStart=//p' /lib/systemd/system/linkhop.service) 2>"$work/socket.log" &
socket_pid=$!
for i in $(seq 50); do [ -S /run/linkhop.socket ] && break; sleep 0.1; done
chown www-data:www-data /run/linkhop.socket && chmod 660 /run/linkhop.socket
# The second site's, as linkhop-site serve starts it where systemd does
# not run.
linkhop-site serve "$site" 2>"$work/site-socket.log" &
site_pid=$!
for i in $(seq 50); do [ -S "/run/linkhop/$site.socket" ] && [ "$(stat -c %U "/run/linkhop/$site.socket")" = www-data ] && break; sleep 0.1; done
expect "linkhop-serve: the site's socket is www-data's, 660" "www-data www-data 660" \
  "$(stat -c '%U %G %a' "/run/linkhop/$site.socket" 2>&1)"
nginx -c "$work/nginx.conf" && wait_port up
check_server nginx
check_site nginx
nginx -c "$work/nginx.conf" -s stop 2>/dev/null; wait_port down
kill "$socket_pid" "$site_pid"; wait "$socket_pid" "$site_pid" 2>/dev/null; socket_pid= site_pid=
rm -rf /run/linkhop.socket /run/linkhop

echo "== units and retention"
expect "the retention timer and the index's path unit are enabled, the socket and service are not" \
  "timer path" \
  "$([ -L /etc/systemd/system/timers.target.wants/linkhop-expire.timer ] && echo -n timer
     [ -L /etc/systemd/system/paths.target.wants/linkhop-index.path ] && echo -n ' path'
     echo
     ls /etc/systemd/system/*.wants/linkhop.socket /etc/systemd/system/*.wants/linkhop.service 2>/dev/null)"
cp /etc/default/linkhop "$work/default"
# LINKHOP_LOG_DAYS, then what stays of a log of 400 days, one of 10 days,
# and a file that is not a day's log, in the packaged folder and the site's.
for logs in /var/log/linkhop "/var/log/linkhop/sites/$site"; do
  while IFS='|' read -r days stays status; do
    touch -d '400 days ago' "$logs/01012025.log" "$logs/notes.txt"
    touch -d '10 days ago' "$logs/11272026.log"
    sed -i "s/^LINKHOP_LOG_DAYS=.*/LINKHOP_LOG_DAYS=$days/" /etc/default/linkhop
    /usr/lib/linkhop/expire-logs 2>/dev/null
    expect "retention in $logs, LINKHOP_LOG_DAYS=$days: status $status, kept: $stays" "$status $stays" \
      "$? $(cd "$logs" && ls 01012025.log 11272026.log notes.txt 2>/dev/null | tr '\n' ' ')"
  done <<'CASES'
365|11272026.log notes.txt |0
|01012025.log 11272026.log notes.txt |0
5|notes.txt |0
abc|01012025.log 11272026.log notes.txt |1
CASES
  rm -f "$logs/01012025.log" "$logs/11272026.log" "$logs/notes.txt"
done
cp "$work/default" /etc/default/linkhop

echo "== removing a site, and making it again"
linkhop-site remove "$site" >/dev/null
expect "linkhop-site remove: the program folder goes, the table and logs stay" "no yes yes" \
  "$([ -e "/var/lib/linkhop/sites/$site" ] && echo yes || echo no) $([ -f "/etc/linkhop/sites/$site/config.txt" ] && echo yes) $([ -d "/var/log/linkhop/sites/$site" ] && echo yes)"
expect "hoptool no longer finds the site" "2" "$(hoptool lookup "$site" news >/dev/null 2>&1; echo $?)"
expect "linkhop-site remove of a site that is not there" "1" "$(linkhop-site remove "$site" >/dev/null 2>&1; echo $?)"
linkhop-site add "$site" >/dev/null
expect "made again, the site keeps its table" "https://go.example.de/news" "$(hoptool lookup "$site" news | head -n 1)"
linkhop-site remove --purge "$site" >/dev/null
expect "linkhop-site remove --purge: table, settings and logs go too" "" \
  "$(ls -d "/var/lib/linkhop/sites/$site" "/etc/linkhop/sites/$site" "/var/log/linkhop/sites/$site" 2>/dev/null)"
# Again, for the package's removal below.
linkhop-site add "$site" >/dev/null

echo "== removing, then purging"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq linkhop >"$work/remove.log" 2>&1
expect "remove: the program is gone" "no" "$([ -e /usr/lib/cgi-bin/linkhop ] && echo yes || echo no)"
expect "remove: the table and the logs stay" "yes yes" \
  "$([ -f /etc/linkhop/config.txt ] && echo yes) $([ -f "/var/log/linkhop/$day.log" ] && echo yes)"
# Every line the administrator added stays; every server's test passes.
server_tests() {
  echo "$(apache2ctl configtest >/dev/null 2>&1; echo $?) $(lighttpd -tt -f /etc/lighttpd/lighttpd.conf >/dev/null 2>&1; echo $?) $(nginx -t -c "$work/nginx.conf" >/dev/null 2>&1; echo $?)"
}
expect "remove: apache2ctl configtest, lighttpd -tt, nginx -t pass" "0 0 0" "$(server_tests)"
apache2ctl start 2>>"$work/apache.log" && wait_port up
# The site's link to the program is left pointing at nothing: Apache refuses it.
expect "remove: Apache runs on" "404 403" "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1/cgi-bin/linkhop?news) $(curl -s -o /dev/null -w '%{http_code}' -H "Host: $site" http://127.0.0.1/cgi-bin/linkhop?news)"
apache2ctl stop 2>>"$work/apache.log"; wait_port down
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq linkhop >"$work/purge.log" 2>&1
expect "purge: apache2ctl configtest, lighttpd -tt, nginx -t pass" "0 0 0" "$(server_tests)"
expect "purge: lighttpd's modules as they were before" "$(echo "$lighty_before" 90-linkhop-test.conf | tr ' ' '\n' | sort | grep .)" \
  "$(ls /etc/lighttpd/conf-enabled | sort)"
rm -f /etc/lighttpd/conf-enabled/90-linkhop-test.conf
a2dissite -q linkhop-test >/dev/null; rm -f /etc/apache2/sites-available/linkhop-test.conf
expect "purge: table, configuration and logs are gone" "" \
  "$(ls -d /etc/linkhop /var/log/linkhop /etc/default/linkhop /var/lib/linkhop \
        /etc/apache2/conf-available/linkhop.conf 2>/dev/null)"
expect "purge: Apache's modules as they were before" "$mods_before" "$(ls /etc/apache2/mods-enabled)"
apache2ctl start 2>>"$work/apache.log" && wait_port up
expect "purge: Apache runs on" "200" "$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1/)"
apache2ctl stop 2>>"$work/apache.log"; wait_port down
for conf in /etc/lighttpd/conf-enabled/*; do
  grep -qxF "$(basename "$conf")" <<<"$lighty_before" || rm -f "$conf"
done
expect "purge: lighttpd's configuration loads" "0" \
  "$(lighttpd -tt -f /etc/lighttpd/lighttpd.conf >/dev/null 2>&1; echo $?)"

# A module the administrator turned on before the package stays on after
# its purge.
if ! a2query -m headers >/dev/null 2>&1; then
  a2enmod -q headers >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install2.log" 2>&1
  expect "install over an admin's mod_headers: the package records cgid only" "cgid" \
    "$(cat /var/lib/linkhop/apache2-modules 2>/dev/null)"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq linkhop >"$work/purge2.log" 2>&1
  expect "purge: the admin's mod_headers stays on, cgid is off" "headers" \
    "$(a2query -m headers >/dev/null && echo -n headers; a2query -m cgid >/dev/null 2>&1 && echo ' cgid')"
  a2dismod -q headers >/dev/null
fi
expect "Apache's modules as they were found" "$mods_before" "$(ls /etc/apache2/mods-enabled)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
