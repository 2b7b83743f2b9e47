#!/usr/bin/env bash
# Measures LINKHOP side by side with references in one run and prints the
# ratios with their goals:
#   - one request against the floor, a static program that writes the same
#     answer and exits (wall time and peak resident memory: what the table
#     and the log cost), and against a static program that does the same
#     work plainly (reads the table, learns the date, appends the log line,
#     writes the answer: what our own code costs);
#   - one request for an explicit address with LINKHOP_EXPLICIT set to a list
#     of 20 hosts (the address's host the last) against the same request
#     with the setting unset (and a variable of the same size in its place):
#     what the check costs;
#   - the table scan against grep on the same file, for the key on the last
#     line of tables from 64 KiB to 64 MiB, LF and CR LF;
#   - requests per second and p99 latency behind lighttpd and nginx
#     (bench/servers.sh): persistent linkhop against a trivial FastCGI
#     responder (what the per-request guarantees cost) and against one that
#     does the same work plainly (what our own code costs), on a one-line
#     table and one of 10,000 entries, against its own CGI runs, and the
#     static floor as CGI; nginx's own 301 as the ceiling; and the resident
#     memory of a persistent process after 100 requests and after 100,000;
#   - hoptool stats --json on 3,000,000 log lines against awk's count of
#     the keys (mawk), with wc -l's speed on the same files beside it;
#   - hoptool check on tables of 100,000 and 1,000,000 random keys against
#     grep -F -i -c -f finding the keys in the same table;
#   - the compiled table: one CGI request and persistent linkhop behind
#     lighttpd on tables of 1,000,000, 4,000,000 and 10,000,000 entries
#     through their index, against a one-line table; hoptool add, set and
#     rm against the floor of rewriting the table and its index, import
#     against add, index against check, and lookup's time.
# Runs alternate A B A B and every figure is a ratio of medians. The script
# reports and does not gate: it exits 0 whether the goals are met or not.
#
#   scripts/bench.sh           the full run (about ten minutes; up to 1.5 GB of tables)
#   scripts/bench.sh --quick   few runs, small tables only: checks that the
#                              benchmark still works (under a minute once built)
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac

scripts/deps.sh
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINKHOP_BUILD_BENCH=ON \
  -DLINKHOP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target linkhop bench_floor bench_equal spawn_timer scan_bench \
  >/dev/null
if grep -q '^LINKHOP_FCGI_LIBRARY:.*libfcgi' "$build/CMakeCache.txt"; then
  cmake --build "$build" -j"$(nproc)" --target bench_fcgi_floor bench_fcgi_equal >/dev/null
fi
linkhop=$PWD/$build/linkhop
floor=$PWD/$build/bench/bench_floor
equal=$PWD/$build/bench/bench_equal
timer=$PWD/$build/bench/spawn_timer

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
rows=$work/rows
: >"$rows"
row() { (IFS=$'\t'; echo "$*") >>"$rows"; }

# A cgi-bin folder as the README installs it: the program, hopdata/ with
# the table and logs/ beside it, and the floor and equal-work programs next
# to them.
make_site() {
  mkdir -p "$1/cgi-bin/hopdata/logs" "$1/www"
  cp "$linkhop" "$1/cgi-bin/linkhop"
  cp "$floor" "$1/cgi-bin/floor"
  cp "$equal" "$1/cgi-bin/equal"
}

# The environment a web server gives a CGI program, and nothing else.
cgi() {
  env -i PATH=/usr/bin:/bin LC_ALL=C GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
    SERVER_PROTOCOL=HTTP/1.1 REMOTE_ADDR=127.0.0.1 "$@"
}

if [ $quick = 1 ]; then
  request_runs=200 request_seconds=20 memory_runs=10
  sizes=(65536 1048576) scan_runs=(100 30) scan_seconds=8
  web_rounds=1 web_seconds=1 web_memory_requests=5000 scanner_time=0.02
else
  request_runs=2000 request_seconds=120 memory_runs=50
  sizes=(65536 1048576 16777216 67108864) scan_runs=(500 200 60 30) scan_seconds=40
  web_rounds=3 web_seconds=5 web_memory_requests=100000 scanner_time=0.5
fi

echo "LINKHOP benchmark ($([ $quick = 1 ] && echo quick || echo full)), $(date -u '+%Y-%m-%d %H:%M UTC')"
compiler=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
flags=$(sed -n 's/^CMAKE_C_FLAGS_RELEASE:[A-Z]*=//p' "$build/CMakeCache.txt")
echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Release build ($flags) with $("$compiler" --version | head -1); the floor linked -static"
echo

# ---- One request ---------------------------------------------------------
site=$work/request
make_site "$site"
cp hopdata/config.txt "$site/cgi-bin/hopdata/config.txt"
cgi QUERY_STRING=news "$site/cgi-bin/linkhop" >"$work/linkhop.out" || true
"$site/cgi-bin/floor" >"$work/floor.out"
if ! cmp -s "$work/linkhop.out" "$work/floor.out"; then
  row note "linkhop's answer for news differs from the floor's: the floor measures another answer"
fi
cgi QUERY_STRING=news "$site/cgi-bin/equal" >"$work/equal.out" || true
if ! cmp -s "$work/linkhop.out" "$work/equal.out"; then
  row note "linkhop's answer for news differs from the equal-work program's"
fi
echo "one request: linkhop against the floor, $request_runs runs each..."
cgi QUERY_STRING=news "$timer" -n "$request_runs" -w 50 -t "$request_seconds" \
  -- "$site/cgi-bin/linkhop" -- "$site/cgi-bin/floor" >"$work/request.raw"
# Peak memory from traced runs, exact where wait4's figure is coarse.
cgi QUERY_STRING=news "$timer" -m -n "$memory_runs" -w 2 -t "$request_seconds" \
  -- "$site/cgi-bin/linkhop" -- "$site/cgi-bin/floor" >"$work/memory.raw"
row request "$work/request.raw" "$work/memory.raw"
echo "one request: linkhop against the equal-work program, $request_runs runs each..."
cgi QUERY_STRING=news "$timer" -n "$request_runs" -w 50 -t "$request_seconds" \
  -- "$site/cgi-bin/linkhop" -- "$site/cgi-bin/equal" >"$work/request-equal.raw"
row requestequal "$work/request-equal.raw"

# ---- An explicit address checked against a list ---------------------------
hosts=$(for i in $(seq 20); do printf '.site%d.example ' "$i"; done)
target=https://www.site20.example/page.html
cgi QUERY_STRING=$target LINKHOP_EXPLICIT="$hosts" "$site/cgi-bin/linkhop" >"$work/linkhop.out" || true
if ! grep -q "^Location: $target" "$work/linkhop.out"; then
  row note "explicit: linkhop did not allow $target with the list of 20 hosts"
fi
echo "explicit address: with a list of 20 hosts against none, $request_runs runs each..."
cgi QUERY_STRING=$target "$timer" -n "$request_runs" -w 50 -t "$request_seconds" \
  -a "LINKHOP_EXPLICIT=$hosts" -b "LINKHOP_NOT_USED=$hosts" \
  -- "$site/cgi-bin/linkhop" -- "$site/cgi-bin/linkhop" \
  >"$work/explicit.raw"
row explicit "$work/explicit.raw"

# ---- The table scan ------------------------------------------------------
key=quicklink
address=https://norvale.example/quicklink/index.html
site=$work/scan
make_site "$site"
table=$site/cgi-bin/hopdata/config.txt
for i in "${!sizes[@]}"; do
  size=${sizes[$i]}
  label=$([ "$size" -ge 1048576 ] && echo "$((size / 1048576)) MiB" || echo "$((size / 1024)) KiB")
  for ending in lf crlf; do
    # The goals, on the large tables: LF at most 0.80x grep, CR LF 0.85x.
    goal=0
    [ "$size" -ge 16777216 ] && goal=$([ $ending = lf ] && echo 0.80 || echo 0.85)
    python3 bench/make_table.py "$table" "$size" "$ending" "$key" "$address"
    bytes=$(stat -c %s "$table")
    cat "$table" >/dev/null # cached before either side runs
    cgi QUERY_STRING=$key "$site/cgi-bin/linkhop" >"$work/linkhop.out" || true
    if ! grep -q "^Location: $address" "$work/linkhop.out"; then
      row note "scan $label ${ending^^}: linkhop did not answer the last line's address"
    fi
    echo "table scan, $label ${ending^^}: linkhop against grep, up to ${scan_runs[$i]} runs each..."
    cgi QUERY_STRING=$key "$timer" -n "${scan_runs[$i]}" -w 3 -t "$scan_seconds" \
      -- "$site/cgi-bin/linkhop" -- grep -F -i -m1 "$key =" "$table" >"$work/scan-$i-$ending.raw"
    row scan "$label ${ending^^}" "$work/scan-$i-$ending.raw" "$bytes" "$goal"
  done
done
rm -f "$table"
[ $quick = 1 ] && row skipped "scan 16 MiB and 64 MiB, LF and CR LF" "quick mode scans the small tables only"

# ---- Under web servers ---------------------------------------------------
bench/servers.sh "$PWD/$build" "$work/servers" "$rows" "$web_seconds" "$web_rounds" \
  "$web_memory_requests"

# ---- hoptool stats -------------------------------------------------------
# hoptool stats --json (every table it makes) on a month of logs from two
# servers, against the one count a webmaster would type, with Debian's
# default awk (mawk); wc -l on the same files gives the speed of reading.
if [ $quick = 1 ]; then
  log_lines=200000 stats_runs=5 stats_seconds=10 stats_goal=0
else
  log_lines=3000000 stats_runs=15 stats_seconds=60 stats_goal=1
fi
awk_count='{c[$3]++} END {for (k in c) print k, c[k]}'
awk_program=$(command -v mawk || command -v awk || true)
if ! cmake --build "$build" -j"$(nproc)" --target hoptool >/dev/null 2>&1; then
  row skipped "hoptool stats" "hoptool not built (needs libcli11-dev and nlohmann-json3-dev)"
elif [ -z "$awk_program" ]; then
  row skipped "hoptool stats" "no awk is installed"
else
  hoptool=$PWD/$build/tools/hoptool
  logs=$work/logs
  echo "hoptool stats: writing $log_lines log lines..."
  python3 bench/make_logs.py "$logs" "$log_lines"
  log_files=("$logs"/*/*.log)
  log_bytes=$(cat "${log_files[@]}" | wc -c) # and cached before either side runs
  [ "$(basename "$awk_program")" = mawk ] || row note "hoptool stats: measured against $awk_program, not mawk"
  if ! "$hoptool" stats --json "$logs"/server1 "$logs"/server2 >"$work/stats.json"; then
    row note "hoptool stats: failed on the benchmark's logs"
  fi
  echo "hoptool stats --json against awk, up to $stats_runs runs each..."
  env LC_ALL=C "$timer" -n "$stats_runs" -w 1 -t "$stats_seconds" \
    -- "$hoptool" stats --json "$logs"/server1 "$logs"/server2 \
    -- "$awk_program" "$awk_count" "${log_files[@]}" >"$work/stats.raw"
  echo "wc -l against hoptool stats --json, up to $stats_runs runs each..."
  env LC_ALL=C "$timer" -n "$stats_runs" -w 1 -t "$stats_seconds" \
    -- wc -l "${log_files[@]}" \
    -- "$hoptool" stats --json "$logs"/server1 "$logs"/server2 >"$work/wc.raw"
  row stats "$work/stats.raw" "$work/wc.raw" "$log_bytes" "$log_lines" "$stats_goal" \
    "$(basename "$awk_program")"
  rm -rf "$logs"
fi
# ---- end of hoptool stats ------------------------------------------------

# ---- hoptool check -------------------------------------------------------
# hoptool check on tables of random keys against grep finding every key's
# occurrences (letters in either case) in the same table: grep only finds
# them, check finds each key's first accepted one and what stops it.
if [ $quick = 1 ]; then check_sizes=(10000) check_runs=3 check_goal=0
else check_sizes=(100000 1000000) check_runs=5 check_goal=1; fi
if [ -x "$build/tools/hoptool" ]; then
  hoptool=$PWD/$build/tools/hoptool
  for entries in "${check_sizes[@]}"; do
    python3 bench/make_check_table.py "$work/check.txt" "$work/keys.txt" "$entries"
    bytes=$(stat -c %s "$work/check.txt")
    cat "$work/check.txt" "$work/keys.txt" >/dev/null # cached before either side runs
    echo "hoptool check on $entries entries against grep -F -i -c -f, up to $check_runs runs each..."
    env LC_ALL=C "$timer" -n "$check_runs" -w 1 -t 300 \
      -- "$hoptool" check "$work/check.txt" \
      -- grep -F -i -c -f "$work/keys.txt" "$work/check.txt" >"$work/check-$entries.raw"
    row check "$work/check-$entries.raw" "$entries" "$bytes" "$check_goal"
  done
  rm -f "$work/check.txt" "$work/keys.txt"
else
  row skipped "hoptool check" "hoptool not built"
fi

# ---- The compiled table --------------------------------------------------
# Tables of random keys with the key asked for on the last line, each with
# the index hoptool writes: one CGI request against the same request on a
# one-line table; persistent linkhop behind lighttpd against the one-line
# table's; and at the first size, hoptool's add, set and rm against the
# floor of rewriting the table and its index (bench/rewrite_floor.sh) with
# their peak memory against the table's size, an import of 1,000 pairs
# against one add, hoptool index against hoptool check, and hoptool lookup.
if [ $quick = 1 ]; then
  index_sizes=(20000) index_goal=0 edit_runs=3 import_pairs=100
else
  index_sizes=(1000000 4000000 10000000) index_goal=1 edit_runs=9 import_pairs=1000
fi
if [ -x "$build/tools/hoptool" ] && "$build/tools/hoptool" add --help >/dev/null 2>&1; then
  hoptool=$PWD/$build/tools/hoptool
  key=news address=https://norvale.example/news/index.html # as bench/servers.sh asks
  one=$work/index-one
  make_site "$one"
  echo "$key = $address" >"$one/cgi-bin/hopdata/config.txt"
  touch -d '1 hour ago' "$one/cgi-bin/hopdata/config.txt"
  big_sites=()
  for entries in "${index_sizes[@]}"; do
    site=$work/index-$entries
    make_site "$site"
    table=$site/cgi-bin/hopdata/config.txt
    echo "the compiled table: writing $entries entries and their index..."
    python3 bench/make_check_table.py "$table" "$work/index-keys.txt" "$entries" "$key" "$address"
    "$hoptool" index "$table"
    bytes=$(stat -c %s "$table")
    index_bytes=$(stat -c %s "${table%.txt}.idx")
    row note "$entries entries: the table $bytes bytes, its index $index_bytes bytes ($((index_bytes / entries)) bytes an entry)"
    cat "$table" "${table%.txt}.idx" >/dev/null # cached before either side runs
    if [ "$(cgi QUERY_STRING=$key "$site/cgi-bin/linkhop" | tr -d '\r' | sed -n 's/^Location: //p')" != "$address" ]; then
      row note "the compiled table, $entries entries: linkhop did not answer the last line's address"
    fi
    goal=0
    if [ $index_goal = 1 ]; then
      case $entries in 1000000) goal=1.10 ;; 10000000) goal=1.25 ;; esac
    fi
    if [ "$entries" != 4000000 ]; then
      echo "one request, $entries entries through the index against one line, $request_runs runs each..."
      cgi QUERY_STRING=$key "$timer" -n "$request_runs" -w 50 -t "$request_seconds" \
        -- "$site/cgi-bin/linkhop" -- "$one/cgi-bin/linkhop" >"$work/indexed-$entries.raw"
      row pair "one request, $entries entries (the key last, indexed) / one line" \
        "$work/indexed-$entries.raw" "$goal" "one line"
    fi
    big_sites+=("$entries=$site")
    if [ "$entries" = "${index_sizes[0]}" ]; then
      edit_goal=$([ $index_goal = 1 ] && echo 1.50 || echo 0)
      # The entry that set changes, and for rm each run a key of its own,
      # added beforehand in one import.
      { echo "setme,https://bench.example/set"
        for i in $(seq $((edit_runs + 1))); do echo "rm-$i,https://bench.example/rm"; done; } |
        "$hoptool" import "$table" -
      echo "hoptool add, set and rm on $entries entries against rewriting the table and its index, $edit_runs runs each..."
      env LC_ALL=C "$timer" -n "$edit_runs" -w 1 -t 300 \
        -- sh -c "exec \"$hoptool\" add \"$table\" bench-\$\$ https://bench.example/" \
        -- bench/rewrite_floor.sh "$table" "${table%.txt}.idx" >"$work/add.raw"
      env LC_ALL=C "$timer" -n "$edit_runs" -w 1 -t 300 \
        -- sh -c "exec \"$hoptool\" set \"$table\" setme https://bench.example/set/\$\$" \
        -- bench/rewrite_floor.sh "$table" "${table%.txt}.idx" >"$work/set.raw"
      echo 0 >"$work/rm.count"
      env LC_ALL=C "$timer" -n "$edit_runs" -w 1 -t 300 \
        -- sh -c "n=\$((\$(cat \"$work/rm.count\") + 1)); echo \$n >\"$work/rm.count\"; exec \"$hoptool\" rm \"$table\" rm-\$n" \
        -- bench/rewrite_floor.sh "$table" "${table%.txt}.idx" >"$work/rm.raw"
      for edit in add set rm; do
        row pair "hoptool $edit, $entries entries / rewriting table and index" "$work/$edit.raw" \
          "$edit_goal" "the floor"
        row peak "hoptool $edit, $entries entries, peak memory / the table's size" "$work/$edit.raw" \
          "$(stat -c %s "$table")" "$([ $index_goal = 1 ] && echo 3 || echo 0)"
      done
      # import: each run pairs of its own; against one add.
      for i in $(seq $((edit_runs + 2))); do
        for j in $(seq "$import_pairs"); do echo "imp-$i-$j,https://bench.example/$i/$j"; done \
          >"$work/pairs-$i.csv"
      done
      echo 0 >"$work/import.count"
      echo "hoptool import of $import_pairs pairs against one add on $entries entries, $edit_runs runs each..."
      env LC_ALL=C "$timer" -n "$edit_runs" -w 1 -t 300 \
        -- sh -c "n=\$((\$(cat \"$work/import.count\") + 1)); echo \$n >\"$work/import.count\"; exec \"$hoptool\" import \"$table\" \"$work/pairs-\$n.csv\"" \
        -- sh -c "exec \"$hoptool\" add \"$table\" bench-\$\$ https://bench.example/" >"$work/import.raw"
      row pair "hoptool import of $import_pairs pairs / one add, $entries entries" "$work/import.raw" \
        "$([ $index_goal = 1 ] && echo 2 || echo 0)" "one add"
      echo "hoptool index against hoptool check on $entries entries, $edit_runs runs each..."
      env LC_ALL=C "$timer" -n "$edit_runs" -w 1 -t 300 \
        -- "$hoptool" index --force "$table" -- "$hoptool" check "$table" >"$work/index.raw"
      row pair "hoptool index / hoptool check, $entries entries" "$work/index.raw" \
        "$([ $index_goal = 1 ] && echo 1.5 || echo 0)" "check"
      echo "hoptool lookup on $entries entries through the index against one line, $edit_runs runs each..."
      env LC_ALL=C "$timer" -n "$((edit_runs * 3))" -w 2 -t 300 \
        -- "$hoptool" lookup "$table" "$key" -- "$hoptool" lookup "$one/cgi-bin/hopdata/config.txt" "$key" \
        >"$work/lookup.raw"
      row within "hoptool lookup, $entries entries, indexed" "$work/lookup.raw" \
        "$([ $index_goal = 1 ] && echo 50 || echo 0)"
    fi
  done
  rm -f "$work"/pairs-*.csv "$work/index-keys.txt"
  # Persistent linkhop behind lighttpd on each indexed table.
  bench/servers.sh "$PWD/$build" "$work/servers-indexed" "$rows" "$web_seconds" "$web_rounds" 0 \
    "$one" "${big_sites[@]}"
  for site in "${big_sites[@]}"; do rm -rf "${site#*=}"; done
else
  row skipped "the compiled table" "hoptool's edit commands not built"
fi

echo
python3 bench/report.py "$rows"

# ---- The scanner alone ---------------------------------------------------
echo
echo "The key scanner alone (scan_bench, 4 MiB of table text without the key; MB/s):"
"$build/bench/scan_bench" --benchmark_min_time="$scanner_time" \
  --benchmark_out="$work/scanner.json" --benchmark_out_format=json >/dev/null 2>&1
python3 bench/report.py scanner "$work/scanner.json"
