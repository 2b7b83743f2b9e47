#!/usr/bin/env bash
# The Windows build's table scan, under Wine: linkhop.exe answers the key on
# the last line of a 64 MiB table (LF and CR LF); the time of the same
# request with a one-line table (Wine's own start) is taken off, and what
# remains gives MB/s. With a second program, both run alternately and each
# is reported, so that two builds compare in one run.
#
#   bench/wine_scan.sh LINKHOP_EXE [OTHER_LINKHOP_EXE] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=${LINKHOP_TEST_WINE:-/usr/lib/wine/wine64}
exes=("$1")
runs=5
[ $# -ge 2 ] && [ -f "$2" ] && exes+=("$2")
[ $# -ge 3 ] && runs=$3
[ $# -eq 2 ] && [ ! -f "$2" ] && runs=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix} WINEDEBUG=-all
key=quicklink
address=https://norvale.example/quicklink/index.html

for i in "${!exes[@]}"; do
  mkdir -p "$work/$i/cgi-bin/hopdata/logs"
  cp "${exes[$i]}" "$work/$i/cgi-bin/linkhop.exe"
done
python3 "$here/make_table.py" "$work/lf.txt" 67108864 lf "$key" "$address"
python3 "$here/make_table.py" "$work/crlf.txt" 67108864 crlf "$key" "$address"
printf '%s = %s\r\n' "$key" "$address" >"$work/small.txt"

# One request's wall time in milliseconds.
ask() {
  local start
  start=$(date +%s%N)
  env -i PATH=/usr/bin:/bin WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all QUERY_STRING=$key \
    GATEWAY_INTERFACE=CGI/1.1 "$wine" "$work/$1/cgi-bin/linkhop.exe" >"$work/out" || true
  echo $((($(date +%s%N) - start) / 1000000))
}
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

"$wine" "$work/0/cgi-bin/linkhop.exe" -? >/dev/null 2>&1 || true # the prefix, made once
echo "Windows build under Wine: the key on the last line of a 64 MiB table, $runs runs each"
for table in small lf crlf; do
  for i in "${!exes[@]}"; do cp "$work/$table.txt" "$work/$i/cgi-bin/hopdata/config.txt"; done
  for i in "${!exes[@]}"; do : >"$work/times.$table.$i"; done
  for _ in $(seq "$runs"); do
    for i in "${!exes[@]}"; do ask "$i" >>"$work/times.$table.$i"; done
  done
  for i in "${!exes[@]}"; do
    if ! grep -q "^Location: $address" "$work/out"; then
      echo "  ${exes[$i]}: the answer is not the last line's address" >&2
    fi
  done
done
for i in "${!exes[@]}"; do
  base=$(median <"$work/times.small.$i")
  line="  ${exes[$i]}: start ${base} ms"
  for table in lf crlf; do
    ms=$(median <"$work/times.$table.$i")
    scan=$((ms - base))
    [ "$scan" -lt 1 ] && scan=1
    line="$line; ${table^^} scan $scan ms, $((64 * 1000 / scan)) MiB/s"
  done
  echo "$line"
done
