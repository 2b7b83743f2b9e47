#!/usr/bin/env bash
# Builds the program and serves it with lighttpd on 127.0.0.1, in a
# temporary site holding the sample table, until Ctrl-C; then the server
# stops and the site is removed. Installs lighttpd when it is missing (as
# root, on Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target linkhop >/dev/null

find_lighttpd() {
  command -v lighttpd 2>/dev/null || { [ -x /usr/sbin/lighttpd ] && echo /usr/sbin/lighttpd; } || true
}
lighttpd_bin=$(find_lighttpd)
if [ -z "$lighttpd_bin" ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "lighttpd is missing: install it as root (apt-get install lighttpd)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lighttpd
  lighttpd_bin=$(find_lighttpd)
fi

# A port on 127.0.0.1 that nothing answers on.
port=''
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
if [ -z "$port" ]; then
  echo "no free port found on 127.0.0.1" >&2
  exit 1
fi

site=$(mktemp -d "${TMPDIR:-/tmp}/linkhop-site.XXXXXX")
server_pid=''
stop() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=''
  fi
  rm -rf "$site"
}
trap stop EXIT
trap 'echo; echo "stopping"; exit 0' INT TERM HUP

chmod 755 "$site"
mkdir -p "$site/root" "$site/cgi-bin/hopdata/logs" "$site/logs"
cp build/linkhop "$site/cgi-bin/"
cp hopdata/config.txt "$site/cgi-bin/hopdata/"
# Started as root, lighttpd runs as an ordinary account, which writes the
# request log and the server's error log.
user=$(id -un) group=$(id -gn)
if [ "$(id -u)" = 0 ]; then
  if getent passwd www-data >/dev/null; then user=www-data group=www-data
  else user=nobody group=nogroup; fi
  chown "$user:$group" "$site/cgi-bin/hopdata/logs" "$site/logs"
fi
sed -e "s|@PORT@|$port|g" -e "s|@ROOT@|$site/root|g" -e "s|@CGIBIN@|$site/cgi-bin|g" \
    -e "s|@LOGDIR@|$site/logs|g" -e "s|@USER@|$user|g" -e "s|@GROUP@|$group|g" \
    "$source_dir/deploy/lighttpd.conf" >"$site/lighttpd.conf"

"$lighttpd_bin" -D -f "$site/lighttpd.conf" &
server_pid=$!
for _ in $(seq 100); do
  kill -0 "$server_pid" 2>/dev/null || { echo "lighttpd did not start:" >&2; cat "$site/logs/error.log" >&2 2>/dev/null; exit 1; }
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

base="http://127.0.0.1:$port/cgi-bin/linkhop"
echo
echo "LINKHOP is served by $("$lighttpd_bin" -v 2>&1 | head -n 1 | cut -d' ' -f1) at $base"
echo "Open, for example:"
echo "    $base?news                           (a key in the table)"
echo "    $base?example.com/welcome.html       (an explicit address)"
echo "    $base?weather                        (a key the table does not hold)"
echo "The table is $site/cgi-bin/hopdata/config.txt (read afresh for every request),"
echo "the request log is in $site/cgi-bin/hopdata/logs/."
echo "Press Ctrl-C to stop the server and remove the site."
wait "$server_pid" || true
server_pid=''
