#!/usr/bin/env bash
# Builds the program and answers sample requests the way a web server would
# run it: program in a cgi-bin folder, request in the CGI environment. Ends
# with hoptool stats over the request log they left.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target linkhop hoptool >/dev/null

site=$(mktemp -d)
trap 'rm -rf "$site"' EXIT
mkdir -p "$site/cgi-bin/hopdata/logs"
cp build/linkhop "$site/cgi-bin/"
cp hopdata/config.txt "$site/cgi-bin/hopdata/"
echo "The table, cgi-bin/hopdata/config.txt:"
sed 's/\r$//; s/^/    /' hopdata/config.txt
echo

ask() {
  echo "\$ QUERY_STRING='$1' REMOTE_ADDR=192.0.2.7 cgi-bin/linkhop"
  local status=0
  env -i QUERY_STRING="$1" REMOTE_ADDR=192.0.2.7 "$site/cgi-bin/linkhop" >"$site/answer" || status=$?
  sed 's/\r$/  [CR LF]/' "$site/answer"
  echo "(exit status $status: a request run always ends with 1)"
  echo
}
ask "news"                              # a key in the table
ask "https://example.com/welcome.html"  # an explicit address
ask "weather"                           # a key the table does not hold: 404

echo "The request log, cgi-bin/hopdata/logs/:"
for log in "$site"/cgi-bin/hopdata/logs/*.log; do
  echo "  $(basename "$log")"
  sed 's/\r$/  [CR LF]/; s/^/    /' "$log"
done

echo
echo "What the log says, \$ hoptool stats cgi-bin/hopdata/logs:"
build/tools/hoptool stats "$site/cgi-bin/hopdata/logs" | sed 's/^./    &/'
